#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/records/AuditEntry.h"

// The audit log's hash chain. Every entry carries a consecutive seq, a link
// to what precedes it (prevHash) and the digest of its own canonical text
// without the "hash" member (hash). Inside one file an entry links to the
// SHA-256 of the previous line's exact bytes; the first entry of a later file
// links to the previous entry's hash; the very first entry to genesisHash.
namespace bastor::AuditChain {

// 64 x "0".
[[nodiscard]] const std::string& genesisHash();

// Digest text: SHA-256 as 64 lower-case hexadecimal characters.
[[nodiscard]] std::string sha256(std::string_view bytes);
// Digest of a text's UTF-8 bytes, taken as they are.
[[nodiscard]] std::string sha256Text(std::string_view text);

// A copy of `entry` with seq = sequence, prevHash by the link rule (digest of
// previousLine when given, else previousHash unchanged when given, else
// genesisHash) and hash = digest of the canonical text without "hash".
[[nodiscard]] AuditEntry seal(const AuditEntry& entry, std::int64_t sequence,
                              std::optional<std::string_view> previousLine,
                              std::optional<std::string_view> previousHash);

// The audit line: canonical JSON of the entry, no newline.
[[nodiscard]] std::string encodeLine(const AuditEntry& entry);

// seal() followed by encodeLine() of the result, encoding the entry once
// instead of twice; the store's append does exactly this.
struct SealedLine {
    AuditEntry entry;
    std::string line;
};
[[nodiscard]] SealedLine sealLine(const AuditEntry& entry, std::int64_t sequence,
                                  std::optional<std::string_view> previousLine,
                                  std::optional<std::string_view> previousHash);

// Splits a log file's bytes at every 0x0A, dropping empty pieces; nothing else
// is removed (a carriage return stays part of its line).
[[nodiscard]] std::vector<std::string> decodeLines(std::string_view data);

// Verifies files (oldest first, each a list of lines). Never fails: every
// problem becomes a broken result naming the first bad entry.
[[nodiscard]] BastorVerification verify(const std::vector<std::vector<std::string>>& files);
// The same with one list as the only file.
[[nodiscard]] BastorVerification verify(const std::vector<std::string>& lines);

// A run of consecutive lines of one file, checked apart from what precedes
// it: each line's checks need only the line and the one before, except the
// first line's seq and link, which are kept for Verifier::addRun to judge.
struct VerifiedRun {
    std::int64_t lines = 0;  // lines looked at; 0 when the run has none
    bool firstDecodes = false;
    std::int64_t firstSeq = 0;
    std::string firstPrevHash;
    // The run verified as though its first line's seq and link were the ones
    // expected; meaningful only when they are.
    BastorVerification rest;
    std::string lastHash;                   // when rest is intact
    std::array<char, 64> lastLineDigest{};  // digest text of the last line's bytes
};

// Checks the lines of `bytes` (whole lines of one file, split at 0x0A, empty
// pieces dropped, a last piece without 0x0A included). Pure; any thread.
[[nodiscard]] VerifiedRun verifyRun(std::string_view bytes);

// The streaming form of verify, for logs too large to hold: call beginFile()
// at the start of every file, addLine() for each of its lines in order, and
// result() at the end. addLine() returns false once the chain is broken; later
// lines are then ignored. Gives exactly verify()'s results. Lines may also
// arrive as runs checked elsewhere (addRun, in chain order, mixed freely with
// addLine). Not thread-safe.
class Verifier {
  public:
    void beginFile();
    bool addLine(std::string_view line);
    bool addRun(const VerifiedRun& run);
    [[nodiscard]] BastorVerification result() const;

    // The last entry that passed: its seq, its hash and the digest text of its
    // line. Meaningful once addLine() has returned true.
    [[nodiscard]] std::int64_t lastSeq() const { return expectedSeq_ - 1; }
    [[nodiscard]] std::string_view lastHash() const { return previousHash_; }
    [[nodiscard]] std::string_view lastLineDigest() const {
        return {previousLineDigest_.data(), previousLineDigest_.size()};
    }

  private:
    friend VerifiedRun verifyRun(std::string_view bytes);

    bool fail(std::int64_t seq);
    bool addDecodedLine(std::string_view line);
    [[nodiscard]] bool linksBack(std::string_view prevHash) const;
    // `lineDigest`: the digest text of the line, taken now rather than keeping
    // the line, whose bytes a streaming caller may reuse.
    void pass(std::string_view hash, const std::array<char, 64>& lineDigest);

    std::int64_t expectedSeq_ = 1;
    std::int64_t count_ = 0;
    bool firstInFile_ = true;
    bool broken_ = false;
    std::optional<std::int64_t> brokenSeq_;
    bool havePrevious_ = false;
    std::string previousHash_;  // hash of the last entry that passed
    // Digest text of that entry's line, for the next line of the same file.
    // Kept instead of the line, whose bytes a streaming caller may reuse.
    std::array<char, 64> previousLineDigest_{};
    std::string hashedForm_;  // reused for every re-encoding
};

}  // namespace bastor::AuditChain
