#include "BastorShared/audit/AuditWitness.h"

#include <algorithm>
#include <array>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/AuditLogFiles.h"

namespace bastor::AuditWitness {

namespace {

bool same(const std::array<char, 64>& held, const std::string& witnessed) {
    return witnessed.size() == held.size() &&
           std::equal(held.begin(), held.end(), witnessed.begin());
}

void copyDigest(std::string_view text, std::array<char, 64>& out) {
    out.fill('\0');
    std::copy_n(text.begin(), std::min(text.size(), out.size()), out.begin());
}

}  // namespace

Walk walk(const std::vector<std::filesystem::path>& files) {
    Walk log;
    AuditChain::Verifier verifier;
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
                Sealed& entry = log.entries.emplace_back();
                copyDigest(verifier.lastHash(), entry.hash);
                copyDigest(verifier.lastLineDigest(), entry.lineDigest);
            }
            return going;
        });
    }
    log.chain = verifier.result();
    return log;
}

Report check(const std::vector<std::filesystem::path>& files, std::vector<Record> records) {
    return compare(walk(files), std::move(records));
}

Report compare(const Walk& log, std::vector<Record> records) {
    Report report;
    report.chain = log.chain;
    if (!report.chain.intact) return report;
    report.lastSeq = static_cast<std::int64_t>(log.entries.size());

    std::sort(records.begin(), records.end(),
              [](const Record& left, const Record& right) { return left.seq < right.seq; });
    std::int64_t lastCounted = 0;
    for (const Record& record : records) {
        if (record.seq < 1) continue;
        if (record.seq > report.lastSeq) {
            report.truncatedAfter = record.seq;  // sorted: the last one is the newest
            continue;
        }
        const Sealed& entry = log.entries[static_cast<std::size_t>(record.seq - 1)];
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
