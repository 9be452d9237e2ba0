#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>

#include <sys/wait.h>
#include <unistd.h>

#include "BastorShared/platform/DateTime.h"
#include "BastorShared/platform/Sha256.h"
#include "BastorShared/platform/Sha256Pair.h"
#include "BastorShared/platform/Utf8.h"
#include "BastorShared/platform/Uuid.h"

namespace {
using namespace bastor;

// Pieces of uneven size cross the 64-byte block edges at different offsets.
TEST(Sha256Test, KnownVectorsInOnePieceOrMany) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [data, digest] : cases) {
        EXPECT_EQ(Sha256::hex(data), digest);
        for (std::size_t piece : {1u, 63u, 64u, 65u, 1000u}) {
            Sha256 hash;
            for (std::size_t at = 0; at < data.size(); at += piece)
                hash.update(std::string_view(data).substr(at, piece));
            EXPECT_EQ(hash.hexDigest(), digest) << "pieces of " << piece;
        }
    }
}

// The pair must equal two plain digests wherever the padding falls, wherever
// the first input is split, and however much longer one input is.
TEST(Sha256Test, APairEqualsTwoDigestsAtEveryBlockEdgeAndSplit) {
    std::string bytes(1200, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    const std::string_view all(bytes);
    char first[64], second[64];
    for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
        const std::string_view whole = all.substr(0, size);
        for (std::size_t split = 0; split <= size; ++split) {
            for (std::size_t other : {0u, 56u, 64u, 1100u}) {
                const std::string_view otherBytes = all.substr(100, other);
                Sha256Pair::hexDigests({whole.substr(0, split), whole.substr(split)},
                                       {otherBytes, {}}, first, second);
                ASSERT_EQ(std::string_view(first, 64), Sha256::hex(whole))
                    << "size " << size << ", split at " << split << ", other " << other;
                ASSERT_EQ(std::string_view(second, 64), Sha256::hex(otherBytes));
            }
        }
    }
}

TEST(UuidTest, ReadsEitherCaseWritesUpperCaseRefusesOtherForms) {
    const auto id = Uuid::parse("0f8fad5b-d9cb-469f-a165-70867728950e");
    ASSERT_TRUE(id);
    EXPECT_EQ(id, Uuid::parse("0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_EQ(id->text(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(id->bytes()[6], 0x46);
    for (const char* text :
         {"", "0f8fad5bd9cb469fa16570867728950e", "{0f8fad5b-d9cb-469f-a165-70867728950e}",
          "0f8fad5b-d9cb-469f-a165-70867728950e0", "0f8fad5bd-9cb-469f-a165-70867728950e",
          "0g8fad5b-d9cb-469f-a165-70867728950e", " f8fad5b-d9cb-469f-a165-70867728950e",
          "0f8fad5b-d9cb-469f-a165+70867728950e"})
        EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(UuidTest, RandomIsVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const Uuid id = Uuid::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        seen.insert(id.text());
    }
    EXPECT_EQ(seen.size(), 64u);

    // A forked child must not hand out the identifiers its parent will,
    // whatever the parent drew before.
    (void)Uuid::random();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string text = Uuid::random().text();
        _exit(::write(fds[1], text.data(), text.size()) == 36 ? 0 : 1);
    }
    ::close(fds[1]);
    char text[36];
    EXPECT_EQ(::read(fds[0], text, sizeof text), 36);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_NE(std::string(text, sizeof text), Uuid::random().text());
}

TEST(DateTimeTest, AcceptedFormsAndTheirUtcText) {
    setenv("TZ", "Asia/Kolkata", 1);  // the text must not follow the process's time zone
    tzset();
    const std::pair<const char*, const char*> cases[] = {
        {"2026-12-05T01:09:17+02:00", "2026-12-04T23:09:17Z"},
        {"2026-12-04T17:39:17-05:30", "2026-12-04T23:09:17Z"},
        {"1969-12-31T23:59:59Z", "1969-12-31T23:59:59Z"},
        {"0000-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
        {"9999-12-31T23:59:59Z", "9999-12-31T23:59:59Z"},
    };
    for (const auto& [text, utc] : cases) {
        const auto time = parseDateTime(text);
        ASSERT_TRUE(time) << text;
        EXPECT_EQ(formatDateTime(*time), utc);
    }
    EXPECT_EQ(parseDateTime("1970-01-01T00:00:01Z")->time_since_epoch().count(), 1);
}

TEST(DateTimeTest, RefusedForms) {
    for (const char* text : {
             "", "2026-12-04T23:09:17.5Z", "2026-12-04T23:09:17", "2026-12-04T24:00:00Z",
             "2026-12-04T23:60:00Z", "2026-12-04T23:59:60Z", "2023-02-29T00:00:00Z",
             "2026-13-01T00:00:00Z", "2026-12-04t23:09:17z", "2026-12-04 23:09:17Z",
             "2026-12-04T23:09:17+0200", "2026-12-04T23:09:17+24:00", "2026-12-04T23:09:17+02:60",
             "2026-12-04T2 :09:17Z", "-026-12-04T23:09:17Z",
             "9999-12-31T23:59:59-00:01",  // past year 9999 in UTC
             "0000-01-01T00:00:00+00:01",  // before year 0 in UTC
         })
        EXPECT_FALSE(parseDateTime(text)) << text;
}

TEST(Utf8Test, RepairReplacesEachMaximalSubpart) {
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
        {"a\xF0\x9F\x98z", "a" + bad + "z"},          // truncated four-byte sequence
        {"\xE2\x96", bad},                            // truncated at the end
        {"\xE0\x80\x80", bad + bad + bad},            // overlong
        {"\xED\xA0\x80", bad + bad + bad},            // surrogate
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},  // above U+10FFFF
        {"\xFF\x80", bad + bad},                      // no lead byte at all
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(repairUtf8(in), out) << testing::PrintToString(in);
        EXPECT_EQ(isValidUtf8(in), in == out);
    }
}

TEST(Utf8Test, GraphemesAndLowercase) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"a b", 3},
        {"e\xCC\x81", 1},                                                         // e + acute
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9", 1},                      // ZWJ pair
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", 2},  // two flags
    };
    for (const auto& [text, count] : cases)
        EXPECT_EQ(graphemeCount(text), count) << text;
    EXPECT_EQ(lowercase("/USR/BIN/Python3"), "/usr/bin/python3");
    EXPECT_EQ(lowercase("\xC3\x84\xD0\x9F\xD0\xA0"), "\xC3\xA4\xD0\xBF\xD1\x80");  // ÄПР
}

}  // namespace
