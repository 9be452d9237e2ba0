// Speed of the audit chain on a log of realistic entries, against a baseline
// measured in the same run: `openssl dgst -sha256` over the same file.
//
//   bench_audit_chain [MiB]     (default 256)
//
// Pinned to one core; openssl inherits the pinning. MB is 10^6 bytes.

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/platform/Sha256.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorJSON.h"

extern char** environ;

namespace {

using bastor::AuditEntry;
using bastor::BastorAuditEvent;
namespace AuditChain = bastor::AuditChain;
using Clock = std::chrono::steady_clock;

constexpr int kRepeats = 3;
constexpr std::size_t kChunk = 1 << 20;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// CPU time of this process (user + system); on a shared machine it is
// steadier than wall time, and a pinned single thread uses one core only.
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
};

// Best of kRepeats runs. `run` returns the CPU seconds it used, for work done
// in a child process.
template <class F>
Timing bestOf(F&& run) {
    Timing best;
    for (int i = 0; i < kRepeats; ++i) {
        const auto start = Clock::now();
        const double cpu = run();
        best.wall = std::min(best.wall, secondsSince(start));
        best.cpu = std::min(best.cpu, cpu);
    }
    return best;
}

template <class F>
double cpuOf(F&& work) {
    const double start = cpuSeconds();
    work();
    return cpuSeconds() - start;
}

// Text like what commands print: paths, columns, tabs, line feeds, the odd
// quote, backslash and non-ASCII name.
std::string commandOutput(std::mt19937_64& rng, std::size_t bytes) {
    static const std::vector<std::string> pieces = {
        "drwxr-xr-x  2 root root  4096 Dec  4 23:09 /var/lib/apt/lists\n",
        "-rw-r--r--  1 root root 18322 Dec  4 23:09 /etc/ssl/certs/ca-certificates.crt\n",
        "Reading package lists... Done\n",
        "1.2G\t/var/log/journal/6c1e0f7d\n",
        "Setting up libssl3:amd64 (3.0.19-1~deb12u1) ...\n",
        "user \"Renée\" added to group \"adm\"\n",
        "  inet 127.0.0.1/8 scope host lo\n",
        "C:\\Program Files\\something someone printed\n",
    };
    std::string out;
    while (out.size() < bytes)
        out += pieces[rng() % pieces.size()];
    out.resize(bytes);
    return bastor::repairUtf8(out);
}

// The entries of one request as the helper and its client write them:
// requested, then denied / timed out, or approved and completed / failed.
class RequestMix {
  public:
    explicit RequestMix(std::uint64_t seed) : rng_(seed) {}

    void next(std::vector<AuditEntry>& out) {
        AuditEntry base;
        base.requestID = bastor::Uuid::random();
        base.time = bastor::DateTime{std::chrono::seconds{1'796'425'757 + counter_++}};
        const auto& command = kCommands[rng_() % kCommands.size()];
        base.argv = command;
        base.resolvedPath = command.front();
        base.cwd = (rng_() % 2) != 0 ? "/root" : "/var/lib/nocta";
        base.reason = "Keep the system up to date and check disk usage (ticket " +
                      std::to_string(rng_() % 100000) + ")";
        base.client = {.name = "bastorctl", .version = "1.4.2"};
        base.prevHash = AuditChain::genesisHash();
        if (rng_() % 8 == 0) {
            const std::string input = commandOutput(rng_, 64 + rng_() % 512);
            base.stdinSHA256 = AuditChain::sha256Text(input);
            base.stdinBytes = static_cast<std::int64_t>(input.size());
        }

        out.push_back(withEvent(base, BastorAuditEvent::requested));
        const auto roll = rng_() % 20;
        if (roll == 0) {
            out.push_back(withEvent(base, BastorAuditEvent::denied));
            return;
        }
        if (roll == 1) {
            out.push_back(withEvent(base, BastorAuditEvent::timedOut));
            return;
        }
        AuditEntry approved = withEvent(base, BastorAuditEvent::approved);
        approved.approvalMethod = bastor::BastorApprovalMethod::manual;
        approved.approver = "alice";
        approved.authMethod = bastor::BastorAuthMethod::biometry;
        out.push_back(approved);

        AuditEntry outcome = withEvent(base, BastorAuditEvent::completed);
        if (rng_() % 10 == 0) {
            outcome.event = BastorAuditEvent::failed;
            outcome.error = "cwd does not exist: /var/lib/nocta/gone";
        } else {
            const std::string out1 = commandOutput(rng_, 200 + rng_() % 4000);
            const std::string err = (rng_() % 3) == 0 ? commandOutput(rng_, rng_() % 300) : "";
            outcome.exitCode = err.empty() ? 0 : 1;
            outcome.durationMs = static_cast<std::int64_t>(rng_() % 5000);
            outcome.stdout = out1;
            outcome.stderr = err;
            outcome.stdoutSHA256 = AuditChain::sha256Text(out1);
            outcome.stderrSHA256 = AuditChain::sha256Text(err);
            outcome.stdoutBytes = static_cast<std::int64_t>(out1.size());
            outcome.stderrBytes = static_cast<std::int64_t>(err.size());
        }
        out.push_back(std::move(outcome));
    }

  private:
    static AuditEntry withEvent(const AuditEntry& base, BastorAuditEvent event) {
        AuditEntry e = base;
        e.id = bastor::Uuid::random();
        e.event = event;
        return e;
    }

    inline static const std::vector<std::vector<std::string>> kCommands = {
        {"/usr/bin/apt-get", "update"},
        {"/usr/bin/du", "-sh", "/var/log/journal"},
        {"/usr/bin/systemctl", "restart", "nginx.service"},
        {"/usr/sbin/usermod", "-aG", "adm", "renee"},
        {"/usr/bin/ls", "-la", "/etc/ssl/certs"},
    };
    std::mt19937_64 rng_;
    std::int64_t counter_ = 0;
};

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) bastor::throwSystemError("write", path);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

struct Generated {
    std::int64_t entries = 0;
    std::int64_t bytes = 0;
    Timing sealThenEncode{0, 0};  // seal + encodeLine, summed over all entries
    Timing sealLine{0, 0};        // the same with sealLine
};

// Seals a batch the way the store links entries (by the previous line), once
// with seal + encodeLine and once with sealLine, and checks they agree.
void sealBatch(const std::vector<AuditEntry>& batch, Generated& g, std::vector<std::string>& lines,
               std::string& lastLine) {
    const std::int64_t firstSeq = g.entries + 1;
    const std::string before = lastLine;
    auto link = [&](std::size_t i, const std::vector<std::string>& sealed) {
        if (firstSeq + static_cast<std::int64_t>(i) == 1) return std::optional<std::string_view>();
        return std::optional<std::string_view>(i == 0 ? before : sealed[i - 1]);
    };
    auto seq = [&](std::size_t i) { return firstSeq + static_cast<std::int64_t>(i); };

    lines.resize(batch.size());
    auto start = Clock::now();
    double cpu = cpuSeconds();
    for (std::size_t i = 0; i < batch.size(); ++i)
        lines[i] = AuditChain::encodeLine(AuditChain::seal(batch[i], seq(i), link(i, lines), {}));
    g.sealThenEncode.cpu += cpuSeconds() - cpu;
    g.sealThenEncode.wall += secondsSince(start);

    std::vector<std::string> again(batch.size());
    start = Clock::now();
    cpu = cpuSeconds();
    for (std::size_t i = 0; i < batch.size(); ++i)
        again[i] = AuditChain::sealLine(batch[i], seq(i), link(i, again), {}).line;
    g.sealLine.cpu += cpuSeconds() - cpu;
    g.sealLine.wall += secondsSince(start);
    if (again != lines) throw std::runtime_error("sealLine and seal + encodeLine disagree");
    g.entries += static_cast<std::int64_t>(batch.size());
    lastLine = lines.back();
}

// Writes whole batches of sealed lines until the file reaches targetBytes.
Generated generateLog(const std::string& path, std::int64_t targetBytes) {
    bastor::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) bastor::throwSystemError("create", path);
    RequestMix mix(42);
    Generated g;
    std::string lastLine;
    std::string pending;
    std::vector<AuditEntry> batch;
    std::vector<std::string> lines;
    while (g.bytes < targetBytes) {
        batch.clear();
        while (batch.size() < 1024)
            mix.next(batch);
        sealBatch(batch, g, lines, lastLine);
        for (const auto& line : lines) {
            pending += line;
            pending += '\n';
        }
        g.bytes += static_cast<std::int64_t>(pending.size());
        writeAll(fd.get(), pending, path);
        pending.clear();
    }
    return g;
}

// Reads the file in chunks and verifies it as the daemon does, without
// holding it whole.
bastor::BastorVerification verifyFile(const std::string& path) {
    bastor::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) bastor::throwSystemError("open", path);
    AuditChain::Verifier verifier;
    verifier.beginFile();
    std::vector<char> buffer(2 * kChunk);
    std::size_t begin = 0;
    std::size_t end = 0;
    bool live = true;
    for (;;) {
        if (buffer.size() - end < kChunk) {
            std::memmove(buffer.data(), buffer.data() + begin, end - begin);
            end -= begin;
            begin = 0;
            if (buffer.size() - end < kChunk) buffer.resize(end + kChunk);
        }
        const ssize_t n = ::read(fd.get(), buffer.data() + end, kChunk);
        if (n < 0) bastor::throwSystemError("read", path);
        if (n == 0) break;
        end += static_cast<std::size_t>(n);
        while (live) {
            const char* from = buffer.data() + begin;
            const auto* newline = static_cast<const char*>(std::memchr(from, '\n', end - begin));
            if (newline == nullptr) break;
            if (newline != from)
                live = verifier.addLine({from, static_cast<std::size_t>(newline - from)});
            begin = static_cast<std::size_t>(newline - buffer.data()) + 1;
        }
    }
    if (live && end > begin) verifier.addLine({buffer.data() + begin, end - begin});
    return verifier.result();
}

// Returns the child's CPU seconds.
double runOpenssl(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"openssl", "dgst", "-sha256", path};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw bastor::SystemError("spawn", "openssl", rc);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) < 0) bastor::throwSystemError("wait for", "openssl");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl dgst failed");
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string readWhole(const std::string& path) {
    bastor::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) bastor::throwSystemError("open", path);
    std::string data(std::filesystem::file_size(path), '\0');
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n <= 0) bastor::throwSystemError("read", path);
        done += static_cast<std::size_t>(n);
    }
    return data;
}

void pinToOneCore() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(std::max(sched_getcpu(), 0), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

void printRate(const char* what, const Timing& t, double mb, double items, const char* unit) {
    std::printf("%-24s %8.0f MB/s %9.0f %s  (wall: %.0f MB/s)\n", what, mb / t.cpu, items / t.cpu,
                unit, mb / t.wall);
}

const char* verdict(bool met) {
    return met ? "ok" : "MISSED";
}

// Where verification spends its time, each step over all lines in memory.
void printBreakdown(const std::string& path, double mb) {
    const auto lines = AuditChain::decodeLines(readWhole(path));
    const auto count = static_cast<double>(lines.size());
    std::vector<AuditEntry> entries(lines.size());
    const Timing decode = bestOf([&] {
        return cpuOf([&] {
            for (std::size_t i = 0; i < lines.size(); ++i)
                entries[i] = bastor::BastorJSON::decode<AuditEntry>(lines[i]);
        });
    });
    std::string buffer;
    std::size_t sink = 0;
    const Timing encode = bestOf([&] {
        return cpuOf([&] {
            for (const auto& e : entries) {
                buffer.clear();
                bastor::BastorJSON::encodeInto(buffer, e);
                sink += buffer.size();
            }
        });
    });
    const Timing digest = bestOf([&] {
        return cpuOf([&] {
            for (const auto& line : lines)
                sink += AuditChain::sha256(line).size();
        });
    });
    std::size_t canonical = 0;
    const Timing scan = bestOf([&] {
        return cpuOf([&] {
            canonical = 0;
            bastor::BastorJSON::CanonicalAuditLine fields;
            for (const auto& line : lines)
                canonical += bastor::BastorJSON::readCanonicalAuditLine(line, fields) ? 1 : 0;
        });
    });
    std::printf(
        "breakdown, lines in memory (verifying is a canonical scan and two digests per line,\n"
        "plus a decode and an encode for a line not in canonical form):\n");
    printRate("  canonical scan", scan, mb, count, "lines/s");
    printRate("  decode", decode, mb, count, "lines/s");
    printRate("  encode", encode, mb, count, "lines/s");
    printRate("  sha256 per line", digest, mb, count, "lines/s");
    std::printf("  lines in canonical form: %zu of %zu\n", canonical, lines.size());
    if (sink == 0) std::printf("\n");
}

int run(std::int64_t mib) {
    char dirTemplate[] = "/tmp/bench_audit_chain.XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) bastor::throwSystemError("create", dirTemplate);
    const std::filesystem::path dir = dirTemplate;
    struct RemoveOnExit {
        std::filesystem::path dir;
        ~RemoveOnExit() { std::filesystem::remove_all(dir); }
    } cleanup{dir};
    const std::string path = (dir / "audit.jsonl").string();

    const Generated g = generateLog(path, mib << 20);
    const double mb = static_cast<double>(g.bytes) / 1e6;
    const auto entries = static_cast<double>(g.entries);
    std::printf(
        "log: %lld entries, %.1f MB, %.0f bytes per line; rates per CPU second of one core\n",
        static_cast<long long>(g.entries), mb, static_cast<double>(g.bytes) / entries);

    printRate("seal + encodeLine", g.sealThenEncode, mb, entries, "entries/s");
    printRate("sealLine", g.sealLine, mb, entries, "entries/s");
    std::printf("  target >= 300000 entries/s: %s\n",
                verdict(entries / std::min(g.sealThenEncode.cpu, g.sealLine.cpu) >= 300000));

    runOpenssl(path);  // warms the page cache for both
    const Timing openssl = bestOf([&] { return runOpenssl(path); });
    bastor::BastorVerification result;
    const Timing verify = bestOf([&] { return cpuOf([&] { result = verifyFile(path); }); });
    if (!result.intact || result.count != g.entries)
        throw std::runtime_error("the generated log does not verify");
    printRate("openssl dgst -sha256", openssl, mb, entries, "entries/s");
    printRate("verify, streamed", verify, mb, entries, "entries/s");
    std::printf("  target >= 250 MB/s: %s\n", verdict(mb / verify.cpu >= 250));
    std::printf("  verify / openssl time: %.2f (wall %.2f), target <= 4.00: %s\n",
                verify.cpu / openssl.cpu, verify.wall / openssl.wall,
                verdict(verify.cpu / openssl.cpu <= 4));
    printBreakdown(path, mb);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    pinToOneCore();
    try {
        return run(argc > 1 ? std::atoll(argv[1]) : 256);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_audit_chain: %s\n", e.what());
        return 1;
    }
}
