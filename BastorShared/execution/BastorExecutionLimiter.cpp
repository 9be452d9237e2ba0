#include "BastorShared/execution/BastorExecutionLimiter.h"

#include <algorithm>

namespace bastor {

BastorExecutionLimiter::BastorExecutionLimiter(std::int64_t maxConcurrent)
    : available_(std::max<std::int64_t>(maxConcurrent, 1)) {}

void BastorExecutionLimiter::acquire() {
    std::unique_lock guard(lock_);
    if (available_ >= 1) {
        --available_;
        return;
    }
    Waiter self;
    waiters_.push_back(&self);
    self.granted.wait(guard, [&] { return self.ready; });
}

void BastorExecutionLimiter::release() noexcept {
    const std::lock_guard guard(lock_);
    if (waiters_.empty()) {
        ++available_;
        return;
    }
    Waiter* const next = waiters_.front();
    waiters_.pop_front();
    next->ready = true;
    // Notified under the lock: the waiter's condition lives on its stack and
    // may vanish as soon as it can observe `ready`.
    next->granted.notify_one();
}

std::size_t BastorExecutionLimiter::waiting() const {
    const std::lock_guard guard(lock_);
    return waiters_.size();
}

}  // namespace bastor
