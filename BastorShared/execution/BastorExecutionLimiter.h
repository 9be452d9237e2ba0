#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace bastor {

// Bounds how many operations run at once. Waiting callers get permits
// strictly first come, first served: a released permit passes straight to
// the oldest waiter, so a newcomer never overtakes. Thread-safe; nothing
// times out and nothing is cancelled.
class BastorExecutionLimiter {
  public:
    // A limit below 1 counts as 1.
    explicit BastorExecutionLimiter(std::int64_t maxConcurrent);
    BastorExecutionLimiter(const BastorExecutionLimiter&) = delete;
    BastorExecutionLimiter& operator=(const BastorExecutionLimiter&) = delete;

    // Blocks until a permit is held, runs `operation`, and returns the permit
    // on every path; returns the operation's value or lets its exception
    // through unchanged.
    template <class F>
    decltype(auto) withPermit(F&& operation) {
        acquire();
        const Permit permit(*this);
        return std::forward<F>(operation)();
    }

    // Callers blocked in withPermit at this moment; for diagnostics and tests.
    [[nodiscard]] std::size_t waiting() const;

  private:
    struct Waiter {
        std::condition_variable granted;
        bool ready = false;
    };
    struct Permit {
        explicit Permit(BastorExecutionLimiter& owner) : limiter(owner) {}
        Permit(const Permit&) = delete;
        Permit& operator=(const Permit&) = delete;
        ~Permit() { limiter.release(); }
        BastorExecutionLimiter& limiter;
    };

    void acquire();
    void release() noexcept;

    mutable std::mutex lock_;
    std::int64_t available_;
    std::deque<Waiter*> waiters_;
};

}  // namespace bastor
