#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "BastorShared/records/AuditEntry.h"

// Holds an audit log against witness records kept elsewhere (journald, here
// or on a collector). The chain alone cannot show that its last lines were
// cut or that the whole log was rebuilt by someone able to write it; a record
// of (seq, hash, line digest) taken when each entry was written can.
// Stateless; thread-safe.
namespace bastor::AuditWitness {

// What was witnessed of one entry: its seq, its hash and the SHA-256 digest
// text of its whole line.
struct Record {
    std::int64_t seq = 0;
    std::string entryHash;
    std::string lineDigest;
};

struct Report {
    BastorVerification chain;          // the plain verification
    std::int64_t lastSeq = 0;          // the log's last seq when intact, else 0
    std::int64_t witnessed = 0;        // entries of the log with a matching witness
    std::optional<std::int64_t> from;  // the oldest witnessed seq
    // The first entry some witness disagrees with.
    std::optional<std::int64_t> rewrittenSeq;
    // The newest witnessed seq, when it lies past the log's end.
    std::optional<std::int64_t> truncatedAfter;

    [[nodiscard]] bool intact() const { return chain.intact && !rewrittenSeq && !truncatedAfter; }
};

// What the log itself says: the plain verification and, for each entry that
// passed, its hash and line digest (index seq - 1).
struct Sealed {
    std::array<char, 64> hash;
    std::array<char, 64> lineDigest;
};
struct Walk {
    BastorVerification chain;
    std::vector<Sealed> entries;
};

// Verifies `files` (chain order), keeping what the witness is compared with.
// Throws SystemError when a file cannot be read.
[[nodiscard]] Walk walk(const std::vector<std::filesystem::path>& files);

// When the chain is intact, compares every witness record with the entry of
// its seq. Records may come in any order and several may name one seq: each
// must agree.
[[nodiscard]] Report compare(const Walk& log, std::vector<Record> records);

// walk() then compare().
[[nodiscard]] Report check(const std::vector<std::filesystem::path>& files,
                           std::vector<Record> records);

}  // namespace bastor::AuditWitness
