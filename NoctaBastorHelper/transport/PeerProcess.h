#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace bastor {

// The program a connected peer runs: the path the kernel reports and the
// identity of the file actually mapped, which a rename or replacement of the
// path cannot change.
struct PeerExecutable {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

// How the peer's pidfd is taken. The socket's own (SO_PEERPIDFD) names the
// very process that connected; pidfd_open on its pid needs a check that the
// pid was not reused. peerSocket falls back to pidfdOpen on older kernels.
enum class PidfdSource { peerSocket, pidfdOpen };

// The executable of the process at the other end of `socketFd`, or nothing
// when it cannot be told for sure (process gone, pid reused, no access).
[[nodiscard]] std::optional<PeerExecutable> peerExecutable(
    int socketFd, PidfdSource source = PidfdSource::peerSocket);

}  // namespace bastor
