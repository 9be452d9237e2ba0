// Starts PROGRAM as its own child, waiting on a pipe for standard input, and
// tries what a debugger would do to it: ptrace attach, take a descriptor
// with pidfd_getfd, open /proc/<pid>/mem. Prints one line per attempt, "ok"
// or the errno name, and the child's group ids as /proc shows them ("gids:
// real effective saved filesystem"), then kills the child.
//
//   trace_probe PROGRAM [ARGS...]

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

void report(const char* what, bool ok) {
    std::printf("%s: %s\n", what, ok ? "ok" : strerrorname_np(errno));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int input[2];
    if (::pipe(input) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(input[0], STDIN_FILENO);
        ::close(input[0]);
        ::close(input[1]);
        ::execv(argv[1], argv + 1);
        ::_exit(127);
    }
    ::close(input[0]);

    // Until the child runs the program (or /proc no longer lets us look).
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    for (int tries = 0; tries < 200; ++tries) {
        std::error_code error;
        const auto running = std::filesystem::read_symlink(exe, error);
        if (error || running != self) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const bool attached = ::ptrace(PTRACE_ATTACH, child, nullptr, nullptr) == 0;
    report("attach", attached);
    if (attached) {
        int status = 0;
        ::waitpid(child, &status, 0);
        ::ptrace(PTRACE_DETACH, child, nullptr, nullptr);
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    const int taken = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, STDIN_FILENO, 0));
    report("getfd", taken >= 0);
    const std::string mem = "/proc/" + std::to_string(child) + "/mem";
    const int memory = ::open(mem.c_str(), O_RDONLY | O_CLOEXEC);
    report("mem", memory >= 0);

    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("Gid:")) std::printf("gids: %s\n", line.substr(5).c_str());

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return 0;
}
