#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bastor {

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs).
[[nodiscard]] bool isValidUtf8(std::string_view bytes);

// Decodes bytes as UTF-8, putting one U+FFFD in place of each maximal
// ill-formed subpart (the Unicode standard's substitution practice).
[[nodiscard]] std::string repairUtf8(std::string_view bytes);

// Number of extended grapheme clusters (UAX #29) in well-formed UTF-8 text.
[[nodiscard]] std::size_t graphemeCount(std::string_view text);

// Simple, locale-independent Unicode lowercasing of well-formed UTF-8 text.
[[nodiscard]] std::string lowercase(std::string_view text);

}  // namespace bastor
