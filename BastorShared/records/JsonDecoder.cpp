#include "BastorShared/records/BastorJSON.h"

#include <simdjson.h>

#include <cmath>
#include <cstring>

#include "BastorShared/records/JsonKeys.h"

namespace bastor::BastorJSON {

namespace {

using namespace detail;

using simdjson::dom::element;
using simdjson::dom::element_type;

// The name of a value for messages; `parent` is set inside nested objects.
struct Key {
    std::string_view parent;
    std::string_view name;
};

std::string quoted(Key key) {
    std::string text = "\"";
    if (!key.parent.empty()) {
        text.append(key.parent);
        text += '.';
    }
    text.append(key.name);
    text += '"';
    return text;
}

[[noreturn]] void fail(std::string_view problem) {
    throw JsonError("invalid JSON: " + std::string(problem));
}

[[noreturn]] void failAt(Key key, std::string_view problem) {
    fail("key " + quoted(key) + ": " + std::string(problem));
}

const char* describe(element value) {
    switch (value.type()) {
        case element_type::ARRAY:
            return "an array";
        case element_type::OBJECT:
            return "an object";
        case element_type::INT64:
            return "an integer";
        case element_type::UINT64:
            return "an integer";
        case element_type::DOUBLE:
            return "a number with a fraction or exponent";
        case element_type::STRING:
            return "a string";
        case element_type::BOOL:
            return "a boolean";
        case element_type::NULL_VALUE:
            return "null";
    }
    return "an unknown value";
}

[[noreturn]] void wrongType(Key key, std::string_view expected, element value) {
    failAt(key, "expected " + std::string(expected) + ", found " + describe(value));
}

std::string_view readString(Key key, element value) {
    std::string_view text;
    if (value.get_string().get(text)) wrongType(key, "a string", value);
    return text;
}

std::int64_t readInt64(Key key, element value) {
    switch (value.type()) {
        case element_type::INT64:
            return value.get_int64().value_unsafe();
        case element_type::UINT64:
            failAt(key, "integer out of the signed 64-bit range");
        case element_type::DOUBLE: {
            const double d = value.get_double().value_unsafe();
            if (std::trunc(d) == d && std::fabs(d) >= 9.2e18)
                failAt(key, "integer out of the signed 64-bit range");
            wrongType(key, "an integer", value);
        }
        default:
            wrongType(key, "an integer", value);
    }
}

std::int32_t readInt32(Key key, element value) {
    const std::int64_t n = readInt64(key, value);
    if (n < INT32_MIN || n > INT32_MAX) failAt(key, "integer out of the signed 32-bit range");
    return static_cast<std::int32_t>(n);
}

bool readBool(Key key, element value) {
    bool flag = false;
    if (value.get_bool().get(flag)) wrongType(key, "a boolean", value);
    return flag;
}

Uuid readUuid(Key key, element value) {
    const auto id = Uuid::parse(readString(key, value));
    if (!id) failAt(key, "not a UUID");
    return *id;
}

DateTime readDate(Key key, element value) {
    const auto time = parseDateTime(readString(key, value));
    if (!time) failAt(key, "not an ISO-8601 date-time such as 2026-12-04T23:09:17Z");
    return *time;
}

template <class Enum>
Enum readEnum(Key key, element value) {
    const std::string_view text = readString(key, value);
    const auto parsed = fromRawValue<Enum>(text);
    if (!parsed) failAt(key, "unknown value \"" + std::string(text) + "\"");
    return *parsed;
}

std::vector<std::string> readStrings(Key key, element value) {
    simdjson::dom::array array;
    if (value.get_array().get(array)) wrongType(key, "an array of strings", value);
    std::vector<std::string> strings;
    strings.reserve(array.size());
    for (element item : array) {
        std::string_view text;
        if (item.get_string().get(text))
            failAt(key, "element " + std::to_string(strings.size()) +
                            ": expected a string, found " + describe(item));
        strings.emplace_back(text);
    }
    return strings;
}

template <class T, class Read>
void readOptional(std::optional<T>& field, Key key, element value, Read read) {
    if (value.is_null())
        field.reset();
    else
        field = read(key, value);
}

void readOptionalString(std::optional<std::string>& field, Key key, element value) {
    if (value.is_null())
        field.reset();
    else
        field.emplace(readString(key, value));
}
// Calls handle(index, value) for every known member; refuses a known key given
// twice and a missing required one. Unknown members are skipped.
template <std::size_t N, class Handle>
void readMembers(element value, Key self, const KeyTable<N>& table, std::uint32_t required,
                 Handle&& handle) {
    static_assert(N <= 32);
    simdjson::dom::object object;
    if (value.get_object().get(object)) {
        if (self.name.empty()) fail(std::string("expected an object, found ") + describe(value));
        wrongType(self, "an object", value);
    }
    std::uint32_t seen = 0;
    for (simdjson::dom::key_value_pair member : object) {
        const int i = table.find(member.key);
        if (i < 0) continue;
        const std::uint32_t bit = 1u << i;
        if (seen & bit) fail("key " + quoted({self.name, table.name(i)}) + " appears twice");
        seen |= bit;
        handle(i, member.value);
    }
    if (const std::uint32_t missing = required & ~seen) {
        const int first = __builtin_ctz(missing);
        fail("missing key " + quoted({self.name, table.name(first)}));
    }
}

simdjson::dom::parser& threadParser() {
    thread_local simdjson::dom::parser parser;
    return parser;
}

// Parses with one reusable parser per thread; the element lives until the
// thread's next parse.
element parse(std::string_view json) {
    element root;
    if (const auto error = threadParser().parse(json.data(), json.size(), true).get(root))
        fail(simdjson::error_message(error));
    return root;
}

}  // namespace

void releaseThreadBuffers() {
    constexpr std::size_t kKeptCapacity = 1u << 20;
    if (threadParser().capacity() > kKeptCapacity) threadParser() = simdjson::dom::parser();
}

namespace {

// ------------------------------------------------------------ record forms

constexpr KeyTable<2> kClientKeys({"name", "version"});

BastorClientInfo readClient(Key key, element value) {
    BastorClientInfo client;
    readMembers(value, key, kClientKeys, maskOf({0, 1}), [&](int i, element v) {
        const Key at{key.name, kClientKeys.name(i)};
        if (i == 0)
            client.name = readString(at, v);
        else
            client.version = readString(at, v);
    });
    return client;
}

enum StateKey { kAuditEnabled, kAutoApproval, kEnabled };
constexpr KeyTable<3> kStateKeys({"audit_enabled", "auto_approval", "enabled"});

enum RequestKey {
    kReqApprovalMethod,
    kReqApprover,
    kReqArgv,
    kReqAuthMethod,
    kReqClient,
    kReqCwd,
    kReqId,
    kReqReason,
    kReqResolvedPath,
    kReqStdin,
    kReqTimeoutSeconds,
};
constexpr KeyTable<11> kRequestKeys({"approvalMethod", "approver", "argv", "authMethod", "client",
                                     "cwd", "id", "reason", "resolvedPath", "stdin",
                                     "timeoutSeconds"});
constexpr std::uint32_t kRequestRequired =
    maskOf({kReqApprovalMethod, kReqArgv, kReqClient, kReqCwd, kReqId, kReqReason, kReqResolvedPath,
            kReqTimeoutSeconds});

enum ResultKey {
    kResAuditId,
    kResDurationMs,
    kResExitCode,
    kResStderr,
    kResStderrTruncated,
    kResStdout,
    kResStdoutTruncated,
};
constexpr KeyTable<7> kResultKeys({"audit_id", "duration_ms", "exit_code", "stderr",
                                   "stderr_truncated", "stdout", "stdout_truncated"});
constexpr std::uint32_t kResultRequired =
    maskOf({kResDurationMs, kResExitCode, kResStderr, kResStderrTruncated, kResStdout,
            kResStdoutTruncated});

enum VerificationKey { kVerBrokenSeq, kVerCount, kVerIntact };
constexpr KeyTable<3> kVerificationKeys({"brokenSeq", "count", "intact"});
constexpr std::uint32_t kVerificationRequired = maskOf({kVerCount, kVerIntact});

AuditEntry readAuditEntry(element value, std::string_view context) {
    AuditEntry e;
    readMembers(value, {{}, context}, kAuditKeys, kAuditRequired, [&](int i, element v) {
        const Key key{context, kAuditKeys.name(i)};
        switch (static_cast<AuditKey>(i)) {
            case kApprovalMethod:
                readOptional(e.approvalMethod, key, v, readEnum<BastorApprovalMethod>);
                break;
            case kApprover:
                readOptionalString(e.approver, key, v);
                break;
            case kArgv:
                e.argv = readStrings(key, v);
                break;
            case kAuthMethod:
                readOptional(e.authMethod, key, v, readEnum<BastorAuthMethod>);
                break;
            case kClient:
                e.client = readClient(key, v);
                break;
            case kCwd:
                e.cwd = readString(key, v);
                break;
            case kDurationMs:
                readOptional(e.durationMs, key, v, readInt64);
                break;
            case kError:
                readOptionalString(e.error, key, v);
                break;
            case kEvent:
                e.event = readEnum<BastorAuditEvent>(key, v);
                break;
            case kExitCode:
                readOptional(e.exitCode, key, v, readInt32);
                break;
            case kHash:
                readOptionalString(e.hash, key, v);
                break;
            case kId:
                e.id = readUuid(key, v);
                break;
            case kPrevHash:
                e.prevHash = readString(key, v);
                break;
            case kReason:
                e.reason = readString(key, v);
                break;
            case kRequestId:
                e.requestID = readUuid(key, v);
                break;
            case kResolvedPath:
                e.resolvedPath = readString(key, v);
                break;
            case kSeq:
                e.seq = readInt64(key, v);
                break;
            case kStderr:
                readOptionalString(e.stderr, key, v);
                break;
            case kStderrBytes:
                readOptional(e.stderrBytes, key, v, readInt64);
                break;
            case kStderrSha256:
                readOptionalString(e.stderrSHA256, key, v);
                break;
            case kStdinBytes:
                readOptional(e.stdinBytes, key, v, readInt64);
                break;
            case kStdinSha256:
                readOptionalString(e.stdinSHA256, key, v);
                break;
            case kStdout:
                readOptionalString(e.stdout, key, v);
                break;
            case kStdoutBytes:
                readOptional(e.stdoutBytes, key, v, readInt64);
                break;
            case kStdoutSha256:
                readOptionalString(e.stdoutSHA256, key, v);
                break;
            case kTime:
                e.time = readDate(key, v);
                break;
        }
    });
    return e;
}
}  // namespace

template <>
BastorState decode<BastorState>(std::string_view json) {
    BastorState state;
    readMembers(parse(json), {}, kStateKeys, 0, [&](int i, element v) {
        const Key key{{}, kStateKeys.name(i)};
        const bool flag = v.is_null() ? false : readBool(key, v);
        switch (static_cast<StateKey>(i)) {
            case kAuditEnabled:
                state.auditEnabled = flag;
                break;
            case kAutoApproval:
                state.autoApproval = flag;
                break;
            case kEnabled:
                state.enabled = flag;
                break;
        }
    });
    return state;
}

template <>
BastorClientInfo decode<BastorClientInfo>(std::string_view json) {
    return readClient({}, parse(json));
}

template <>
BastorRequest decode<BastorRequest>(std::string_view json) {
    BastorRequest r;
    readMembers(parse(json), {}, kRequestKeys, kRequestRequired, [&](int i, element v) {
        const Key key{{}, kRequestKeys.name(i)};
        switch (static_cast<RequestKey>(i)) {
            case kReqApprovalMethod:
                r.approvalMethod = readEnum<BastorApprovalMethod>(key, v);
                break;
            case kReqApprover:
                readOptionalString(r.approver, key, v);
                break;
            case kReqArgv:
                r.argv = readStrings(key, v);
                break;
            case kReqAuthMethod:
                readOptional(r.authMethod, key, v, readEnum<BastorAuthMethod>);
                break;
            case kReqClient:
                r.client = readClient(key, v);
                break;
            case kReqCwd:
                r.cwd = readString(key, v);
                break;
            case kReqId:
                r.id = readUuid(key, v);
                break;
            case kReqReason:
                r.reason = readString(key, v);
                break;
            case kReqResolvedPath:
                r.resolvedPath = readString(key, v);
                break;
            case kReqStdin:
                readOptionalString(r.stdin, key, v);
                break;
            case kReqTimeoutSeconds:
                r.timeoutSeconds = readInt64(key, v);
                break;
        }
    });
    return r;
}

template <>
BastorResult decode<BastorResult>(std::string_view json) {
    BastorResult r;
    readMembers(parse(json), {}, kResultKeys, kResultRequired, [&](int i, element v) {
        const Key key{{}, kResultKeys.name(i)};
        switch (static_cast<ResultKey>(i)) {
            case kResAuditId:
                readOptional(r.auditID, key, v, readUuid);
                break;
            case kResDurationMs:
                r.durationMs = readInt64(key, v);
                break;
            case kResExitCode:
                r.exitCode = readInt32(key, v);
                break;
            case kResStderr:
                r.stderr = readString(key, v);
                break;
            case kResStderrTruncated:
                r.stderrTruncated = readBool(key, v);
                break;
            case kResStdout:
                r.stdout = readString(key, v);
                break;
            case kResStdoutTruncated:
                r.stdoutTruncated = readBool(key, v);
                break;
        }
    });
    return r;
}

template <>
AuditEntry decode<AuditEntry>(std::string_view json) {
    return readAuditEntry(parse(json), {});
}

template <>
BastorVerification decode<BastorVerification>(std::string_view json) {
    BastorVerification v;
    readMembers(parse(json), {}, kVerificationKeys, kVerificationRequired, [&](int i, element e) {
        const Key key{{}, kVerificationKeys.name(i)};
        switch (static_cast<VerificationKey>(i)) {
            case kVerBrokenSeq:
                readOptional(v.brokenSeq, key, e, readInt64);
                break;
            case kVerCount:
                v.count = readInt64(key, e);
                break;
            case kVerIntact:
                v.intact = readBool(key, e);
                break;
        }
    });
    return v;
}

template <>
std::vector<AuditEntry> decode<std::vector<AuditEntry>>(std::string_view json) {
    simdjson::dom::array array;
    const element root = parse(json);
    if (root.get_array().get(array))
        fail(std::string("expected an array, found ") + describe(root));
    std::vector<AuditEntry> entries;
    entries.reserve(array.size());
    for (element item : array)
        entries.push_back(readAuditEntry(item, "[" + std::to_string(entries.size()) + "]"));
    return entries;
}

}  // namespace bastor::BastorJSON
