#include "tests/audit/SampleEntries.h"

#include <chrono>
#include <optional>
#include <string_view>

#include "BastorShared/audit/AuditChain.h"

namespace bastor::testing {

AuditEntry sampleEntry(int n) {
    AuditEntry entry;
    entry.id = Uuid::random();
    entry.requestID = Uuid::random();
    entry.time = DateTime{std::chrono::seconds{1'796'425'757 + n}};
    entry.event = BastorAuditEvent::completed;
    entry.argv = {"/usr/bin/du", "-sh", "/var/log/journal " + std::to_string(n)};
    entry.resolvedPath = "/usr/bin/du";
    entry.cwd = "/var/log";
    entry.reason = "Check how much space the journal takes — run " + std::to_string(n);
    entry.client = {.name = "bastorctl", .version = "1.2"};
    entry.exitCode = n % 3;
    entry.durationMs = 40 + n;
    entry.stdout = "1.2G\t/var/log/journal\n\"quoted\" \\ back/slash é\n";
    entry.stderr = "";
    entry.stdoutSHA256 = AuditChain::sha256Text(*entry.stdout);
    entry.stderrSHA256 = AuditChain::sha256Text("");
    entry.stdoutBytes = static_cast<std::int64_t>(entry.stdout->size());
    entry.stderrBytes = 0;
    entry.prevHash = AuditChain::genesisHash();
    return entry;
}

std::vector<std::string> sealedLines(int count) {
    std::vector<std::string> lines;
    for (int n = 1; n <= count; ++n) {
        std::optional<std::string_view> previous;
        if (!lines.empty()) previous = lines.back();
        lines.push_back(
            AuditChain::encodeLine(AuditChain::seal(sampleEntry(n), n, previous, std::nullopt)));
    }
    return lines;
}

}  // namespace bastor::testing
