#include "NoctaBastorHelper/transport/PeerRequirement.h"

#include <sys/stat.h>

#include <system_error>

#include "NoctaBastorHelper/transport/PeerProcess.h"

namespace bastor {

namespace {

bool isAllowedFile(const std::filesystem::path& allowed, const PeerExecutable& peer) {
    std::error_code error;
    if (peer.path != allowed.native()) {
        // /proc reports the resolved path; the list may name it through a link.
        const auto resolved = std::filesystem::canonical(allowed, error);
        if (error || resolved.native() != peer.path) return false;
    }
    struct stat file {};
    if (::stat(allowed.c_str(), &file) != 0) return false;
    return file.st_dev == peer.device && file.st_ino == peer.inode && S_ISREG(file.st_mode) &&
           file.st_uid == 0 && (file.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool PeerRequirement::admits(int socketFd) const noexcept {
    try {
        const auto peer = peerExecutable(socketFd);
        if (!peer) return false;
        for (const auto& allowed : allowedExecutables)
            if (isAllowedFile(allowed, *peer)) return true;
    } catch (...) {
    }
    return false;
}

}  // namespace bastor
