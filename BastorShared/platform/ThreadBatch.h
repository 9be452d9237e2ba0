#pragma once

#include <functional>

namespace bastor {

// Work a thread puts off until the end of a scope, so that many small pieces
// become one: replies to one client written by one system call rather than
// one each. While a ThreadBatch exists on a thread, defer() collects work
// there; its destructor runs it, in the order first deferred. A batch opened
// inside another joins the outer one. Each thread has its own.
class ThreadBatch {
  public:
    ThreadBatch();
    ~ThreadBatch();
    ThreadBatch(const ThreadBatch&) = delete;
    ThreadBatch& operator=(const ThreadBatch&) = delete;

    // Puts `work` off unless work under `key` already waits. False, with
    // `work` not taken, when no batch is open on this thread: the caller
    // does the work now. `work` must not throw.
    [[nodiscard]] static bool defer(const void* key, const std::function<void()>& work);
};

}  // namespace bastor
