#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace bastor {

// Runs every task on a thread of its own at once, never queued behind another:
// a call that blocks for an hour must not delay a quick one. Threads are
// reused while idle and end after a while without work.
class TaskRunner {
  public:
    TaskRunner() = default;
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;
    ~TaskRunner() { drain(); }

    // Starts `task`. Throws std::system_error, with the task not run, when no
    // thread can be started for it.
    void run(std::function<void()> task);

    // Waits until every task, also one started meanwhile, has ended and every
    // thread is joined. run() may be used again afterwards.
    void drain();

    static constexpr std::chrono::seconds idleTimeout{10};

  private:
    void work(std::uint64_t serial);
    void joinExited();  // with mutex_ held

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::size_t idle_ = 0;
    int draining_ = 0;
    // Keyed by a serial rather than the thread id, which the system reuses.
    std::uint64_t nextSerial_ = 0;
    std::unordered_map<std::uint64_t, std::thread> threads_;
    std::vector<std::uint64_t> exited_;
};

}  // namespace bastor
