#include "bastorctl/InterruptWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace bastor {
namespace {

// Signals wake the wait through this pipe, whichever thread takes them. It
// is made once and never closed, so a handler still running on another
// thread can never write into a descriptor that was closed and reused.
std::atomic<int> interruptRead{-1};
std::atomic<int> interruptWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

extern "C" void noteInterruption(int) {
    const int saved = errno;
    [[maybe_unused]] ssize_t ignored = ::write(interruptWrite.load(), "!", 1);
    errno = saved;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    static std::once_flag made;
    std::call_once(made, [] {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        interruptRead.store(fds[0]);
        interruptWrite.store(fds[1]);
    });
    if (fd() < 0) return;
    char stale[64];
    while (::read(fd(), stale, sizeof stale) > 0) {
    }
    struct sigaction action {};
    action.sa_handler = noteInterruption;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < signals_.size(); ++i) {
        sigaction(signals_[i], &action, &previous_[i]);
    }
    watching_ = true;
}

InterruptWatch::~InterruptWatch() {
    if (!watching_) return;
    for (std::size_t i = 0; i < signals_.size(); ++i) {
        sigaction(signals_[i], &previous_[i], nullptr);
    }
}

int InterruptWatch::fd() const {
    return interruptRead.load();
}

bool InterruptWatch::happened() const {
    pollfd ready{fd(), POLLIN, 0};
    return fd() >= 0 && ::poll(&ready, 1, 0) > 0;
}

}  // namespace bastor
