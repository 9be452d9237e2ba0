// The daemon end to end over its socket, against baselines measured in the
// same run. The listener runs in this process (admitting this program), so
// its memory is this process's memory.
//
//   bench_daemon [execute-rounds] [events] [log-MiB]     (default 300 20000 256)

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/engine/AuditStore.h"
#include "NoctaBastorHelper/transport/BastorListener.h"

extern char** environ;

using namespace bastor;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_daemon: %s\n", what.c_str());
    std::exit(1);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A daemon on a directory of its own, serving this program.
class Daemon {
  public:
    explicit Daemon(fs::path directory) : directory_(std::move(directory)) {
        service_ = std::make_unique<BastorHelperService>(directory_ / "Bastor");
        listener_ = std::make_unique<BastorListener>(
            socketPath(), *service_,
            PeerRequirement{{fs::read_symlink("/proc/self/exe")}, std::nullopt, std::nullopt});
        listener_->start();
    }
    ~Daemon() {
        listener_.reset();
        service_.reset();
    }
    [[nodiscard]] fs::path socketPath() const { return directory_ / "helper.sock"; }

  private:
    fs::path directory_;
    std::unique_ptr<BastorHelperService> service_;
    std::unique_ptr<BastorListener> listener_;
};

class Client {
  public:
    explicit Client(const fs::path& socketPath) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            die("cannot connect (is this program root-owned and not group-writable?)");
    }
    ~Client() { ::close(fd_); }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const auto count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (count <= 0) die("send failed");
            bytes.remove_prefix(static_cast<std::size_t>(count));
        }
    }
    std::string readLine() {
        for (;;) {
            if (const auto end = buffer_.find('\n', scanned_); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                scanned_ = 0;
                return line;
            }
            scanned_ = buffer_.size();
            char chunk[1 << 16];
            const auto count = ::read(fd_, chunk, sizeof chunk);
            if (count <= 0) die("connection closed");
            buffer_.append(chunk, static_cast<std::size_t>(count));
        }
    }
    std::string call(std::string_view line) {
        send(line);
        return readLine();
    }

  private:
    int fd_;
    std::string buffer_;
    std::size_t scanned_ = 0;
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

void switchOn(Client& client) {
    expectSuccess(client.call(line("setAuditEnabled", R"({"value":true})")));
    expectSuccess(client.call(line("setEnabled", R"({"value":true})")));
}

void bareSpawnTrue() {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) die("spawn failed");
    int status = 0;
    ::waitpid(pid, &status, 0);
}

void benchExecute(const fs::path& root, int rounds) {
    Daemon daemon(root / "execute");
    Client client(daemon.socketPath());
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
    // Alternating blocks keep drift in the machine's load from favouring one side.
    double bare = 0, daemonTime = 0;
    constexpr int kBlock = 25;
    for (int done = 0; done < rounds; done += kBlock) {
        auto start = Clock::now();
        for (int i = 0; i < kBlock; ++i)
            bareSpawnTrue();
        bare += secondsSince(start);
        start = Clock::now();
        for (int i = 0; i < kBlock; ++i)
            expectSuccess(client.call(executeLine));
        daemonTime += secondsSince(start);
    }
    const int total = (rounds + kBlock - 1) / kBlock * kBlock;
    const double ratio = daemonTime / bare;
    std::printf("execute /bin/true round trip, auditing on: %.1f us per call\n",
                daemonTime / total * 1e6);
    std::printf("  bare posix_spawn + waitpid:              %.1f us per call\n",
                bare / total * 1e6);
    std::printf("  ratio %.2fx (target <= 1.50x) %s\n\n", ratio, ratio <= 1.5 ? "ok" : "MISSED");
}

void benchRecordEvent(const fs::path& root, int events) {
    Daemon daemon(root / "events");
    Client client(daemon.socketPath());
    switchOn(client);

    AuditEntry entry;
    entry.id = Uuid::random();
    entry.requestID = Uuid::random();
    entry.time = now();
    entry.event = BastorAuditEvent::requested;
    entry.argv = {"apt-get", "install", "-y", "nginx"};
    entry.resolvedPath = "/usr/bin/apt-get";
    entry.cwd = "/root";
    entry.reason = "Install the web server";
    entry.client = {"bastorctl", "0.1.0"};
    entry.prevHash = AuditChain::genesisHash();
    const std::string eventLine =
        line("recordEvent", "{\"eventJSON\":" + jsonString(BastorJSON::encode(entry)) + "}");

    const auto start = Clock::now();
    std::thread writer([&] {
        for (int i = 0; i < events; ++i)
            client.send(eventLine);
    });
    for (int i = 0; i < events; ++i)
        expectSuccess(client.readLine());
    const double elapsed = secondsSince(start);
    writer.join();
    const double rate = events / elapsed;
    std::printf("recordEvent pipelined on one connection: %d entries in %.2f s\n", events, elapsed);
    std::printf("  %.0f entries/s (target >= 20000) %s\n\n", rate, rate >= 20000 ? "ok" : "MISSED");
}

// Writes a chained log of about `bytes` as rotated files of the daemon's
// rotation size plus the live file; returns the number of entries.
std::int64_t writeLog(const fs::path& directory, std::uint64_t bytes) {
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
    entry.stdout = std::string(3000, 'x');
    entry.stderr = "";
    entry.stdoutSHA256 = AuditChain::sha256(*entry.stdout);
    entry.stderrSHA256 = AuditChain::sha256("");
    entry.stdoutBytes = 3000;
    entry.stderrBytes = 0;

    std::int64_t seq = 0;
    std::uint64_t written = 0;
    std::optional<std::string> previousLine;
    std::optional<std::string> previousHash;
    for (int file = 0; written < bytes; ++file) {
        char name[64];
        std::snprintf(name, sizeof name, "audit-2026-01-01T00-00-%02dZ.jsonl", file);
        std::ofstream out(directory / name, std::ios::binary);
        std::uint64_t inFile = 0;
        previousLine.reset();  // a new file links by the previous entry's hash
        while (inFile <= AuditStore::rotationBytes && written < bytes) {
            entry.id = Uuid::random();
            const AuditEntry sealed = AuditChain::seal(entry, ++seq, previousLine, previousHash);
            std::string text = AuditChain::encodeLine(sealed);
            out << text << '\n';
            inFile += text.size() + 1;
            written += text.size() + 1;
            previousHash = sealed.hash;
            previousLine = std::move(text);
        }
        if (!out) die("cannot write the log");
    }
    // The newest file becomes the live one.
    fs::path newest;
    for (const auto& item : fs::directory_iterator(directory))
        if (newest.empty() || item.path().filename() > newest.filename()) newest = item.path();
    fs::rename(newest, directory / "audit.jsonl");
    return seq;
}

std::uint64_t peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string field;
    while (status >> field)
        if (field == "VmHWM:") {
            std::uint64_t kib = 0;
            status >> kib;
            return kib;
        }
    return 0;
}

void benchVerify(const fs::path& root, std::uint64_t mebibytes) {
    const fs::path directory = root / "verify";
    const std::uint64_t bytes = mebibytes << 20;
    const std::int64_t entries = writeLog(directory / "Bastor", bytes);
    std::uint64_t onDisk = 0;
    for (const auto& item : fs::directory_iterator(directory / "Bastor"))
        onDisk += fs::file_size(item.path());

    Daemon daemon(directory);
    Client client(daemon.socketPath());
    (void)client.call(line("getState"));  // connection, threads and parser in place first
    // Let the peak start from what the process holds now.
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::uint64_t before = peakResidentKiB();
    const auto start = Clock::now();
    const std::string reply = client.call(line("verifyAudit"));
    const double elapsed = secondsSince(start);
    const std::uint64_t after = peakResidentKiB();

    const std::string expected =
        R"({\"count\":)" + std::to_string(entries) + R"(,\"intact\":true})";
    if (reply.find(expected) == std::string::npos) die("unexpected verification: " + reply);
    const double rate = onDisk / elapsed / 1e6;
    const double growth = (after - before) / 1024.0;
    std::printf("verifyAudit through the socket: %.0f MiB in %zu files, %lld entries, %.2f s\n",
                onDisk / 1048576.0,
                static_cast<std::size_t>(std::distance(fs::directory_iterator(directory / "Bastor"),
                                                       fs::directory_iterator{})),
                static_cast<long long>(entries), elapsed);
    std::printf("  %.0f MB/s (target >= 200) %s\n", rate, rate >= 200 ? "ok" : "MISSED");
    std::printf("  peak resident growth %.1f MiB (target < 64) %s\n", growth,
                growth < 64 ? "ok" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    const int events = argc > 2 ? std::atoi(argv[2]) : 20000;
    const int mebibytes = argc > 3 ? std::atoi(argv[3]) : 256;
    if (rounds <= 0 || events <= 0 || mebibytes <= 0)
        die("usage: bench_daemon [rounds] [events] [MiB]");

    std::string pattern = (fs::temp_directory_path() / "bench-daemon-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp failed");
    const fs::path root(pattern);
    benchExecute(root, rounds);
    benchRecordEvent(root, events);
    benchVerify(root, static_cast<std::uint64_t>(mebibytes));
    fs::remove_all(root);
    return 0;
}
