#include <gtest/gtest.h>

#include <set>

#include "BastorShared/platform/Uuid.h"

namespace bastor {
namespace {

TEST(UuidTest, ParsesEitherCaseAndWritesUpperCase) {
    const auto lower = Uuid::parse("0f8fad5b-d9cb-469f-a165-70867728950e");
    const auto upper = Uuid::parse("0F8FAD5B-D9CB-469F-A165-70867728950E");
    ASSERT_TRUE(lower && upper);
    EXPECT_EQ(*lower, *upper);
    EXPECT_EQ(lower->text(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(lower->bytes()[0], 0x0f);
    EXPECT_EQ(lower->bytes()[15], 0x0e);
    EXPECT_EQ(Uuid().text(), "00000000-0000-0000-0000-000000000000");
}

TEST(UuidTest, RefusesOtherForms) {
    for (const char* text : {
             "",
             "0f8fad5bd9cb469fa16570867728950e",
             "{0f8fad5b-d9cb-469f-a165-70867728950e}",
             "0f8fad5b-d9cb-469f-a165-70867728950",
             "0f8fad5b-d9cb-469f-a165-70867728950e0",
             "0f8fad5b-d9cb-469f-a165+70867728950e",
             "0f8fad5bd-9cb-469f-a165-70867728950e",
             "0g8fad5b-d9cb-469f-a165-70867728950e",
             " f8fad5b-d9cb-469f-a165-70867728950e",
         })
        EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(UuidTest, RandomIsVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const Uuid id = Uuid::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        EXPECT_EQ(Uuid::parse(id.text()), id);
        seen.insert(id.text());
    }
    EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace bastor
