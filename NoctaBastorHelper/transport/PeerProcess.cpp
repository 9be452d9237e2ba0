#include "NoctaBastorHelper/transport/PeerProcess.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "BastorShared/platform/UniqueFd.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace bastor {

namespace {

std::string procPath(pid_t pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// Through a close-on-exec descriptor, as every descriptor of the daemon.
std::optional<std::string> readSmallFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return text;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

// Field 22 of /proc/<pid>/stat, the start time in clock ticks since boot.
// The command name before it is in parentheses and may hold anything, so
// counting starts after the last ')'.
std::optional<std::string> startTime(pid_t pid) {
    const auto stat = readSmallFile(procPath(pid, "stat"));
    if (!stat) return std::nullopt;
    const auto close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat->substr(close + 1));
    std::string field;
    for (int index = 3; index <= 22; ++index)
        if (!(fields >> field)) return std::nullopt;
    return field;
}

// What /proc/<pid>/status says about the ids: the real and effective uid
// (the first two "Uid:" fields) and the supplementary groups.
struct StatusIds {
    uid_t real = 0;
    uid_t effective = 0;
    std::vector<gid_t> groups;
};

std::optional<StatusIds> statusIds(pid_t pid) {
    const auto status = readSmallFile(procPath(pid, "status"));
    if (!status) return std::nullopt;
    const auto uidLine = status->find("\nUid:");
    const auto groupsLine = status->find("\nGroups:");
    if (uidLine == std::string::npos || groupsLine == std::string::npos) return std::nullopt;
    StatusIds ids;
    std::istringstream uids(status->substr(uidLine + 5));
    unsigned long real = 0, effective = 0;
    if (!(uids >> real >> effective)) return std::nullopt;
    ids.real = static_cast<uid_t>(real);
    ids.effective = static_cast<uid_t>(effective);
    const auto groupsEnd = status->find('\n', groupsLine + 1);
    std::istringstream groups(status->substr(groupsLine + 8, groupsEnd - groupsLine - 8));
    for (unsigned long gid = 0; groups >> gid;)
        ids.groups.push_back(static_cast<gid_t>(gid));
    return ids;
}

// The pid a pidfd refers to, as /proc/self/fdinfo tells it (-1 once reaped).
std::optional<pid_t> pidOf(int pidfd) {
    const auto info = readSmallFile("/proc/self/fdinfo/" + std::to_string(pidfd));
    if (!info) return std::nullopt;
    const auto line = info->find("\nPid:");
    if (line == std::string::npos) return std::nullopt;
    std::istringstream fields(info->substr(line + 5));
    long pid = 0;
    if (!(fields >> pid)) return std::nullopt;
    return static_cast<pid_t>(pid);
}

bool isAlive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

UniqueFd peerSocketPidfd(int socketFd) {
    int pidfd = -1;
    socklen_t size = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) != 0) return UniqueFd();
    return UniqueFd(pidfd);
}

std::optional<std::string> readLink(const std::string& path) {
    std::string target(4096, '\0');
    const auto length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    return target;
}

}  // namespace

PeerCredentials peerCredentials(int socketFd) noexcept {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return {};
    return {credentials.pid, credentials.uid};
}

std::optional<PeerProcess> peerProcess(int socketFd, PidfdSource source) {
    try {
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
            credentials.pid <= 0)
            return std::nullopt;
        const pid_t pid = credentials.pid;

        UniqueFd pidfd;
        if (source == PidfdSource::peerSocket) pidfd = peerSocketPidfd(socketFd);
        std::optional<std::string> startedBefore;
        if (pidfd) {
            if (pidOf(pidfd.get()) != pid) return std::nullopt;
        } else {
            // Read before opening: a process that took over the pid after this
            // read shows another start time below. One that took it between the
            // connect and this read cannot be told apart; only SO_PEERPIDFD
            // (Linux 6.5) closes that gap.
            startedBefore = startTime(pid);
            if (!startedBefore) return std::nullopt;
            pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
            if (!pidfd) return std::nullopt;
        }

        const auto ids = statusIds(pid);
        if (!ids) return std::nullopt;
        // Without SO_PEERPIDFD the pid may have passed to another process;
        // this one must at least run as the same effective user.
        if (startedBefore && ids->effective != credentials.uid) return std::nullopt;
        const auto exe = procPath(pid, "exe");
        auto path = readLink(exe);
        struct stat running {};
        if (!path || ::stat(exe.c_str(), &running) != 0) return std::nullopt;
        // Alive now means the pid still named the peer while /proc was read.
        if (!isAlive(pidfd.get())) return std::nullopt;
        if (startedBefore && startTime(pid) != startedBefore) return std::nullopt;
        return PeerProcess{
            .pid = pid,
            .effectiveUid = credentials.uid,
            .effectiveGid = credentials.gid,
            .realUid = ids->real,
            .groups = ids->groups,
            .executable = {std::move(*path), running.st_dev, running.st_ino},
        };
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace bastor
