#include "BastorShared/execution/TrustedExecutable.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "BastorShared/platform/RootOnlyPath.h"
#include "BastorShared/records/BastorError.h"

namespace bastor {

namespace {

[[noreturn]] void changed() {
    throw BastorError::execution(
        "The resolved executable changed after approval; the command was not run");
}

std::string userName(uid_t uid) {
    passwd entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string groupName(gid_t gid) {
    group entry{}, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return "gid " + std::to_string(gid);
}

// Who other than root could replace what lies at `path`, if anyone.
std::optional<std::string> culprit(const std::string& path, const struct stat& info) {
    if (info.st_uid != 0) return path + " is owned by " + userName(info.st_uid);
    // Others may write a sticky directory (/tmp), but not remove root's entries.
    if (isStickyDirectory(info)) return std::nullopt;
    if (info.st_mode & S_IWGRP) return path + " is writable by group " + groupName(info.st_gid);
    if (info.st_mode & S_IWOTH) return path + " is writable by others";
    return std::nullopt;
}

struct stat statOf(const UniqueFd& fd) {
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) changed();
    return info;
}

bool startsWithShebang(const UniqueFd& pathFd) {
    // An O_PATH descriptor cannot be read; its /proc name opens the same file.
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd.get());
    const UniqueFd file(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    char start[2] = {};
    return file && ::pread(file.get(), start, sizeof start, 0) == 2 && start[0] == '#' &&
           start[1] == '!';
}

}  // namespace

TrustedExecutable TrustedExecutable::open(const std::string& path) {
    struct stat named {};
    if (!path.starts_with('/') || ::stat(path.c_str(), &named) != 0) changed();
    const auto refuse = [&](const std::string& reason) {
        throw BastorError::execution("The executable " + path +
                                     " could be replaced by a user other than root: " + reason +
                                     "; the command was not run");
    };

    UniqueFd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (const auto reason = culprit("/", statOf(current))) refuse(*reason);
    std::string_view rest = std::string_view(path).substr(1);
    std::string reached;
    for (;;) {
        const auto slash = rest.find('/');
        const std::string component(rest.substr(0, slash));
        const bool last = slash == std::string_view::npos;
        reached += "/" + component;
        // No link is followed: every step is a name inside a checked directory.
        const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY);
        UniqueFd next(::openat(current.get(), component.c_str(), flags));
        const struct stat info = statOf(next);
        if (last && !S_ISREG(info.st_mode)) changed();
        if (const auto reason = culprit(reached, info)) refuse(*reason);
        current = std::move(next);
        if (last) {
            if (info.st_dev != named.st_dev || info.st_ino != named.st_ino) changed();
            break;
        }
        rest.remove_prefix(slash + 1);
    }
    const bool script = startsWithShebang(current);
    return TrustedExecutable(std::move(current), script);
}

}  // namespace bastor
