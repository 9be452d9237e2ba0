#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {

// One thread waiting on many descriptors with epoll (level-triggered). run()
// calls its handlers on the calling thread, one at a time: `ready` for each
// descriptor with events, then tasks from post(), and `tick` about once a
// second. add() and remove() belong on the loop's thread (or before run());
// modify(), post() and stop() may be called from any thread.
class EventLoop {
  public:
    using Ready = std::function<void(int fd, std::uint32_t events)>;

    // Throws SystemError when epoll or the wake-up descriptor cannot be made.
    EventLoop();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Throws SystemError.
    void add(int fd, std::uint32_t events);
    void modify(int fd, std::uint32_t events) noexcept;
    void remove(int fd) noexcept;

    void post(std::function<void()> task);

    // Returns once stop() was called; tasks still posted are dropped.
    void run(const Ready& ready, const std::function<void()>& tick);
    void stop() noexcept;

    static constexpr std::chrono::milliseconds tickInterval{1000};

  private:
    void runPosted();

    UniqueFd epoll_;
    UniqueFd wakeup_;  // an eventfd
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;  // guarded by mutex_
    bool stopped_ = false;                       // guarded by mutex_
};

}  // namespace bastor
