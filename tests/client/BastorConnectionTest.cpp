#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "BastorShared/client/BastorClient.h"
#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/platform/Sha256.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/BastorListener.h"

namespace bastor {
namespace {

using namespace std::chrono_literals;

// Only guards against a hang; nothing here should come near it.
constexpr auto hangGuard = 30s;

// A fresh directory, removed with its content when the test ends.
class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "bastor-client-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

UniqueFd listenAt(const std::filesystem::path& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        throw std::runtime_error("cannot listen at " + path.string());
    }
    return fd;
}

// What arrives up to and including the next "\n", or until the peer closes.
std::string readLine(int fd) {
    std::string line;
    for (char c; line.find('\n') == std::string::npos && ::read(fd, &c, 1) == 1;)
        line += c;
    return line;
}

using Answer = std::pair<std::optional<std::string>, std::optional<std::string>>;

// One expected answer. The reply handler shares the promise, so it may still
// be returning from set_value() when the waiting test moves on.
class Pending {
  public:
    Pending()
        : promise_(std::make_shared<std::promise<Answer>>()), future_(promise_->get_future()) {}

    [[nodiscard]] BastorReply reply() const {
        return [promise = promise_](std::optional<std::string> json,
                                    std::optional<std::string> error) {
            promise->set_value({std::move(json), std::move(error)});
        };
    }
    [[nodiscard]] bool answered() { return future_.wait_for(0s) == std::future_status::ready; }
    Answer wait() {
        if (future_.wait_for(hangGuard) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            std::abort();
        }
        return future_.get();
    }

  private:
    std::shared_ptr<std::promise<Answer>> promise_;
    std::future<Answer> future_;
};

// The real daemon's service and listener on a private socket, serving this
// test program.
class LiveHelper {
  public:
    explicit LiveHelper(
        std::filesystem::path allowed = std::filesystem::read_symlink("/proc/self/exe"))
        : service_(dir_.path() / "data"),
          listener_(dir_.path() / "helper.sock", service_, PeerRequirement{{std::move(allowed)}}) {
        listener_.start();
    }
    [[nodiscard]] std::string socket() const { return (dir_.path() / "helper.sock").string(); }
    [[nodiscard]] std::filesystem::path dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    BastorHelperService service_;
    BastorListener listener_;
};

BastorRequest requestFor(std::vector<std::string> argv) {
    auto request = BastorRequest::validated(std::move(argv), std::nullopt, std::nullopt, 60,
                                            "client test", {"client-tests", "1"});
    request.resolvedPath = CommandResolver::resolve(request.argv.front());
    return request;
}

TEST(BastorConnectionLive, RepliesOvertakeEarlierCallsAndReachTheirOwnCaller) {
    LiveHelper helper;
    BastorClient(helper.socket()).setEnabled(true);
    BastorConnection connection(helper.socket());
    const auto go = helper.dir() / "go";

    Pending executed, stated;
    connection.execute(
        BastorJSON::encode(requestFor(
            {"sh", "-c", "until [ -e \"$0\" ]; do sleep 0.05; done; echo ran", go.string()})),
        executed.reply());
    connection.getState(stated.reply());

    const Answer state = stated.wait();
    EXPECT_FALSE(executed.answered()) << "execute answered before its command could end";
    ASSERT_TRUE(state.first) << state.second.value_or("");
    EXPECT_TRUE(BastorJSON::decode<BastorState>(*state.first).enabled);

    std::ofstream(go) << "go";
    const Answer result = executed.wait();
    ASSERT_TRUE(result.first) << result.second.value_or("");
    const auto decoded = BastorJSON::decode<BastorResult>(*result.first);
    EXPECT_EQ(decoded.exitCode, 0);
    EXPECT_EQ(decoded.stdout, "ran\n");
}

TEST(BastorConnectionLive, ManyThreadsOnOneConnectionEachGetTheirOwnReply) {
    LiveHelper helper;
    constexpr int entries = 12;
    {
        BastorClient client(helper.socket());
        client.setAuditEnabled(true);
        for (int i = 0; i < entries; ++i) {
            auto request = requestFor({"true"});
            request.reason = "event " + std::to_string(i);
            client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::requested));
        }
    }

    BastorConnection connection(helper.socket());
    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < entries; ++i) {
                const int offset = (i + t) % entries;
                Pending page;
                connection.readAudit(offset, 1, page.reply());
                const Answer answer = page.wait();
                const auto got = BastorJSON::decode<std::vector<AuditEntry>>(answer.first.value());
                if (got.size() != 1 || got[0].reason != "event " + std::to_string(offset)) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}

TEST(BastorConnectionLive, TypedCallsCarryRecordsAndTheHelpersOwnErrors) {
    LiveHelper helper;
    BastorClient client(helper.socket());

    try {
        client.execute(requestFor({"true"}));
        FAIL() << "executed while off";
    } catch (const BastorRemoteError& error) {
        EXPECT_STREQ(error.what(), BastorError::off().what());
        EXPECT_EQ(error.code(), BastorWire::operationFailed);
    }

    EXPECT_TRUE(client.setAuditEnabled(true).auditEnabled);
    auto request = requestFor({"true"});
    request.stdin = "input";
    client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::timedOut));
    const auto entries = client.readAudit(0, 10);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event, BastorAuditEvent::timedOut);
    EXPECT_EQ(entries[0].requestID, request.id);
    EXPECT_EQ(entries[0].stdinSHA256, Sha256::hex("input"));
    EXPECT_FALSE(entries[0].approvalMethod);  // only "approved" carries approval details
    EXPECT_EQ(entries[0].seq, 1);
    EXPECT_EQ(client.verifyAudit(), (BastorVerification{true, 1, std::nullopt}));
}

TEST(BastorConnectionLive, ParamsAreCheckedAndCompactedBeforeSending) {
    LiveHelper helper;
    BastorClient client(helper.socket());
    EXPECT_THROW(client.call("getState", "{oops"), BastorRpc::ProtocolError);
    EXPECT_THROW(client.call("getState", "{} {}"), BastorRpc::ProtocolError);
    // A line break inside the params must not split the line on the wire.
    EXPECT_TRUE(BastorJSON::decode<BastorState>(client.call("setEnabled", "{\n \"value\": true\n}"))
                    .enabled);
    EXPECT_NE(client.callRaw("noSuchMethod", "{}").find("\"code\":-32601"), std::string::npos);
}

TEST(BastorConnectionLive, APeerTheHelperDoesNotServeFailsInsteadOfWaiting) {
    LiveHelper helper("/usr/bin/true");
    BastorConnection connection(helper.socket());
    Pending state;
    connection.getState(state.reply());
    EXPECT_EQ(state.wait(),
              (Answer{std::nullopt, "Bastor's helper closed the connection before replying."}));
}

TEST(BastorConnection, NothingListeningMeansTheHelperIsNotReady) {
    TempDir dir;
    const auto missing = dir.path() / "missing.sock";
    const auto stale = dir.path() / "stale.sock";
    listenAt(stale).reset();  // the file stays, nobody listens
    for (const auto& path : {missing, stale}) {
        try {
            BastorConnection connection(path.string());
            ADD_FAILURE() << "connected to " << path;
        } catch (const BastorError& error) {
            EXPECT_EQ(error.kind(), BastorError::Kind::helperNotReady) << path;
            EXPECT_STREQ(error.what(), BastorError::helperNotReady().what());
        }
    }
}

// A stand-in helper that reads one call and then does what the test says.
class FakeHelper {
  public:
    explicit FakeHelper(std::function<void(int socket)> behaviour)
        : listening_(listenAt(dir_.path() / "fake.sock")),
          thread_([this, behaviour = std::move(behaviour)] {
              UniqueFd client(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
              if (client) behaviour(client.get());
          }) {}
    ~FakeHelper() { thread_.join(); }
    [[nodiscard]] std::string socket() const { return (dir_.path() / "fake.sock").string(); }

  private:
    TempDir dir_;
    UniqueFd listening_;
    std::thread thread_;
};

void writeText(int fd, std::string_view text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

TEST(BastorConnection, AHelperThatClosesMidCallFailsEveryPendingCallOnce) {
    FakeHelper fake([](int socket) { (void)readLine(socket); });
    BastorConnection connection(fake.socket());
    // A second answer to any call would hit a satisfied promise and abort.
    std::vector<Pending> calls(4);
    for (auto& call : calls)
        connection.getState(call.reply());
    for (auto& call : calls) {
        const Answer answer = call.wait();
        EXPECT_FALSE(answer.first);
        EXPECT_NE(answer.second.value_or("").find("Bastor's helper"), std::string::npos)
            << answer.second.value_or("");
    }
}

TEST(BastorConnection, ClosingTheConnectionFailsWhatIsStillPending) {
    std::promise<void> closed;
    FakeHelper fake([&](int socket) {
        (void)readLine(socket);
        closed.get_future().wait();
    });
    Pending state;
    {
        BastorConnection connection(fake.socket());
        connection.getState(state.reply());
    }
    closed.set_value();
    EXPECT_EQ(state.wait().second,
              "The connection to Bastor's helper was closed before the reply arrived.");
}

struct ReplyCase {
    const char* name;
    std::string reply;
    Answer expected;         // when the reply reaches the caller
    std::string failureHas;  // when it ends the connection instead
    bool inPieces = false;
};

TEST(BastorConnection, RepliesAreReadStrictlyAndNeverLeaveACallWaiting) {
    const std::vector<ReplyCase> cases = {
        {"result",
         R"({"jsonrpc":"2.0","id":1,"result":{"json":"{\"enabled\":true}"}})",
         {R"({"enabled":true})", std::nullopt},
         ""},
        {"result in pieces",
         R"({"id":1,"result":{"json":"[]"},"jsonrpc":"2.0"})",
         {"[]", std::nullopt},
         "",
         true},
        {"empty result", R"({"jsonrpc":"2.0","id":1,"result":{}})", {}, ""},
        {"error",
         R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"no \u25B8"}})",
         {std::nullopt, "no \u25B8"},
         ""},
        {"not JSON", "{\"jsonrpc\":", {}, "malformed reply"},
        {"unknown id", R"({"jsonrpc":"2.0","id":7,"result":{}})", {}, "no pending call (id 7)"},
        {"null id",
         R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})",
         {},
         "could not read a call: Parse error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::promise<void> done;
        FakeHelper fake([&](int socket) {
            (void)readLine(socket);
            const std::string line = c.reply + "\n";
            if (c.inPieces) {
                writeText(socket, line.substr(0, 9));
                std::this_thread::sleep_for(20ms);
                writeText(socket, line.substr(9));
            } else {
                writeText(socket, line);
            }
            done.get_future().wait();  // keep the connection open
        });
        Pending state;
        {
            BastorConnection connection(fake.socket());
            connection.getState(state.reply());
            const Answer answer = state.wait();
            if (c.failureHas.empty()) {
                EXPECT_EQ(answer, c.expected);
            } else {
                EXPECT_FALSE(answer.first);
                EXPECT_NE(answer.second.value_or("").find(c.failureHas), std::string::npos)
                    << answer.second.value_or("");
            }
        }
        done.set_value();
    }
}

}  // namespace
}  // namespace bastor
