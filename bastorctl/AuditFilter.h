#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/platform/DateTime.h"
#include "BastorShared/records/AuditEntry.h"

namespace bastor {

// Which audit entries `bastorctl log` shows. Every condition set must hold;
// an empty filter lets everything through. A plain value.
struct AuditFilter {
    std::vector<BastorAuditEvent> events{};  // any of these; all when empty
    std::optional<DateTime> since{};         // inclusive
    std::optional<DateTime> until{};         // inclusive
    std::string grep{};                      // in the command line or the reason

    [[nodiscard]] bool matches(const AuditEntry& entry) const;
};

// Which end of a range a time given as a bare date stands for.
enum class TimeBound { since, until };

// Reads the log's own time form (2026-12-06T14:00:00Z, or with an offset such
// as +01:00) or a bare date in UTC (2026-12-06), which means its first second
// as `since` and its last second as `until`, so that a range of dates
// includes its last day. Returns nothing for any other text.
[[nodiscard]] std::optional<DateTime> parseTimeBound(std::string_view text, TimeBound bound);

}  // namespace bastor
