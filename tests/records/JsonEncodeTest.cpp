#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "BastorShared/records/BastorJSON.h"
#include "tests/records/TestRecords.h"

namespace bastor {
namespace {

using BastorJSON::encode;
using test::fullEntry;
using test::minimalEntry;

std::string hex(char c) {
    return std::string(64, c);
}

// The formatter must not consult the process's time zone.
class JsonEncodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "Asia/Kolkata", 1);
        tzset();
    }
};

TEST_F(JsonEncodeTest, FullAuditEntryIsByteExact) {
    const std::string expected =
        R"({"approval_method":"auto","approver":"alice","argv":["printf","a\/b","x\ny\tz\r",""],)"
        R"("auth_method":"biometry","client":{"name":"Nocta","version":"2.1"},"cwd":"\/tmp",)"
        R"("duration_ms":1234,"error":"","event":"completed","exit_code":-1,"hash":")" +
        hex('b') + R"(","id":"0F8FAD5B-D9CB-469F-A165-70867728950E","prev_hash":")" + hex('a') +
        R"(","reason":"say \"hi\" \\ \b\f","request_id":"7C9E6679-7425-40DE-944B-E07FC1F90AE7",)"
        R"("resolved_path":"\/usr\/bin\/printf","seq":42,"stderr":"\u0001\u001f)"
        "\x7f"
        R"(\u0000","stderr_bytes":4,"stderr_sha256":")" +
        hex('d') + R"(","stdin_bytes":5,"stdin_sha256":")" + hex('e') +
        R"(","stdout":"héllo ✓ 😀\n","stdout_bytes":17,"stdout_sha256":")" + hex('c') +
        R"(","time":"2026-12-04T23:09:17Z"})";
    EXPECT_EQ(encode(fullEntry()), expected);

    std::string buffer = "prefix";
    BastorJSON::encodeInto(buffer, fullEntry());
    EXPECT_EQ(buffer, "prefix" + expected);
}

TEST_F(JsonEncodeTest, MinimalAuditEntryHasOnlyTheElevenRequiredKeys) {
    EXPECT_EQ(encode(minimalEntry()),
              R"({"argv":[],"client":{"name":"","version":""},"cwd":"","event":"bastor_disabled",)"
              R"("id":"00000000-0000-0000-0000-000000000001","prev_hash":"","reason":"",)"
              R"("request_id":"00000000-0000-0000-0000-000000000002","resolved_path":"","seq":0,)"
              R"("time":"1970-01-01T00:00:00Z"})");
}

TEST_F(JsonEncodeTest, EntryListIsAnArray) {
    EXPECT_EQ(encode(std::vector<AuditEntry>{}), "[]");
    const std::string one = encode(minimalEntry());
    EXPECT_EQ(encode(std::vector<AuditEntry>{minimalEntry(), minimalEntry()}),
              "[" + one + "," + one + "]");
}

TEST_F(JsonEncodeTest, RequestForms) {
    EXPECT_EQ(encode(test::fullRequest()),
              R"({"approvalMethod":"auto","approver":"bob","argv":["ls","-l","\/var\/log"],)"
              R"("authMethod":"password","client":{"name":"bastorctl","version":"1.0"},"cwd":"\/",)"
              R"("id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","reason":"list logs",)"
              R"("resolvedPath":"\/usr\/bin\/ls","stdin":"input\n","timeoutSeconds":30})");
    EXPECT_EQ(encode(test::minimalRequest()),
              R"({"approvalMethod":"manual","argv":["true"],"client":{"name":"c","version":""},)"
              R"("cwd":"\/","id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","reason":"r",)"
              R"("resolvedPath":"\/usr\/bin\/true","timeoutSeconds":1})");
}

TEST_F(JsonEncodeTest, ResultForms) {
    BastorResult r{2147483647, "", "oops\n", true, false, 0, std::nullopt};
    EXPECT_EQ(
        encode(r),
        R"({"duration_ms":0,"exit_code":2147483647,"stderr":"oops\n","stderr_truncated":false,)"
        R"("stdout":"","stdout_truncated":true})");
    r.exitCode = -1;
    r.auditID = Uuid::parse("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11");
    EXPECT_EQ(
        encode(r),
        R"({"audit_id":"A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11","duration_ms":0,"exit_code":-1,)"
        R"("stderr":"oops\n","stderr_truncated":false,"stdout":"","stdout_truncated":true})");
}

TEST_F(JsonEncodeTest, SmallRecordForms) {
    EXPECT_EQ(encode(BastorState{true, false, false}),
              R"({"audit_enabled":false,"auto_approval":false,"enabled":true})");
    EXPECT_EQ(encode(BastorState{false, true, true}),
              R"({"audit_enabled":true,"auto_approval":true,"enabled":false})");
    EXPECT_EQ(encode(BastorVerification{true, 3, std::nullopt}), R"({"count":3,"intact":true})");
    EXPECT_EQ(encode(BastorVerification{false, 1, 0}),
              R"({"brokenSeq":0,"count":1,"intact":false})");
    EXPECT_EQ(encode(BastorClientInfo{"N", "v/1"}), R"({"name":"N","version":"v\/1"})");
}

TEST_F(JsonEncodeTest, StringEscapes) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"a/b", R"("a\/b")"},
        {"\"\\", R"("\"\\")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\0\x01\x1f ", 4), R"("\u0000\u0001\u001f ")"},
        {"\x7f", "\"\x7f\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},
        // Long enough for the block-at-a-time scan, escapes on both sides of a block edge.
        {"abcdefg/hijklmno\npqrstuvwxyz", R"("abcdefg\/hijklmno\npqrstuvwxyz")"},
        {"0123456789abcd\"\x1f/\xC3\xA9", R"("0123456789abcd\"\u001f\/)"
                                          "\xC3\xA9\""},
    };
    for (const auto& c : cases) {
        std::string out;
        BastorJSON::appendString(out, c.in);
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(JsonEncodeTest, ValuesWithoutAJsonFormAreRefusedAndLeaveTheBufferAlone) {
    AuditEntry badText = fullEntry();
    badText.stdout = "ok\xFF";
    AuditEntry badDate = minimalEntry();
    badDate.time = DateTime{std::chrono::seconds(253402300800)};  // year 10000

    for (const AuditEntry& entry : {badText, badDate}) {
        std::string buffer = "kept";
        EXPECT_THROW(BastorJSON::encodeInto(buffer, entry), BastorJSON::JsonError);
        EXPECT_EQ(buffer, "kept");
    }
    BastorRequest request = test::minimalRequest();
    request.argv = {"\xC3"};
    EXPECT_THROW((void)encode(request), BastorJSON::JsonError);
}

TEST_F(JsonEncodeTest, WriterSeparatesMembersAndElements) {
    std::string out;
    BastorJSON::JsonWriter w(out);
    w.beginObject();
    w.key("a");
    w.beginArray();
    w.integer(-5);
    w.string("x/y");
    w.boolean(true);
    w.null();
    w.beginObject();
    w.endObject();
    w.endArray();
    w.key("b");
    w.raw(R"({"c":1})");
    w.key("d");
    w.beginArray();
    w.endArray();
    w.endObject();
    EXPECT_EQ(out, R"({"a":[-5,"x\/y",true,null,{}],"b":{"c":1},"d":[]})");
}

}  // namespace
}  // namespace bastor
