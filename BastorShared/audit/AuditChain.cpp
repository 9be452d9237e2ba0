#include "BastorShared/audit/AuditChain.h"

#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "BastorShared/platform/Sha256.h"
#include "BastorShared/platform/Sha256Pair.h"
#include "BastorShared/records/BastorJSON.h"

namespace bastor::AuditChain {

namespace {

using DigestText = std::array<char, 64>;

// One hasher per thread, reused: each new one would cost an OpenSSL context.
void digest(std::string_view bytes, DigestText& out) {
    thread_local Sha256 hasher;
    hasher.reset();
    hasher.update(bytes);
    hasher.finishHex(out.data());
}

bool sameText(const DigestText& digest, std::string_view text) {
    return text.size() == digest.size() && std::memcmp(text.data(), digest.data(), 64) == 0;
}

}  // namespace

const std::string& genesisHash() {
    static const std::string genesis(64, '0');
    return genesis;
}

std::string sha256(std::string_view bytes) {
    DigestText text;
    digest(bytes, text);
    return {text.data(), text.size()};
}

std::string sha256Text(std::string_view text) {
    return sha256(text);
}

namespace {

// Sets seq and prevHash, leaves the entry's canonical text without "hash" in
// hashedForm and returns its digest.
DigestText sealInto(AuditEntry& sealed, std::int64_t sequence,
                    std::optional<std::string_view> previousLine,
                    std::optional<std::string_view> previousHash, std::string& hashedForm) {
    sealed.seq = sequence;
    if (previousLine) {
        sealed.prevHash = sha256(*previousLine);
    } else if (previousHash) {
        sealed.prevHash.assign(previousHash->data(), previousHash->size());
    } else {
        sealed.prevHash = genesisHash();
    }
    sealed.hash.reset();
    hashedForm.clear();
    BastorJSON::encodeInto(hashedForm, sealed);
    DigestText hash;
    digest(hashedForm, hash);
    return hash;
}

}  // namespace

AuditEntry seal(const AuditEntry& entry, std::int64_t sequence,
                std::optional<std::string_view> previousLine,
                std::optional<std::string_view> previousHash) {
    AuditEntry sealed = entry;
    thread_local std::string hashedForm;  // the store seals every entry it writes
    const DigestText hash = sealInto(sealed, sequence, previousLine, previousHash, hashedForm);
    sealed.hash.emplace(hash.data(), hash.size());
    return sealed;
}

SealedLine sealLine(const AuditEntry& entry, std::int64_t sequence,
                    std::optional<std::string_view> previousLine,
                    std::optional<std::string_view> previousHash) {
    SealedLine out{entry, {}};
    const DigestText hash = sealInto(out.entry, sequence, previousLine, previousHash, out.line);
    out.entry.hash.emplace(hash.data(), hash.size());
    // "hash" sorts right before "id", which every entry has and which is never
    // the first member. A quotation mark inside a string is always escaped, so
    // the first ,"id":" is that member.
    static constexpr std::string_view kIdMember = ",\"id\":\"";
    const std::size_t id = out.line.find(kIdMember);
    if (id == std::string::npos) {
        out.line = encodeLine(out.entry);
        return out;
    }
    std::string member = "\"hash\":\"";
    member.append(hash.data(), hash.size());
    member += "\",";
    out.line.insert(id + 1, member);
    return out;
}

std::string encodeLine(const AuditEntry& entry) {
    return BastorJSON::encode(entry);
}

namespace {

// Calls f(piece) for every non-empty piece between 0x0A bytes, the pieces
// decodeLines returns; stops when f returns false.
template <class F>
void forEachPiece(std::string_view data, F&& f) {
    const char* cursor = data.data();
    const char* const end = cursor + data.size();
    while (cursor < end) {
        const auto* newline = static_cast<const char*>(
            std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
        const char* pieceEnd = newline != nullptr ? newline : end;
        if (pieceEnd != cursor && !f(std::string_view(cursor, pieceEnd))) return;
        cursor = pieceEnd + 1;
    }
}

}  // namespace

std::vector<std::string> decodeLines(std::string_view data) {
    std::vector<std::string> lines;
    forEachPiece(data, [&](std::string_view piece) {
        lines.emplace_back(piece);
        return true;
    });
    return lines;
}

BastorVerification verify(const std::vector<std::vector<std::string>>& files) {
    Verifier verifier;
    for (const auto& file : files) {
        if (file.empty()) continue;
        verifier.beginFile();
        for (const auto& line : file) {
            if (!verifier.addLine(line)) return verifier.result();
        }
    }
    return verifier.result();
}

BastorVerification verify(const std::vector<std::string>& lines) {
    Verifier verifier;
    for (const auto& line : lines) {
        if (!verifier.addLine(line)) break;
    }
    return verifier.result();
}

void Verifier::beginFile() {
    firstInFile_ = true;
}

bool Verifier::fail(std::int64_t seq) {
    broken_ = true;
    brokenSeq_ = seq;
    return false;
}

bool Verifier::addLine(std::string_view line) {
    if (broken_) return false;
    ++count_;

    // A line in canonical form is its own re-encoding, so the text hashed at
    // sealing is the line less its "hash" member, and nothing is decoded.
    BastorJSON::CanonicalAuditLine canonical;
    if (!BastorJSON::readCanonicalAuditLine(line, canonical)) return addDecodedLine(line);
    if (canonical.seq != expectedSeq_) return fail(canonical.seq);
    if (!linksBack(canonical.prevHash)) return fail(canonical.seq);
    // Both of the line's digests at once: the one sealed in it, and the one
    // the next line links to.
    DigestText computed, lineDigest;
    Sha256Pair::hexDigests({line.substr(0, canonical.hashBegin), line.substr(canonical.hashEnd)},
                           {line, {}}, computed.data(), lineDigest.data());
    if (!sameText(computed, canonical.hash)) return fail(canonical.seq);
    pass(canonical.hash, lineDigest);
    return true;
}

bool Verifier::addDecodedLine(std::string_view line) {
    AuditEntry entry;
    try {
        entry = BastorJSON::decode<AuditEntry>(line);
    } catch (const std::bad_alloc&) {
        throw;  // running out of memory says nothing about the log
    } catch (const std::exception&) {
        return fail(expectedSeq_);
    }

    if (entry.seq != expectedSeq_) return fail(entry.seq);
    if (!linksBack(entry.prevHash)) return fail(entry.seq);

    if (!entry.hash) return fail(entry.seq);
    const std::string hash = std::move(*entry.hash);
    entry.hash.reset();
    hashedForm_.clear();
    try {
        BastorJSON::encodeInto(hashedForm_, entry);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return fail(entry.seq);
    }
    DigestText computed;
    digest(hashedForm_, computed);
    if (!sameText(computed, hash)) return fail(entry.seq);
    DigestText lineDigest;
    digest(line, lineDigest);
    pass(hash, lineDigest);
    return true;
}

namespace {

// seq and prev_hash as addLine reads them; nothing when the line does not decode.
struct Head {
    std::int64_t seq = 0;
    std::string prevHash;
};

std::optional<Head> readHead(std::string_view line) {
    BastorJSON::CanonicalAuditLine canonical;
    if (BastorJSON::readCanonicalAuditLine(line, canonical))
        return Head{canonical.seq, std::string(canonical.prevHash)};
    try {
        AuditEntry entry = BastorJSON::decode<AuditEntry>(line);
        return Head{entry.seq, std::move(entry.prevHash)};
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

VerifiedRun verifyRun(std::string_view bytes) {
    VerifiedRun run;
    Verifier verifier;
    forEachPiece(bytes, [&](std::string_view line) {
        if (run.lines++ == 0) {
            std::optional<Head> head = readHead(line);
            if (!head) return false;
            run.firstDecodes = true;
            run.firstSeq = head->seq;
            run.firstPrevHash = head->prevHash;
            // Primed so that the first line's seq and link pass: addRun judges them.
            verifier.expectedSeq_ = head->seq;
            verifier.havePrevious_ = true;
            verifier.previousHash_ = std::move(head->prevHash);
        }
        return verifier.addLine(line);
    });
    run.rest = verifier.result();
    run.lastHash = std::move(verifier.previousHash_);
    run.lastLineDigest = verifier.previousLineDigest_;
    return run;
}

bool Verifier::addRun(const VerifiedRun& run) {
    if (broken_) return false;
    if (run.lines == 0) return true;
    if (!run.firstDecodes) {
        ++count_;
        return fail(expectedSeq_);
    }
    if (run.firstSeq != expectedSeq_ || !linksBack(run.firstPrevHash)) {
        ++count_;
        return fail(run.firstSeq);
    }
    // From here the run was checked from the very state this verifier is in.
    count_ += run.rest.count;
    if (!run.rest.intact) return fail(*run.rest.brokenSeq);
    expectedSeq_ += run.rest.count;
    previousHash_ = run.lastHash;
    havePrevious_ = true;
    previousLineDigest_ = run.lastLineDigest;
    firstInFile_ = false;
    return true;
}

bool Verifier::linksBack(std::string_view prevHash) const {
    if (firstInFile_) return prevHash == (havePrevious_ ? previousHash_ : genesisHash());
    return sameText(previousLineDigest_, prevHash);
}

void Verifier::pass(std::string_view hash, const std::array<char, 64>& lineDigest) {
    // Wraps rather than overflows: a run primed with the largest seq may pass
    // its first line, and addRun refuses such a run anyway.
    expectedSeq_ = static_cast<std::int64_t>(static_cast<std::uint64_t>(expectedSeq_) + 1);
    previousHash_.assign(hash.data(), hash.size());
    havePrevious_ = true;
    previousLineDigest_ = lineDigest;
    firstInFile_ = false;
}

BastorVerification Verifier::result() const {
    return BastorVerification{.intact = !broken_, .count = count_, .brokenSeq = brokenSeq_};
}

}  // namespace bastor::AuditChain
