#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bastor {

// Bounds how many operations run at once. An operation that finds no free
// permit waits in a first-come, first-served queue holding no thread, only its
// place; each permit is one of the limiter's own threads, which takes the
// oldest waiting operation whenever it finishes one, so a newcomer never
// overtakes. Threads start when first needed and live as long as the limiter.
// Thread-safe. Nothing times out.
class BastorExecutionLimiter {
  public:
    // Called exactly once: with true on a permit's thread, holding the permit
    // until it returns; or with false, on the thread of cancelWaiting() or
    // the destructor, when it was taken out of the queue and must not run.
    // Exceptions it lets out are dropped.
    using Operation = std::function<void(bool permitted)>;

    // A limit below 1 counts as 1; past maxWaiting queued operations the
    // limiter is full().
    explicit BastorExecutionLimiter(std::int64_t maxConcurrent,
                                    std::size_t maxWaiting = static_cast<std::size_t>(-1));
    // Cancels what still waits, lets the running operations end and joins.
    ~BastorExecutionLimiter();

    BastorExecutionLimiter(const BastorExecutionLimiter&) = delete;
    BastorExecutionLimiter& operator=(const BastorExecutionLimiter&) = delete;

    // Starts `operation` on a free permit or queues it. Throws
    // std::length_error, with the operation dropped uncalled, when full(), and
    // std::system_error when no thread can be started for it.
    void submit(Operation operation);

    // submit() when a permit is free and nobody waits; otherwise false, with
    // `operation` untouched (also when std::system_error is thrown).
    [[nodiscard]] bool tryStart(Operation& operation);

    // True when a submit() now would find every permit held and maxWaiting
    // operations already queued.
    [[nodiscard]] bool full() const;

    // Calls every queued operation with false, oldest first, on this thread;
    // returns how many. Running ones are not touched.
    std::size_t cancelWaiting();

    // Blocks until nothing runs and nothing waits, or for at most `timeout`;
    // returns whether that moment came.
    bool waitUntilIdle(std::chrono::milliseconds timeout);

    [[nodiscard]] std::size_t waiting() const;
    [[nodiscard]] std::size_t running() const;

  private:
    // Queues `operation` for a free thread, with mutex_ held; it is left
    // untouched when no thread can be started for it. The caller wakes one.
    void start(Operation& operation);
    void work();

    const std::size_t permits_;
    const std::size_t maxWaiting_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Operation> queue_;
    std::size_t running_ = 0;
    std::size_t freeThreads_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace bastor
