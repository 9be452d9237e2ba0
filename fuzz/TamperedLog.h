#pragma once
// What the audit log fuzz targets share: reproducible identifiers, and a good
// log overwritten as the input says.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "BastorShared/platform/Uuid.h"

namespace bastor::fuzz {

// The same identifier for the same seed, so that every run of an input is alike.
inline Uuid fixedUuid(std::uint8_t seed) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i);
    return Uuid(bytes);
}

// `text` with each (offset, offset, byte) triple of `edits` written into it,
// the two offset bytes read as one number modulo its size.
inline std::string tampered(std::string text, std::string_view edits) {
    for (std::size_t i = 0; i + 3 <= edits.size(); i += 3) {
        const auto offset =
            (static_cast<std::uint8_t>(edits[i]) << 8 | static_cast<std::uint8_t>(edits[i + 1])) %
            text.size();
        text[offset] = edits[i + 2];
    }
    return text;
}

}  // namespace bastor::fuzz
