// The daemon end to end over its socket, one row per figure, each against a
// baseline measured in the same run. Rounds run the two sides in alternating
// order so that drift in the machine's load favours neither; every figure is
// the median over the rounds. The listener runs in this process (admitting
// this program), so its memory is this process's memory; the client side is
// plain socket calls, as a C client makes them.
//
//   bench_daemon [--quick] [--rounds N] [--log-mib M] [--only ROW]
//
// The log (default 1 GiB: 20 rotated files of just over 50 MiB and the live
// file) is fabricated under the temporary directory and removed at the end.
// --quick: 3 rounds, a 128 MiB log, fewer calls. --only runs one row: execute,
// events, verify, read or start. MB is 10^6 bytes.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/engine/AuditReader.h"
#include "NoctaBastorHelper/engine/AuditStore.h"
#include "NoctaBastorHelper/transport/BastorListener.h"
#include "bench/LineClient.h"
#include "bench/SampleEvent.h"

extern char** environ;

using namespace bastor;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Settings {
    int rounds = 5;
    std::uint64_t logMiB = 1024;
    int executeBlock = 40;   // calls per side and round
    int events = 20000;      // recordEvent calls per round
    int inFlight = 64;       // recordEvent calls outstanding on the connection
    int pageEntries = 1000;  // readAudit's page: the last this many entries
    std::string only;        // one row's name, for profiling it alone
};

fs::path benchRoot;  // removed on every way out

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_daemon: %s\n", what.c_str());
    std::error_code ignored;
    if (!benchRoot.empty()) fs::remove_all(benchRoot, ignored);
    std::exit(1);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F>
double timed(F&& work) {
    const auto start = Clock::now();
    work();
    return secondsSince(start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// CPU seconds of this process's threads and of its waited-for children: on a
// loaded machine a steadier measure of work than wall time.
double cpuSeconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        total += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return total;
}

// Where one side's CPU time goes: this thread (the client, or the bare
// spawner), the process's other threads (the daemon's), and waited-for
// children (the commands).
struct CpuSplit {
    double client = 0;
    double daemon = 0;
    double children = 0;
};

CpuSplit cpuSplit() {
    CpuSplit split;
    timespec thread{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &thread);
    split.client = static_cast<double>(thread.tv_sec) + static_cast<double>(thread.tv_nsec) / 1e9;
    const std::string self = std::to_string(::gettid());
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) continue;
        std::ifstream stat(task.path() / "schedstat");
        double nanoseconds = 0;
        if (stat >> nanoseconds) split.daemon += nanoseconds / 1e9;
    }
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    split.children = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return split;
}

// Keeps each call of `side`'s split, to be reported per call.
struct SplitLog {
    std::vector<double> client, daemon, children;

    std::function<void()> around(std::function<void()> side) {
        return [this, side = std::move(side)] {
            const CpuSplit before = cpuSplit();
            side();
            const CpuSplit after = cpuSplit();
            client.push_back(after.client - before.client);
            daemon.push_back(after.daemon - before.daemon);
            children.push_back(after.children - before.children);
        };
    }
    void print(const char* side, int calls) const {
        std::printf("    %-8s client %6.1f us, daemon threads %6.1f us, commands %6.1f us\n", side,
                    median(client) / calls * 1e6, median(daemon) / calls * 1e6,
                    median(children) / calls * 1e6);
    }
};

// Runs `rounds` rounds of the two sides, in alternating order; keeps the
// wall and CPU seconds each side took per round.
struct Sides {
    std::vector<double> subject;
    std::vector<double> baseline;
    std::vector<double> subjectCpu;
    std::vector<double> baselineCpu;
};
Sides alternate(int rounds, const std::function<void()>& subject,
                const std::function<void()>& baseline) {
    Sides sides;
    const auto run = [](const std::function<void()>& side, std::vector<double>& wall,
                        std::vector<double>& cpu) {
        const double cpuBefore = cpuSeconds();
        wall.push_back(timed(side));
        cpu.push_back(cpuSeconds() - cpuBefore);
    };
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            run(subject, sides.subject, sides.subjectCpu);
            run(baseline, sides.baseline, sides.baselineCpu);
        } else {
            run(baseline, sides.baseline, sides.baselineCpu);
            run(subject, sides.subject, sides.subjectCpu);
        }
    }
    return sides;
}

double medianRatio(const Sides& sides) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < sides.subject.size(); ++i)
        ratios.push_back(sides.subject[i] / sides.baseline[i]);
    return median(ratios);
}

const char* verdict(bool met) {
    return met ? "ok" : "MISSED";
}

// A daemon on a directory of its own, serving this program.
class Daemon {
  public:
    explicit Daemon(const fs::path& directory)
        : socketPath_(directory / "helper.sock"),
          // Runs in cgroups where the machine offers them, as the daemon's.
          service_(std::make_unique<BastorHelperService>(directory / "Bastor",
                                                         KernelAuditLog::Connection::kernel,
                                                         RunCgroups::discoverRoot())),
          listener_(std::make_unique<BastorListener>(
              socketPath_, *service_,
              PeerRequirement{{fs::read_symlink("/proc/self/exe")}, std::nullopt, std::nullopt})) {
        listener_->start();
    }
    ~Daemon() {
        listener_.reset();
        service_.reset();
    }
    [[nodiscard]] const fs::path& socketPath() const { return socketPath_; }

  private:
    fs::path socketPath_;
    std::unique_ptr<BastorHelperService> service_;
    std::unique_ptr<BastorListener> listener_;
};

std::string jsonString(std::string_view text) {
    std::string out;
    BastorJSON::appendString(out, text);
    return out;
}

std::string line(std::string_view method, std::string_view params = {}) {
    std::string out = R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(method) + "\"";
    if (!params.empty()) out += ",\"params\":" + std::string(params);
    return out + "}\n";
}

void expectSuccess(const std::string& reply) {
    if (reply.find("\"result\"") == std::string::npos) die("call failed: " + reply);
}

void switchOn(bench::LineClient& client) {
    expectSuccess(client.call(line("setAuditEnabled", R"({"value":true})")));
    expectSuccess(client.call(line("setEnabled", R"({"value":true})")));
}

void printRow(const char* row) {
    std::printf("\n== %s\n", row);
}

// ------------------------------------------------------------------ execute

void bareSpawnTrue() {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) die("spawn failed");
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// One write and fdatasync of a short line in `directory`: what making one
// audit entry durable costs there, whatever the daemon does.
double syncSeconds(const fs::path& directory) {
    const fs::path file = directory / "sync-probe";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) die("cannot open " + file.string());
    const std::string line(300, 'x');
    constexpr int kSyncs = 200;
    const double seconds = timed([&] {
        for (int i = 0; i < kSyncs; ++i)
            if (::write(fd, line.data(), line.size()) < 0 || ::fdatasync(fd) != 0)
                die("cannot sync " + file.string());
    });
    ::close(fd);
    fs::remove(file);
    return seconds / kSyncs;
}

// `where` names the file system of root, which holds the log.
void benchExecute(const fs::path& root, const Settings& s, const char* where) {
    Daemon daemon(root / "execute");
    bench::LineClient client(daemon.socketPath(), die);
    switchOn(client);

    BastorRequest request;
    request.id = Uuid::random();
    request.argv = {"/bin/true"};
    request.resolvedPath = CommandResolver::resolve("/bin/true");
    request.cwd = "/";
    request.timeoutSeconds = 60;
    request.reason = "bench";
    request.client = {"bench_daemon", "1"};
    const std::string executeLine =
        line("execute", "{\"requestJSON\":" + jsonString(BastorJSON::encode(request)) + "}");

    for (int i = 0; i < 20; ++i)
        bareSpawnTrue(), expectSuccess(client.call(executeLine));
    SplitLog executeSplit, bareSplit;
    const auto executes = [&] {
        for (int i = 0; i < s.executeBlock; ++i)
            expectSuccess(client.call(executeLine));
    };
    const auto spawns = [&] {
        for (int i = 0; i < s.executeBlock; ++i)
            bareSpawnTrue();
    };
    const Sides sides =
        alternate(s.rounds, executeSplit.around(executes), bareSplit.around(spawns));
    const double ratio = medianRatio(sides);
    const std::string row =
        std::string("execute /bin/true over the socket, auditing on, the log on ") + where +
        ", vs bare posix_spawn + waitpid";
    printRow(row.c_str());
    std::printf("  execute %.1f us per call, bare %.1f us per call\n",
                median(sides.subject) / s.executeBlock * 1e6,
                median(sides.baseline) / s.executeBlock * 1e6);
    std::printf("  CPU time per call, both ends and the child: %.1f us vs %.1f us\n",
                median(sides.subjectCpu) / s.executeBlock * 1e6,
                median(sides.baselineCpu) / s.executeBlock * 1e6);
    executeSplit.print("execute", s.executeBlock);
    bareSplit.print("bare", s.executeBlock);
    const double sync = syncSeconds(root);
    std::printf("  one audit entry's write and sync there: %.1f us (two per call)\n", sync * 1e6);
    // What the daemon adds beyond the two syncs that durability requires.
    const double executeCall = median(sides.subject) / s.executeBlock;
    const double bareCall = median(sides.baseline) / s.executeBlock;
    std::printf("  ratio with those two syncs counted apart: %.2fx\n",
                (executeCall - 2 * sync) / bareCall);
    std::printf("  ratio %.2fx (target <= 1.20x) %s\n", ratio, verdict(ratio <= 1.2));
}

// The same round trip with no work in the server: a byte over a socket pair,
// /bin/true spawned and waited for, a byte back. It shows what any server on
// this machine pays before doing any of the daemon's work.
class EmptyServer {
  public:
    // With `handOff`, a reader thread passes each call to a worker thread,
    // as an event loop passes calls to its pool; else the reader runs it.
    explicit EmptyServer(bool handOff) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            die("cannot make a socket pair");
        client_.reset(fds[0]);
        server_.reset(fds[1]);
        reader_ = std::thread([this, handOff] {
            char byte;
            while (::read(server_.get(), &byte, 1) == 1) {
                if (handOff) {
                    calls_.release();
                } else {
                    serve();
                }
            }
            stopping_ = true;
            calls_.release();
        });
        if (handOff)
            worker_ = std::thread([this] {
                for (;;) {
                    calls_.acquire();
                    if (stopping_) return;
                    serve();
                }
            });
    }
    ~EmptyServer() {
        ::shutdown(client_.get(), SHUT_RDWR);
        reader_.join();
        if (worker_.joinable()) worker_.join();
    }
    EmptyServer(const EmptyServer&) = delete;
    EmptyServer& operator=(const EmptyServer&) = delete;

    void call() {
        char byte = 1;
        if (::write(client_.get(), &byte, 1) != 1 || ::read(client_.get(), &byte, 1) != 1)
            die("the empty server went away");
    }

  private:
    void serve() {
        bareSpawnTrue();
        const char byte = 1;
        (void)!::write(server_.get(), &byte, 1);
    }

    UniqueFd client_;
    UniqueFd server_;
    std::counting_semaphore<> calls_{0};
    std::atomic<bool> stopping_{false};
    std::thread reader_;
    std::thread worker_;
};

void benchExecuteFloor(const Settings& s) {
    printRow("the same round trip with no work in the server, vs bare posix_spawn + waitpid");
    for (const bool handOff : {false, true}) {
        EmptyServer server(handOff);
        const auto calls = [&] {
            for (int i = 0; i < s.executeBlock; ++i)
                server.call();
        };
        const auto spawns = [&] {
            for (int i = 0; i < s.executeBlock; ++i)
                bareSpawnTrue();
        };
        const Sides sides = alternate(s.rounds, calls, spawns);
        const double extra = (median(sides.subject) - median(sides.baseline)) / s.executeBlock;
        std::printf("  %-50s %.2fx (%+.0f us per call)\n",
                    handOff ? "a reader thread handing calls to a worker thread:"
                            : "the thread that reads the call runs it:",
                    medianRatio(sides), extra * 1e6);
    }
}

// -------------------------------------------------------------- recordEvent

void benchRecordEvent(const fs::path& root, const Settings& s) {
    Daemon daemon(root / "events");
    bench::LineClient client(daemon.socketPath(), die);
    switchOn(client);
    const AuditEntry entry = bench::sampleEvent();
    const std::string eventLine =
        line("recordEvent", "{\"eventJSON\":" + jsonString(BastorJSON::encode(entry)) + "}");

    // The baseline: the same entries sealed and written by the store itself,
    // a sync shared by each 64 of them, as the calls in flight share one.
    fs::create_directories(root / "events-direct");
    AuditStore store(root / "events-direct");

    const Sides sides = alternate(
        s.rounds,
        [&] {
            std::counting_semaphore<> window(s.inFlight);
            std::thread writer([&] {
                for (int i = 0; i < s.events; ++i) {
                    window.acquire();
                    client.send(eventLine);
                }
            });
            for (int i = 0; i < s.events; ++i) {
                expectSuccess(client.readLine());
                window.release();
            }
            writer.join();
        },
        [&] {
            for (int i = 0; i < s.events; i += s.inFlight) {
                GroupCommit::Ticket last = 0;
                for (int j = i; j < std::min(s.events, i + s.inFlight); ++j)
                    last = store.write(entry).ticket;
                store.awaitDurable(last);
            }
        });
    const double rate = s.events / median(sides.subject);
    printRow("recordEvent, one connection, 64 in flight, vs the store writing 64 per sync");
    std::printf("  %.0f entries/s over the socket, %.0f entries/s written directly\n", rate,
                s.events / median(sides.baseline));
    std::printf("  CPU time per entry: %.1f us over the socket, %.1f us written directly\n",
                median(sides.subjectCpu) / s.events * 1e6,
                median(sides.baselineCpu) / s.events * 1e6);
    std::printf("  ratio %.2fx the direct time; target >= 50000/s: %s\n", medianRatio(sides),
                verdict(rate >= 50000));
}

// ------------------------------------------------------------ the large log

struct Log {
    fs::path directory;
    std::int64_t entries = 0;
    std::uint64_t bytes = 0;
    std::vector<fs::path> files;
};

// A chained log of about `bytes` as rotated files of the store's rotation
// size plus the live file, linked as the store links them.
Log fabricateLog(const fs::path& directory, std::uint64_t bytes) {
    fs::create_directories(directory);
    AuditEntry entry;
    entry.requestID = Uuid::random();
    entry.time = now();
    entry.event = BastorAuditEvent::completed;
    entry.argv = {"journalctl", "-u", "nginx", "-n", "40"};
    entry.resolvedPath = "/usr/bin/journalctl";
    entry.cwd = "/";
    entry.reason = "Why did the web server stop?";
    entry.client = {"bastorctl", "0.1.0"};
    entry.exitCode = 0;
    entry.durationMs = 12;
    std::string output;
    while (output.size() < 3000)
        output += "Dec 06 12:00:01 host nginx[812]: worker process exited on signal 9\n";
    entry.stdout = output;
    entry.stderr = "";
    entry.stdoutSHA256 = AuditChain::sha256(output);
    entry.stderrSHA256 = AuditChain::sha256("");
    entry.stdoutBytes = static_cast<std::int64_t>(output.size());
    entry.stderrBytes = 0;

    Log log{directory, 0, 0, {}};
    std::optional<std::string> previousLine;
    std::optional<std::string> previousHash;
    std::string pending;
    for (int file = 0; log.bytes < bytes; ++file) {
        char name[64];
        std::snprintf(name, sizeof name, "audit-2026-01-01T00-00-%02dZ.jsonl", file);
        std::ofstream out(directory / name, std::ios::binary);
        std::uint64_t inFile = 0;
        previousLine.reset();  // a new file links by the previous entry's hash
        while (inFile <= AuditStore::rotationBytes && log.bytes < bytes) {
            entry.id = Uuid::random();
            AuditChain::SealedLine sealed =
                AuditChain::sealLine(entry, ++log.entries, previousLine, previousHash);
            pending += sealed.line;
            pending += '\n';
            inFile += sealed.line.size() + 1;
            log.bytes += sealed.line.size() + 1;
            previousHash = std::move(sealed.entry.hash);
            previousLine = std::move(sealed.line);
            if (pending.size() >= (1u << 20)) out << pending, pending.clear();
        }
        out << pending;
        pending.clear();
        if (!out) die("cannot write the log");
        log.files.push_back(directory / name);
    }
    // The newest file becomes the live one.
    fs::rename(log.files.back(), directory / "audit.jsonl");
    log.files.back() = directory / "audit.jsonl";
    return log;
}

std::uint64_t statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string text; std::getline(status, text);)
        if (text.starts_with(field + ":")) return std::stoull(text.substr(field.size() + 1));
    return 0;
}

void runOpenssl(const std::vector<fs::path>& files) {
    std::vector<std::string> args = {"openssl", "dgst", "-sha256"};
    for (const auto& file : files)
        args.push_back(file.string());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) die("cannot run openssl");
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("openssl dgst failed");
}

// The verifier as it was: one thread, line by line.
BastorVerification verifySequentially(const Log& log) {
    AuditChain::Verifier verifier;
    for (const auto& file : log.files) {
        verifier.beginFile();
        AuditReader::forEachLine(file,
                                 [&](std::string_view text) { return verifier.addLine(text); });
    }
    return verifier.result();
}

void benchVerify(const fs::path& root, const Log& log, const Settings& s) {
    Daemon daemon(root / "log");
    bench::LineClient client(daemon.socketPath(), die);
    const std::string expected =
        R"({\"count\":)" + std::to_string(log.entries) + R"(,\"intact\":true})";
    const auto check = [&](const std::string& reply) {
        if (reply.find(expected) == std::string::npos) die("unexpected verification: " + reply);
    };
    runOpenssl(log.files);  // the page cache holds the log for everyone from here on
    check(client.call(line("verifyAudit")));

    // Memory: the peak while one verification runs, over what the process held.
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::uint64_t before = statusKiB("VmRSS");
    check(client.call(line("verifyAudit")));
    const double growthMiB = static_cast<double>(statusKiB("VmHWM") - before) / 1024.0;

    const Sides vsOpenssl = alternate(
        s.rounds, [&] { check(client.call(line("verifyAudit"))); }, [&] { runOpenssl(log.files); });
    const Sides vsSequential = alternate(
        s.rounds, [&] { check(client.call(line("verifyAudit"))); },
        [&] {
            if (verifySequentially(log).count != log.entries) die("sequential verify differs");
        });
    std::vector<double> all = vsOpenssl.subject;
    all.insert(all.end(), vsSequential.subject.begin(), vsSequential.subject.end());
    const double mb = static_cast<double>(log.bytes) / 1e6;
    const double rate = mb / median(all);
    printRow("verifyAudit through the socket");
    std::printf("  %.0f MiB in %zu files, %lld entries: %.0f MB/s (%.2f s)\n",
                static_cast<double>(log.bytes) / 1048576.0, log.files.size(),
                static_cast<long long>(log.entries), rate, median(all));
    std::printf("  openssl dgst -sha256 over the files: %.0f MB/s; time ratio %.2fx\n",
                mb / median(vsOpenssl.baseline), medianRatio(vsOpenssl));
    std::printf("  sequential verifier, one thread: %.0f MB/s; time ratio %.2fx\n",
                mb / median(vsSequential.baseline), medianRatio(vsSequential));
    std::printf("  per CPU second: %.0f MB (parallel), %.0f MB (sequential), %.0f MB (openssl)\n",
                mb / median(vsSequential.subjectCpu), mb / median(vsSequential.baselineCpu),
                mb / median(vsOpenssl.baselineCpu));
    std::printf("  target >= 1000 MB/s: %s\n", verdict(rate >= 1000));
    std::printf("  peak resident growth %.1f MiB (target < 64) %s\n", growthMiB,
                verdict(growthMiB < 64));
}

// ---------------------------------------------------------------- readAudit

void benchReadAudit(const fs::path& root, const Log& log, const Settings& s) {
    Daemon daemon(root / "log");
    bench::LineClient client(daemon.socketPath(), die);
    const std::int64_t offset = log.entries - s.pageEntries;
    const std::string lastPage =
        line("readAudit", "{\"offset\":" + std::to_string(offset) +
                              ",\"limit\":" + std::to_string(s.pageEntries) + "}");
    const auto check = [&](const std::string& reply) {
        const std::string last = "\\\"seq\\\":" + std::to_string(log.entries) + ",";
        if (reply.find(last) == std::string::npos) die("unexpected page");
    };
    const double first = timed([&] { check(client.call(lastPage)); });

    // The baseline reads the same page with nothing counted yet, as every
    // read did before the counts were kept.
    const Sides sides = alternate(
        s.rounds, [&] { check(client.call(lastPage)); },
        [&] {
            AuditIndex fresh;
            const auto page = AuditReader::readPage(log.directory, offset, s.pageEntries, fresh);
            if (page.size() != static_cast<std::size_t>(s.pageEntries)) die("short page");
        });
    AuditIndex warm;
    (void)AuditReader::readPage(log.directory, offset, s.pageEntries, warm);
    std::vector<double> inProcess;
    for (int round = 0; round < s.rounds; ++round)
        inProcess.push_back(timed(
            [&] { (void)AuditReader::readPage(log.directory, offset, s.pageEntries, warm); }));
    const double ms = median(sides.subject) * 1e3;
    printRow("readAudit of the last entries, through the socket, vs counting every file");
    std::printf(
        "  (CPU time per call, both ends: %.1f ms; reading the page in the daemon: %.1f ms)\n",
        median(sides.subjectCpu) * 1e3, median(inProcess) * 1e3);
    std::printf(
        "  last %d of %lld entries: %.1f ms (the first call, counting the files: %.0f ms)\n",
        s.pageEntries, static_cast<long long>(log.entries), ms, first * 1e3);
    std::printf("  every file counted again: %.0f ms; time ratio %.3fx\n",
                median(sides.baseline) * 1e3, medianRatio(sides));
    std::printf("  target <= 50 ms: %s\n", verdict(ms <= 50));
}

// ------------------------------------------------------------- daemon start

void benchStart(const fs::path& root, const Settings& s) {
    fs::create_directories(root / "empty" / "Bastor");
    const auto start = [&](const fs::path& directory) {
        Daemon daemon(directory);
        bench::LineClient client(daemon.socketPath(), die);
        expectSuccess(client.call(line("getState")));
    };
    const Sides sides = alternate(
        s.rounds, [&] { start(root / "log"); }, [&] { start(root / "empty"); });
    const double ms = median(sides.subject) * 1e3;
    printRow("daemon start to the first reply, with the log vs with no log");
    std::printf("  %.1f ms with the log, %.1f ms without; ratio %.2fx\n", ms,
                median(sides.baseline) * 1e3, medianRatio(sides));
    std::printf("  target <= 100 ms: %s\n", verdict(ms <= 100));
}

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            s.rounds = 3;
            s.logMiB = 128;
            s.executeBlock = 20;
            s.events = 5000;
        } else if (arg == "--rounds" && i + 1 < argc) {
            s.rounds = std::atoi(argv[++i]);
        } else if (arg == "--log-mib" && i + 1 < argc) {
            s.logMiB = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--only" && i + 1 < argc) {
            s.only = argv[++i];
        } else {
            die("usage: bench_daemon [--quick] [--rounds N] [--log-mib M] [--only ROW]");
        }
    }
    if (s.rounds <= 0 || s.logMiB == 0) die("rounds and log size must be positive");
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const Settings s = parse(argc, argv);
    std::string pattern = (fs::temp_directory_path() / "bench-daemon-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp failed");
    const fs::path root(pattern);
    benchRoot = root;
    struct RemoveOnExit {
        fs::path root;
        ~RemoveOnExit() { fs::remove_all(root); }
    } cleanup{root};

    const auto wanted = [&](std::string_view row) { return s.only.empty() || s.only == row; };
    std::printf("%d rounds per row, sides alternating; medians\n", s.rounds);
    if (wanted("execute")) {
        benchExecute(root, s, "disk");
        // Where a sync costs nothing: the daemon's own share of the time.
        std::string shm = "/dev/shm/bench-daemon-XXXXXX";
        if (::mkdtemp(shm.data()) != nullptr) {
            benchExecute(shm, s, "tmpfs");
            fs::remove_all(shm);
        }
        benchExecuteFloor(s);
    }
    if (wanted("events")) benchRecordEvent(root, s);
    if (!(wanted("verify") || wanted("read") || wanted("start"))) return 0;

    const auto fabricated = Clock::now();
    const Log log = fabricateLog(root / "log" / "Bastor", s.logMiB << 20);
    std::printf("\n(log fabricated: %.0f MiB, %zu files, %lld entries, in %.1f s)\n",
                static_cast<double>(log.bytes) / 1048576.0, log.files.size(),
                static_cast<long long>(log.entries), secondsSince(fabricated));
    if (wanted("verify")) benchVerify(root, log, s);
    if (wanted("read")) benchReadAudit(root, log, s);
    if (wanted("start")) benchStart(root, s);
    return 0;
}
