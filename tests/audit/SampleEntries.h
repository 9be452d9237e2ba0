#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "BastorShared/audit/AuditChain.h"

namespace bastor::test {

// An unsealed entry like the helper writes for a finished run, varied by n.
// Its texts hold slashes, line feeds and non-ASCII so that escaping matters.
inline AuditEntry sampleEntry(int n) {
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
    entry.stdoutBytes = static_cast<std::int64_t>(entry.stdout->size());
    return entry;
}

// The lines of `count` entries sealed one after another into one file,
// starting at seq 1 with the genesis link.
inline std::vector<std::string> sealedLines(int count) {
    std::vector<std::string> lines;
    for (int n = 1; n <= count; ++n) {
        const auto previous = lines.empty() ? std::nullopt : std::optional(lines.back());
        lines.push_back(AuditChain::encodeLine(AuditChain::seal(sampleEntry(n), n, previous, {})));
    }
    return lines;
}

}  // namespace bastor::test
