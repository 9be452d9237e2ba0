#pragma once
// The client event the benchmarks record: an ordinary "requested" entry.

#include <cstddef>
#include <string>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/platform/DateTime.h"
#include "BastorShared/platform/Uuid.h"
#include "BastorShared/records/AuditEntry.h"

namespace bastor::bench {

inline AuditEntry sampleEvent(std::size_t outputBytes = 0) {
    AuditEntry entry;
    entry.id = Uuid::random();
    entry.requestID = Uuid::random();
    entry.time = now();
    entry.event = BastorAuditEvent::requested;
    entry.argv = {"apt-get", "install", "-y", "nginx"};
    entry.resolvedPath = "/usr/bin/apt-get";
    entry.cwd = "/root";
    entry.reason = "Install the web server";
    entry.client = {"bastorctl", "0.1.0"};
    entry.prevHash = AuditChain::genesisHash();
    if (outputBytes > 0) entry.stdout = std::string(outputBytes, 'x');
    return entry;
}

}  // namespace bastor::bench
