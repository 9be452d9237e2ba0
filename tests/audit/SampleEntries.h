#pragma once

#include <string>
#include <vector>

#include "BastorShared/records/AuditEntry.h"

namespace bastor::testing {

// An unsealed entry like the helper writes for a finished run, varied by n.
// Its texts hold slashes, line feeds and non-ASCII so that escaping matters.
[[nodiscard]] AuditEntry sampleEntry(int n);

// The lines of `count` entries sealed one after another into one file,
// starting at seq 1 with the genesis link.
[[nodiscard]] std::vector<std::string> sealedLines(int count);

}  // namespace bastor::testing
