#include "bastorctl/TerminalText.h"

#include <cstdio>

#include "BastorShared/platform/Utf8.h"

namespace bastor::TerminalText {
namespace {

bool needsNoQuotes(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c >= 0x80 ||
           std::string_view("@%+=:,./_-").find(static_cast<char>(c)) != std::string_view::npos;
}

void appendEscape(std::string& out, const char* format, unsigned value) {
    char escape[16];
    std::snprintf(escape, sizeof escape, format, value);
    out += escape;
}

// One well-formed UTF-8 sequence as its code point.
char32_t codePoint(std::string_view sequence) {
    static constexpr unsigned char leadBits[] = {0x7f, 0x1f, 0x0f, 0x07};
    char32_t c = static_cast<unsigned char>(sequence[0]) & leadBits[sequence.size() - 1];
    for (std::size_t i = 1; i < sequence.size(); ++i)
        c = (c << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3f);
    return c;
}

// Shown as nothing or as a blank, or reordering the text around them
// (bidirectional controls): an approver could not tell what they read.
bool isHidden(char32_t c) {
    return c == 0xa0 || c == 0xad || c == 0x61c || c == 0x115f || c == 0x1160 || c == 0x1680 ||
           c == 0x180e || (c >= 0x2000 && c <= 0x200f) || (c >= 0x2028 && c <= 0x202f) ||
           (c >= 0x205f && c <= 0x206f) || c == 0x3000 || c == 0x3164 || c == 0xfeff ||
           c == 0xffa0 || (c >= 0xe0000 && c <= 0xe007f);
}

}  // namespace

std::string visible(std::string_view input) {
    const std::string repaired = isValidUtf8(input) ? std::string() : repairUtf8(input);
    const std::string_view text = repaired.empty() ? input : std::string_view(repaired);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        const std::string_view sequence = text.substr(i, length);
        const char32_t c = codePoint(sequence);
        i += length;
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            appendEscape(out, "\\x%02x", c);
        } else if ((c >= 0x80 && c <= 0x9f) || isHidden(c)) {
            // U+0080...U+009F are C1 controls; some terminals act on them (CSI).
            appendEscape(out, c <= 0xffff ? "\\u%04x" : "\\U%08x", c);
        } else {
            out += sequence;
        }
    }
    return out;
}

std::string quoteArgument(std::string_view argument) {
    bool plain = !argument.empty();
    for (char c : argument)
        plain = plain && needsNoQuotes(static_cast<unsigned char>(c));
    if (plain) return visible(argument);
    std::string quoted = "'";
    for (char c : argument) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return visible(quoted);
}

std::string commandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& argument : argv) {
        if (!line.empty()) line += ' ';
        line += quoteArgument(argument);
    }
    return line;
}

std::size_t width(std::string_view text) {
    std::size_t count = 0;
    for (char c : text)
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return count;
}

}  // namespace bastor::TerminalText
