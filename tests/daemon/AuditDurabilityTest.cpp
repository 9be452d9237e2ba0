// The audit log survives what a machine does to it: a torn last line, a
// daemon killed during appends, and the order of syncs against replies and
// children, seen by strace.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/audit/AuditLogFiles.h"
#include "tests/daemon/DaemonTestSupport.h"

extern char** environ;

namespace bastor::test {
namespace {

using namespace std::chrono_literals;

// An entry as the client records it, with an id the test can look for.
std::string eventLine(std::string_view rpcId, const std::string& entryId, std::size_t outputBytes) {
    AuditEntry entry = BastorJSON::decode<AuditEntry>(
        R"({"id":")" + entryId +
        R"(","request_id":"8E6B2C1D-5F4A-4B3C-9D2E-1F0A9B8C7D6E","seq":0,"time":"2026-12-06T12:00:00Z",)"
        R"("event":"requested","argv":["df","-h"],"resolved_path":"\/usr\/bin\/df","cwd":"\/",)"
        R"("reason":"r","client":{"name":"bastorctl","version":"1"},"prev_hash":"x"})");
    entry.stdout = std::string(outputBytes, 'o');
    return requestLine(rpcId, "recordEvent",
                       R"({"eventJSON":)" + jsonString(BastorJSON::encode(entry)) + "}");
}

// The daemon as a process of its own, optionally under a tracer's command.
class HostProcess {
  public:
    HostProcess(const fs::path& directory, const fs::path& socket,
                std::vector<std::string> prefix = {}) {
        std::vector<std::string> args = std::move(prefix);
        args.insert(args.end(), {BASTOR_DAEMON_HOST, directory.string(), socket.string(),
                                 fs::read_symlink("/proc/self/exe").string()});
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start " + args[0]);
        for (int tries = 0; tries < 600; ++tries) {
            try {
                LineClient probe(socket);
                return;
            } catch (const std::runtime_error&) {
                std::this_thread::sleep_for(25ms);
            }
        }
        throw std::runtime_error("the daemon did not come up");
    }
    ~HostProcess() { stop(SIGKILL); }
    void stop(int signal) {
        if (pid_ <= 0) return;
        // Under a tracer the daemon is the tracer's child; the tracer ends with it.
        std::istringstream children(readFile("/proc/" + std::to_string(pid_) + "/task/" +
                                             std::to_string(pid_) + "/children"));
        pid_t child = 0;
        ::kill(children >> child ? child : pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

// Entry ids of the log, taken from the canonical lines without decoding
// megabytes of output each.
std::set<std::string> loggedIds(const fs::path& directory) {
    std::set<std::string> ids;
    constexpr std::string_view key = R"(,"id":")";
    for (const auto& file : AuditLogFiles::list(directory)) {
        AuditLogFiles::forEachLine(file, [&](std::string_view line) {
            const auto at = line.rfind(key);
            if (at != std::string_view::npos) ids.emplace(line.substr(at + key.size(), 36));
            return true;
        });
    }
    return ids;
}

std::vector<fs::path> tornFiles(const fs::path& directory) {
    std::vector<fs::path> torn;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().starts_with("audit.jsonl.torn-"))
            torn.push_back(entry.path());
    return torn;
}

TEST(AuditDurability, TornLastLineMovesAsideAndTheChainGoesOn) {
    TempDir temp;
    std::string whole;
    {
        AuditStore store(temp.path);
        for (int i = 0; i < 3; ++i)
            (void)store.append(AuditEntries::makeSwitchEntry(true));
        whole = readFile(temp.path / "audit.jsonl");
    }
    const std::string fragment = R"({"approval_method":"manual","argv":["rm")";
    for (const std::string& tail : {fragment, std::string("\n") + fragment}) {
        SCOPED_TRACE(tail.front() == '\n' ? "after an empty line" : "glued to the last line");
        writeFile(temp.path / "audit.jsonl", whole + tail);
        for (const auto& torn : tornFiles(temp.path))
            fs::remove(torn);

        AuditStore store(temp.path);
        const auto torn = tornFiles(temp.path);
        ASSERT_EQ(torn.size(), 1u);
        EXPECT_EQ(readFile(torn[0]), fragment);  // kept, not lost
        EXPECT_EQ(modeOf(torn[0]), 0600u);
        EXPECT_EQ(readFile(temp.path / "audit.jsonl").size(),
                  whole.size() + (tail.size() - fragment.size()));
        EXPECT_EQ(store.append(AuditEntries::makeSwitchEntry(false)).seq, 4);
        EXPECT_EQ(AuditReader::verify(temp.path), verdict(4));  // no alarm for a crash
        EXPECT_EQ(AuditStore::auditFiles(temp.path).size(), 1u);
        whole = readFile(temp.path / "audit.jsonl");
        whole.resize(whole.size() - linesOf(temp.path / "audit.jsonl").back().size() - 1);
    }

    // A live file of only a fragment leaves the chain to the rotated file.
    fs::rename(temp.path / "audit.jsonl", temp.path / "audit-2026-01-01T00-00-00Z.jsonl");
    writeFile(temp.path / "audit.jsonl", fragment);
    AuditStore store(temp.path);
    EXPECT_EQ(readFile(temp.path / "audit.jsonl"), "");
    EXPECT_EQ(store.append(AuditEntries::makeSwitchEntry(true)).seq, 5);
    EXPECT_EQ(AuditReader::verify(temp.path), verdict(5));
}

// Killed at random moments while large entries are appended, the daemon
// loses nothing it acknowledged, and every restart finds a sound chain.
TEST(AuditDurability, KilledDuringLargeAppendsLosesNothingAcknowledged) {
    TempDir temp;
    const fs::path directory = temp.path / "Bastor";
    const fs::path socket = temp.path / "helper.sock";
    std::mt19937_64 random(std::random_device{}());
    std::set<std::string> acknowledged;
    std::mutex acknowledgedMutex;
    constexpr int rounds = 30;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        HostProcess host(directory, socket);
        // What the last kill left must already be sound.
        ASSERT_TRUE(AuditReader::verify(directory).intact);
        const auto ids = loggedIds(directory);
        for (const auto& id : acknowledged)
            ASSERT_TRUE(ids.contains(id)) << "acknowledged entry " << id << " is gone";
        if (round == rounds - 1) break;

        LineClient(socket).call(requestLine("1", "setAuditEnabled", R"({"value":true})"));
        std::atomic<bool> going = true;
        std::vector<std::thread> writers;
        for (int w = 0; w < 4; ++w) {
            writers.emplace_back([&, seed = random()] {
                std::mt19937_64 mine(seed);
                try {
                    LineClient client(socket);
                    while (going) {
                        const std::string id = Uuid::random().text();
                        const auto reply =
                            client.call(eventLine("7", id, (128 << 10) + mine() % (2 << 20)));
                        if (reply.find(R"("result":{})") == std::string::npos) return;
                        std::lock_guard lock(acknowledgedMutex);
                        acknowledged.insert(id);
                    }
                } catch (const std::exception&) {
                    // The daemon died under the call: not acknowledged.
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
        host.stop(SIGKILL);
        going = false;
        for (auto& writer : writers)
            writer.join();
    }
    EXPECT_FALSE(acknowledged.empty());
    std::cout << "acknowledged " << acknowledged.size() << " entries; "
              << tornFiles(directory).size() << " torn lines moved aside\n";
}

// strace's view of the daemon: each line, with its pid, in the order seen.
struct Trace {
    std::vector<std::string> lines;

    // First line at or after `from` holding every needle; lines.size() if none.
    [[nodiscard]] std::size_t find(std::size_t from,
                                   std::initializer_list<std::string_view> needles,
                                   std::string_view without = {}) const {
        for (std::size_t i = from; i < lines.size(); ++i) {
            bool all = true;
            for (auto needle : needles)
                all = all && lines[i].find(needle) != std::string::npos;
            if (all && (without.empty() || lines[i].find(without) == std::string::npos)) return i;
        }
        return lines.size();
    }
    // Where the first fdatasync of the live file that starts after `from` has
    // returned successfully.
    [[nodiscard]] std::size_t syncedAfter(std::size_t from) const {
        const std::size_t start = find(from, {"fdatasync(", "audit.jsonl>"});
        if (start == lines.size()) return start;
        if (lines[start].find(") = 0") != std::string::npos) return start;
        const std::string pid = lines[start].substr(0, lines[start].find(' '));
        // strace pads the resumed line to align its result.
        return find(start, {pid + " ", "<... fdatasync resumed>)", " = 0"});
    }
};

TEST(AuditDurability, SyncComesBeforeTheReplyAndTheChild) {
    if (::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "no strace";
    TempDir temp;
    const fs::path trace = temp.path / "trace";
    const fs::path socket = temp.path / "helper.sock";
    {
        HostProcess host(temp.path / "Bastor", socket,
                         {"strace", "-f", "-qq", "-y", "-s", "4096", "-o", trace.string(), "-e",
                          "trace=fdatasync,write,writev,sendto,sendmsg,clone,clone3,vfork",
                          // Slow syncs, so that appends made meanwhile wait for
                          // the next one however the tracer paces the threads.
                          "-e", "inject=fdatasync:delay_exit=20000"});
        LineClient client(socket);
        client.call(requestLine("1", "setAuditEnabled", R"({"value":true})"));
        client.call(requestLine("2", "setEnabled", R"({"value":true})"));
        client.call(eventLine("71", "11111111-2222-4333-8444-555555555555", 10));
        for (int run = 0; run < 4; ++run)
            client.call(executeLine(std::to_string(72 + run), requestFor({"true"})));
        // Concurrent appends share syncs: every writer is connected before
        // any sends, so the appends come together.
        std::vector<std::unique_ptr<LineClient>> writers;
        for (int w = 0; w < 32; ++w)
            writers.push_back(std::make_unique<LineClient>(socket));
        for (int w = 0; w < 32; ++w)
            ASSERT_TRUE(writers[w]->send(
                eventLine(std::to_string(100 + w),
                          "AAAAAAAA-0000-4000-8000-0000000000" + std::to_string(10 + w), 1000)));
        for (auto& writer : writers)
            EXPECT_TRUE(writer->readLine().has_value());
        host.stop(SIGTERM);
    }
    Trace seen;
    std::istringstream text(readFile(trace));
    for (std::string line; std::getline(text, line);)
        seen.lines.push_back(line);

    const std::size_t recorded =
        seen.find(0, {"audit.jsonl>", "11111111-2222-4333-8444-555555555555"});
    const std::size_t synced = seen.syncedAfter(recorded);
    const std::size_t replied = seen.find(0, {"socket:", R"(\"id\":71,)"});
    ASSERT_LT(recorded, seen.lines.size());
    EXPECT_LT(synced, replied) << "recordEvent answered before its entry was synced";
    EXPECT_LT(replied, seen.lines.size());

    std::size_t runs = 0;
    for (std::size_t approved = seen.find(replied, {"audit.jsonl>", R"(\"event\":\"approved\")"});
         approved < seen.lines.size();
         approved = seen.find(approved + 1, {"audit.jsonl>", R"(\"event\":\"approved\")"})) {
        // The call itself, not a thread's "resumed" line.
        const std::size_t child = seen.find(approved, {"clone", "flags="}, "CLONE_THREAD");
        ASSERT_LT(child, seen.lines.size());
        EXPECT_LT(seen.syncedAfter(approved), child)
            << "the command started before its approval was synced";
        ++runs;
    }
    EXPECT_EQ(runs, 4u);

    std::size_t syncs = 0;
    for (std::size_t at = seen.find(0, {"fdatasync(", "audit.jsonl>"}); at < seen.lines.size();
         at = seen.find(at + 1, {"fdatasync(", "audit.jsonl>"}))
        ++syncs;
    const std::size_t appends = 2 + 2 * 4 + 32;  // the switch, the event, the runs, the writers
    EXPECT_LT(syncs, appends) << "every append synced alone";
}

// A sync that fails leaves the entry unacknowledged: the call answers with the
// failure, whether it waited on a thread or left a callback, and a command
// whose approval was not synced never starts.
TEST(AuditDurability, AFailedSyncIsReportedNotAcknowledged) {
    if (::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "no strace";
    TempDir temp;
    const fs::path socket = temp.path / "helper.sock";
    const fs::path marker = temp.path / "ran";
    HostProcess host(temp.path / "Bastor", socket,
                     {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fdatasync", "-e",
                      "inject=fdatasync:error=EIO"});
    LineClient client(socket);
    client.call(requestLine("1", "setAuditEnabled", R"({"value":true})"));
    const std::string replies[] = {
        client.call(requestLine("2", "setEnabled", R"({"value":true})")),
        client.call(eventLine("3", "11111111-2222-4333-8444-555555555555", 10)),
        client.call(executeLine("4", requestFor({"touch", marker.string()}))),
    };
    for (const std::string& reply : replies) {
        EXPECT_EQ(reply.find("\"result\""), std::string::npos) << reply;
        EXPECT_NE(reply.find("could not sync"), std::string::npos) << reply;
    }
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
}  // namespace bastor::test
