#include "BastorShared/audit/AuditEntries.h"

#include "BastorShared/audit/AuditChain.h"

namespace bastor::AuditEntries {

AuditEntry makeEntry(const BastorRequest& request, BastorAuditEvent event) {
    AuditEntry entry;
    entry.id = Uuid::random();
    entry.requestID = request.id;
    entry.time = now();
    entry.event = event;
    entry.argv = request.argv;
    entry.resolvedPath = request.resolvedPath;
    entry.cwd = request.cwd;
    if (request.stdin) {
        entry.stdinSHA256 = AuditChain::sha256Text(*request.stdin);
        entry.stdinBytes = static_cast<std::int64_t>(request.stdin->size());
    }
    entry.reason = request.reason;
    entry.client = request.client;
    if (event == BastorAuditEvent::approved) {
        entry.approvalMethod = request.approvalMethod;
        entry.approver = request.approver;
        entry.authMethod = request.authMethod;
    }
    entry.prevHash = AuditChain::genesisHash();
    return entry;
}

AuditEntry makeSwitchEntry(bool enabled) {
    AuditEntry entry;
    entry.id = Uuid::random();
    entry.requestID = Uuid::random();
    entry.time = now();
    entry.event = enabled ? BastorAuditEvent::bastorEnabled : BastorAuditEvent::bastorDisabled;
    entry.cwd = "/";
    entry.client = BastorClientInfo{.name = "Unknown client", .version = ""};
    entry.prevHash = AuditChain::genesisHash();
    return entry;
}

}  // namespace bastor::AuditEntries
