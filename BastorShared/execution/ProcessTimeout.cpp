#include "BastorShared/execution/ProcessTimeout.h"

#include <algorithm>

namespace bastor {

void ProcessTimeout::start(double seconds) {
    if (deadline_) return;
    // Bounded so the time point cannot overflow; NaN counts as no delay.
    const double delay = seconds > 0 ? std::min(seconds, 1.0e8) : 0.0;
    deadline_ = Clock::now() +
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
}

std::optional<ProcessTimeout::Clock::time_point> ProcessTimeout::nextStep() const {
    if (cancelled_ || !deadline_) return std::nullopt;
    switch (step_) {
        case Step::waiting:
            return *deadline_;
        case Step::terminated:
            return *deadline_ + gracePeriod;
        case Step::killed:
            break;
    }
    return std::nullopt;
}

int ProcessTimeout::pollTimeout() const {
    const auto next = nextStep();
    if (!next) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    // poll() takes an int; a long wait is simply taken in pieces.
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void ProcessTimeout::act() {
    for (auto next = nextStep(); next && Clock::now() >= *next; next = nextStep()) {
        step_ = step_ == Step::waiting ? Step::terminated : Step::killed;
        signal_(step_ == Step::terminated ? terminateSignal : killSignal);
    }
}

}  // namespace bastor
