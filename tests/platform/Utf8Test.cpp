#include <gtest/gtest.h>

#include "BastorShared/platform/Utf8.h"

namespace bastor {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string times(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(Utf8Test, RepairReplacesEachMaximalSubpart) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
        {"\xF0\x9F\x98", kFffd},                // truncated at the end
        {"a\xF0\x9F\x98z", "a" + kFffd + "z"},  // truncated in the middle
        {"\xE0\x80\x80", times(kFffd, 3)},      // overlong
        {"\xED\xA0\x80", times(kFffd, 3)},      // surrogate
        {"\xF4\x90\x80\x80", times(kFffd, 4)},  // above U+10FFFF
        {"\xC0\xAF", times(kFffd, 2)},
        {"\xFF", kFffd},
        {"a\xC3"
         "b",
         "a" + kFffd + "b"},
        {"\x80\x80", times(kFffd, 2)},  // lone continuations
        {"\xE2\x96", kFffd},
        {std::string("\0x", 2), std::string("\0x", 2)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(repairUtf8(c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(isValidUtf8(c.in), c.in == c.out);
        EXPECT_TRUE(isValidUtf8(repairUtf8(c.in)));
    }
}

TEST(Utf8Test, GraphemeCount) {
    const struct {
        std::string text;
        std::size_t count;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"e\xCC\x81", 1},  // e + combining acute
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
         1},                                                                      // ZWJ family
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", 2},  // two flags
        {"\r\n", 1},
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1},      // skin tone
        {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 1},  // Hangul L V T
        {"   ", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(graphemeCount(c.text), c.count) << c.text;
}

TEST(Utf8Test, Lowercase) {
    EXPECT_EQ(lowercase("Python3"), "python3");
    EXPECT_EQ(lowercase("\xC3\x84\xC3\x96"), "\xC3\xA4\xC3\xB6");  // ÄÖ
    EXPECT_EQ(lowercase("/USR/BIN"), "/usr/bin");
    EXPECT_EQ(lowercase("\xD0\x9F\xD0\xA0\xD0\x98"), "\xD0\xBF\xD1\x80\xD0\xB8");  // ПРИ
    EXPECT_EQ(lowercase(""), "");
}

}  // namespace
}  // namespace bastor
