#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace bastor {

// The program a connected peer runs: the path the kernel reports and the
// identity of the file actually mapped, which a rename or replacement of the
// path cannot change.
struct PeerExecutable {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

// The process at the other end of a connection. The effective ids are the
// ones SO_PEERCRED took at connect time, which the process cannot change
// afterwards; the real uid and the groups are /proc's for that very process.
struct PeerProcess {
    pid_t pid = 0;
    uid_t effectiveUid = 0;
    gid_t effectiveGid = 0;
    uid_t realUid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    PeerExecutable executable;
};

// The connect-time credentials alone, for naming a peer that could not be read.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
};

// How the peer's pidfd is taken. The socket's own (SO_PEERPIDFD) names the
// very process that connected; pidfd_open on its pid needs a check that the
// pid was not reused. peerSocket falls back to pidfdOpen on older kernels.
enum class PidfdSource { peerSocket, pidfdOpen };

// The process at the other end of `socketFd`, or nothing when it cannot be
// told for sure (process gone, pid reused, no access). Never throws.
[[nodiscard]] std::optional<PeerProcess> peerProcess(int socketFd,
                                                     PidfdSource source = PidfdSource::peerSocket);

// SO_PEERCRED's pid and effective uid; zeros when the socket has none.
[[nodiscard]] PeerCredentials peerCredentials(int socketFd) noexcept;

}  // namespace bastor
