// Verifies the same bytes sequentially and in runs on several threads; any
// difference in the result aborts.
//
// Byte 0: bit 0 chooses the mode, bits 1-2 the number of threads (1 to 3).
// Byte 1: the run size, 1 + 16 * value bytes, so runs cut lines anywhere
// from one per run to many.
// Mode 0: the rest is a log as it stands; every 0x1E byte starts a new file.
// Mode 1: the rest is a list of (offset, offset, byte) triples overwritten
// into a well-formed log of six entries in two files (0x1E between them),
// which reaches the link and digest checks across run and file boundaries.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/ParallelVerifier.h"
#include "fuzz/TamperedLog.h"

namespace {

using bastor::AuditEntry;
namespace AuditChain = bastor::AuditChain;

constexpr char kFileSeparator = '\x1e';

// Entries 1-3 in a rotated file, 4-6 in the live one, linked as the store
// links them; fixed identifiers keep every run of an input reproducible.
const std::string& goodLog() {
    static const std::string text = [] {
        std::string out;
        std::optional<std::string> previousLine;
        std::optional<std::string> previousHash;
        for (int n = 1; n <= 6; ++n) {
            AuditEntry e;
            e.id = bastor::fuzz::fixedUuid(static_cast<std::uint8_t>(n));
            e.requestID = bastor::fuzz::fixedUuid(static_cast<std::uint8_t>(100 + n));
            e.time = bastor::DateTime{std::chrono::seconds{1'796'425'757 + n}};
            e.event = bastor::BastorAuditEvent::requested;
            e.argv = {"/bin/ls", "-l"};
            e.resolvedPath = "/bin/ls";
            e.cwd = "/";
            e.reason = "list \"tmp\" é";
            e.client = {.name = "bastorctl", .version = "1"};
            if (n % 2 == 0) e.stdout = "a\nb\t/c\\";
            if (n == 4) {
                out += kFileSeparator;
                previousLine.reset();
            }
            const AuditEntry sealed = AuditChain::seal(e, n, previousLine, previousHash);
            previousLine = AuditChain::encodeLine(sealed);
            previousHash = sealed.hash;
            out += *previousLine + "\n";
        }
        return out;
    }();
    return text;
}

std::vector<std::string_view> splitFiles(std::string_view text) {
    std::vector<std::string_view> files;
    for (;;) {
        const std::size_t separator = text.find(kFileSeparator);
        files.push_back(text.substr(0, separator));
        if (separator == std::string_view::npos) return files;
        text.remove_prefix(separator + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool tamper = (data[0] & 1) != 0;
    const unsigned threads = std::min(1u + ((data[0] >> 1) & 3u), 3u);
    const std::size_t runBytes = 1 + 16 * std::size_t{data[1]};
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::string text = tamper ? bastor::fuzz::tampered(goodLog(), rest) : std::string(rest);

    const std::vector<std::string_view> files = splitFiles(text);
    std::vector<std::vector<std::string>> lines;
    for (const std::string_view file : files)
        lines.push_back(AuditChain::decodeLines(file));
    const bastor::BastorVerification sequential = AuditChain::verify(lines);
    const bastor::BastorVerification parallel = bastor::verifyInRuns(files, runBytes, threads);
    if (!(parallel == sequential)) {
        std::fprintf(stderr, "parallel {%d, %lld, %lld} differs from sequential {%d, %lld, %lld}\n",
                     parallel.intact, static_cast<long long>(parallel.count),
                     static_cast<long long>(parallel.brokenSeq.value_or(-1)), sequential.intact,
                     static_cast<long long>(sequential.count),
                     static_cast<long long>(sequential.brokenSeq.value_or(-1)));
        std::abort();
    }
    return 0;
}
