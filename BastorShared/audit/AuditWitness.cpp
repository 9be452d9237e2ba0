#include "BastorShared/audit/AuditWitness.h"

#include <algorithm>
#include <array>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/AuditLogFiles.h"

namespace bastor::AuditWitness {

namespace {

// What the log says of one entry, held compactly for the comparison.
struct Sealed {
    std::array<char, 64> hash;
    std::array<char, 64> lineDigest;
};

bool same(const std::array<char, 64>& held, const std::string& witnessed) {
    return witnessed.size() == held.size() &&
           std::equal(held.begin(), held.end(), witnessed.begin());
}

void copyDigest(std::string_view text, std::array<char, 64>& out) {
    out.fill('\0');
    std::copy_n(text.begin(), std::min(text.size(), out.size()), out.begin());
}

}  // namespace

Report check(const std::vector<std::filesystem::path>& files, std::vector<Record> records) {
    Report report;
    AuditChain::Verifier verifier;
    std::vector<Sealed> sealed;  // index seq - 1
    bool going = true;
    for (const auto& file : files) {
        bool firstLine = true;
        AuditLogFiles::forEachLine(file, [&](std::string_view line) {
            if (!going) return false;
            if (firstLine) {
                verifier.beginFile();
                firstLine = false;
            }
            going = verifier.addLine(line);
            if (going) {
                Sealed& entry = sealed.emplace_back();
                copyDigest(verifier.lastHash(), entry.hash);
                copyDigest(verifier.lastLineDigest(), entry.lineDigest);
            }
            return going;
        });
    }
    report.chain = verifier.result();
    if (!report.chain.intact) return report;
    report.lastSeq = static_cast<std::int64_t>(sealed.size());

    std::sort(records.begin(), records.end(),
              [](const Record& left, const Record& right) { return left.seq < right.seq; });
    std::int64_t lastCounted = 0;
    for (const Record& record : records) {
        if (record.seq < 1) continue;
        if (record.seq > report.lastSeq) {
            report.truncatedAfter = record.seq;  // sorted: the last one is the newest
            continue;
        }
        const Sealed& entry = sealed[static_cast<std::size_t>(record.seq - 1)];
        if (!same(entry.hash, record.entryHash) || !same(entry.lineDigest, record.lineDigest)) {
            if (!report.rewrittenSeq) report.rewrittenSeq = record.seq;
            continue;
        }
        if (!report.from) report.from = record.seq;
        if (record.seq != lastCounted) {
            ++report.witnessed;
            lastCounted = record.seq;
        }
    }
    return report;
}

}  // namespace bastor::AuditWitness
