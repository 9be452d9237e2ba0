#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/Enumerations.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"

namespace bastor {

// The audit log on disk: "audit.jsonl" (live) plus rotated files
// "audit-<time>.jsonl", all 0600, one sealed entry per line. Remembers the
// chain's tail so every append continues it. Not thread-safe: the engine's
// mutex guards it.
class AuditStore {
  public:
    static constexpr std::uintmax_t rotationBytes = 52428800;  // rotate when larger
    static constexpr std::size_t cappedBytes = 65536;

    // The tail of the chain as found in the files.
    struct Position {
        std::optional<AuditEntry> entry;
        std::optional<std::string> line;  // only when the entry is the live file's last line
    };

    // Restores the tail from the files in `directory`; never fails.
    explicit AuditStore(std::filesystem::path directory);

    // At most cappedBytes of UTF-8; a character cut at the end becomes U+FFFD.
    [[nodiscard]] static std::string capped(std::string_view text);

    // Seals `entry` after the tail, rotating first when needed, and writes it
    // as one line; the entry's journald record carries `fields` besides its
    // own. Returns the entry as written. Throws SystemError (or the encoder's
    // error); the tail is unchanged after any failure.
    AuditEntry append(const AuditEntry& entry, const JournalFields& fields = {});

    // Moves the live file aside when it is larger than rotationBytes.
    void rotateIfNeeded();

    [[nodiscard]] static Position restoreAuditPosition(const std::filesystem::path& directory);
    // "audit-*.jsonl" by name, then "audit.jsonl"; hidden files skipped.
    // Throws SystemError when the directory cannot be listed.
    [[nodiscard]] static std::vector<std::filesystem::path> auditFiles(
        const std::filesystem::path& directory);

    [[nodiscard]] const std::optional<AuditEntry>& lastEntry() const { return lastEntry_; }
    [[nodiscard]] const std::optional<std::string>& lastLine() const { return lastLine_; }
    [[nodiscard]] const std::filesystem::path& auditURL() const { return auditURL_; }

  private:
    const std::filesystem::path directory_;
    const std::filesystem::path auditURL_;
    JournalLogger logger_;
    std::optional<AuditEntry> lastEntry_;
    std::optional<std::string> lastLine_;
};

}  // namespace bastor
