#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Text from the log or the command line, made safe to show on a terminal: an
// argument or a reason may hold escape sequences that would otherwise move
// the cursor, rewrite earlier lines or retitle the window.
namespace bastor::TerminalText {

// `text` with every control character (C0, DEL and C1), and every character
// that shows as nothing or a blank or reorders the text (such as U+00A0,
// U+200B, U+202E), written as a visible escape such as \n, \x1b, \u009b or
// \u202e; ill-formed UTF-8 is repaired first.
[[nodiscard]] std::string visible(std::string_view text);

// One argument as a shell would need it typed: unchanged when it holds only
// characters that need no quoting, otherwise in single quotes. Control
// characters are made visible as above.
[[nodiscard]] std::string quoteArgument(std::string_view argument);

// The arguments quoted and joined with blanks.
[[nodiscard]] std::string commandLine(const std::vector<std::string>& argv);

// Characters (code points) in well-formed UTF-8, for padding columns.
[[nodiscard]] std::size_t width(std::string_view text);

}  // namespace bastor::TerminalText
