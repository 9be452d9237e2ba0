// Verifies arbitrary bytes as an audit log, and tampered copies of a good log.
//
// Input byte 0 chooses the mode. Even: the rest is a log file as it stands.
// Odd: the rest is a list of (offset, offset, byte) triples overwritten into
// a well-formed log of three entries, which reaches the hash checks that
// random bytes never do.
//
// Properties: verify() and the streaming Verifier agree, with and without a
// file split; the result is consistent with the number of lines; an intact
// log is one the decoder reads and whose hashes it reproduces; a tampered
// log that still verifies differs from the original only in how its last
// line is written, never in a value; and every line that decodes, sealed
// again (sealLine, equal to seal + encodeLine), verifies.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/records/BastorJSON.h"
#include "fuzz/TamperedLog.h"

namespace {

using bastor::AuditEntry;
using bastor::BastorVerification;
namespace AuditChain = bastor::AuditChain;
namespace BastorJSON = bastor::BastorJSON;
using Lines = std::vector<std::string>;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// Fixed identifiers keep every run of an input reproducible.
const Lines& goodLog() {
    static const Lines lines = [] {
        Lines out;
        for (int n = 1; n <= 3; ++n) {
            AuditEntry e;
            e.id = bastor::fuzz::fixedUuid(static_cast<std::uint8_t>(n));
            e.requestID = bastor::fuzz::fixedUuid(static_cast<std::uint8_t>(100 + n));
            e.time = bastor::DateTime{std::chrono::seconds{1'796'425'757 + n}};
            e.event =
                n == 2 ? bastor::BastorAuditEvent::completed : bastor::BastorAuditEvent::approved;
            e.argv = {"/bin/ls", "-l", "/tmp"};
            e.resolvedPath = "/bin/ls";
            e.cwd = "/";
            e.reason = "list \"tmp\" é";
            e.client = {.name = "bastorctl", .version = "1"};
            if (n == 2) {
                e.exitCode = 0;
                e.durationMs = 3;
                e.stdout = "a\nb\t/c\\";
                e.stdoutBytes = 7;
                e.stdoutSHA256 = AuditChain::sha256Text(*e.stdout);
            } else {
                e.approvalMethod = bastor::BastorApprovalMethod::manual;
                e.approver = "root";
            }
            std::optional<std::string_view> previous;
            if (!out.empty()) previous = out.back();
            out.push_back(AuditChain::encodeLine(AuditChain::seal(e, n, previous, std::nullopt)));
        }
        return out;
    }();
    return lines;
}

BastorVerification streamed(const std::vector<Lines>& files) {
    AuditChain::Verifier verifier;
    for (const auto& file : files) {
        verifier.beginFile();
        for (const auto& line : file)
            verifier.addLine(line);
    }
    return verifier.result();
}

std::optional<std::string> canonical(const std::string& line) {
    try {
        return BastorJSON::encode(BastorJSON::decode<AuditEntry>(line));
    } catch (const BastorJSON::JsonError&) {
        return std::nullopt;
    }
}

void checkConsistent(const BastorVerification& v, std::size_t lines) {
    check(v.count >= 0 && static_cast<std::size_t>(v.count) <= lines, "count within lines");
    if (v.intact) {
        check(static_cast<std::size_t>(v.count) == lines && !v.brokenSeq, "intact covers all");
    } else {
        check(v.count >= 1 && v.brokenSeq.has_value(), "broken names an entry");
    }
}

// Intact means what the decoder reads: every line decodes, and its hash is
// the digest of its canonical text without the hash.
void checkIntactDecodes(const Lines& lines, const BastorVerification& v) {
    if (!v.intact) return;
    for (const auto& line : lines) {
        AuditEntry entry;
        try {
            entry = BastorJSON::decode<AuditEntry>(line);
        } catch (const BastorJSON::JsonError&) {
            check(false, "an intact line decodes");
        }
        const auto hash = entry.hash;
        entry.hash.reset();
        check(hash == AuditChain::sha256(BastorJSON::encode(entry)), "an intact line's own hash");
    }
}

void checkTamperEvidence(const Lines& lines, const BastorVerification& v) {
    const Lines& good = goodLog();
    if (!v.intact) return;
    check(lines.size() == good.size(), "an intact tampered log keeps its line count");
    for (std::size_t i = 0; i + 1 < good.size(); ++i) {
        check(lines[i] == good[i], "inner lines are covered byte for byte");
    }
    check(canonical(lines.back()) == canonical(good.back()), "the last line keeps its values");
}

void checkResealing(const Lines& lines) {
    Lines resealed;
    for (const auto& line : lines) {
        AuditEntry entry;
        try {
            entry = BastorJSON::decode<AuditEntry>(line);
        } catch (const BastorJSON::JsonError&) {
            continue;
        }
        std::optional<std::string_view> previous;
        if (!resealed.empty()) previous = resealed.back();
        const auto seq = static_cast<std::int64_t>(resealed.size()) + 1;
        AuditChain::SealedLine sealed = AuditChain::sealLine(entry, seq, previous, {});
        check(sealed.line == AuditChain::encodeLine(AuditChain::seal(entry, seq, previous, {})),
              "sealLine writes what seal and encodeLine write");
        resealed.push_back(std::move(sealed.line));
    }
    const BastorVerification v = AuditChain::verify(resealed);
    check(v.intact && static_cast<std::size_t>(v.count) == resealed.size(),
          "whatever decodes can be sealed and verified");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool tamper = (data[0] & 1) != 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    std::string text;
    if (tamper) {
        for (const auto& line : goodLog())
            text += line + "\n";
        text = bastor::fuzz::tampered(text, rest);
    } else {
        text.assign(rest);
    }

    const Lines lines = AuditChain::decodeLines(text);
    const BastorVerification whole = AuditChain::verify(lines);
    check(streamed({lines}) == whole, "streaming agrees");
    check(AuditChain::verify(std::vector<Lines>{lines}) == whole, "one file equals one list");
    checkConsistent(whole, lines.size());
    checkIntactDecodes(lines, whole);
    if (tamper) checkTamperEvidence(lines, whole);

    const std::size_t split = lines.empty() ? 0 : (size * 31u) % (lines.size() + 1);
    const std::vector<Lines> files = {Lines(lines.begin(), lines.begin() + split), Lines{},
                                      Lines(lines.begin() + split, lines.end())};
    const BastorVerification parted = AuditChain::verify(files);
    check(streamed(files) == parted, "streaming agrees across files");
    checkConsistent(parted, lines.size());

    checkResealing(lines);
    return 0;
}
