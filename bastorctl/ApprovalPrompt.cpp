#include "bastorctl/ApprovalPrompt.h"

#include <unistd.h>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/records/BastorError.h"
#include "bastorctl/InvokingUser.h"
#include "bastorctl/PresenceCheck.h"

namespace bastor {

std::optional<BastorAuthMethod> askApproval(TerminalPrompt& prompt, BastorClient& client,
                                            const BastorRequest& request,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Approval approval = prompt.ask("Run as root? [y/N] ", timeout);
    std::optional<BastorAuthMethod> method;
    // Root is not asked to prove anything: it could run the command itself.
    if (approval == Approval::approved && ::getuid() != 0) {
        const Presence presence = provePresence(prompt, invokingUser(), deadline);
        approval = presence.outcome == Presence::Outcome::proven     ? Approval::approved
                   : presence.outcome == Presence::Outcome::timedOut ? Approval::timedOut
                                                                     : Approval::denied;
        method = presence.method;
    }
    switch (approval) {
        case Approval::approved:
            return method;
        case Approval::denied:
            client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::denied));
            throw BastorError::denied();
        case Approval::timedOut:
            client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::timedOut));
            throw BastorError::timedOut();
    }
    return std::nullopt;
}

}  // namespace bastor
