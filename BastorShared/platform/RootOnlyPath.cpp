#include "BastorShared/platform/RootOnlyPath.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace bastor {

bool isStickyDirectory(const struct stat& info) {
    return S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
}

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

std::optional<std::string> ownershipFault(const std::filesystem::path& item,
                                          const struct stat& info) {
    if (info.st_uid != 0) return item.string() + " is not owned by root";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !isStickyDirectory(info))
        return item.string() + " is writable by group or others";
    return std::nullopt;
}

void pushFront(std::deque<std::filesystem::path>& pending, const std::filesystem::path& path) {
    std::deque<std::filesystem::path> parts;
    for (const auto& part : path.relative_path())
        if (!part.empty()) parts.push_back(part);
    pending.insert(pending.begin(), parts.begin(), parts.end());
}

}  // namespace

std::optional<std::string> rootOnlyPathFault(const std::filesystem::path& path) {
    try {
        if (!path.is_absolute()) return path.string() + " is not an absolute path";
        std::filesystem::path current = "/";
        struct stat info {};
        if (::lstat("/", &info) != 0) return std::string("cannot check /: ") + std::strerror(errno);
        if (auto fault = ownershipFault(current, info)) return fault;

        std::deque<std::filesystem::path> pending;
        pushFront(pending, path);
        int links = 0;
        // Others may add names to a sticky directory such as /tmp, but only
        // root and a name's owner may remove or rename it: there a link too
        // must be root's.
        bool sticky = false;
        while (!pending.empty()) {
            const auto part = pending.front();
            pending.pop_front();
            if (part == ".") continue;
            if (part == "..") {  // a directory already checked on the way in
                current = current.parent_path();
                continue;
            }
            const auto next = current / part;
            if (::lstat(next.c_str(), &info) != 0)
                return "cannot check " + next.string() + ": " + std::strerror(errno);
            if (S_ISLNK(info.st_mode)) {
                // The link's own mode means nothing; its directory, checked
                // already, decides who may replace it. Its target is walked next.
                if (sticky && info.st_uid != 0) return next.string() + " is not owned by root";
                if (++links > kMaxLinks) return next.string() + ": too many symbolic links";
                std::error_code error;
                const auto target = std::filesystem::read_symlink(next, error);
                if (error) return "cannot read " + next.string() + ": " + error.message();
                if (target.is_absolute()) current = "/";
                pushFront(pending, target);
                continue;
            }
            if (auto fault = ownershipFault(next, info)) return fault;
            sticky = isStickyDirectory(info);
            current = next;
        }
        return std::nullopt;
    } catch (const std::exception& error) {
        return "cannot check " + path.string() + ": " + error.what();
    }
}

}  // namespace bastor
