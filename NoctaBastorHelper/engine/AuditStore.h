#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/Enumerations.h"
#include "NoctaBastorHelper/engine/GroupCommit.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"

namespace bastor {

// The audit log on disk: "audit.jsonl" (live) plus rotated files
// "audit-<time>.jsonl", all 0600, one sealed entry per line. Remembers the
// chain's tail so every append continues it. An entry counts as appended only
// once it is on stable storage; its journald record then carries the witness
// fields a journal kept elsewhere needs to prove the log complete. Not
// thread-safe, except awaitDurable(): the engine's mutex guards the rest.
class AuditStore {
  public:
    static constexpr std::uintmax_t rotationBytes = 52428800;  // rotate when larger
    static constexpr std::size_t cappedBytes = 65536;

    // What the next append needs of the chain's last entry, and no more: a
    // large entry is not kept once it is written.
    struct Position {
        std::optional<std::int64_t> seq;  // none while the log holds no entry
        std::optional<std::string> hash;  // the entry's "hash", when it has one
        // The digest of its line, only while that line ends the live file.
        std::optional<std::string> lineDigest;
    };

    // An entry written but not yet known to be durable.
    struct Written {
        AuditEntry entry;
        GroupCommit::Ticket ticket;
    };

    // Moves a torn last line aside (recoverTornTail) and restores the tail
    // from the files in `directory`; never fails.
    explicit AuditStore(std::filesystem::path directory);

    // At most cappedBytes of UTF-8; a character cut at the end becomes U+FFFD.
    [[nodiscard]] static std::string capped(std::string_view text);

    // write() then awaitDurable(): returns once the entry is on stable storage.
    AuditEntry append(const AuditEntry& entry, const JournalFields& fields = {});

    // Seals `entry` after the tail, rotating first when needed, and writes it
    // as one line. Throws SystemError (or the encoder's error); the tail is
    // unchanged after any failure. `fields` (the caller's, such as the peer)
    // join the witness fields of the entry's journald record.
    Written write(const AuditEntry& entry, const JournalFields& fields = {});

    // Blocks until the line of `ticket` is durable and its journald record
    // sent; throws SystemError when the sync failed. Thread-safe; call it
    // without the lock that guards write(), so that appends share syncs.
    void awaitDurable(GroupCommit::Ticket ticket) { commit_.await(ticket); }
    // Calls `settled` once that is done; see GroupCommit::whenDurable.
    void whenDurable(GroupCommit::Ticket ticket, GroupCommit::Settled settled) {
        commit_.whenDurable(ticket, std::move(settled));
    }

    // Tells journald about an outcome the log could not take, so that it is
    // kept somewhere. Never fails.
    void noteUnrecorded(const AuditEntry& entry, std::string_view error,
                        const JournalFields& fields = {}) const noexcept;

    // The journald fields that witness a written entry; `lineDigest` is the
    // digest text of its line.
    [[nodiscard]] static JournalFields witnessFields(const AuditEntry& sealed,
                                                     std::string_view lineDigest);

    // Bytes after the last 0x0A of the live file belong to an append that was
    // cut short and never acknowledged. They move to "audit.jsonl.torn-<time>"
    // (which is not an audit file) and the live file ends at its last whole
    // line again. Returns the torn file's path, or nothing when there was no
    // torn line or it could not be moved. Never fails.
    static std::optional<std::filesystem::path> recoverTornTail(
        const std::filesystem::path& directory, const JournalLogger& logger);

    [[nodiscard]] static Position restoreAuditPosition(const std::filesystem::path& directory);
    // "audit-*.jsonl" by name, then "audit.jsonl"; hidden files skipped.
    // Throws SystemError when the directory cannot be listed.
    [[nodiscard]] static std::vector<std::filesystem::path> auditFiles(
        const std::filesystem::path& directory);

    [[nodiscard]] const Position& tail() const { return tail_; }
    [[nodiscard]] const std::filesystem::path& auditURL() const { return auditURL_; }

  private:
    // The live file as this store last left it.
    struct LiveFile {
        std::shared_ptr<const UniqueFd> fd;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
    };

    // Opens the live file, creating it when missing.
    [[nodiscard]] LiveFile openLive() const;
    // Moves the live file aside when it is larger than rotationBytes, by
    // `info`, its lstat(); returns whether it moved.
    bool rotateIfLarger(const struct stat& info);

    const std::filesystem::path directory_;
    const std::filesystem::path auditURL_;
    JournalLogger logger_;
    GroupCommit commit_{logger_};
    Position tail_;
    std::optional<LiveFile> live_;
};

}  // namespace bastor
