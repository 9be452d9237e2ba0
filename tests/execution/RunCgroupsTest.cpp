#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <future>

#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/execution/RunCgroups.h"
#include "tests/execution/TestCgroups.h"
#include "tests/support/ApprovedRequest.h"

namespace bastor {
namespace {

using test::processGone;
using test::shellRequest;
using test::TestCgroupRoot;

std::vector<pid_t> pidsIn(const std::string& text) {
    std::vector<pid_t> pids;
    for (std::size_t at = 0; at < text.size();) {
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), pid);
        if (error == std::errc()) pids.push_back(pid);
        at = static_cast<std::size_t>(end - text.data()) + 1;
    }
    return pids;
}

bool goneWithin(std::chrono::milliseconds patience, const std::vector<pid_t>& pids) {
    const auto until = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (std::all_of(pids.begin(), pids.end(), processGone)) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> runCgroupsIn(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& name : Cgroup::open(root).children())
        if (name != RunCgroups::supervisorName) names.push_back(name);
    return names;
}

TEST(RunCgroups, FindsTheProcessInTheUnifiedHierarchy) {
    const std::string hybrid =
        "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const std::string unified = "29 23 0:26 / /sys/fs/cgroup rw shared:4 - cgroup2 cgroup2 rw\n";
    const std::string spaced = "29 23 0:26 / /mnt/c\\040g rw - cgroup2 none rw\n";
    const std::string partial = "29 23 0:26 /system.slice /sys/fs/cgroup rw - cgroup2 none rw\n";
    const std::string service = "4:memory:/x\n0::/system.slice/nocta-bastor.service\n";
    // mountinfo, /proc/self/cgroup, directory
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {hybrid, "9:name=systemd:/\n0::/\n", "/sys/fs/cgroup/unified"},
        {hybrid, service, "/sys/fs/cgroup/unified/system.slice/nocta-bastor.service"},
        {unified, service, "/sys/fs/cgroup/system.slice/nocta-bastor.service"},
        {spaced, "0::/a\n", "/mnt/c g/a"},
        {partial, service, "/sys/fs/cgroup/nocta-bastor.service"},
        {partial, "0::/user.slice\n", std::nullopt},  // outside the mounted part
        {hybrid.substr(0, hybrid.rfind("41 ")), "0::/\n", std::nullopt},  // no cgroup2
        {unified, "1:name=systemd:/\n", std::nullopt},                    // v1 only
    };
    for (const auto& [mountinfo, cgroup, directory] : cases)
        EXPECT_EQ(cgroup2Directory(mountinfo, cgroup), directory) << cgroup;
}

// The executor settles in root/supervisor, gives the process back at the end,
// and falls back to process groups where it cannot.
TEST(RunCgroups, TakesOverAUsableRootOnlyAndGivesItBack) {
    const std::string before = test::slurp("/proc/self/cgroup");
    TestCgroupRoot root;
    ASSERT_TRUE(root.available());
    {
        BastorExecutor executor(root.path());
        ASSERT_TRUE(executor.cgroups().usable()) << executor.cgroups().problem();
        EXPECT_NE(ownCgroupDirectory(), std::nullopt);
        EXPECT_EQ(*ownCgroupDirectory(), root.path() + "/supervisor");
    }
    EXPECT_EQ(test::slurp("/proc/self/cgroup"), before);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/supervisor"));

    // root, the reason given
    const std::pair<std::string, std::string> unusable[] = {
        {"none", "no cgroup v2 hierarchy to work in"},
        {"/run", "not a cgroup v2 directory: '/run': Operation not supported"},
        {root.path() + "/missing",
         "could not reach the cgroup '" + root.path() + "/missing': No such file or directory"},
    };
    for (const auto& [path, problem] : unusable) {
        BastorExecutor executor(path);
        EXPECT_FALSE(executor.cgroups().usable());
        EXPECT_EQ(executor.cgroups().problem(), problem);
        EXPECT_EQ(test::slurp("/proc/self/cgroup"), before);
        const auto run = executor.run(shellRequest("echo ran"));
        EXPECT_EQ(run.result.stdout, "ran\n");
        EXPECT_EQ(run.usage, std::nullopt);
    }
}

// Whatever a run starts is gone soon after its reply, however it tried to
// get away, and its cgroup with it.
TEST(RunCgroups, NothingOutlivesItsRun) {
    test::ContainedExecutor executor;
    const struct {
        std::string script;  // prints the pids that must not survive
        std::int64_t leftovers;
    } cases[] = {
        {"setsid sleep 300 >/dev/null 2>&1 </dev/null & echo $!", 1},
        // Holds stdout, so the run lasts until its deadline.
        {"sleep 300 & echo $!; exit 0", 0},
        {"( sleep 300 <&- >&- 2>&- & echo $! ); exit 0", 1},  // a double fork, fds closed
        {"perl -e 'setpgrp(0, 0) or die; exec qw(sleep 300)' <&- >&- 2>&- & echo $!", 1},
    };
    std::vector<std::future<BastorExecution>> runs;
    for (const auto& c : cases)
        runs.push_back(std::async(std::launch::async,
                                  [&] { return executor->run(shellRequest(c.script, 2)); }));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(cases[i].script);
        const auto run = runs[i].get();
        const auto pids = pidsIn(run.result.stdout);
        ASSERT_FALSE(pids.empty());
        EXPECT_TRUE(goneWithin(std::chrono::seconds(1), pids));
        ASSERT_TRUE(run.usage.has_value());
        EXPECT_EQ(run.usage->leftoverKilled, cases[i].leftovers);
        EXPECT_LT(run.result.durationMs, 4000);
    }
    EXPECT_TRUE(test::nothingLeftRunning(executor.rootPath()));  // kept for the next runs, empty
}

// A run may change its own cgroup (it runs as root); the next run must find
// its cgroup as a new one all the same.
TEST(RunCgroups, ARunsChangesToItsCgroupDoNotReachTheNextRun) {
    test::ContainedExecutor executor;
    const std::string own =
        "d=" + executor.rootPath() + "/$(basename $(sed -n 's/^0:://p' /proc/self/cgroup)); ";
    const std::string probe =
        own + "cat $d/cgroup.max.descendants $d/cgroup.max.depth; ls $d | grep -c inner";
    const char* changes[] = {
        "echo 3 > $d/cgroup.max.descendants",
        "mkdir $d/inner",
        "echo 0 > $d/cgroup.max.depth",
    };
    for (const char* change : changes) {
        SCOPED_TRACE(change);
        ASSERT_EQ(executor->run(shellRequest(own + change)).result.exitCode, 0);
        const auto run = executor->run(shellRequest(probe));
        EXPECT_EQ(run.result.stdout, "max\nmax\n0\n");
    }
}

TEST(RunCgroups, ReportsTheRunsOwnCpuTime) {
    test::ContainedExecutor executor;
    // A fixed amount of work, done by descendants, whatever the machine's load;
    // the run after it may get the same cgroup back.
    const auto busy = executor->run(shellRequest("head -c 300000000 /dev/zero | md5sum"));
    const auto idle = executor->run(shellRequest("sleep 0.2"));
    ASSERT_TRUE(idle.usage && busy.usage);
    EXPECT_LT(idle.usage->cpuUsec, 100'000);
    EXPECT_GT(busy.usage->cpuUsec, 200'000);
}

// A daemon that died leaves its runs going, unwatched: the next start ends them.
TEST(RunCgroups, LeftoverRunsOfAnEarlierStartAreKilledAndRemoved) {
    TestCgroupRoot root;
    ASSERT_TRUE(root.available());
    const Cgroup leftover = Cgroup::create(root.path(), "run-7");
    const Cgroup nested = Cgroup::create(leftover.path(), "inner");
    const Cgroup unrelated = Cgroup::create(root.path(), "run-7x");
    pid_t orphans[2];
    for (pid_t& orphan : orphans) {
        orphan = ::fork();
        if (orphan == 0) {
            ::pause();
            ::_exit(0);
        }
    }
    leftover.write("cgroup.procs", std::to_string(orphans[0]));
    nested.write("cgroup.procs", std::to_string(orphans[1]));
    {
        BastorExecutor executor(root.path());
        ASSERT_TRUE(executor.cgroups().usable()) << executor.cgroups().problem();
        EXPECT_EQ(executor.cgroups().leftoversRemoved(), 1);
        EXPECT_EQ(runCgroupsIn(root.path()), std::vector<std::string>{"run-7x"});
    }
    for (const pid_t orphan : orphans) {
        EXPECT_TRUE(goneWithin(std::chrono::seconds(1), {orphan}));
        ::kill(orphan, SIGKILL);  // already dead, unless the start missed it
        ::waitpid(orphan, nullptr, 0);
    }
}

}  // namespace
}  // namespace bastor
