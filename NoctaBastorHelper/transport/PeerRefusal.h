#pragma once

#include <sys/types.h>

#include <string_view>

namespace bastor {

// Tells journald that a peer was closed unanswered: its uid, pid, executable
// (empty when unknown) and the reason. At most one notice a second for the
// whole process, so a client hammering the socket cannot flood the journal;
// the ones in between are dropped. Does nothing where journald is absent;
// never fails; thread-safe.
void reportRefusedPeer(uid_t uid, pid_t pid, std::string_view executable,
                       std::string_view reason) noexcept;

}  // namespace bastor
