#include <gtest/gtest.h>

#include <functional>

#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorRequest.h"

namespace bastor {
namespace {

const std::string kCommand = "command must contain 1 to 256 items and argv[0] must not be empty";
const std::string kReason = "reason must contain 1 to 2000 characters";
const std::string kCwd = "cwd must be an absolute path";
const std::string kStdin = "stdin must be at most 1 MiB";
const std::string kTimeout = "timeout_seconds must be between 1 and 3600";

BastorRequest valid() {
    BastorRequest r;
    r.id = Uuid::random();
    r.argv = {"ls"};
    r.cwd = "/";
    r.timeoutSeconds = 60;
    r.reason = "because";
    r.client = {"bastorctl", "1"};
    return r;
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

// "" when the request passes, else the message of the refusal.
std::string check(const BastorRequest& r) {
    try {
        r.validate();
        return "";
    } catch (const BastorError& e) {
        EXPECT_EQ(e.kind(), BastorError::Kind::invalidInput);
        return e.what();
    }
}

TEST(BastorRequestTest, ValidateAppliesLimitsInOrder) {
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const struct {
        const char* name;
        std::function<void(BastorRequest&)> change;
        std::string message;
    } cases[] = {
        {"valid", [](BastorRequest&) {}, ""},
        {"256 arguments", [](BastorRequest& r) { r.argv.assign(256, "x"); }, ""},
        {"257 arguments", [](BastorRequest& r) { r.argv.assign(257, "x"); }, kCommand},
        {"no arguments", [](BastorRequest& r) { r.argv.clear(); }, kCommand},
        {"empty argv[0]",
         [](BastorRequest& r) {
             r.argv = {"", "x"};
         },
         kCommand},
        {"blank argv[0], empty argument",
         [](BastorRequest& r) {
             r.argv = {" ", ""};
         },
         ""},
        {"2000 emoji", [](BastorRequest& r) { r.reason = repeat("\xF0\x9F\x98\x80", 2000); }, ""},
        {"2001 emoji", [](BastorRequest& r) { r.reason = repeat("\xF0\x9F\x98\x80", 2001); },
         kReason},
        {"2000 families", [&](BastorRequest& r) { r.reason = repeat(family, 2000); }, ""},
        {"2001 families", [&](BastorRequest& r) { r.reason = repeat(family, 2001); }, kReason},
        {"2000 ASCII", [](BastorRequest& r) { r.reason = std::string(2000, 'a'); }, ""},
        {"2001 ASCII", [](BastorRequest& r) { r.reason = std::string(2001, 'a'); }, kReason},
        {"spaces only", [](BastorRequest& r) { r.reason = "   "; }, ""},
        {"empty reason", [](BastorRequest& r) { r.reason = ""; }, kReason},
        {"relative cwd", [](BastorRequest& r) { r.cwd = "tmp"; }, kCwd},
        {"empty cwd", [](BastorRequest& r) { r.cwd = ""; }, kCwd},
        {"missing cwd is fine later", [](BastorRequest& r) { r.cwd = "/no/such/dir"; }, ""},
        {"1 MiB stdin", [](BastorRequest& r) { r.stdin = std::string(1048576, 'x'); }, ""},
        {"1 MiB + 1 stdin", [](BastorRequest& r) { r.stdin = std::string(1048577, 'x'); }, kStdin},
        {"600000 two-byte", [](BastorRequest& r) { r.stdin = repeat("\xC3\xA9", 600000); }, kStdin},
        {"empty stdin", [](BastorRequest& r) { r.stdin = ""; }, ""},
        {"timeout 0", [](BastorRequest& r) { r.timeoutSeconds = 0; }, kTimeout},
        {"timeout -1", [](BastorRequest& r) { r.timeoutSeconds = -1; }, kTimeout},
        {"timeout 1", [](BastorRequest& r) { r.timeoutSeconds = 1; }, ""},
        {"timeout 3600", [](BastorRequest& r) { r.timeoutSeconds = 3600; }, ""},
        {"timeout 3601", [](BastorRequest& r) { r.timeoutSeconds = 3601; }, kTimeout},
        {"first rule wins",
         [](BastorRequest& r) {
             r.argv.clear();
             r.timeoutSeconds = 0;
         },
         kCommand},
        {"reason before cwd",
         [](BastorRequest& r) {
             r.reason = "";
             r.cwd = "x";
             r.stdin = std::string(1048577, 'x');
         },
         kReason},
        {"stdin before timeout",
         [](BastorRequest& r) {
             r.stdin = std::string(1048577, 'x');
             r.timeoutSeconds = 9999;
         },
         kStdin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BastorRequest r = valid();
        c.change(r);
        const BastorRequest before = r;
        EXPECT_EQ(check(r), c.message);
        EXPECT_EQ(r.argv, before.argv);
        EXPECT_EQ(r.reason, before.reason);
    }
}

TEST(BastorRequestTest, ValidatedFillsDefaults) {
    const BastorClientInfo client{"app", "2"};
    const BastorRequest a = BastorRequest::validated({"ls", "-l"}, std::nullopt, std::nullopt,
                                                     std::nullopt, "why", client);
    EXPECT_EQ(a.argv, (std::vector<std::string>{"ls", "-l"}));
    EXPECT_EQ(a.cwd, "/");
    EXPECT_EQ(a.timeoutSeconds, 300);
    EXPECT_EQ(a.resolvedPath, "");
    EXPECT_EQ(a.approvalMethod, BastorApprovalMethod::manual);
    EXPECT_FALSE(a.approver);
    EXPECT_FALSE(a.authMethod);
    EXPECT_FALSE(a.stdin);
    EXPECT_EQ(a.reason, "why");
    EXPECT_EQ(a.client, client);

    const BastorRequest b = BastorRequest::validated({"ls"}, "/tmp", "in", 5, "why", client);
    EXPECT_NE(a.id, b.id);
    EXPECT_EQ(b.cwd, "/tmp");
    EXPECT_EQ(b.stdin, "in");
    EXPECT_EQ(b.timeoutSeconds, 5);

    try {
        (void)BastorRequest::validated({"ls"}, "relative", std::nullopt, 0, "why", client);
        FAIL() << "expected a refusal";
    } catch (const BastorError& e) {
        EXPECT_EQ(std::string(e.what()), kCwd);
    }
}

}  // namespace
}  // namespace bastor
