#include "BastorShared/execution/BastorExecutionLimiter.h"

#include <algorithm>
#include <stdexcept>

namespace bastor {

namespace {

void call(BastorExecutionLimiter::Operation& operation, bool permitted) noexcept {
    try {
        operation(permitted);
    } catch (...) {
        // An operation owns its failures; a permit's thread must live on.
    }
}

}  // namespace

BastorExecutionLimiter::BastorExecutionLimiter(std::int64_t maxConcurrent, std::size_t maxWaiting)
    : permits_(static_cast<std::size_t>(std::max<std::int64_t>(maxConcurrent, 1))),
      maxWaiting_(maxWaiting) {}

BastorExecutionLimiter::~BastorExecutionLimiter() {
    cancelWaiting();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        threads = std::move(threads_);
    }
    wake_.notify_all();
    for (auto& thread : threads)
        thread.join();
}

void BastorExecutionLimiter::submit(Operation operation) {
    {
        std::lock_guard lock(mutex_);
        const bool permitFree = running_ + queue_.size() < permits_;
        if (!permitFree && queue_.size() >= maxWaiting_)
            throw std::length_error("no room left in the queue for a permit");
        start(operation);
    }
    // Woken outside the lock, the thread does not wake only to wait for it.
    wake_.notify_one();
}

bool BastorExecutionLimiter::tryStart(Operation& operation) {
    {
        std::lock_guard lock(mutex_);
        if (running_ + queue_.size() >= permits_) return false;
        start(operation);
    }
    wake_.notify_one();
    return true;
}

void BastorExecutionLimiter::start(Operation& operation) {
    // Every free thread takes one queued operation; a shortfall needs a thread.
    if (freeThreads_ < queue_.size() + 1 && threads_.size() < permits_) {
        threads_.emplace_back([this] { work(); });
        ++freeThreads_;
    }
    queue_.push_back(std::move(operation));
}

bool BastorExecutionLimiter::full() const {
    std::lock_guard lock(mutex_);
    return running_ + queue_.size() >= permits_ && queue_.size() >= maxWaiting_;
}

std::size_t BastorExecutionLimiter::cancelWaiting() {
    std::deque<Operation> cancelled;
    {
        std::lock_guard lock(mutex_);
        cancelled.swap(queue_);
    }
    idle_.notify_all();
    for (auto& operation : cancelled)
        call(operation, false);
    return cancelled.size();
}

bool BastorExecutionLimiter::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return running_ == 0 && queue_.empty(); });
}

std::size_t BastorExecutionLimiter::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size() > permits_ - running_ ? queue_.size() - (permits_ - running_) : 0;
}

std::size_t BastorExecutionLimiter::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void BastorExecutionLimiter::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty()) return;
        Operation operation = std::move(queue_.front());
        queue_.pop_front();
        --freeThreads_;
        ++running_;
        lock.unlock();
        call(operation, true);
        operation = nullptr;  // its captures may be heavy; free them outside the lock
        lock.lock();
        --running_;
        ++freeThreads_;
        if (running_ == 0 && queue_.empty()) idle_.notify_all();
    }
}

}  // namespace bastor
