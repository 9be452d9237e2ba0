#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "BastorShared/records/BastorPeer.h"

namespace bastor {

// Who may talk to the daemon, in place of a code signature. A peer is served
// only when all of these hold:
// - it runs one of the allowed programs, a regular file that only root can
//   change: the file and every directory from "/" down to it owned by root
//   and writable by neither group nor others;
// - its effective uid is 0, or its effective gid is `socketGroup`: the group
//   the setgid client runs with until it has connected, which no person holds;
// - its real user is root, or has `usersGroup` among its groups.
// A group left out admits nobody through it, so the default admits root only.
// A plain value; admit() is safe from any thread.
struct PeerRequirement {
    std::vector<std::filesystem::path> allowedExecutables;
    std::optional<gid_t> socketGroup;
    std::optional<gid_t> usersGroup;

    // The person behind the connected Unix socket `socketFd` when the peer
    // satisfies the requirement. Otherwise nothing, and journald gets a
    // notice naming the peer and the reason (at most one a second). Any doubt
    // is a refusal; never throws.
    [[nodiscard]] std::optional<BastorPeer> admit(int socketFd) const noexcept;
};

}  // namespace bastor
