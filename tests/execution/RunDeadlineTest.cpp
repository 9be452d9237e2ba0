// Runs that must be stopped at their deadline and, 5 seconds later, killed:
// each case takes that long.
#include <gtest/gtest.h>

#include <charconv>

#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/execution/CommandResolver.h"
#include "tests/execution/TestCgroups.h"

namespace bastor {
namespace {

BastorRequest shell(const std::string& script, std::int64_t timeout) {
    auto request = BastorRequest::validated({"sh", "-c", script}, "/", {}, timeout, "test",
                                            {"deadline-tests", "1"});
    request.resolvedPath = CommandResolver::resolve("sh");
    return request;
}

// Run cgroups may be kept for later runs, but only empty.
bool nothingLeftRunning(const std::string& root) {
    for (const auto& name : Cgroup::open(root).children()) {
        if (name == "supervisor") continue;
        if (Cgroup::open(root + "/" + name).statValue("cgroup.events", "populated") != 0)
            return false;
    }
    return true;
}

TEST(RunDeadline, DescendantsIgnoringTermAreKilledAfterTheGrace) {
    test::TestCgroupRoot root;
    ASSERT_TRUE(root.available());
    BastorExecutor executor(root.path());
    ASSERT_TRUE(executor.cgroups().usable()) << executor.cgroups().problem();
    const auto run = executor.run(
        shell("trap '' TERM; for i in $(seq 50); do sleep 300 & echo $!; done; wait", 1));
    EXPECT_EQ(run.result.exitCode, 9);
    EXPECT_GE(run.result.durationMs, 5950);
    EXPECT_LT(run.result.durationMs, 9000);
    std::vector<pid_t> pids;
    const std::string& text = run.result.stdout;
    for (const char* at = text.data(); at < text.data() + text.size();) {
        pid_t pid = 0;
        const auto parsed = std::from_chars(at, text.data() + text.size(), pid);
        if (parsed.ec == std::errc()) pids.push_back(pid);
        at = parsed.ptr + 1;
    }
    EXPECT_EQ(pids.size(), 50U);
    for (const pid_t pid : pids)
        EXPECT_TRUE(test::processGone(pid)) << pid;
    EXPECT_TRUE(nothingLeftRunning(root.path()));
}

TEST(RunDeadline, AForkLoopEndsAtDeadlinePlusGrace) {
    test::PidsLimit limit(300);  // keeps the machine safe from the loop
    if (!limit.active()) GTEST_SKIP() << "no cgroup v1 pids hierarchy to limit the loop with";
    test::TestCgroupRoot root;
    ASSERT_TRUE(root.available());
    BastorExecutor executor(root.path());
    ASSERT_TRUE(executor.cgroups().usable()) << executor.cgroups().problem();
    // It goes on forking when the limit refuses it, and ignores SIGTERM.
    const auto run =
        executor.run(shell("exec perl -e '$SIG{TERM} = q(IGNORE); while (1) { sleep 300 if "
                           "defined($_ = fork) && !$_ }'",
                           2));
    EXPECT_EQ(run.result.exitCode, 9);
    EXPECT_GE(run.result.durationMs, 6950);
    EXPECT_LT(run.result.durationMs, 11000);
    EXPECT_TRUE(nothingLeftRunning(root.path()));
}

}  // namespace
}  // namespace bastor
