#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

// The files of an audit log as they lie in a directory, read by the helper and
// by a client holding a copy. Files are streamed in fixed-size chunks, so
// memory stays flat however large the log grows. Throws SystemError when a
// directory cannot be listed or a file read. Thread-safe.
namespace bastor::AuditLogFiles {

inline constexpr std::string_view liveName = "audit.jsonl";

// No line the store writes comes near this; a longer run of bytes without a
// 0x0A is judged as one line that does not decode, without being held.
inline constexpr std::size_t maxLineBytes = std::size_t{64} << 20;

// "audit-*.jsonl" by name, then "audit.jsonl": chain order. Hidden files and
// every other name (such as a torn line kept beside the log) are left out.
[[nodiscard]] std::vector<std::filesystem::path> list(const std::filesystem::path& directory);

// Calls onLine for every non-empty piece of the file between 0x0A bytes, in
// order. Once onLine returns false it is not called again, but the file is
// still read to its end so that a read error is not missed.
void forEachLine(const std::filesystem::path& file,
                 const std::function<bool(std::string_view line)>& onLine);

}  // namespace bastor::AuditLogFiles
