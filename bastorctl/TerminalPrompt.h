#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "BastorShared/platform/UniqueFd.h"
#include "bastorctl/InterruptWatch.h"

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

    enum class Echo { on, off };
    struct Line {
        enum class Status { read, ended, timedOut };
        Status status = Status::ended;
        std::string text;  // without its line end; at most `longest` bytes kept
    };

    // Shows `prompt` and reads one line, with echo off if asked: off before
    // the prompt appears, back on afterwards. `ended` for end of input, a
    // hang-up or an interruption noted by `interrupts`; `timedOut` once
    // `deadline` passes.
    [[nodiscard]] Line readLine(std::string_view prompt, Echo echo,
                                std::chrono::steady_clock::time_point deadline,
                                const InterruptWatch& interrupts, std::size_t longest);

    // The terminal's device path, such as /dev/pts/3; empty if unknown.
    [[nodiscard]] std::string name() const;

  private:
    explicit TerminalPrompt(UniqueFd terminal) : terminal_(std::move(terminal)) {}

    UniqueFd terminal_;
};

}  // namespace bastor
