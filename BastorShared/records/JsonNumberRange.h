#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bastor {

// JSON allows numbers of any size; the parser holds integers of 64 bits and
// fractions as doubles, and fails a whole text holding a larger one. This
// returns `text` with every number that is well formed but out of that range
// replaced by an empty array of the same length ("[   ]"), which no integer,
// boolean, string or id accepts, so a text that is JSON still parses and the
// value is refused where it is used. Nothing when there is no such number.
// Only the bytes outside strings are looked at; the parser judges the rest.
// Never throws but std::bad_alloc; safe from any thread.
[[nodiscard]] std::optional<std::string> maskOutOfRangeNumbers(std::string_view text);

}  // namespace bastor
