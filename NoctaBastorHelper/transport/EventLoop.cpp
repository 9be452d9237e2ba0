#include "NoctaBastorHelper/transport/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "BastorShared/platform/SystemError.h"

namespace bastor {

namespace {

constexpr int kEventsPerWait = 64;

}  // namespace

EventLoop::EventLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!epoll_) throwSystemError("cannot create", "epoll");
    if (!wakeup_) throwSystemError("cannot create", "eventfd");
    add(wakeup_.get(), EPOLLIN);
}

void EventLoop::add(int fd, std::uint32_t events) {
    epoll_event event{.events = events, .data = {.fd = fd}};
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0)
        throwSystemError("cannot watch descriptor", std::to_string(fd));
}

void EventLoop::modify(int fd, std::uint32_t events) noexcept {
    epoll_event event{.events = events, .data = {.fd = fd}};
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::remove(int fd) noexcept {
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        posted_.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeup_.get(), &one, sizeof one);
}

void EventLoop::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        posted_.clear();
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeup_.get(), &one, sizeof one);
}

void EventLoop::run(const Ready& ready, const std::function<void()>& tick) {
    using Clock = std::chrono::steady_clock;
    auto nextTick = Clock::now() + tickInterval;
    epoll_event events[kEventsPerWait];
    for (;;) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextTick - Clock::now());
        const int count =
            ::epoll_wait(epoll_.get(), events, kEventsPerWait, std::max<int>(0, wait.count()));
        if (count < 0 && errno != EINTR) {
            // Only a shortage of memory makes it fail; ending the loop would
            // leave the daemon running but deaf.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (int i = 0; i < count; ++i) {
            if (events[i].data.fd == wakeup_.get()) {
                std::uint64_t drained = 0;
                (void)!::read(wakeup_.get(), &drained, sizeof drained);
                continue;
            }
            ready(events[i].data.fd, events[i].events);
        }
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
        }
        runPosted();
        if (Clock::now() >= nextTick) {
            tick();
            nextTick = Clock::now() + tickInterval;
        }
    }
}

void EventLoop::runPosted() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks)
        task();
}

}  // namespace bastor
