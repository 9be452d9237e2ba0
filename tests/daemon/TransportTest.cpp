#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "NoctaBastorHelper/transport/ListeningSocket.h"
#include "tests/daemon/DaemonTestSupport.h"
#include "tests/support/Polling.h"

namespace bastor::test {

using namespace BastorWire;
constexpr const char* kOn = R"({"value":true})";

static std::string stateReply(std::string_view id, bool audit, bool autoApproval, bool enabled) {
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    return R"({"jsonrpc":"2.0","id":)" + std::string(id) +
           R"(,"result":{"json":"{\"audit_enabled\":)" + flag(audit) + R"(,\"auto_approval\":)" +
           flag(autoApproval) + R"(,\"enabled\":)" + flag(enabled) + R"(}"}})";
}

class Transport : public ::testing::Test {
  protected:
    std::string call(std::string_view id, std::string_view method, std::string_view params = {}) {
        return client_.call(requestLine(id, method, params));
    }
    void enable() {
        (void)call("100", "setAuditEnabled", kOn);
        (void)call("101", "setEnabled", kOn);
    }
    RunningDaemon daemon_;
    LineClient client_{daemon_.socketPath()};
};

TEST_F(Transport, EveryMethodRepliesInItsWireFormEchoingTheId) {
    EXPECT_EQ(client_.call(executeLine("1", requestFor({"true"}))),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Bastor is off. )"
              "Ask the user to turn it on in Nocta \u25B8 Settings \u25B8 Bastor.\"}}");
    const std::string ids[] = {"-9223372036854775808", "18446744073709551615", R"("a\"b\\c")"};
    EXPECT_EQ(call(ids[0], "getState"), stateReply(ids[0], false, false, false));
    EXPECT_EQ(call(ids[1], "setAuditEnabled", kOn), stateReply(ids[1], true, false, false));
    EXPECT_EQ(call(ids[2], "setEnabled", kOn), stateReply(ids[2], true, false, true));
    EXPECT_EQ(call(R"("")", "setAutoApproval", kOn), stateReply(R"("")", true, true, true));
    const std::string event = jsonString(BastorJSON::encode(AuditEntry{}));
    EXPECT_EQ(call("0", "recordEvent", "{\"eventJSON\":" + event + "}"),
              R"({"jsonrpc":"2.0","id":0,"result":{}})");
    const Reply executed = parseReply(client_.call(executeLine("5", requestFor({"echo", "hi"}))));
    const auto result = BastorJSON::decode<BastorResult>(executed.json.value());
    EXPECT_EQ(result.stdout, "hi\n");
    const Reply page = parseReply(call("6", "readAudit", R"({"offset":1,"limit":2})"));
    const auto entries = BastorJSON::decode<std::vector<AuditEntry>>(page.json.value());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].event, BastorAuditEvent::requested);
    EXPECT_EQ(entries[1].seq, 3);
    EXPECT_EQ(result.auditID, entries[1].id);
    EXPECT_EQ(call("7", "verifyAudit"),
              R"({"jsonrpc":"2.0","id":7,"result":{"json":"{\"count\":4,\"intact\":true}"}})");
}

TEST_F(Transport, FaultsAreAnsweredWithTheirCodeAndTheConnectionGoesOn) {
    const auto raw = [](std::string json) { return json + "\n"; };
    const std::tuple<std::string, std::string, int> cases[] = {
        {raw("not json"), "null", parseError},
        {raw(R"([{"jsonrpc":"2.0","id":1,"method":"getState"}])"), "null", invalidRequest},
        {raw("42"), "null", invalidRequest},
        {raw(R"({"jsonrpc":"2.0","method":"getState"})"), "null", invalidRequest},
        {requestLine("1.5", "getState"), "null", invalidRequest},
        {raw(R"({"jsonrpc":"1.0","id":7,"method":"getState"})"), "7", invalidRequest},
        {raw(R"({"jsonrpc":"2.0","id":9,"method":5})"), "9", invalidRequest},
        {requestLine("10", "getstate"), "10", methodNotFound},
        {requestLine("11", "setEnabled"), "11", invalidParams},
        {requestLine("12", "setEnabled", R"({"value":1})"), "12", invalidParams},
        {requestLine("13", "setEnabled", "[true]"), "13", invalidParams},
        {requestLine(R"("x")", "readAudit", R"({"offset":0,"limit":1.0})"), R"("x")",
         invalidParams},
        {requestLine("16", "execute", R"({"requestJSON":{}})"), "16", invalidParams},
        {requestLine("18", "execute", R"({"requestJSON":"not json"})"), "18", operationFailed},
        // One member must not silently win over another of the same name.
        {raw(R"({"jsonrpc":"2.0","id":21,"method":"getState","method":"setEnabled"})"), "21",
         invalidRequest},
        {raw(R"({"jsonrpc":"2.0","id":22,"method":"getState","id":23})"), "null", invalidRequest},
        {requestLine("24", "setEnabled", R"({"value":true,"value":false})"), "24", invalidParams},
        // Numbers beyond 64 bits: the call keeps its id unless the id is the number.
        {requestLine("25", "readAudit", R"({"offset":18446744073709551616,"limit":5})"), "25",
         invalidParams},
        {requestLine("26", "readAudit", R"({"offset":0,"limit":-9223372036854775809})"), "26",
         invalidParams},
        {requestLine("27", "getState", R"({"note":"\"1","x":[1e400]})"), "27", invalidParams},
        {requestLine("18446744073709551616", "getState"), "null", invalidRequest},
        {raw(R"({"jsonrpc":"2.0","id":28,"method":"getState","x":18446744073709551616)"), "null",
         parseError},
    };
    for (const auto& [line, id, code] : cases) {
        const std::string head = R"({"jsonrpc":"2.0","id":)" + id + R"(,"error":{"code":)";
        EXPECT_TRUE(client_.call(line).starts_with(head + std::to_string(code) + ",")) << line;
    }
    ASSERT_TRUE(client_.send("\n \r\n"));  // blank lines are no requests
    EXPECT_EQ(call("20", "getState"), stateReply("20", false, false, false));
}

TEST_F(Transport, LineOfTheLimitIsServedAndALongerOneClosesTheConnection) {
    std::string line = R"({"jsonrpc":"2.0","id":1,"method":"getState")";
    line.append(maxLineBytes - line.size() - 1, ' ');
    EXPECT_EQ(client_.call(line + "}\n"), stateReply("1", false, false, false));
    // Also when the over-long line's own "\n" arrives in the same read.
    LineClient second(daemon_.socketPath());
    (void)second.send(line + " }\n");
    EXPECT_EQ(second.readLine(), std::nullopt);
    (void)client_.send(std::string(maxLineBytes + 1, ' '));
    EXPECT_EQ(client_.readLine(), std::nullopt);
}

TEST_F(Transport, QuickCallIsAnsweredWhileAnExecuteRunsAndStoppingWaitsForIt) {
    enable();
    const TempDir temp;
    const fs::path started = temp.path / "started";
    ASSERT_TRUE(client_.send(
        executeLine("1", requestFor({"sh", "-c", "touch " + started.string() + "; exec sleep 2"})) +
        requestLine("2", "getState")));
    client_.finishSending();  // replies still come
    EXPECT_EQ(client_.readLine(), stateReply("2", true, false, true));
    // A stop that comes before the command started ends it unrun.
    ASSERT_TRUE(eventually([&] { return fs::exists(started); }));
    const auto group = ::getgrnam(ListeningSocket::groupName);
    EXPECT_EQ(modeOf(daemon_.socketPath()), group ? 0660u : 0600u);
    std::thread stopping([this] { daemon_.shutDown(); });
    const std::string executed = client_.readLine().value_or("no reply");
    stopping.join();
    EXPECT_FALSE(fs::exists(daemon_.socketPath()));  // the socket file goes with the listener
    EXPECT_TRUE(executed.starts_with(R"({"jsonrpc":"2.0","id":1,"result":{"json":)")) << executed;
    EXPECT_EQ(client_.readLine(), std::nullopt);
}

TEST_F(Transport, ClientPastTheCallLimitIsSlowedNotRefused) {
    enable();
    const int quick = static_cast<int>(maxCallsInFlight) + 1, total = quick + 6;
    std::string lines;
    for (int id = 1; id <= total; ++id)
        lines += id == quick ? requestLine(std::to_string(id), "getState")
                             : executeLine(std::to_string(id), requestFor({"sleep", "0.2"}));
    ASSERT_TRUE(client_.send(lines));
    std::vector<std::string> order;
    for (int count = 0; count < total; ++count) {
        const Reply reply = parseReply(client_.readLine().value());
        EXPECT_TRUE(reply.json) << reply.id;
        order.push_back(reply.id);
    }
    EXPECT_EQ(std::set(order.begin(), order.end()).size(), std::size_t(total));  // each once
    // Reading paused at the limit, so the quick call came in behind a reply.
    EXPECT_NE(order[0], std::to_string(quick));
}

// Replies many times what the socket holds, to a client that takes a few
// bytes at a time: each arrives whole, however many writes it takes, and the
// short replies queued behind them too.
TEST_F(Transport, LongRepliesReachASlowReaderWhole) {
    enable();
    std::string text;
    for (int line = 0; text.size() < 500000; ++line)
        text += "line " + std::to_string(line) + " of the output\n";
    const TempDir temp;
    const fs::path file = temp.path / "output";
    std::ofstream(file) << text;

    int small = 4096;
    ASSERT_EQ(::setsockopt(client_.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    std::string lines;
    for (int id = 1; id <= 4; ++id)
        lines += id % 2 == 1 ? executeLine(std::to_string(id), requestFor({"cat", file.string()}))
                             : requestLine(std::to_string(id), "getState");
    ASSERT_TRUE(client_.send(lines));

    std::string received;
    while (std::count(received.begin(), received.end(), '\n') < 4) {
        pollfd ready{.fd = client_.fd(), .events = POLLIN, .revents = 0};
        ASSERT_EQ(::poll(&ready, 1, 60000), 1) << "no reply for a minute";
        char chunk[4096];
        const ssize_t count = ::read(client_.fd(), chunk, sizeof chunk);
        ASSERT_GT(count, 0);
        received.append(chunk, static_cast<std::size_t>(count));
        ASSERT_LT(received.size(), 4 * text.size()) << "more bytes than the replies hold";
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    std::istringstream replies(received);
    std::set<std::string> ids;
    for (std::string line; std::getline(replies, line);) {
        const Reply reply = parseReply(line);
        ids.insert(reply.id);
        ASSERT_TRUE(reply.json) << reply.id;
        if (reply.id == "1" || reply.id == "3") {
            EXPECT_EQ(BastorJSON::decode<BastorResult>(*reply.json).stdout, text) << reply.id;
        }
    }
    EXPECT_EQ(ids, (std::set<std::string>{"1", "2", "3", "4"}));
}

// Started with BASTOR_PROBE_SOCKET set, a copy of this program is a client
// that is not the test program: it prints the daemon's answer to getState.
const bool kRunAsProbe = [] {
    const char* socket = std::getenv("BASTOR_PROBE_SOCKET");
    if (socket == nullptr) return false;
    LineClient client(socket);
    client.send(requestLine("1", "getState"));
    std::fputs(client.readLine().value_or("").c_str(), stdout);
    std::exit(0);
}();

// A directory beside the test program, removed at the end: its path is
// root's alone, as the rule demands of an allowed program's, which one in
// /tmp is not.
struct ProgramDir {
    ProgramDir() {
        std::string pattern =
            (fs::read_symlink("/proc/self/exe").parent_path() / "programs-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
        path = pattern;
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    ~ProgramDir() { fs::remove_all(path); }
    ProgramDir(const ProgramDir&) = delete;
    ProgramDir& operator=(const ProgramDir&) = delete;
    fs::path path;
};

TEST(PeerRule, OnlyAListedProgramOnAPathOnlyRootCanChangeIsServed) {
    struct Case {
        const char* allowed;  // "bin/probe" itself, a "link" to it, one in an "open" directory,
                              // or an "other" program
        mode_t mode;
        uid_t owner;
        mode_t directoryMode;  // of "bin", which holds the probe
        uid_t directoryOwner;
        bool served;
    } const cases[] = {
        {"bin/probe", 0755, 0, 0755, 0, true},  {"link", 0755, 0, 0755, 0, true},
        {"other", 0755, 0, 0755, 0, false},     {"bin/probe", 0775, 0, 0755, 0, false},
        {"bin/probe", 0755, 0, 0775, 0, false}, {"link", 0755, 0, 0775, 0, false},
        {"open/link", 0755, 0, 0755, 0, false},
    };
    for (const auto& [allowed, mode, owner, directoryMode, directoryOwner, served] : cases) {
        ProgramDir programs;
        const fs::path probe = programs.path / "bin" / "probe";
        fs::create_directory(programs.path / "bin");
        fs::create_directory(programs.path / "open");
        fs::permissions(programs.path / "open", fs::perms::all);
        fs::copy_file("/proc/self/exe", probe);
        ASSERT_EQ(::chown(probe.c_str(), owner, 0), 0);
        ASSERT_EQ(::chmod(probe.c_str(), mode), 0);
        fs::create_symlink("bin/probe", programs.path / "link");
        fs::create_symlink(probe, programs.path / "open" / "link");
        fs::create_symlink("/bin/true", programs.path / "other");
        ASSERT_EQ(::chown(probe.parent_path().c_str(), directoryOwner, 0), 0);
        ASSERT_EQ(::chmod(probe.parent_path().c_str(), directoryMode), 0);
        RunningDaemon daemon({programs.path / allowed});
        const std::string reply =
            outputOf("BASTOR_PROBE_SOCKET=" + daemon.socketPath().string() + " " + probe.string());
        EXPECT_EQ(reply.empty(), !served)
            << allowed << " " << std::oct << mode << " " << owner << " " << directoryMode << " "
            << std::dec << directoryOwner << ": " << reply;
    }
}

// The ids below are made up: the kernel takes any, and the rule compares numbers.
// The client is a program built without sanitizers, whose runtimes cannot work
// in a process whose group ids differ.
TEST(PeerRule, TheClientGroupAndTheUsersGroupDecideAndTheCallerIsKnown) {
    constexpr uid_t kUser = 4242;
    constexpr gid_t kSocketGroup = 4243, kUsersGroup = 4244;
    const passwd* known = ::getpwuid(kUser);
    const std::string name = known != nullptr ? known->pw_name : std::to_string(kUser);
    enum Outcome { refused, servedAsRoot, servedAsUser };
    struct Case {
        const char* credentials;  // setpriv options
        Outcome outcome;
    } const cases[] = {
        {"--reuid 0 --regid 0 --clear-groups", servedAsRoot},
        {"--reuid 4242 --rgid 4242 --egid 4243 --groups 4244", servedAsUser},
        {"--reuid 4242 --regid 4242 --groups 4243,4244", refused},        // no client group
        {"--reuid 4242 --rgid 4242 --egid 4243 --groups 4245", refused},  // not a user
        {"--ruid 4242 --euid 0 --regid 4242 --clear-groups", refused},    // root in name only
        {"--ruid 0 --euid 4242 --rgid 0 --egid 4243 --clear-groups", servedAsRoot},
    };
    ProgramDir programs;
    const fs::path probe = programs.path / "probe";
    fs::copy_file(BASTOR_RAW_CLIENT, probe);
    RunningDaemon daemon(PeerRequirement{{probe}, kSocketGroup, kUsersGroup});
    // Reachable by the made-up users; the rule alone decides.
    ASSERT_EQ(::chmod(daemon.socketPath().parent_path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(daemon.socketPath().c_str(), 0666), 0);
    auto request = requestFor({"true"});
    request.approver = "somebody-else";
    const std::string line = executeLine("1", request);
    for (const auto& [credentials, outcome] : cases) {
        const std::string reply =
            outputOf("setpriv " + std::string(credentials) + " " + probe.string() + " " +
                     daemon.socketPath().string() + " " + shellQuoted(line));
        // Root may name anyone as approver and gets as far as the switch;
        // anyone else is told whom to name.
        const std::string expected = outcome == refused        ? "closed\n"
                                     : outcome == servedAsRoot ? "Bastor is off"
                                                               : "\\\"" + name + "\\\"";
        EXPECT_NE(reply.find(expected), std::string::npos) << credentials << ": " << reply;
    }
}

// The path the kernel reports for the peer stays the allowed one while the
// file behind it is another: in a namespace of its own, the peer has mounted
// a copy over the allowed program before starting it.
TEST(PeerRule, AProgramMountedOverTheAllowedPathIsNotServed) {
    ProgramDir programs;
    const std::string allowed = programs.path / "allowed", other = programs.path / "other";
    for (const auto& copy : {allowed, other}) {
        fs::copy_file("/proc/self/exe", copy);
        ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
    }
    RunningDaemon daemon({allowed});
    const auto replyAfter = [&](const std::string& setup) {
        return outputOf("unshare --mount --propagation private sh -c '" + setup +
                        " BASTOR_PROBE_SOCKET=" + daemon.socketPath().string() + " " + allowed +
                        "'");
    };
    EXPECT_NE(replyAfter(""), "") << "the allowed program itself is refused";
    EXPECT_EQ(replyAfter("mount --bind " + other + " " + allowed + " &&"), "");
}

}  // namespace bastor::test
