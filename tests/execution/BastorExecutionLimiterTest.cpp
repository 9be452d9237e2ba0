#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <numeric>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BastorShared/execution/BastorExecutionLimiter.h"
#include "tests/support/Polling.h"

namespace bastor {
namespace {

using test::eventually;
using test::threadsOfThisProcess;

// What the operations saw, in the order they saw it.
struct Log {
    std::mutex mutex;
    std::vector<std::pair<int, bool>> calls;  // id, permitted
    void note(int id, bool permitted) {
        const std::lock_guard lock(mutex);
        calls.emplace_back(id, permitted);
    }
    std::vector<std::pair<int, bool>> taken() {
        const std::lock_guard lock(mutex);
        return calls;
    }
};

TEST(BastorExecutionLimiter, PermitsPassToWaitersInArrivalOrderAndWaitersHoldNoThread) {
    // limit, callers
    const std::pair<std::int64_t, int> cases[] = {{1, 5}, {4, 8}, {0, 2}, {-5, 2}};
    // A sanitizer's runtime starts a thread of its own with the first one created;
    // let that happen before threads are counted.
    std::thread([] {}).join();
    for (const auto& [limit, callers] : cases) {
        SCOPED_TRACE(limit);
        const int permits = limit > 1 ? static_cast<int>(limit) : 1;
        const std::size_t threadsBefore = threadsOfThisProcess();
        std::counting_semaphore<> finish(0);  // each release lets one holder end
        std::atomic<int> holding = 0;
        Log log;
        BastorExecutionLimiter limiter(limit);
        for (int id = 0; id < callers; ++id) {
            limiter.submit([&, id](bool permitted) {
                if (id < permits) {
                    ++holding;
                    return finish.acquire();
                }
                log.note(id, permitted);
            });
        }
        ASSERT_TRUE(eventually([&] { return holding == permits; }));
        EXPECT_EQ(limiter.waiting(), static_cast<std::size_t>(callers - permits));
        // A thousand more waiting callers cost no thread.
        for (int id = callers; id < callers + 1000; ++id)
            limiter.submit([&, id](bool permitted) { log.note(id, permitted); });
        EXPECT_LE(threadsOfThisProcess(), threadsBefore + permits);

        finish.release();  // one holder ends; its permit passes down the queue
        ASSERT_TRUE(eventually(
            [&] { return log.taken().size() == std::size_t(callers + 1000 - permits); }));
        std::vector<std::pair<int, bool>> expected;
        for (int id = permits; id < callers + 1000; ++id)
            expected.emplace_back(id, true);
        EXPECT_EQ(log.taken(), expected);
        EXPECT_EQ(limiter.running(), static_cast<std::size_t>(permits - 1));
        finish.release(permits - 1);
        EXPECT_TRUE(limiter.waitUntilIdle(std::chrono::seconds(10)));
    }
}

TEST(BastorExecutionLimiter, FullQueueRefusesAndCancelledOrFailedOperationsFreeTheirPlace) {
    Log log;
    std::binary_semaphore finish(0);
    std::optional<BastorExecutionLimiter> limiter(std::in_place, 1, 2);
    limiter->submit([&](bool permitted) {
        log.note(0, permitted);
        finish.acquire();
    });
    ASSERT_TRUE(eventually([&] { return limiter->running() == 1; }));
    // No free permit: a try leaves the operation with its caller.
    BastorExecutionLimiter::Operation tried = [&](bool permitted) { log.note(7, permitted); };
    EXPECT_FALSE(limiter->tryStart(tried));
    ASSERT_TRUE(tried);
    for (int id = 1; id <= 2; ++id)
        limiter->submit([&, id](bool permitted) { log.note(id, permitted); });
    EXPECT_TRUE(limiter->full());
    EXPECT_THROW(limiter->submit([&](bool permitted) { log.note(3, permitted); }),
                 std::length_error);

    EXPECT_EQ(limiter->cancelWaiting(), 2u);
    EXPECT_FALSE(limiter->full());
    EXPECT_EQ(log.taken(), (std::vector<std::pair<int, bool>>{{0, true}, {1, false}, {2, false}}));

    // A failing operation frees its permit for the next one.
    limiter->submit([](bool) { throw std::runtime_error("refused"); });
    limiter->submit([&](bool permitted) { log.note(4, permitted); });
    finish.release();
    ASSERT_TRUE(eventually([&] { return log.taken().size() == 4; }));
    EXPECT_EQ(log.taken().back(), std::make_pair(4, true));

    // A free permit: the try starts it.
    ASSERT_TRUE(limiter->waitUntilIdle(std::chrono::seconds(10)));
    EXPECT_TRUE(limiter->tryStart(tried));
    ASSERT_TRUE(eventually([&] { return log.taken().size() == 5; }));
    EXPECT_EQ(log.taken().back(), std::make_pair(7, true));

    // Still waiting when the limiter goes: called, but not permitted.
    limiter->submit([&](bool permitted) {
        log.note(5, permitted);
        finish.acquire();
    });
    ASSERT_TRUE(eventually([&] { return limiter->running() == 1; }));
    limiter->submit([&](bool permitted) { log.note(6, permitted); });
    std::thread ending([&] { limiter.reset(); });
    const bool cancelled = eventually([&] { return log.taken().size() == 7; });
    finish.release();
    ending.join();
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(log.taken().back(), std::make_pair(6, false));
}

}  // namespace
}  // namespace bastor
