#include "BastorShared/platform/ChildProcesses.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor::ChildProcesses {

namespace {

struct Stat {
    pid_t parent = 0;
    pid_t group = 0;
};

// Fields 4 and 5 of /proc/<pid>/stat; the command name before them is in
// parentheses and may hold anything, so reading starts after the last ')'.
bool readStat(pid_t pid, Stat& out) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    char text[1024];
    ssize_t count;
    do {
        count = ::read(fd.get(), text, sizeof text - 1);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) return false;
    text[count] = '\0';
    const std::string_view stat(text, static_cast<std::size_t>(count));
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos) return false;
    char state = 0;
    int parent = 0, group = 0;
    if (std::sscanf(text + close + 1, " %c %d %d", &state, &parent, &group) != 3) return false;
    out = {parent, group};
    return true;
}

}  // namespace

std::vector<pid_t> list() {
    std::vector<pid_t> children;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return children;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        Stat stat;
        if (readStat(static_cast<pid_t>(pid), stat) && stat.parent == self)
            children.push_back(static_cast<pid_t>(pid));
    }
    return children;
}

std::size_t signalGroups(int signal) noexcept {
    try {
        const auto children = list();
        for (const pid_t child : children) {
            // A child reaped since the listing frees its pid; another process
            // taking it within this instant is the remaining risk.
            Stat stat;
            if (readStat(child, stat) && stat.group == child)
                (void)::killpg(child, signal);
            else
                (void)::kill(child, signal);
        }
        return children.size();
    } catch (...) {
        return 0;
    }
}

}  // namespace bastor::ChildProcesses
