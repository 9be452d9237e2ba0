#pragma once
// The question bastorctl asks before a request runs, and the audit entries
// for the answers that stop it. Not thread-safe: one question at a time.

#include <chrono>
#include <optional>

#include "BastorShared/client/BastorClient.h"
#include "BastorShared/records/BastorRequest.h"
#include "bastorctl/TerminalPrompt.h"

namespace bastor {

// How long bastorctl waits for an answer.
inline constexpr std::chrono::seconds approvalTimeout{120};

// Asks at `prompt` whether `request` may run and, after a yes, has anyone
// but root prove presence through PAM; `timeout` covers both. Returns how
// the approver authenticated (nothing for root, or when PAM's conversation
// does not show it). Otherwise records "denied" or "timed_out" through
// `client` and throws BastorError::denied() or BastorError::timedOut(); a
// failed recording throws what `client` throws.
std::optional<BastorAuthMethod> askApproval(TerminalPrompt& prompt, BastorClient& client,
                                            const BastorRequest& request,
                                            std::chrono::milliseconds timeout);

}  // namespace bastor
