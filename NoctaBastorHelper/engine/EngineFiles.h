#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string_view>

// Small POSIX helpers shared by the engine's file code.
namespace bastor::EngineFiles {

// Writes all bytes, retrying short writes; 0 or the errno of the failure.
[[nodiscard]] int writeAll(int fd, std::string_view bytes) noexcept;

// Reads exactly `size` bytes at `offset`; throws SystemError naming `file`,
// also when the file ends early.
void preadAll(int fd, char* data, std::size_t size, off_t offset,
              const std::filesystem::path& file);

}  // namespace bastor::EngineFiles
