// Measures what the executor adds to running a child, against a bare
// posix_spawn of the same work timed in the same run: each run in a cgroup of
// its own (below this process's cgroup), and held by its process group only.
//
//   bench_executor [spawn-rounds]     (default 400)

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/platform/Cgroup.h"

using namespace bastor;
using Clock = std::chrono::steady_clock;

namespace {

BastorRequest request(std::vector<std::string> argv) {
    BastorRequest r;
    r.id = Uuid::random();
    r.resolvedPath = CommandResolver::resolve(argv.front());
    r.argv = std::move(argv);
    r.cwd = "/";
    r.timeoutSeconds = 3600;
    r.reason = "bench";
    return r;
}

// A plain spawn with output to /dev/null and a blocking wait: the floor.
void bareSpawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <class F>
double timed(F&& work) {
    const auto start = Clock::now();
    work();
    return seconds(Clock::now() - start);
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    return -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(const char* name, double ours, double base, double target) {
    const double ratio = ours / base;
    std::printf("%-34s %10.3f ms vs %10.3f ms  ratio %.3f (target <= %.1f) %s\n", name, ours * 1e3,
                base * 1e3, ratio, target, ratio <= target ? "ok" : "OVER");
}

// A cgroup of the benchmark's own for its runs, removed at the end.
struct BenchCgroup {
    std::string path;
    BenchCgroup() {
        if (const auto own = ownCgroupDirectory()) {
            path = *own + "/bench-executor-" + std::to_string(getpid());
            if (mkdir(path.c_str(), 0755) != 0) path = "none";
        } else {
            path = "none";
        }
    }
    ~BenchCgroup() {
        if (path != "none") rmdir(path.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 400;
    const BenchCgroup cgroup;
    // Destroyed before the cgroup: it moves the process back out first.
    BastorExecutor contained(cgroup.path);
    BastorExecutor grouped("none");
    if (!contained.cgroups().usable())
        std::printf("runs without cgroups: %s\n", contained.cgroups().problem().c_str());

    // 1. Spawn overhead: /bin/true, interleaved in blocks so drift hits all alike.
    const auto trueRequest = request({"/bin/true"});
    std::vector<double> ours, plain, base;
    for (int i = 0; i < 20; ++i)
        (void)contained.run(trueRequest), (void)grouped.run(trueRequest), bareSpawn({"/bin/true"});
    for (int i = 0; i < rounds; i += 10) {
        for (int j = 0; j < 10; ++j)
            ours.push_back(timed([&] { (void)contained.run(trueRequest); }));
        for (int j = 0; j < 10; ++j)
            plain.push_back(timed([&] { (void)grouped.run(trueRequest); }));
        for (int j = 0; j < 10; ++j)
            base.push_back(timed([&] { bareSpawn({"/bin/true"}); }));
    }
    report("/bin/true in a cgroup (median)", median(ours), median(base), 1.3);
    report("/bin/true, process group (median)", median(plain), median(base), 1.3);

    // 2. Throughput: 1 GiB through both pipes-and-hash paths, best of three.
    const std::string gib = "1073741824";
    const auto bigRequest = request({"head", "-c", gib, "/dev/zero"});
    const std::vector<std::string> pipeline{"/bin/sh", "-c",
                                            "head -c " + gib + " /dev/zero | openssl dgst -sha256"};
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current RSS
    const long rssBefore = statusKiB("VmRSS:");
    double bestOurs = 1e9, bestBase = 1e9;
    std::int64_t bytes = 0;
    for (int i = 0; i < 3; ++i) {
        bestOurs =
            std::min(bestOurs, timed([&] { bytes = contained.run(bigRequest).stdoutBytes; }));
        bestBase = std::min(bestBase, timed([&] { bareSpawn(pipeline); }));
    }
    const long peak = statusKiB("VmHWM:");
    if (bytes != 1073741824) std::fprintf(stderr, "unexpected byte count %lld\n", (long long)bytes);
    report("1 GiB stdout, hashed (best of 3)", bestOurs, bestBase, 1.2);
    std::printf("%-34s %10.0f MiB/s through the executor\n", "throughput", 1024.0 / bestOurs);
    const double growthMiB = static_cast<double>(peak - rssBefore) / 1024.0;
    std::printf("%-34s %10.2f MiB (target < 8) %s\n", "peak memory growth (VmHWM-VmRSS)", growthMiB,
                growthMiB < 8 ? "ok" : "OVER");
    return 0;
}
