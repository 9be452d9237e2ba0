// Durable appends: recordEvent entries per second with 1 and with 64 calls in
// flight on one connection, each append on stable storage before its reply,
// against a loop that syncs every line by itself (the rate without group
// commit) on the same directory, in alternating blocks, median of rounds.
//
//   bench_audit_durability DIRECTORY [rounds] [seconds-per-block]   (default 5 1.0)
//   bench_audit_durability --fill DIRECTORY MiB   (a log of that size, 64 in flight,
//                                                  entries of about 3.5 KiB)
//
// bench/audit_durability.sh runs it on tmpfs and on ext4 in a loop file.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/transport/BastorListener.h"
#include "bench/LineClient.h"
#include "bench/SampleEvent.h"

using namespace bastor;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_audit_durability: %s\n", what.c_str());
    std::exit(1);
}

std::string call(std::string_view method, std::string_view params) {
    return R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(method) + R"(","params":)" +
           std::string(params) + "}\n";
}

void expectSuccess(const std::string& reply) {
    if (reply.find("\"result\"") == std::string::npos) die("call failed: " + reply);
}

std::string eventLine(std::size_t outputBytes = 0) {
    const AuditEntry entry = bench::sampleEvent(outputBytes);
    std::string json;
    BastorJSON::appendString(json, BastorJSON::encode(entry));
    return call("recordEvent", "{\"eventJSON\":" + json + "}");
}

// Entries per second through the daemon with `inFlight` calls outstanding.
double daemonRate(const fs::path& directory, int inFlight, double seconds) {
    fs::remove_all(directory);
    BastorHelperService service(directory);
    BastorListener listener(
        directory.parent_path() / (directory.filename().string() + ".sock"), service,
        PeerRequirement{{fs::read_symlink("/proc/self/exe")}, std::nullopt, std::nullopt});
    listener.start();
    bench::LineClient client(directory.parent_path() / (directory.filename().string() + ".sock"),
                             die);
    client.send(call("setAuditEnabled", R"({"value":true})"));
    expectSuccess(client.readLine());

    const std::string line = eventLine();
    for (int i = 0; i < inFlight; ++i)
        client.send(line);
    long done = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while ((elapsed = std::chrono::duration<double>(Clock::now() - start).count()) < seconds) {
        expectSuccess(client.readLine());
        ++done;
        client.send(line);
    }
    for (int i = 0; i < inFlight; ++i)
        expectSuccess(client.readLine());
    listener.stop();
    return static_cast<double>(done) / elapsed;
}

// Lines per second when every line is synced by itself.
double syncEachRate(const fs::path& directory, double seconds) {
    fs::create_directories(directory);
    const fs::path file = directory / "sync-each.jsonl";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) die("cannot open " + file.string());
    const std::string line(400, 'x');
    long done = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while ((elapsed = std::chrono::duration<double>(Clock::now() - start).count()) < seconds) {
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            ::fdatasync(fd) != 0)
            die("write failed");
        ++done;
    }
    ::close(fd);
    fs::remove(file);
    return static_cast<double>(done) / elapsed;
}

// Appends entries to the helper log in `directory` until it holds `mebibytes`.
void fill(const fs::path& directory, std::uint64_t mebibytes) {
    BastorHelperService service(directory);
    const fs::path socket = directory.parent_path() / "fill.sock";
    BastorListener listener(
        socket, service,
        PeerRequirement{{fs::read_symlink("/proc/self/exe")}, std::nullopt, std::nullopt});
    listener.start();
    bench::LineClient client(socket, die);
    client.send(call("setAuditEnabled", R"({"value":true})"));
    expectSuccess(client.readLine());
    const std::string line = eventLine(3000);
    const std::uint64_t entries = (mebibytes << 20) / 3500;
    for (int i = 0; i < 64; ++i)
        client.send(line);
    for (std::uint64_t done = 0; done < entries; ++done) {
        expectSuccess(client.readLine());
        client.send(line);
    }
    for (int i = 0; i < 64; ++i)
        expectSuccess(client.readLine());
    listener.stop();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) die("usage: bench_audit_durability DIRECTORY [rounds] [seconds-per-block]");
    if (std::string_view(argv[1]) == "--fill" && argc == 4) {
        fill(argv[2], std::strtoull(argv[3], nullptr, 10));
        return 0;
    }
    const fs::path root = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 1.0;

    std::vector<double> syncEach, one, many;
    for (int round = 0; round < rounds; ++round) {
        syncEach.push_back(syncEachRate(root / "bench-sync", seconds));
        one.push_back(daemonRate(root / "bench-one", 1, seconds));
        many.push_back(daemonRate(root / "bench-many", 64, seconds));
    }
    fs::remove_all(root / "bench-sync");
    fs::remove_all(root / "bench-one");
    fs::remove_all(root / "bench-many");
    const double baseline = median(syncEach);
    std::printf("%s (median of %d rounds of %.1f s)\n", root.c_str(), rounds, seconds);
    std::printf("  write + fdatasync per line, no daemon: %8.0f lines/s   (baseline)\n", baseline);
    std::printf("  recordEvent,  1 in flight:             %8.0f entries/s (%.2fx)\n", median(one),
                median(one) / baseline);
    std::printf(
        "  recordEvent, 64 in flight:             %8.0f entries/s (%.2fx; %.1fx of 1 in "
        "flight)\n",
        median(many), median(many) / baseline, median(many) / median(one));
    return 0;
}
