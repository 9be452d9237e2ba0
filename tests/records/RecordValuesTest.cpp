#include <gtest/gtest.h>

#include "BastorShared/records/BastorClientInfo.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/Enumerations.h"

namespace bastor {
namespace {

TEST(RecordValuesTest, DisplayNameJoinsOnlyANonEmptyVersion) {
    EXPECT_EQ((BastorClientInfo{"Nocta", ""}.displayName()), "Nocta");
    EXPECT_EQ((BastorClientInfo{"Nocta", "2.1"}.displayName()), "Nocta 2.1");
    EXPECT_EQ((BastorClientInfo{"Nocta", " "}.displayName()), "Nocta  ");
    EXPECT_EQ((BastorClientInfo{"", "3"}.displayName()), " 3");
    EXPECT_EQ((BastorClientInfo{"", ""}.displayName()), "");
}

TEST(RecordValuesTest, EnumerationStrings) {
    const char* const events[] = {"requested", "denied", "timed_out",      "approved",
                                  "completed", "failed", "bastor_enabled", "bastor_disabled"};
    ASSERT_EQ(allAuditEvents.size(), 8u);
    EXPECT_EQ(allAuditEvents.front(), BastorAuditEvent::requested);
    EXPECT_EQ(allAuditEvents.back(), BastorAuditEvent::bastorDisabled);
    for (std::size_t i = 0; i < allAuditEvents.size(); ++i) {
        EXPECT_EQ(rawValue(allAuditEvents[i]), events[i]);
        EXPECT_EQ(fromRawValue<BastorAuditEvent>(events[i]), allAuditEvents[i]);
    }
    for (const char* bad :
         {"timedOut", "TIMED_OUT", "timed-out", "bastorEnabled", "", "requested "})
        EXPECT_FALSE(fromRawValue<BastorAuditEvent>(bad)) << bad;

    EXPECT_EQ(rawValue(BastorApprovalMethod::manual), "manual");
    EXPECT_EQ(rawValue(BastorApprovalMethod::automatic), "auto");
    EXPECT_EQ(fromRawValue<BastorApprovalMethod>("auto"), BastorApprovalMethod::automatic);
    EXPECT_FALSE(fromRawValue<BastorApprovalMethod>("Auto"));
    EXPECT_FALSE(fromRawValue<BastorApprovalMethod>("automatic"));

    EXPECT_EQ(rawValue(BastorAuthMethod::biometry), "biometry");
    EXPECT_EQ(rawValue(BastorAuthMethod::password), "password");
    EXPECT_EQ(fromRawValue<BastorAuthMethod>("password"), BastorAuthMethod::password);
    EXPECT_FALSE(fromRawValue<BastorAuthMethod>("Password"));
}

TEST(RecordValuesTest, ErrorDescriptionsAreExact) {
    EXPECT_EQ(std::string(BastorError::invalidInput("cwd must be an absolute path").what()),
              "cwd must be an absolute path");
    EXPECT_EQ(BastorError::execution("x").errorDescription(), "x");
    EXPECT_EQ(BastorError::execution("x").kind(), BastorError::Kind::execution);
    EXPECT_EQ(
        BastorError::off().errorDescription(),
        "Bastor is off. Ask the user to turn it on in Nocta \xE2\x96\xB8 Settings \xE2\x96\xB8 "
        "Bastor.");
    EXPECT_EQ(BastorError::helperNotReady().errorDescription(),
              "Bastor's helper isn't running. Ask the user to finish setup in Nocta \xE2\x96\xB8 "
              "Settings \xE2\x96\xB8 Bastor.");
    EXPECT_EQ(BastorError::denied().errorDescription(), "The request was denied.");
    EXPECT_EQ(BastorError::timedOut().errorDescription(),
              "The request was not approved within 120 seconds, so it was not run.");
}

}  // namespace
}  // namespace bastor
