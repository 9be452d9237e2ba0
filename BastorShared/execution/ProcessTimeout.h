#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace bastor {

// Enforces a run's time limit from inside the run's own poll loop, with no
// thread of its own: at the deadline everything the run started gets
// SIGTERM, 5 seconds later SIGKILL, each through the `signal` function the
// run provides, and each at most once. The loop sleeps at most
// pollTimeout() and calls act() whenever it wakes; cancel() once the run has
// ended. A run stopped this way is reported only by the child's status.
// Not thread-safe: it belongs to the run's thread.
class ProcessTimeout {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int terminateSignal = 15;  // SIGTERM
    static constexpr int killSignal = 9;        // SIGKILL
    static constexpr std::chrono::milliseconds gracePeriod{5000};

    // `signal` sends one signal to everything the run started.
    explicit ProcessTimeout(std::function<void(int)> signal) : signal_(std::move(signal)) {}

    // Sets the deadline `seconds` from now; later calls are ignored.
    void start(double seconds);
    // Nothing is sent after this.
    void cancel() { cancelled_ = true; }

    // Milliseconds until the next step is due, for poll(); -1 when none is.
    [[nodiscard]] int pollTimeout() const;
    // Takes the steps that are due now.
    void act();
    // The kill step has been taken: the run is over, whatever still holds it.
    [[nodiscard]] bool killed() const { return step_ == Step::killed; }

  private:
    enum class Step { waiting, terminated, killed };
    [[nodiscard]] std::optional<Clock::time_point> nextStep() const;

    std::function<void(int)> signal_;
    std::optional<Clock::time_point> deadline_;
    Step step_ = Step::waiting;
    bool cancelled_ = false;
};

}  // namespace bastor
