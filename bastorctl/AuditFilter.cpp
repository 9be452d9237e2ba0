#include "bastorctl/AuditFilter.h"

#include <algorithm>
#include <charconv>

namespace bastor {

namespace {

// The argv words joined by blanks, so that TEXT may span words ("df -h").
bool commandLineContains(const std::vector<std::string>& argv, std::string_view text) {
    std::string line;
    for (const auto& word : argv) {
        if (!line.empty()) line += ' ';
        line += word;
    }
    return line.find(text) != std::string::npos;
}

std::optional<std::chrono::year_month_day> parseDate(std::string_view text) {
    // YYYY-MM-DD exactly.
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    int parts[3] = {};
    const std::string_view fields[3] = {text.substr(0, 4), text.substr(5, 2), text.substr(8, 2)};
    for (int i = 0; i < 3; ++i) {
        const auto* end = fields[i].data() + fields[i].size();
        if (!std::all_of(fields[i].begin(), fields[i].end(),
                         [](char c) { return c >= '0' && c <= '9'; }) ||
            std::from_chars(fields[i].data(), end, parts[i]).ptr != end)
            return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(parts[0]),
                                           std::chrono::month(static_cast<unsigned>(parts[1])),
                                           std::chrono::day(static_cast<unsigned>(parts[2]))};
    return date.ok() ? std::optional(date) : std::nullopt;
}

}  // namespace

bool AuditFilter::matches(const AuditEntry& entry) const {
    if (!events.empty() && std::find(events.begin(), events.end(), entry.event) == events.end())
        return false;
    if (since && entry.time < *since) return false;
    if (until && entry.time > *until) return false;
    if (!grep.empty() && !commandLineContains(entry.argv, grep) &&
        entry.reason.find(grep) == std::string::npos)
        return false;
    return true;
}

std::optional<DateTime> parseTimeBound(std::string_view text, TimeBound bound) {
    if (const auto date = parseDate(text)) {
        const DateTime start{std::chrono::sys_days(*date)};
        return bound == TimeBound::since ? start
                                         : start + std::chrono::days(1) - std::chrono::seconds(1);
    }
    return parseDateTime(text);
}

}  // namespace bastor
