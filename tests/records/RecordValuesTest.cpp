#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorState.h"

namespace {
using namespace bastor;

const std::string kCommand = "command must contain 1 to 256 items and argv[0] must not be empty";
const std::string kReason = "reason must contain 1 to 2000 characters";
const std::string kCwd = "cwd must be an absolute path";
const std::string kStdin = "stdin must be at most 1 MiB";
const std::string kTimeout = "timeout_seconds must be between 1 and 3600";

std::string repeat(const std::string& piece, int times) {
    std::string out;
    while (times-- > 0)
        out += piece;
    return out;
}

// The message of the refusal, or "" when `change` leaves a valid request.
std::string check(const std::function<void(BastorRequest&)>& change) {
    BastorRequest r = BastorRequest::validated({"ls"}, "/", {}, 60, "because", {});
    change(r);
    try {
        r.validate();
    } catch (const BastorError& e) {
        EXPECT_EQ(e.kind(), BastorError::Kind::invalidInput);
        return e.what();
    }
    return "";
}

TEST(BastorRequestTest, ValidateAppliesEachLimit) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    const std::string couple = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";  // one grapheme
    const std::pair<std::function<void(BastorRequest&)>, std::string> cases[] = {
        {[](BastorRequest& r) { r.argv.assign(256, "x"); }, ""},
        {[](BastorRequest& r) { r.argv.assign(257, "x"); }, kCommand},
        {[](BastorRequest& r) { r.argv.clear(); }, kCommand},
        {[](BastorRequest& r) { r.argv[0] = ""; }, kCommand},
        {[](BastorRequest& r) { r.argv.emplace_back(); }, ""},
        {[&](BastorRequest& r) { r.reason = repeat(emoji, 2000); }, ""},
        {[&](BastorRequest& r) { r.reason = repeat(emoji, 2001); }, kReason},
        {[&](BastorRequest& r) { r.reason = repeat(couple, 2000); }, ""},
        {[](BastorRequest& r) { r.reason = ""; }, kReason},
        {[](BastorRequest& r) { r.cwd = "tmp"; }, kCwd},
        {[](BastorRequest& r) { r.stdin = std::string(1048576, 'x'); }, ""},
        {[](BastorRequest& r) { r.stdin = std::string(1048577, 'x'); }, kStdin},
        {[](BastorRequest& r) { r.stdin = repeat("\xC3\xA9", 600000); }, kStdin},  // bytes count
        {[](BastorRequest& r) { r.timeoutSeconds = 0; }, kTimeout},
        {[](BastorRequest& r) { r.timeoutSeconds = 1; }, ""},
        {[](BastorRequest& r) { r.timeoutSeconds = 3600; }, ""},
        {[](BastorRequest& r) { r.timeoutSeconds = 3601; }, kTimeout},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(check(cases[i].first), cases[i].second) << "case " << i;
}

// Every rule from `first` on is broken; the message is that of `first`.
TEST(BastorRequestTest, FirstFailingRuleWins) {
    const std::string messages[] = {kCommand, kReason, kCwd, kStdin, kTimeout};
    for (int first = 0; first < 5; ++first)
        EXPECT_EQ(check([first](BastorRequest& r) {
                      if (first == 0) r.argv.clear();
                      if (first <= 1) r.reason.clear();
                      if (first <= 2) r.cwd = "tmp";
                      if (first <= 3) r.stdin = std::string(1048577, 'x');
                      r.timeoutSeconds = 0;
                  }),
                  messages[first]);
}

TEST(BastorRequestTest, ValidatedFillsDefaults) {
    auto a = BastorRequest::validated({"ls"}, {}, {}, {}, "why", {"app", "2"});
    const auto b = BastorRequest::validated({"ls"}, "/tmp", "in", 5, "why", {});
    EXPECT_NE(a.id, b.id);
    a.id = Uuid{};
    EXPECT_EQ(BastorJSON::encode(a),
              R"({"approvalMethod":"manual","argv":["ls"],"client":{"name":"app","version":"2"},)"
              R"("cwd":"\/","id":"00000000-0000-0000-0000-000000000000","reason":"why",)"
              R"("resolvedPath":"","timeoutSeconds":300})");
    EXPECT_EQ(b.cwd, "/tmp");
    EXPECT_EQ(b.stdin, "in");
    EXPECT_EQ(b.timeoutSeconds, 5);
    EXPECT_THROW((void)BastorRequest::validated({"ls"}, "x", {}, {}, "why", {}), BastorError);
}

TEST(BastorErrorTest, DescriptionsAreExact) {
    EXPECT_STREQ(BastorError::invalidInput(kCwd).what(), kCwd.c_str());
    EXPECT_EQ(BastorError::execution("x").errorDescription(), "x");
    EXPECT_EQ(BastorError::off().errorDescription(),
              "Bastor is off. Ask the user to turn it on in Nocta \xE2\x96\xB8 Settings "
              "\xE2\x96\xB8 Bastor.");
    EXPECT_EQ(BastorError::helperNotReady().errorDescription(),
              "Bastor's helper isn't running. Ask the user to finish setup in Nocta "
              "\xE2\x96\xB8 Settings \xE2\x96\xB8 Bastor.");
    EXPECT_EQ(BastorError::denied().errorDescription(), "The request was denied.");
    EXPECT_EQ(BastorError::timedOut().errorDescription(),
              "The request was not approved within 120 seconds, so it was not run.");
    EXPECT_EQ(BastorClientInfo({"Nocta", ""}).displayName(), "Nocta");
    EXPECT_EQ(BastorClientInfo({"Nocta", "2.1"}).displayName(), "Nocta 2.1");
}

TEST(BastorStateTest, LoadsTheSwitchesOrFallsBackToAllOff) {
    std::string dir = (std::filesystem::temp_directory_path() / "bastor-state-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string file = dir + "/state.json";
    const std::pair<std::string, BastorState> cases[] = {
        {R"({"enabled":true,"theme":"dark"})", {true, false, false}},
        {R"({"enabled":true,"auto_approval":"yes"})", {}},  // one bad switch spoils the file
        {"not json", {}},
    };
    for (const auto& [content, expected] : cases) {
        std::ofstream(file) << content;
        EXPECT_EQ(BastorState::load(file), expected) << content;
    }
    std::filesystem::remove(file);
    EXPECT_EQ(BastorState::load(file), BastorState{});  // missing
    EXPECT_EQ(BastorState::load(dir), BastorState{});   // a directory
    std::filesystem::remove_all(dir);
}

}  // namespace
