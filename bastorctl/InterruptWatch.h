#pragma once

#include <array>
#include <csignal>

namespace bastor {

// Turns Ctrl-C, SIGTERM and a hang-up into a readable descriptor for as long
// as it lives, so a wait can end on them and the program can still record
// why it stopped. Restores the previous handlers when it goes. One at a time
// per process; not thread-safe.
class InterruptWatch {
  public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Readable once an interruption came; -1 when none can be watched.
    [[nodiscard]] int fd() const;
    // Whether one came since this watch began. It stays noted.
    [[nodiscard]] bool happened() const;

  private:
    static constexpr std::array signals_ = {SIGINT, SIGTERM, SIGHUP};
    bool watching_ = false;
    std::array<struct sigaction, signals_.size()> previous_{};
};

}  // namespace bastor
