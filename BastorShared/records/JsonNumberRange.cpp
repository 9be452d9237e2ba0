#include "BastorShared/records/JsonNumberRange.h"

#include <charconv>
#include <cstdint>

namespace bastor {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether `token`, a JSON number, lies outside what the decoder holds: an
// integer beyond both 64-bit ranges, or a fraction beyond a double's.
bool isOutOfRange(std::string_view token) {
    const char* first = token.data();
    const char* last = token.data() + token.size();
    if (token.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t signedValue = 0;
        std::uint64_t unsignedValue = 0;
        if (token.front() == '-')
            return std::from_chars(first, last, signedValue).ec == std::errc::result_out_of_range;
        return std::from_chars(first, last, unsignedValue).ec == std::errc::result_out_of_range;
    }
    double value = 0;
    return std::from_chars(first, last, value).ec == std::errc::result_out_of_range;
}

}  // namespace

std::optional<std::string> maskOutOfRangeNumbers(std::string_view line) {
    std::string masked(line);
    bool changed = false;
    bool inString = false;
    for (std::size_t at = 0; at < masked.size();) {
        const char c = masked[at];
        if (inString) {
            if (c == '\\')
                at += 2;
            else {
                inString = c != '"';
                ++at;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
            ++at;
            continue;
        }
        if (c != '-' && !isDigit(c)) {
            ++at;
            continue;
        }
        const auto end = masked.find_first_not_of("+-.0123456789eE", at);
        const auto length = (end == std::string::npos ? masked.size() : end) - at;
        const std::string_view token(masked.data() + at, length);
        if (length >= 2 && isDigit(token.back()) && isOutOfRange(token)) {
            masked.replace(at, length, "[" + std::string(length - 2, ' ') + "]");
            changed = true;
        }
        at += length;
    }
    if (!changed) return std::nullopt;
    return masked;
}

}  // namespace bastor
