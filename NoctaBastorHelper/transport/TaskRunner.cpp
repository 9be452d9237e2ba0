#include "NoctaBastorHelper/transport/TaskRunner.h"

namespace bastor {

void TaskRunner::run(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    joinExited();
    queue_.push_back(std::move(task));
    // Each idle worker takes one queued task, so only a shortfall needs a thread.
    if (idle_ >= queue_.size()) {
        wake_.notify_one();
        return;
    }
    const auto serial = nextSerial_++;
    try {
        auto& slot = threads_[serial];
        try {
            slot = std::thread([this, serial] { work(serial); });
        } catch (...) {
            threads_.erase(serial);
            throw;
        }
    } catch (...) {
        queue_.pop_back();
        throw;
    }
}

void TaskRunner::drain() {
    std::unique_lock lock(mutex_);
    ++draining_;
    wake_.notify_all();
    while (!threads_.empty()) {
        auto threads = std::move(threads_);
        threads_.clear();
        exited_.clear();
        lock.unlock();
        for (auto& [serial, thread] : threads)
            thread.join();
        lock.lock();
    }
    --draining_;
}

void TaskRunner::work(std::uint64_t serial) {
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
        if (draining_ > 0) break;
        ++idle_;
        const bool woken =
            wake_.wait_for(lock, idleTimeout, [this] { return !queue_.empty() || draining_ > 0; });
        --idle_;
        if (!woken) break;
    }
    exited_.push_back(serial);
}

void TaskRunner::joinExited() {
    for (const auto serial : exited_) {
        auto found = threads_.find(serial);
        if (found == threads_.end()) continue;  // already joined by drain()
        found->second.join();
        threads_.erase(found);
    }
    exited_.clear();
}

}  // namespace bastor
