#pragma once

#include <array>

// How the encoder writes each byte inside a string; the canonical-line reader
// accepts exactly these forms. Internal to the JSON code.
namespace bastor::BastorJSON::detail {

// For each byte: 0 when written as it is, the letter of its short escape, or
// 'u' for the \u00XX form.
inline constexpr std::array<char, 256> kEscapes = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = 'u';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    return table;
}();

}  // namespace bastor::BastorJSON::detail
