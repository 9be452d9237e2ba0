#include "BastorShared/execution/BastorExecutionLimiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <thread>

#include "ExecutionTestSupport.h"

namespace bastor {
namespace {

// Callers whose operations record their start, then hold the permit until
// the test releases them.
class Callers {
  public:
    explicit Callers(std::int64_t limit) : limiter_(limit) {}
    ~Callers() {
        for (std::size_t id = 0; id < gates_.size(); ++id)
            release(static_cast<int>(id));
        for (auto& thread : threads_)
            thread.join();
    }

    // Starts the next caller; returns once it runs or has joined the queue.
    void arrive() {
        const int id = static_cast<int>(threads_.size());
        auto gate = gates_.emplace_back().get_future().share();
        released_.push_back(false);
        threads_.emplace_back([this, id, gate] {
            limiter_.withPermit([&] {
                {
                    const std::lock_guard guard(lock_);
                    started_.push_back(id);
                }
                gate.wait();
            });
        });
        EXPECT_TRUE(testing::eventually([&] {
            const std::lock_guard guard(lock_);
            return started_.size() + limiter_.waiting() == threads_.size();
        }));
    }

    void release(int id) {
        const auto at = static_cast<std::size_t>(id);
        if (!released_[at]) gates_[at].set_value();
        released_[at] = true;
    }

    // Who has started, once `count` have; a start beyond that would show.
    std::vector<int> started(std::size_t count) {
        EXPECT_TRUE(testing::eventually([&] {
            const std::lock_guard guard(lock_);
            return started_.size() >= count;
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::lock_guard guard(lock_);
        return started_;
    }

  private:
    BastorExecutionLimiter limiter_;
    std::mutex lock_;
    std::vector<int> started_;
    std::deque<std::promise<void>> gates_;
    std::deque<bool> released_;
    std::vector<std::thread> threads_;
};

TEST(BastorExecutionLimiter, WaitersStartInArrivalOrderWhoeverFinishes) {
    Callers callers(4);
    for (int i = 0; i < 8; ++i)
        callers.arrive();
    EXPECT_EQ(callers.started(4), (std::vector<int>{0, 1, 2, 3}));
    std::vector<int> expected{0, 1, 2, 3};
    for (const int finishing : {2, 0, 3, 1}) {
        callers.release(finishing);
        expected.push_back(static_cast<int>(expected.size()));
        EXPECT_EQ(callers.started(expected.size()), expected);
    }
}

TEST(BastorExecutionLimiter, LimitsBelowOneMeanOne) {
    for (const std::int64_t limit : {0, -5}) {
        Callers callers(limit);
        callers.arrive();
        callers.arrive();
        EXPECT_EQ(callers.started(1), std::vector<int>{0});
        callers.release(0);
        EXPECT_EQ(callers.started(2), (std::vector<int>{0, 1}));
    }
}

struct Refusal {
    int code;
};

TEST(BastorExecutionLimiter, ValuesAndErrorsPassThroughAndPermitsReturn) {
    BastorExecutionLimiter limiter(1);
    try {
        limiter.withPermit([]() -> int { throw Refusal{42}; });
    } catch (const Refusal& refusal) {
        EXPECT_EQ(refusal.code, 42);
    }
    // With limit 1 these would block forever had the failure kept its permit.
    EXPECT_EQ(*limiter.withPermit([] { return std::make_unique<int>(5); }), 5);
    int value = 3;
    EXPECT_EQ(&limiter.withPermit([&]() -> int& { return value; }), &value);
}

TEST(BastorExecutionLimiter, NeverMoreThanTheLimitUnderContention) {
    BastorExecutionLimiter limiter(3);
    std::atomic<int> running{0}, peak{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                limiter.withPermit([&] {
                    const int now = ++running;
                    for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
                    }
                    std::this_thread::yield();
                    --running;
                });
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(peak.load(), 3);
    EXPECT_EQ(limiter.waiting(), 0u);
}

}  // namespace
}  // namespace bastor
