#pragma once

#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"

namespace bastor {

// An unsealed audit entry about `request`, built the way the helper builds
// its own, for the events only the client sees ("requested", "denied",
// "timed_out"): a new id, the request's id and fields, the time now, the
// stdin's digest and size, and approval details only for "approved". The
// helper replaces seq, prevHash and hash when it records the entry.
[[nodiscard]] AuditEntry makeClientEvent(const BastorRequest& request, BastorAuditEvent event);

}  // namespace bastor
