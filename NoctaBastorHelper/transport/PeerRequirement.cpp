#include "NoctaBastorHelper/transport/PeerRequirement.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "BastorShared/platform/RootOnlyPath.h"
#include "NoctaBastorHelper/transport/PeerProcess.h"
#include "NoctaBastorHelper/transport/PeerRefusal.h"

namespace bastor {

namespace {

bool isListedFile(const std::filesystem::path& allowed, const PeerExecutable& peer) {
    std::error_code error;
    if (peer.path != allowed.native()) {
        // /proc reports the resolved path; the list may name it through a link.
        const auto resolved = std::filesystem::canonical(allowed, error);
        if (error || resolved.native() != peer.path) return false;
    }
    struct stat file {};
    return ::stat(allowed.c_str(), &file) == 0 && file.st_dev == peer.device &&
           file.st_ino == peer.inode && S_ISREG(file.st_mode);
}

std::string userName(uid_t uid) {
    std::string buffer(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return entry.pw_name;
    return std::to_string(uid);
}

// Why `peer` may not be served, or nothing when it may.
std::optional<std::string> refusalReason(const PeerRequirement& requirement,
                                         const PeerProcess& peer) {
    const auto& allowed = requirement.allowedExecutables;
    const auto listed = std::find_if(allowed.begin(), allowed.end(), [&](const auto& program) {
        return isListedFile(program, peer.executable);
    });
    if (listed == allowed.end()) return "not an allowed client program";
    // The whole way to the file, links included: a directory on it that
    // someone else may write lets them put another program under the name.
    if (auto fault = rootOnlyPathFault(*listed)) return *fault;

    const bool clientGroup =
        peer.effectiveUid == 0 ||
        (requirement.socketGroup && peer.effectiveGid == *requirement.socketGroup);
    if (!clientGroup) return "it does not run with the client's group";
    const bool mayAsk =
        peer.realUid == 0 ||
        (requirement.usersGroup && std::find(peer.groups.begin(), peer.groups.end(),
                                             *requirement.usersGroup) != peer.groups.end());
    if (!mayAsk) return "its user is not among the helper's users";
    return std::nullopt;
}

}  // namespace

std::optional<BastorPeer> PeerRequirement::admit(int socketFd) const noexcept {
    try {
        const auto peer = peerProcess(socketFd);
        if (!peer) {
            const auto credentials = peerCredentials(socketFd);
            reportRefusedPeer(credentials.uid, credentials.pid, "",
                              "its process could not be read");
            return std::nullopt;
        }
        if (auto reason = refusalReason(*this, *peer)) {
            reportRefusedPeer(peer->realUid, peer->pid, peer->executable.path, *reason);
            return std::nullopt;
        }
        return BastorPeer{peer->realUid, userName(peer->realUid), peer->pid};
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace bastor
