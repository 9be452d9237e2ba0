#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorState.h"
#include "tests/support/TempDir.h"

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
        // Two rules broken: the one checked first, in the order above, is named.
        {[](BastorRequest& r) { r.argv.clear(), r.reason.clear(); }, kCommand},
        {[](BastorRequest& r) { r.reason.clear(), r.cwd = "tmp"; }, kReason},
        {[](BastorRequest& r) { r.cwd = "tmp", r.stdin = std::string(1048577, 'x'); }, kCwd},
        {[](BastorRequest& r) { r.stdin = std::string(1048577, 'x'), r.timeoutSeconds = 0; },
         kStdin},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(check(cases[i].first), cases[i].second) << "case " << i;
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
    EXPECT_THROW((void)BastorRequest::validated({"ls"}, "x", {}, {}, "why", {}), BastorError);
}

TEST(BastorStateTest, LoadsTheSwitchesOrFallsBackToAllOff) {
    const test::TempDir dir;
    const std::string file = dir / "state.json";
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
    EXPECT_EQ(BastorState::load(file), BastorState{});      // missing
    EXPECT_EQ(BastorState::load(dir.path), BastorState{});  // a directory
}

}  // namespace
