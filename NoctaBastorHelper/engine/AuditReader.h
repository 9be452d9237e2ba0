#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "BastorShared/audit/AuditLogFiles.h"
#include "BastorShared/records/AuditEntry.h"
#include "NoctaBastorHelper/engine/AuditIndex.h"

// The read side of the audit log. Files are streamed in fixed-size chunks, so
// memory stays flat however large the log grows. Every operation opens each
// audit file, reads those it needs to their end, and throws SystemError when
// one cannot be listed or read: a caller never gets a result built from part
// of the log.
namespace bastor::AuditReader {

// No line the store writes comes near this; a longer run of bytes without a
// 0x0A is judged as one line that does not decode, without being held.
inline constexpr std::size_t maxLineBytes = AuditLogFiles::maxLineBytes;

// The entry a line holds, or nothing when it does not decode.
[[nodiscard]] std::optional<AuditEntry> decodeEntry(std::string_view line);

// decodeEntry(line).has_value(), mostly without decoding.
[[nodiscard]] bool decodes(std::string_view line);

// Calls onLine for every non-empty piece of the file between 0x0A bytes, in
// order. Once onLine returns false it is not called again, but the file is
// still read to its end so that a read error is not missed.
void forEachLine(const std::filesystem::path& file,
                 const std::function<bool(std::string_view line)>& onLine);

// Decodable entries in chain order from position max(offset, 0), at most
// clamp(limit, 1, 1000) of them. Lines that do not decode are not counted.
// A rotated file wholly before the page is skipped by its count in `index`;
// files after the page are opened but not read. When the page's JSON text,
// written as a JSON string, would be longer than `maxSentBytes` (measured on
// the stored lines, which the store writes in the form the encoder gives),
// reading stops there and BastorError::invalidInput with
// BastorWire::pageTooLarge is thrown.
[[nodiscard]] std::vector<AuditEntry> readPage(
    const std::filesystem::path& directory, std::int64_t offset, std::int64_t limit,
    AuditIndex& index, std::size_t maxSentBytes = std::numeric_limits<std::size_t>::max());

// The same result as AuditChain::verify over all audit files in chain order,
// checked on `threads` threads (0: one per usable core) with a few MiB of
// the log in memory at a time.
[[nodiscard]] BastorVerification verify(const std::filesystem::path& directory,
                                        unsigned threads = 0);

}  // namespace bastor::AuditReader
