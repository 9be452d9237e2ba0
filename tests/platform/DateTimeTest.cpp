#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "BastorShared/platform/DateTime.h"

namespace bastor {
namespace {

TEST(DateTimeTest, AcceptedFormsAndTheirUtcText) {
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    const struct {
        const char* in;
        const char* utc;
    } cases[] = {
        {"2026-12-04T23:09:17Z", "2026-12-04T23:09:17Z"},
        {"2026-12-05T01:09:17+02:00", "2026-12-04T23:09:17Z"},
        {"2026-12-04T17:39:17-05:30", "2026-12-04T23:09:17Z"},
        {"2026-12-04T23:09:17+00:00", "2026-12-04T23:09:17Z"},
        {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
        {"2000-02-29T12:00:00Z", "2000-02-29T12:00:00Z"},
        {"1970-01-01T00:00:00Z", "1970-01-01T00:00:00Z"},
        {"1969-12-31T23:59:59Z", "1969-12-31T23:59:59Z"},
        {"0000-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
        {"9999-12-31T23:59:59Z", "9999-12-31T23:59:59Z"},
        {"2027-01-01T00:30:00+01:00", "2026-12-31T23:30:00Z"},
    };
    for (const auto& c : cases) {
        const auto time = parseDateTime(c.in);
        ASSERT_TRUE(time) << c.in;
        EXPECT_EQ(formatDateTime(*time), c.utc) << c.in;
        std::string appended = "x";
        appendDateTime(appended, *time);
        EXPECT_EQ(appended, std::string("x") + c.utc);
    }
    EXPECT_EQ(parseDateTime("1970-01-01T00:00:01Z")->time_since_epoch().count(), 1);
}

TEST(DateTimeTest, RefusedForms) {
    for (const char* text : {
             "",
             "2026-12-04T23:09:17.5Z",
             "2026-12-04T23:09:17.000Z",
             "2026-12-04T23:09:17",
             "2026-12-04T24:00:00Z",
             "2026-12-04T23:60:00Z",
             "2026-12-04T23:59:60Z",
             "2026-02-30T00:00:00Z",
             "2023-02-29T00:00:00Z",
             "2026-13-01T00:00:00Z",
             "2026-00-01T00:00:00Z",
             "2026-12-00T00:00:00Z",
             "2026-12-04t23:09:17z",
             "2026-12-04 23:09:17Z",
             "2026-12-04T23:09:17+0200",
             "2026-12-04T23:09:17+24:00",
             "2026-12-04T23:09:17+02:60",
             "+2026-12-04T23:09:17Z",
             "2026-12-4T23:09:17Z",
             " 2026-12-04T23:09:17Z",
             "2026-12-04T23:09:17Z ",
             "9999-12-31T23:59:59-00:01",  // past year 9999 in UTC
             "0000-01-01T00:00:00+00:01",  // before year 0 in UTC
         })
        EXPECT_FALSE(parseDateTime(text)) << text;
}

}  // namespace
}  // namespace bastor
