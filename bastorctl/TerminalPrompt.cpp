#include "bastorctl/TerminalPrompt.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace bastor {
namespace {

constexpr std::array interruptions = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t longestAnswer = 64;

// Signals wake the wait through this pipe, whichever thread takes them. It
// is made once and never closed, so a handler still running on another
// thread can never write into a descriptor that was closed and reused.
std::atomic<int> interruptRead{-1};
std::atomic<int> interruptWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

extern "C" void noteInterruption(int) {
    const int saved = errno;
    [[maybe_unused]] ssize_t ignored = ::write(interruptWrite.load(), "!", 1);
    errno = saved;
}

// Turns the interruptions into a readable pipe for as long as it lives.
class InterruptWatch {
  public:
    InterruptWatch() {
        static std::once_flag made;
        std::call_once(made, [] {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
            interruptRead.store(fds[0]);
            interruptWrite.store(fds[1]);
        });
        if (fd() < 0) return;
        char stale[64];
        while (::read(fd(), stale, sizeof stale) > 0) {
        }
        struct sigaction action {};
        action.sa_handler = noteInterruption;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < interruptions.size(); ++i) {
            sigaction(interruptions[i], &action, &previous_[i]);
        }
        watching_ = true;
    }
    ~InterruptWatch() {
        if (!watching_) return;
        for (std::size_t i = 0; i < interruptions.size(); ++i) {
            sigaction(interruptions[i], &previous_[i], nullptr);
        }
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    [[nodiscard]] int fd() const { return interruptRead.load(); }

  private:
    bool watching_ = false;
    std::array<struct sigaction, interruptions.size()> previous_{};
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
    show(question);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string answer;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd fds[2] = {{terminal_.get(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}};
        const int ready = ::poll(fds, interrupts.fd() >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents != 0) {
            show("\n");
            return Approval::denied;
        }
        if (ready == 0) break;

        char chunk[256];
        const ssize_t n = ::read(terminal_.get(), chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {  // end of input or a hung-up terminal
            show("\n");
            return Approval::denied;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n' || chunk[i] == '\r') {
                return approves(answer) ? Approval::approved : Approval::denied;
            }
            if (answer.size() < longestAnswer) answer += chunk[i];
        }
    }
    show("\n");
    return Approval::timedOut;
}

}  // namespace bastor
