#include "bastorctl/ApprovalPrompt.h"

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/records/BastorError.h"

namespace bastor {

void askApproval(TerminalPrompt& prompt, BastorClient& client, const BastorRequest& request,
                 std::chrono::milliseconds timeout) {
    switch (prompt.ask("Run as root? [y/N] ", timeout)) {
        case Approval::approved:
            return;
        case Approval::denied:
            client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::denied));
            throw BastorError::denied();
        case Approval::timedOut:
            client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::timedOut));
            throw BastorError::timedOut();
    }
}

}  // namespace bastor
