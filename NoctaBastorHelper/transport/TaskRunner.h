#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bastor {

// A fixed number of threads running tasks first come, first served. Threads
// start when first needed and stay; a task that blocks holds one of them, so
// tasks are meant to be short. Thread-safe.
class TaskRunner {
  public:
    explicit TaskRunner(std::size_t threads);
    ~TaskRunner() { drain(); }

    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Queues `task`. Throws std::system_error, with the task not queued, only
    // when no thread runs and none can be started. Exceptions a task lets out
    // are dropped.
    void run(std::function<void()> task);

    // Waits until every task, also one queued meanwhile, has ended and every
    // thread is joined. run() may be used again afterwards.
    void drain();

  private:
    void work();

    const std::size_t maxThreads_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::size_t idle_ = 0;
    bool draining_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace bastor
