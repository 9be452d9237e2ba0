// Runs a command on a new pseudo-terminal and holds a conversation with it,
// as a person at a terminal would: for each pair, waits until EXPECT appears
// in what the command shows (after the previous match) and types SEND exactly
// as given. Copies everything shown to standard output and exits with the
// command's status.
//
//   pty_converse [EXPECT SEND]... -- COMMAND [ARGS...]

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> script;
    int at = 1;
    for (; at + 1 < argc && std::strcmp(argv[at], "--") != 0; at += 2)
        script.emplace_back(argv[at], argv[at + 1]);
    if (at >= argc || std::strcmp(argv[at], "--") != 0 || at + 1 >= argc) return 2;

    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::execvp(argv[at + 1], argv + at + 1);
        _exit(127);
    }
    std::string seen;
    std::size_t next = 0, searchFrom = 0;
    char chunk[4096];
    // A hung command must not hang the test: the alarm ends this program, and
    // the hang-up of its terminal the command.
    ::alarm(90);
    // Reading fails with EIO once the command and its terminal are gone.
    for (ssize_t n; child > 0 && (n = ::read(master, chunk, sizeof chunk)) > 0;) {
        std::fwrite(chunk, 1, static_cast<std::size_t>(n), stdout);
        std::fflush(stdout);
        seen.append(chunk, static_cast<std::size_t>(n));
        while (next < script.size()) {
            const std::size_t found = seen.find(script[next].first, searchFrom);
            if (found == std::string::npos) break;
            const std::string& send = script[next].second;
            if (::write(master, send.data(), send.size()) != std::ssize(send)) return 2;
            searchFrom = found + script[next].first.size();
            ++next;
        }
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) < 0) return 2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
