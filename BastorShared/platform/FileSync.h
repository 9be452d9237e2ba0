#pragma once

#include <filesystem>

// Pushing written bytes to stable storage. Each throws SystemError naming
// `file` when the device reports that it could not keep them.
namespace bastor::FileSync {

// fdatasync: the file's data and the size needed to read it back.
void syncData(int fd, const std::filesystem::path& file);

// fsync of a directory, so that a name created, removed or renamed in it
// survives a power loss.
void syncDirectory(const std::filesystem::path& directory);

}  // namespace bastor::FileSync
