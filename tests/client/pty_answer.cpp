// Runs a command on a new pseudo-terminal, as a person at a terminal would,
// and types ANSWER once the approval question appears. Copies everything the
// command shows to standard output and exits with the command's status.
//
//   pty_answer ANSWER COMMAND [ARGS...]

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string answer = std::string(argv[1]) + "\n";
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::execvp(argv[2], argv + 2);
        _exit(127);
    }
    std::string seen;
    bool answered = false;
    char chunk[4096];
    // A hung command must not hang the test: the alarm ends this program, and
    // the hang-up of its terminal the command.
    ::alarm(60);
    // Reading fails with EIO once the command and its terminal are gone.
    for (ssize_t n; child > 0 && (n = ::read(master, chunk, sizeof chunk)) > 0;) {
        std::fwrite(chunk, 1, static_cast<std::size_t>(n), stdout);
        seen.append(chunk, static_cast<std::size_t>(n));
        if (!answered && seen.find("[y/N]") != std::string::npos)
            answered = ::write(master, answer.data(), answer.size()) == std::ssize(answer);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) < 0) return 2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
