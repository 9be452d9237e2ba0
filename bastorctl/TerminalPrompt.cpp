#include "bastorctl/TerminalPrompt.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bastor {
namespace {

constexpr std::size_t longestAnswer = 64;

// Echo switched off on a terminal for as long as it lives.
class EchoOff {
  public:
    EchoOff(int terminal, bool wanted) : terminal_(terminal) {
        if (!wanted || ::tcgetattr(terminal_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        active_ = ::tcsetattr(terminal_, TCSANOW, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(terminal_, TCSANOW, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    int terminal_;
    termios saved_{};
    bool active_ = false;
};

bool approves(std::string answer) {
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t'))
        answer.pop_back();
    std::size_t start = answer.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    answer.erase(0, start);
    for (char& c : answer)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return answer == "y" || answer == "yes";
}

}  // namespace

std::optional<TerminalPrompt> TerminalPrompt::open(const std::string& path) {
    UniqueFd terminal(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!terminal || !::isatty(terminal.get())) return std::nullopt;
    return TerminalPrompt(std::move(terminal));
}

void TerminalPrompt::show(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(terminal_.get(), text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a terminal gone away is noticed when reading the answer
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

Approval TerminalPrompt::ask(std::string_view question, std::chrono::milliseconds timeout) {
    const InterruptWatch interrupts;
    ::tcflush(terminal_.get(), TCIFLUSH);
    const Line answer = readLine(question, Echo::on, std::chrono::steady_clock::now() + timeout,
                                 interrupts, longestAnswer);
    switch (answer.status) {
        case Line::Status::read:
            return approves(answer.text) ? Approval::approved : Approval::denied;
        case Line::Status::ended:
            return Approval::denied;
        case Line::Status::timedOut:
            return Approval::timedOut;
    }
    return Approval::denied;
}

TerminalPrompt::Line TerminalPrompt::readLine(std::string_view prompt, Echo echo,
                                              std::chrono::steady_clock::time_point deadline,
                                              const InterruptWatch& interrupts,
                                              std::size_t longest) {
    // Off before the prompt shows, or a quick typist's first keys would echo.
    const EchoOff quiet(terminal_.get(), echo == Echo::off);
    show(prompt);
    Line line;
    line.text.reserve(longest);  // a secret is never left behind in a reallocation
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd fds[2] = {{terminal_.get(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}};
        const int ready = ::poll(fds, interrupts.fd() >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents != 0) {
            show("\n");
            line.status = Line::Status::ended;
            return line;
        }
        if (ready == 0) break;

        char chunk[256];
        const ssize_t n = ::read(terminal_.get(), chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {  // end of input or a hung-up terminal
            show("\n");
            line.status = Line::Status::ended;
            return line;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n' || chunk[i] == '\r') {
                ::explicit_bzero(chunk, sizeof chunk);
                // The newline typed was not echoed either.
                if (echo == Echo::off) show("\n");
                line.status = Line::Status::read;
                return line;
            }
            if (line.text.size() < longest) line.text += chunk[i];
        }
        ::explicit_bzero(chunk, sizeof chunk);
    }
    show("\n");
    line.status = Line::Status::timedOut;
    return line;
}

std::string TerminalPrompt::name() const {
    char path[256];
    return ::ttyname_r(terminal_.get(), path, sizeof path) == 0 ? path : "";
}

}  // namespace bastor
