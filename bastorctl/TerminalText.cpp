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
    char escape[8];
    std::snprintf(escape, sizeof escape, format, value);
    out += escape;
}

}  // namespace

std::string visible(std::string_view input) {
    const std::string repaired = isValidUtf8(input) ? std::string() : repairUtf8(input);
    const std::string_view text = repaired.empty() ? input : std::string_view(repaired);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            appendEscape(out, "\\x%02x", c);
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080...U+009F: C1 controls; some terminals act on them (CSI).
            appendEscape(out, "\\u%04x", static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
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
