#include <gtest/gtest.h>

#include "BastorShared/records/BastorJSON.h"
#include "tests/records/TestRecords.h"

namespace bastor {
namespace {

using BastorJSON::decode;
using BastorJSON::encode;

// Every ASCII byte and a few multi-byte characters, to cover each escape.
std::string allCharacters() {
    std::string text;
    for (int c = 0; c < 0x80; ++c)
        text += static_cast<char>(c);
    text += "\xC3\xA9\xE2\x96\xB8\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    return text;
}

TEST(JsonRoundTripTest, AuditEntriesSurviveFieldByField) {
    AuditEntry wide = test::fullEntry();
    wide.argv.push_back(allCharacters());
    wide.stdout = allCharacters() + allCharacters();
    wide.seq = INT64_MIN;
    wide.exitCode = INT32_MAX;
    wide.durationMs = INT64_MAX;
    for (const AuditEntry& entry : {test::fullEntry(), test::minimalEntry(), wide}) {
        const std::string json = encode(entry);
        EXPECT_EQ(json.find('\n'), std::string::npos);
        const AuditEntry back = decode<AuditEntry>(json);
        test::expectSame(entry, back);
        EXPECT_EQ(encode(back), json);
    }
    const std::vector<AuditEntry> list{test::fullEntry(), wide};
    const auto backList = decode<std::vector<AuditEntry>>(encode(list));
    ASSERT_EQ(backList.size(), 2u);
    test::expectSame(wide, backList[1]);
}

TEST(JsonRoundTripTest, OtherRecordsSurvive) {
    BastorRequest wide = test::fullRequest();
    wide.stdin = allCharacters();
    wide.reason = allCharacters();
    for (const BastorRequest& request : {test::fullRequest(), test::minimalRequest(), wide}) {
        const std::string json = encode(request);
        EXPECT_EQ(json.find('\n'), std::string::npos);
        test::expectSame(request, decode<BastorRequest>(json));
    }

    const BastorResult results[] = {
        {-1, "", "", false, true, 0, std::nullopt},
        {INT32_MIN, allCharacters(), "e", true, false, INT64_MAX, Uuid::random()},
    };
    for (const BastorResult& result : results)
        test::expectSame(result, decode<BastorResult>(encode(result)));

    for (const BastorVerification& v :
         {BastorVerification{true, 0, std::nullopt}, BastorVerification{false, 9, 0}})
        EXPECT_EQ(decode<BastorVerification>(encode(v)), v);
    for (int bits = 0; bits < 8; ++bits) {
        const BastorState s{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
        EXPECT_EQ(decode<BastorState>(encode(s)), s);
    }
}

}  // namespace
}  // namespace bastor
