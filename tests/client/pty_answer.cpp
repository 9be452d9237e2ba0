// Runs a command on a new pseudo-terminal, as a person at a terminal would,
// and types ANSWER once the approval question appears. Copies everything the
// command shows to standard output and exits with the command's status.
//
//   pty_answer ANSWER COMMAND [ARGS...]

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pty_answer ANSWER COMMAND [ARGS...]\n");
        return 2;
    }
    const std::string answer = std::string(argv[1]) + "\n";
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        std::perror("forkpty");
        return 2;
    }
    if (child == 0) {
        ::execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }

    std::string seen;
    bool answered = false;
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (::poll(&fd, 1, 60000) <= 0) {  // a hung command must not hang the test
            ::kill(child, SIGKILL);
            break;
        }
        char chunk[4096];
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n <= 0) break;  // EIO once the command and its terminal are gone
        std::fwrite(chunk, 1, static_cast<std::size_t>(n), stdout);
        if (!answered) {
            seen.append(chunk, static_cast<std::size_t>(n));
            if (seen.find("[y/N]") != std::string::npos) {
                answered = ::write(master, answer.data(), answer.size()) ==
                           static_cast<ssize_t>(answer.size());
            }
        }
    }
    std::fflush(stdout);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
