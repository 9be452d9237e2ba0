#pragma once

#include <sys/types.h>

#include <string>

namespace bastor {

// The person behind a connection, as the kernel vouches for it: the real uid
// of the connected process, that user's name (the uid in decimal when the
// user database has none), and the process id. A plain value; copies are
// independent.
struct BastorPeer {
    uid_t uid = 0;
    std::string user;
    pid_t pid = 0;

    friend bool operator==(const BastorPeer&, const BastorPeer&) = default;
};

}  // namespace bastor
