#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "BastorShared/records/BastorJSON.h"

namespace {
using namespace bastor;
using BastorJSON::decode;
using BastorJSON::encode;

std::string hex(char c) {
    return std::string(64, c);
}

// Every key present; strings with every escape, raw non-ASCII text and an empty value.
const std::string kFullEntry =
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
// AuditEntry{}: only the required keys, empty strings kept.
const std::string kEmptyEntry =
    R"({"argv":[],"client":{"name":"","version":""},"cwd":"","event":"requested",)"
    R"("id":"00000000-0000-0000-0000-000000000000","prev_hash":"","reason":"",)"
    R"("request_id":"00000000-0000-0000-0000-000000000000","resolved_path":"","seq":0,)"
    R"("time":"1970-01-01T00:00:00Z"})";
const std::string kRequest =
    R"({"approvalMethod":"manual","argv":["ls"],"client":{"name":"n","version":"1"},"cwd":"\/",)"
    R"("id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","reason":"r","resolvedPath":"\/bin\/ls",)"
    R"("timeoutSeconds":30})";
const std::string kResult =
    R"({"duration_ms":5,"exit_code":0,"stderr":"","stderr_truncated":false,"stdout":"",)"
    R"("stdout_truncated":false})";

// The record encodes to exactly `json`, and `json` decodes to a record that encodes the same.
template <class T>
void expectForm(const T& record, const std::string& json) {
    EXPECT_EQ(encode(record), json);
    EXPECT_EQ(encode(decode<T>(json)), json);
}

TEST(JsonTest, EveryRecordHasOneByteExactForm) {
    setenv("TZ", "Asia/Kolkata", 1);  // dates must not follow the process's time zone
    tzset();
    const AuditEntry full = decode<AuditEntry>(kFullEntry);
    EXPECT_EQ(full.authMethod, BastorAuthMethod::biometry);  // the strings are not swapped
    expectForm(full, kFullEntry);
    expectForm(AuditEntry{}, kEmptyEntry);
    expectForm(std::vector<AuditEntry>{}, "[]");
    expectForm(std::vector{full, AuditEntry{}}, "[" + kFullEntry + "," + kEmptyEntry + "]");
    const std::string fullRequest =
        R"({"approvalMethod":"auto","approver":"bob","argv":["ls","-l","\/var\/log"],)"
        R"("authMethod":"password","client":{"name":"bastorctl","version":"1.0"},)"
        R"("cwd":"\/","id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","reason":"list logs",)"
        R"("resolvedPath":"\/usr\/bin\/ls","stdin":"input\n","timeoutSeconds":30})";
    expectForm(decode<BastorRequest>(fullRequest), fullRequest);
    expectForm(
        BastorResult{-1, "o", "", false, true, 9, full.id},
        R"({"audit_id":"0F8FAD5B-D9CB-469F-A165-70867728950E","duration_ms":9,"exit_code":-1,)"
        R"("stderr":"","stderr_truncated":true,"stdout":"o","stdout_truncated":false})");
    expectForm(BastorState{true, false, false},
               R"({"audit_enabled":false,"auto_approval":false,"enabled":true})");
    expectForm(BastorVerification{false, 1, 0}, R"({"brokenSeq":0,"count":1,"intact":false})");
}

// Escapes on both sides of a 16-byte block's edge, and text that grows six-fold when escaped.
TEST(JsonTest, StringEscapesAcrossBlocks) {
    std::string text;
    BastorJSON::appendString(text, "abcdefg/hijklmno\npqrstuvwxyz");
    BastorJSON::appendString(text, "0123456789abcd\"\x1f/\xC3\xA9");
    EXPECT_EQ(text, R"("abcdefg\/hijklmno\npqrstuvwxyz""0123456789abcd\"\u001f\/)"
                    "\xC3\xA9\"");
    EXPECT_EQ(BastorJSON::stringSize("abcdefg/hijklmno\npqrstuvwxyz") +
                  BastorJSON::stringSize("0123456789abcd\"\x1f/\xC3\xA9"),
              text.size());
    std::string every(3000, '\x01');
    for (int c = 0; c < 0x80; ++c)
        every += static_cast<char>(c);
    EXPECT_EQ(decode<BastorClientInfo>(encode(BastorClientInfo{every, every})).version, every);
    std::string escaped;
    BastorJSON::appendString(escaped, every);
    EXPECT_EQ(BastorJSON::stringSize(every), escaped.size());
}

TEST(JsonTest, ValuesWithoutAJsonFormAreRefusedAndLeaveTheBufferAlone) {
    std::vector<AuditEntry> bad(3, decode<AuditEntry>(kFullEntry));
    bad[0].stdout = "\xFF is in the first sixteen bytes";
    bad[1].time = DateTime{std::chrono::seconds(253402300800)};  // year 10000
    bad[2].time = DateTime{std::chrono::seconds(-62167219201)};  // year -1
    std::string buffer = "kept";
    for (const AuditEntry& entry : bad) {
        EXPECT_THROW(BastorJSON::encodeInto(buffer, entry), BastorJSON::JsonError);
        EXPECT_EQ(buffer, "kept");
    }
    BastorJSON::encodeInto(buffer, AuditEntry{});
    EXPECT_EQ(buffer, "kept" + kEmptyEntry);
}

TEST(JsonTest, AStringWithABadByteAtAnyOffsetIsRefused) {
    for (std::size_t at = 0; at < 40; ++at) {
        std::string text(40, 'a'), out;
        text[at] = '\xFF';
        EXPECT_THROW(BastorJSON::appendString(out, text), BastorJSON::JsonError) << at;
    }
}

// `base` with the first `from` replaced; a missing `from` is a broken test.
std::string edit(const std::string& base, std::string_view from, std::string_view to) {
    const auto at = base.find(from);
    if (at == std::string::npos) throw std::logic_error("test input lacks " + std::string(from));
    return std::string(base).replace(at, from.size(), to);
}

// The decoder's message, or the decoded record encoded again.
template <class T>
std::string outcome(const std::string& json) {
    try {
        return encode(decode<T>(json));
    } catch (const BastorJSON::JsonError& e) {
        return e.what();
    }
}
constexpr auto entry = outcome<AuditEntry>;
constexpr auto entries = outcome<std::vector<AuditEntry>>;
constexpr auto request = outcome<BastorRequest>;
constexpr auto result = outcome<BastorResult>;
constexpr auto state = outcome<BastorState>;
constexpr auto verification = outcome<BastorVerification>;

// Each row expects a piece of the refusal's message, or the canonical text an accepted form
// normalises to.
TEST(JsonTest, DecodingRefusesWithKeyAndProblemOrNormalises) {
    const std::string seq = R"("seq":0)";
    const struct {
        std::string (*decode)(const std::string&);
        std::string json;
        std::string expected;
    } cases[] = {
        // Not JSON, or not the expected shape.
        {entry, "{", "invalid JSON"},
        {request, edit(kRequest, R"("r")", "\"caf\xC3\""), "UTF-8"},
        {entry, "[]", "expected an object, found an array"},
        {entries, "{}", "expected an array, found an object"},
        // Missing or null required keys.
        {entry, edit(kEmptyEntry, R"("prev_hash":"",)", ""), R"(missing key "prev_hash")"},
        {entry, edit(kEmptyEntry, R"("cwd":"")", R"("cwd":null)"), R"("cwd": expected a string)"},
        {request, edit(kRequest, R"("1")", "null"), R"("client.version": expected a string)"},
        // Wrong types.
        {request, edit(kRequest, R"(["ls"])", "{}"), R"("argv": expected an array of strings)"},
        {request, edit(kRequest, R"(["ls"])", R"(["ls",1])"), R"("argv": element 1: expected a)"},
        {entry, edit(kEmptyEntry, seq, R"("seq":"0")"), R"("seq": expected an integer, found a)"},
        {state, R"({"enabled":1})", R"("enabled": expected a boolean, found an integer)"},
        // Integers: no fraction or exponent, and within the field's range.
        {request, edit(kRequest, ":30}", ":30.5}"), R"("timeoutSeconds": expected an integer)"},
        {result, edit(kResult, ":0,", ":2147483648,"), R"("exit_code": integer out of the)"},
        {result, edit(kResult, ":0,", ":-2147483649,"), "out of the signed 32-bit range"},
        {result, edit(kResult, ":0,", ":-2147483648,"), R"("exit_code":-2147483648,)"},
        {entry, edit(kEmptyEntry, seq, R"("seq":9223372036854775808)"), "signed 64-bit range"},
        // UUIDs in either case; dates with "Z" or an offset; exact enumeration strings.
        {entry, edit(kEmptyEntry, "00000000-", "0000000g-"), R"(key "id": not a UUID)"},
        {entry, edit(kFullEntry, "7C9E6679-7425-40DE", "7c9e6679-7425-40de"), kFullEntry},
        {entry, edit(kEmptyEntry, "00Z", "00.5Z"), R"(key "time": not an ISO-8601 date-time)"},
        {entry, edit(kFullEntry, "2026-12-04T23:09:17Z", "2026-12-05T01:09:17+02:00"), kFullEntry},
        {entry, edit(kEmptyEntry, "requested", "timedOut"), R"("event": unknown value "timedOut")"},
        {request, edit(kRequest, "manual", "Auto"), R"("approvalMethod": unknown value "Auto")"},
        // A known key twice, even when the first is null.
        {entry, edit(kEmptyEntry, seq, R"("seq":0,"seq":0)"), R"(key "seq" appears twice)"},
        {entry, edit(kEmptyEntry, "{", R"({"hash":null,"hash":"x",)"), R"("hash" appears twice)"},
        {request, edit(kRequest, R"("n")", R"("n","name":"m")"), R"("client.name" appears twice)"},
        // A bad element of an entry list names its position.
        {entries, "[" + kEmptyEntry + "," + edit(kEmptyEntry, "00000000-", "") + "]", "\"[1].id\""},
        // Unknown keys are ignored; a null optional is absent; a state switch defaults to off.
        {entry,
         edit(kEmptyEntry, "{",
              R"({"approval_method":null,"approver":null,"auth_method":null,"duration_ms":null,)"
              R"("error":null,"exit_code":null,"hash":null,"stderr":null,"stderr_bytes":null,)"
              R"("stderr_sha256":null,"stdin_bytes":null,"stdin_sha256":null,"stdout":null,)"
              R"("stdout_bytes":null,"stdout_sha256":null,"x":{"y":[1,{"z":2}]},"HASH":"x",)"),
         kEmptyEntry},
        {request, edit(kRequest, "{", R"({"stdin":null,"approver":null,"authMethod":null,)"),
         kRequest},
        {result, edit(kResult, "{", R"({"audit_id":null,"x":1,)"), kResult},
        {verification, R"({"brokenSeq":null,"count":2,"intact":true})",
         R"({"count":2,"intact":true})"},
        {state, R"({"enabled":null,"x":1})",
         R"({"audit_enabled":false,"auto_approval":false,"enabled":false})"},
        {state, R"({"auto_approval":true})",
         R"({"audit_enabled":false,"auto_approval":true,"enabled":false})"},
    };
    for (const auto& c : cases) {
        const std::string actual = c.decode(c.json);
        EXPECT_NE(actual.find(c.expected), std::string::npos)
            << "input: " << c.json << "\nfound: " << actual << "\nexpected: " << c.expected;
    }
}

}  // namespace
