#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace bastor {

// Enforces a run's time limit: at the deadline, if the child still runs, it
// gets SIGTERM (its whole process group when it leads one, and the child
// itself when it has left that group); 5 seconds later, if it still runs,
// SIGKILL. The steps run on a thread of the timeout's own.
//
// "Still running" is tested through the pidfd without reaping, so the caller
// must keep the child unreaped until this object is destroyed: the zombie
// then holds the pid and the group id, and no signal can reach a stranger.
class ProcessTimeout {
  public:
    static constexpr int terminateSignal = 15;  // SIGTERM
    static constexpr int killSignal = 9;        // SIGKILL
    static constexpr std::chrono::milliseconds gracePeriod{5000};

    // `pidfd` is borrowed and must outlive this object.
    ProcessTimeout(int pidfd, pid_t pid, bool ownsProcessGroup);
    ProcessTimeout(const ProcessTimeout&) = delete;
    ProcessTimeout& operator=(const ProcessTimeout&) = delete;
    // Cancels and waits for the step thread.
    ~ProcessTimeout();

    // Schedules the terminate step `seconds` from now; returns at once. Later
    // calls are ignored. Call from the owning thread.
    void start(double seconds);

    // No step that has not yet tested for cancellation will act. Returns at
    // once; a SIGTERM already decided on may still go out.
    void cancel();

  private:
    void runSteps(std::chrono::steady_clock::time_point deadline);
    // Under lock_: false once cancelled or the child has exited.
    bool shouldSignal();
    void signal(int number) const;

    const int pidfd_;
    const pid_t pid_;
    const bool ownsProcessGroup_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    bool started_ = false;
    std::thread steps_;  // touched only by the owner: start() and the destructor
};

}  // namespace bastor
