#pragma once

#include <filesystem>
#include <optional>
#include <string>

struct stat;

namespace bastor {

// Whether only root can change what the absolute `path` names. Every
// directory the kernel passes through to reach it, from "/" on and through
// the targets of symbolic links on the way, and the file it ends at, must be
// owned by root and writable by neither group nor others: anyone else able to
// write one of them could put another file, or another link, in its place.
// A sticky directory (such as /tmp) is the exception: others may write it, but
// only root may remove or rename root's entries in it.
// Returns nothing when that holds, otherwise a sentence naming the first
// directory or file at fault (or why the path could not be checked). Never
// throws; safe from any thread.
[[nodiscard]] std::optional<std::string> rootOnlyPathFault(const std::filesystem::path& path);

// A directory with the sticky bit: whoever may write it, only root and an
// entry's owner may remove or rename that entry.
[[nodiscard]] bool isStickyDirectory(const struct stat& info);

}  // namespace bastor
