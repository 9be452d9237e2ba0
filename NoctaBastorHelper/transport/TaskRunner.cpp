#include "NoctaBastorHelper/transport/TaskRunner.h"

#include <algorithm>
#include <system_error>

namespace bastor {

TaskRunner::TaskRunner(std::size_t threads) : maxThreads_(std::max<std::size_t>(threads, 1)) {}

void TaskRunner::run(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (idle_ <= queue_.size() && threads_.size() < maxThreads_) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                // The threads there are will get to it.
                if (threads_.empty()) throw;
            }
        }
        queue_.push_back(std::move(task));
    }
    // Outside the lock, so the woken thread need not wait for it.
    wake_.notify_one();
}

void TaskRunner::drain() {
    std::unique_lock lock(mutex_);
    draining_ = true;
    // A task queued meanwhile may have started a thread of its own.
    while (!threads_.empty()) {
        auto threads = std::move(threads_);
        threads_.clear();
        wake_.notify_all();
        lock.unlock();
        for (auto& thread : threads)
            thread.join();
        lock.lock();
    }
    draining_ = false;
}

void TaskRunner::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            auto task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            try {
                task();
            } catch (...) {
                // A task owns its failures; one that escapes must not end the process.
            }
            task = nullptr;  // its captures may be heavy; free them outside the lock
            lock.lock();
            continue;
        }
        if (draining_) return;
        ++idle_;
        wake_.wait(lock, [this] { return !queue_.empty() || draining_; });
        --idle_;
    }
}

}  // namespace bastor
