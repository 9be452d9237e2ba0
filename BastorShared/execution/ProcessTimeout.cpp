#include "BastorShared/execution/ProcessTimeout.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace bastor {

ProcessTimeout::ProcessTimeout(int pidfd, pid_t pid, bool ownsProcessGroup)
    : pidfd_(pidfd), pid_(pid), ownsProcessGroup_(ownsProcessGroup) {}

ProcessTimeout::~ProcessTimeout() {
    cancel();
    if (steps_.joinable()) steps_.join();
}

void ProcessTimeout::start(double seconds) {
    // Bounded so the time point cannot overflow; NaN counts as no delay.
    const double delay = seconds > 0 ? std::min(seconds, 1.0e8) : 0.0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(delay));
    {
        const std::lock_guard guard(lock_);
        if (cancelled_ || started_) return;
        started_ = true;
    }
    // Created outside the lock; a cancel() in between is seen by the first step.
    steps_ = std::thread([this, deadline] { runSteps(deadline); });
}

void ProcessTimeout::cancel() {
    {
        const std::lock_guard guard(lock_);
        cancelled_ = true;
    }
    wake_.notify_all();
}

bool ProcessTimeout::shouldSignal() {
    if (cancelled_) return false;
    // A pidfd turns readable once the process has exited; polling it neither
    // reaps the child nor can mistake a new process with the same pid for it.
    pollfd watch{pidfd_, POLLIN, 0};
    const int ready = ::poll(&watch, 1, 0);
    return ready == 0;
}

void ProcessTimeout::signal(int number) const {
    if (ownsProcessGroup_) ::killpg(pid_, number);
    // A child that moved itself into another group is out of killpg's reach.
    if (!ownsProcessGroup_ || ::getpgid(pid_) != pid_)
        ::syscall(SYS_pidfd_send_signal, pidfd_, number, nullptr, 0);
}

void ProcessTimeout::runSteps(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(lock_);
    if (wake_.wait_until(guard, deadline, [this] { return cancelled_; })) return;
    if (!shouldSignal()) return;
    guard.unlock();
    signal(terminateSignal);

    guard.lock();
    const auto killAt = std::chrono::steady_clock::now() + gracePeriod;
    if (wake_.wait_until(guard, killAt, [this] { return cancelled_; })) return;
    if (!shouldSignal()) return;
    guard.unlock();
    signal(killSignal);
}

}  // namespace bastor
