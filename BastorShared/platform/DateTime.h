#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace bastor {

// A point in time to whole seconds. Finer precision never reaches the JSON
// form, so it is not kept.
using DateTime = std::chrono::sys_seconds;

// The current time, truncated to whole seconds.
[[nodiscard]] DateTime now();

// ISO-8601 internet date-time in UTC: YYYY-MM-DDTHH:MM:SSZ, whatever the
// process's time zone.
[[nodiscard]] std::string formatDateTime(DateTime time);
void appendDateTime(std::string& out, DateTime time);
// Writes the kDateTimeLength characters of formatDateTime() at `out`; only for
// times in the years 0000 to 9999, the ones that have that form.
inline constexpr std::size_t kDateTimeLength = 20;
void writeDateTime(char* out, DateTime time);

// Reads YYYY-MM-DDTHH:MM:SS followed by "Z" or a numeric offset (+HH:MM or
// -HH:MM). Fractions of a second and every other form are refused.
[[nodiscard]] std::optional<DateTime> parseDateTime(std::string_view text);

}  // namespace bastor
