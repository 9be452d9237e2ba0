#include "bastorctl/AuditFilter.h"

#include <gtest/gtest.h>

namespace bastor {
namespace {

DateTime at(std::string_view text) {
    return parseDateTime(text).value();
}

TEST(AuditFilter, EveryConditionMustHold) {
    AuditEntry run;
    run.event = BastorAuditEvent::completed;
    run.time = at("2026-12-06T10:00:00Z");
    run.argv = {"df", "-h", "/"};
    run.reason = "check disk space";
    struct Case {
        const char* label;
        AuditFilter filter;
        bool shown;
    };
    const Case cases[] = {
        {"empty filter", {}, true},
        {"one of the events",
         {.events = {BastorAuditEvent::denied, BastorAuditEvent::completed}},
         true},
        {"another event", {.events = {BastorAuditEvent::approved}}, false},
        {"since the same second", {.since = at("2026-12-06T10:00:00Z")}, true},
        {"since a second later", {.since = at("2026-12-06T10:00:01Z")}, false},
        {"until the same second", {.until = at("2026-12-06T10:00:00Z")}, true},
        {"until a second earlier", {.until = at("2026-12-06T09:59:59Z")}, false},
        {"text across argv words", {.grep = "-h /"}, true},
        {"text in the reason", {.grep = "disk"}, true},
        {"text is case-sensitive", {.grep = "Disk"}, false},
        {"text spanning argv and reason", {.grep = "/ check"}, false},
        {"all hold",
         {.events = {BastorAuditEvent::completed},
          .since = at("2026-12-06T00:00:00Z"),
          .grep = "df"},
         true},
        {"one fails",
         {.events = {BastorAuditEvent::completed},
          .since = at("2026-12-07T00:00:00Z"),
          .grep = "df"},
         false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.filter.matches(run), c.shown) << c.label;
}

TEST(AuditFilter, TimeBoundsReadTheLogFormAndWholeDays) {
    struct Case {
        const char* text;
        TimeBound bound;
        std::optional<std::string_view> means;
    };
    const Case cases[] = {
        {"2026-12-06T14:00:00Z", TimeBound::since, "2026-12-06T14:00:00Z"},
        {"2026-12-06T15:00:00+01:00", TimeBound::until, "2026-12-06T14:00:00Z"},
        {"2026-12-06", TimeBound::since, "2026-12-06T00:00:00Z"},
        {"2026-12-06", TimeBound::until, "2026-12-06T23:59:59Z"},
        {"2024-02-29", TimeBound::until, "2024-02-29T23:59:59Z"},
        {"2026-02-29", TimeBound::since, std::nullopt},
        {"2026-13-01", TimeBound::since, std::nullopt},
        {"2026-1-06", TimeBound::since, std::nullopt},
        {"+026-12-06", TimeBound::since, std::nullopt},
        {"2026-12-06 14:00:00", TimeBound::since, std::nullopt},
        {"", TimeBound::until, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = parseTimeBound(c.text, c.bound);
        if (c.means) {
            ASSERT_TRUE(parsed) << c.text;
            EXPECT_EQ(formatDateTime(*parsed), *c.means) << c.text;
        } else {
            EXPECT_FALSE(parsed) << c.text;
        }
    }
}

}  // namespace
}  // namespace bastor
