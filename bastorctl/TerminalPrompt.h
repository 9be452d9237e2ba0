#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {

enum class Approval { approved, denied, timedOut };

// A question to the person at the terminal. Reads the terminal itself, not
// standard input, so piped input can never answer it.
class TerminalPrompt {
  public:
    // The terminal at `path` (the controlling terminal by default), or
    // nothing when there is none to ask.
    [[nodiscard]] static std::optional<TerminalPrompt> open(const std::string& path = "/dev/tty");

    // Writes `text` as it is.
    void show(std::string_view text);

    // Asks `question` and waits up to `timeout` for one line. "y" or "yes" in
    // any letter case approves; any other line, end of input, a hang-up or an
    // interrupt (Ctrl-C, SIGTERM) denies. Input typed before the question
    // appeared is discarded: only an answer to this question counts.
    [[nodiscard]] Approval ask(std::string_view question, std::chrono::milliseconds timeout);

  private:
    explicit TerminalPrompt(UniqueFd terminal) : terminal_(std::move(terminal)) {}

    UniqueFd terminal_;
};

}  // namespace bastor
