#include <gtest/gtest.h>

#include "BastorShared/execution/BastorExecutor.h"
#include "ExecutionTestSupport.h"

namespace bastor {
namespace {

struct DeadlineCase {
    const char* name;
    const char* script;
    std::int32_t exitCode;
    std::int64_t minMs;  // the deadline, or the deadline plus the grace
};
void PrintTo(const DeadlineCase& c, std::ostream* out) {
    *out << c.script;
}

class ExecutorDeadline : public ::testing::TestWithParam<DeadlineCase> {};

// Every run with a 1 s limit must end by 1 s + 5 s grace (+ slack for a
// loaded machine), returning what was read.
TEST_P(ExecutorDeadline, RunEndsByDeadlinePlusGrace) {
    const auto& c = GetParam();
    const auto result =
        BastorExecutor::run(testing::makeRequest({"sh", "-c", c.script}, "/", {}, 1)).result;
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.stdout, "started\n");
    EXPECT_GE(result.durationMs, c.minMs);
    EXPECT_LT(result.durationMs, 8000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecutorDeadline,
    ::testing::Values(
        DeadlineCase{"Terminated", "echo started; exec sleep 10", 15, 950},
        DeadlineCase{"Killed", "trap '' TERM; echo started; sleep 10; sleep 10", 9, 5950},
        // The child is gone at once; a background descendant holds stdout.
        DeadlineCase{"Descendant", "sleep 1000 & echo started", 0, 950},
        DeadlineCase{"DescendantKilled", "(trap '' TERM; sleep 1000) & echo started", 0, 5950},
        // It left the group, so no signal reaches it: reading stops anyway.
        DeadlineCase{"DescendantEscaped", "setsid sleep 9 & echo started", 0, 5950}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bastor
