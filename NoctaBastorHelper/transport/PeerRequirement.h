#pragma once

#include <filesystem>
#include <vector>

namespace bastor {

// Who may talk to the daemon, in place of a code signature: a process running
// one of the allowed programs, each a regular file owned by root that neither
// group nor others may write (anyone able to rewrite it could speak for it).
struct PeerRequirement {
    std::vector<std::filesystem::path> allowedExecutables;

    // Whether the process at the other end of the connected Unix socket
    // `socketFd` satisfies the requirement. Any doubt is a no; never throws.
    [[nodiscard]] bool admits(int socketFd) const noexcept;
};

}  // namespace bastor
