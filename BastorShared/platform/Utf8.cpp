#include "BastorShared/platform/Utf8.h"

#include <utf8proc.h>

#include <cstdint>

namespace bastor {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `at`, or 0 when it is ill-formed;
// `subpart` receives the length of the maximal ill-formed subpart then.
std::size_t sequenceLength(std::string_view s, std::size_t at, std::size_t& subpart) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t b0 = byte(at);
    subpart = 1;
    if (b0 < 0x80) return 1;
    std::size_t need;
    std::uint8_t low = 0x80, high = 0xBF;  // valid range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (at + k >= s.size()) return 0;
        const std::uint8_t b = byte(at + k);
        const bool ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return 0;
        subpart = k + 1;
    }
    return need;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    std::size_t subpart;
    for (std::size_t i = 0; i < bytes.size();) {
        if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = sequenceLength(bytes, i, subpart);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string repairUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 16);
    std::size_t subpart;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = sequenceLength(bytes, i, subpart);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out.append(kReplacement);
            i += subpart;
        }
    }
    return out;
}

std::size_t graphemeCount(std::string_view text) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto remaining = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t count = 0;
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = -1;
    while (remaining > 0) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p, remaining, &cp);
        if (n <= 0) {  // not reached for valid input; count the byte on its own
            cp = 0xFFFD;
            n = 1;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) ++count;
        previous = cp;
        p += n;
        remaining -= n;
    }
    return count;
}

std::string lowercase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p, remaining, &cp);
        if (n <= 0) {
            cp = 0xFFFD;
            n = 1;
        }
        utf8proc_uint8_t encoded[4];
        const utf8proc_ssize_t len = utf8proc_encode_char(utf8proc_tolower(cp), encoded);
        out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(len));
        p += n;
        remaining -= n;
    }
    return out;
}

}  // namespace bastor
