#pragma once

#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"

// The entries the helper and the client write. Both are unsealed: seq,
// prevHash and hash are replaced when the helper appends them.
namespace bastor::AuditEntries {

// An entry about `request`: a new id, the request's id and fields, the time
// now, the stdin's digest and size, and the approval details only for
// "approved".
[[nodiscard]] AuditEntry makeEntry(const BastorRequest& request, BastorAuditEvent event);

// The entry that records the master switch being set, which belongs to no
// request: a fresh request id, placeholder command fields and the client
// "Unknown client".
[[nodiscard]] AuditEntry makeSwitchEntry(bool enabled);

}  // namespace bastor::AuditEntries
