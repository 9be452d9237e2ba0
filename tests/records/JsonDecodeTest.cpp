#include <gtest/gtest.h>

#include <stdexcept>

#include "BastorShared/records/BastorJSON.h"

namespace bastor {
namespace {

using BastorJSON::decode;

const std::string kEntry =
    R"({"argv":["ls"],"client":{"name":"n","version":"1"},"cwd":"/","event":"approved",)"
    R"("id":"0F8FAD5B-D9CB-469F-A165-70867728950E","prev_hash":"00","reason":"r",)"
    R"("request_id":"7C9E6679-7425-40DE-944B-E07FC1F90AE7","resolved_path":"/bin/ls","seq":1,)"
    R"("time":"2026-12-04T23:09:17Z"})";
const std::string kRequest =
    R"({"approvalMethod":"manual","argv":["ls"],"client":{"name":"n","version":"1"},"cwd":"/",)"
    R"("id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","reason":"r","resolvedPath":"/bin/ls",)"
    R"("timeoutSeconds":30})";
const std::string kResult =
    R"({"duration_ms":5,"exit_code":0,"stderr":"","stderr_truncated":false,"stdout":"",)"
    R"("stdout_truncated":false})";

// `base` with the first `from` replaced; a missing `from` is a broken test.
std::string edit(const std::string& base, std::string_view from, std::string_view to) {
    const auto at = base.find(from);
    if (at == std::string::npos) throw std::logic_error("test input lacks " + std::string(from));
    std::string out = base;
    out.replace(at, from.size(), to);
    return out;
}

enum class Kind { entry, entries, request, result, state, verification, client };

// The decoder's message, or "decoded" when it accepts the text.
std::string outcome(Kind kind, const std::string& json) {
    try {
        switch (kind) {
            case Kind::entry:
                (void)decode<AuditEntry>(json);
                break;
            case Kind::entries:
                (void)decode<std::vector<AuditEntry>>(json);
                break;
            case Kind::request:
                (void)decode<BastorRequest>(json);
                break;
            case Kind::result:
                (void)decode<BastorResult>(json);
                break;
            case Kind::state:
                (void)decode<BastorState>(json);
                break;
            case Kind::verification:
                (void)decode<BastorVerification>(json);
                break;
            case Kind::client:
                (void)decode<BastorClientInfo>(json);
                break;
        }
        return "decoded";
    } catch (const BastorJSON::JsonError& e) {
        return e.what();
    }
}

TEST(JsonDecodeTest, BaseInputsDecode) {
    EXPECT_EQ(outcome(Kind::entry, kEntry), "decoded");
    EXPECT_EQ(outcome(Kind::request, kRequest), "decoded");
    EXPECT_EQ(outcome(Kind::result, kResult), "decoded");
}

TEST(JsonDecodeTest, RefusalsNameTheKeyAndTheProblem) {
    const struct {
        Kind kind;
        std::string json;
        std::string message;
    } cases[] = {
        // Not JSON at all.
        {Kind::entry, "", "invalid JSON"},
        {Kind::entry, "{", "invalid JSON"},
        {Kind::request, kRequest + "x", "invalid JSON"},
        {Kind::request, edit(kRequest, "\"r\"", "\"caf\xC3\""), "UTF-8"},
        {Kind::request, edit(kRequest, "\"r\"", R"("\ud800")"), "invalid JSON"},
        {Kind::entry, "[]", "expected an object, found an array"},
        {Kind::entry, "null", "expected an object, found null"},
        {Kind::entries, "{}", "expected an array, found an object"},
        // Missing or null required keys.
        {Kind::entry, edit(kEntry, R"("prev_hash":"00",)", ""), R"(missing key "prev_hash")"},
        {Kind::entry, edit(kEntry, R"("prev_hash":"00")", R"("prev_hash":null)"),
         R"(key "prev_hash": expected a string, found null)"},
        {Kind::request, edit(kRequest, R"("id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)", ""),
         R"(missing key "id")"},
        {Kind::request, edit(kRequest, R"("approvalMethod":"manual",)", ""),
         R"(missing key "approvalMethod")"},
        {Kind::request, edit(kRequest, R"("version":"1")", R"("version":null)"),
         R"(key "client.version": expected a string, found null)"},
        {Kind::client, R"({"name":"n"})", R"(missing key "version")"},
        {Kind::result, edit(kResult, R"("stdout":"",)", ""), R"(missing key "stdout")"},
        {Kind::verification, R"({"count":1})", R"(missing key "intact")"},
        // Wrong JSON types.
        {Kind::request, edit(kRequest, R"(["ls"])", R"("ls")"),
         R"(key "argv": expected an array of strings, found a string)"},
        {Kind::request, edit(kRequest, R"(["ls"])", R"(["ls",1])"),
         R"(key "argv": element 1: expected a string, found an integer)"},
        {Kind::entry, edit(kEntry, R"("seq":1)", R"("seq":"1")"),
         R"(key "seq": expected an integer, found a string)"},
        {Kind::entry, edit(kEntry, R"({"name":"n","version":"1"})", "[]"),
         R"(key "client": expected an object, found an array)"},
        {Kind::result, edit(kResult, R"("stdout_truncated":false)", R"("stdout_truncated":0)"),
         R"(key "stdout_truncated": expected a boolean)"},
        {Kind::state, R"({"enabled":1})", R"(key "enabled": expected a boolean, found an integer)"},
        {Kind::state, R"({"enabled":"true"})", R"(key "enabled": expected a boolean)"},
        // Numbers that are not integers of the field's range.
        {Kind::request, edit(kRequest, ":30}", ":30.5}"),
         R"(key "timeoutSeconds": expected an integer, found a number with a fraction)"},
        {Kind::request, edit(kRequest, ":30}", ":1e3}"),
         R"(key "timeoutSeconds": expected an integer)"},
        {Kind::request, edit(kRequest, ":30}", ":3.0}"),
         R"(key "timeoutSeconds": expected an integer)"},
        {Kind::result, edit(kResult, R"("exit_code":0)", R"("exit_code":2147483648)"),
         R"(key "exit_code": integer out of the signed 32-bit range)"},
        {Kind::entry, edit(kEntry, R"("seq":1)", R"("seq":1,"exit_code":-2147483649)"),
         R"(key "exit_code": integer out of the signed 32-bit range)"},
        {Kind::entry, edit(kEntry, R"("seq":1)", R"("seq":9223372036854775808)"),
         R"(key "seq": integer out of the signed 64-bit range)"},
        {Kind::entry, edit(kEntry, R"("seq":1)", R"("seq":-9223372036854775809)"), "invalid JSON"},
        {Kind::entry, edit(kEntry, R"("seq":1)", R"("seq":1e19)"),
         R"(key "seq": integer out of the signed 64-bit range)"},
        // UUIDs.
        {Kind::entry, edit(kEntry, "0F8FAD5B-D9CB-469F-A165-70867728950E", "not-a-uuid"),
         R"(key "id": not a UUID)"},
        {Kind::entry,
         edit(kEntry, "7C9E6679-7425-40DE-944B-E07FC1F90AE7", "7C9E6679742540DE944BE07FC1F90AE7"),
         R"(key "request_id": not a UUID)"},
        {Kind::request,
         edit(kRequest, "6BA7B810-9DAD-11D1-80B4-00C04FD430C8",
              "{6BA7B810-9DAD-11D1-80B4-00C04FD430C}"),
         R"(key "id": not a UUID)"},
        {Kind::result, edit(kResult, "{", R"({"audit_id":"G0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11",)"),
         R"(key "audit_id": not a UUID)"},
        // Dates.
        {Kind::entry, edit(kEntry, "17Z", "17.5Z"), R"(key "time": not an ISO-8601 date-time)"},
        {Kind::entry, edit(kEntry, "17Z", "17"), R"(key "time": not an ISO-8601 date-time)"},
        {Kind::entry, edit(kEntry, "23:09:17Z", "24:00:00Z"), R"(key "time": not an ISO-8601)"},
        {Kind::entry, edit(kEntry, "2026-12-04", "2026-02-30"), R"(key "time": not an ISO-8601)"},
        {Kind::entry, edit(kEntry, R"("2026-12-04T23:09:17Z")", "1796425757"),
         R"(key "time": expected a string, found an integer)"},
        // Enumeration strings.
        {Kind::entry, edit(kEntry, R"("approved")", R"("timedOut")"),
         R"(key "event": unknown value "timedOut")"},
        {Kind::entry, edit(kEntry, R"("approved")", R"("TIMED_OUT")"),
         R"(key "event": unknown value)"},
        {Kind::entry, edit(kEntry, R"("approved")", R"("timed-out")"),
         R"(key "event": unknown value)"},
        {Kind::request, edit(kRequest, R"("manual")", R"("Auto")"),
         R"(key "approvalMethod": unknown value "Auto")"},
        {Kind::request, edit(kRequest, "{", R"({"authMethod":"face",)"),
         R"(key "authMethod": unknown value "face")"},
        {Kind::entry, edit(kEntry, "{", R"({"approval_method":1,)"),
         R"(key "approval_method": expected a string, found an integer)"},
        // A known key twice, even with the same value.
        {Kind::entry, edit(kEntry, R"("seq":1)", R"("seq":1,"seq":1)"),
         R"(key "seq" appears twice)"},
        {Kind::entry, edit(kEntry, "{", R"({"hash":null,)"), "decoded"},
        {Kind::entry, edit(kEntry, "{", R"({"hash":null,"hash":"x",)"),
         R"(key "hash" appears twice)"},
        {Kind::request, edit(kRequest, R"("name":"n")", R"("name":"n","name":"m")"),
         R"(key "client.name" appears twice)"},
        {Kind::state, R"({"enabled":true,"enabled":false})", R"(key "enabled" appears twice)"},
        // A bad element of an entry list names its position.
        {Kind::entries, "[" + kEntry + "," + edit(kEntry, R"("seq":1)", R"("seq":"x")") + "]",
         R"(key "[1].seq": expected an integer)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_NE(outcome(c.kind, c.json).find(c.message), std::string::npos)
            << "message: " << outcome(c.kind, c.json) << "\nexpected: " << c.message;
    }
}

TEST(JsonDecodeTest, UnknownKeysAreIgnoredAndNullOptionalsAreAbsent) {
    const std::string entryJson = edit(
        kEntry, "{",
        R"({"extra":{"deep":[1,2,{"x":null}]},"extra":2,"hash":null,"approver":null,"stdout":null,)"
        R"("exit_code":null,"auth_method":null,"HASH":"x",)");
    const AuditEntry e = decode<AuditEntry>(entryJson);
    EXPECT_FALSE(e.hash);
    EXPECT_FALSE(e.approver);
    EXPECT_FALSE(e.stdout);
    EXPECT_FALSE(e.exitCode);
    EXPECT_FALSE(e.authMethod);

    const BastorRequest r = decode<BastorRequest>(
        edit(kRequest, "{", R"({"stdin":null,"approver":null,"authMethod":null,"more":true,)"));
    EXPECT_FALSE(r.stdin);
    EXPECT_FALSE(r.approver);
    EXPECT_FALSE(r.authMethod);

    EXPECT_FALSE(decode<BastorResult>(edit(kResult, "{", R"({"audit_id":null,)")).auditID);
    EXPECT_FALSE(
        decode<BastorVerification>(R"({"brokenSeq":null,"count":2,"intact":true})").brokenSeq);
    EXPECT_EQ(decode<BastorClientInfo>(R"({"name":"a","version":"b","x":1})"),
              (BastorClientInfo{"a", "b"}));
}

TEST(JsonDecodeTest, AcceptedFormsAreNormalisedOnReEncode) {
    std::string json = edit(kEntry, "0F8FAD5B-D9CB-469F-A165-70867728950E",
                            "0f8fad5b-d9cb-469f-a165-70867728950e");
    json = edit(json, "2026-12-04T23:09:17Z", "2026-12-05T01:09:17+02:00");
    json = edit(json, R"("approved")", R"("timed_out")");
    json = edit(json, R"("seq":1)", R"("seq":-0)");
    const AuditEntry e = decode<AuditEntry>(json);
    EXPECT_EQ(e.event, BastorAuditEvent::timedOut);
    const std::string out = BastorJSON::encode(e);
    EXPECT_NE(out.find(R"("id":"0F8FAD5B-D9CB-469F-A165-70867728950E")"), std::string::npos);
    EXPECT_NE(out.find(R"("time":"2026-12-04T23:09:17Z")"), std::string::npos);
    EXPECT_NE(out.find(R"("seq":0)"), std::string::npos);

    EXPECT_EQ(decode<AuditEntry>(edit(kEntry, R"("approved")", R"("bastor_disabled")")).event,
              BastorAuditEvent::bastorDisabled);
    EXPECT_EQ(decode<BastorRequest>(edit(kRequest, R"("manual")", R"("auto")")).approvalMethod,
              BastorApprovalMethod::automatic);
}

TEST(JsonDecodeTest, StateTreatsMissingAndNullAsFalse) {
    EXPECT_EQ(decode<BastorState>("{}"), (BastorState{false, false, false}));
    EXPECT_EQ(decode<BastorState>(R"({"enabled":null,"audit_enabled":true,"x":1})"),
              (BastorState{false, false, true}));
    EXPECT_EQ(decode<BastorState>(R"({"auto_approval":true})"), (BastorState{false, true, false}));
}

TEST(JsonDecodeTest, ExitCodeBoundsSurvive) {
    EXPECT_EQ(decode<BastorResult>(edit(kResult, R"("exit_code":0)", R"("exit_code":-2147483648)"))
                  .exitCode,
              INT32_MIN);
    EXPECT_EQ(decode<AuditEntry>(edit(kEntry, R"("seq":1)", R"("seq":9223372036854775807)")).seq,
              INT64_MAX);
}

}  // namespace
}  // namespace bastor
