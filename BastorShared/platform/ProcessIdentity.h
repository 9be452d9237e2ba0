#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace bastor {

// The id of the group called `name` in the group database, or nothing when
// there is none (or the database cannot be read). Thread-safe.
[[nodiscard]] std::optional<gid_t> groupNamed(std::string_view name);

// Whether `group` is among the calling process's supplementary groups, the
// list /proc/<pid>/status shows as "Groups:". Thread-safe.
[[nodiscard]] bool hasSupplementaryGroup(gid_t group);

// Gives up a group gained from a setgid program: real, effective and saved
// gid all become the real gid, so it cannot be taken back, and the process
// is made non-dumpable again (changing ids lets the kernel reset that flag),
// so the invoking user can neither trace it nor take its descriptors.
// Throws SystemError when any step fails or the group is still held; the
// caller must then not go on. glibc applies it to every thread.
void dropSetgidForGood();

// Marks the process non-dumpable. Throws SystemError on failure.
void makeNonDumpable();

}  // namespace bastor
