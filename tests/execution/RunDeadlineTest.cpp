// A run that must be stopped at its deadline and, 5 seconds later, killed:
// it takes that long.
#include <gtest/gtest.h>

#include "tests/execution/TestCgroups.h"
#include "tests/support/ApprovedRequest.h"

namespace bastor {
namespace {

TEST(RunDeadline, AForkLoopEndsAtDeadlinePlusGrace) {
    test::PidsLimit limit(300);  // keeps the machine safe from the loop
    if (!limit.active()) GTEST_SKIP() << "no cgroup v1 pids hierarchy to limit the loop with";
    test::ContainedExecutor executor;
    // It goes on forking when the limit refuses it, and ignores SIGTERM.
    const auto run = executor->run(
        test::shellRequest("exec perl -e '$SIG{TERM} = q(IGNORE); while (1) { sleep 300 if "
                           "defined($_ = fork) && !$_ }'",
                           2));
    EXPECT_EQ(run.result.exitCode, 9);
    EXPECT_GE(run.result.durationMs, 6950);
    EXPECT_LT(run.result.durationMs, 11000);
    EXPECT_TRUE(test::nothingLeftRunning(executor.rootPath()));
}

}  // namespace
}  // namespace bastor
