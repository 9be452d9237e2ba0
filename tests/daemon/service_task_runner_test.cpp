#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include "NoctaBastorHelper/TaskRunner.h"

namespace bastor {
namespace {

TEST(TaskRunner, EveryTaskRunsAtOnceAndDrainWaitsForAll) {
    constexpr int kTasks = 100;
    std::atomic<int> finished = 0;
    TaskRunner runner;
    for (int round = 0; round < 2; ++round) {  // still usable after a drain
        std::latch running(kTasks);
        for (int task = 0; task < kTasks; ++task) {
            runner.run([&] {
                // Finishes only if all of them run at the same time.
                running.arrive_and_wait();
                // A task may start another; drain() waits for that one too.
                runner.run([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    ++finished;
                });
            });
        }
        runner.drain();
        EXPECT_EQ(finished, kTasks * (round + 1));
    }
}

}  // namespace
}  // namespace bastor
