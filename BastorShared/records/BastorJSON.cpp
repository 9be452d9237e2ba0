#include "BastorShared/records/BastorJSON.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bastor::BastorJSON {

namespace {

// ---------------------------------------------------------------- encoding

// For each byte: 0 when written as it is, the letter of its short escape, or
// 'u' for the \u00XX form.
constexpr std::array<char, 256> kEscapes = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = 'u';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    return table;
}();

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendBool(std::string& out, bool value) {
    out.append(value ? "true" : "false");
}

// Writes through a pointer into a string kept longer than its content, so a
// piece costs one bounds check rather than a library call per character.
// finish() cuts the string to what was written; on an exception the owner
// cuts it back itself.
class Sink {
  public:
    Sink(std::string& out, std::size_t expected) : out_(out) {
        const std::size_t used = out_.size();
        out_.resize(used + expected + kSlack);
        at_ = out_.data() + used;
        end_ = out_.data() + out_.size();
    }

    // Where to write at least n bytes; commit() the end of what was written.
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - at_) < n) grow(n);
        return at_;
    }
    char* room(char* at, std::size_t n) {
        at_ = at;
        return room(n);
    }
    void commit(char* at) { at_ = at; }
    [[nodiscard]] const char* limit() const { return end_; }

    void put(char c) {
        *room(1) = c;
        ++at_;
    }
    void put(std::string_view text) {
        char* at = room(text.size());
        std::memcpy(at, text.data(), text.size());
        at_ = at + text.size();
    }

    void finish() { out_.resize(static_cast<std::size_t>(at_ - out_.data())); }

  private:
    static constexpr std::size_t kSlack = 64;

    void grow(std::size_t n) {
        const auto used = static_cast<std::size_t>(at_ - out_.data());
        out_.resize(std::max(out_.size() * 2, used + n + kSlack));
        at_ = out_.data() + used;
        end_ = out_.data() + out_.size();
    }

    std::string& out_;
    char* at_ = nullptr;
    char* end_ = nullptr;
};

char* writeEscape(char* at, unsigned char c) {
    const char escape = kEscapes[c];
    at[0] = '\\';
    if (escape != 'u') {
        at[1] = escape;
        return at + 2;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    at[1] = 'u';
    at[2] = '0';
    at[3] = '0';
    at[4] = kHex[c >> 4];
    at[5] = kHex[c & 0x0f];
    return at + 6;
}

// What a string writer keeps free beyond the input still to copy: a whole
// block is stored before it is known how much of it counts, then an escape
// and the closing quote.
constexpr std::size_t kStringAhead = 16 + 6 + 1;

void writeString(Sink& sink, std::string_view value) {
    const char* p = value.data();
    const char* const end = p + value.size();
    char* at = sink.room(value.size() + 1 + kStringAhead);
    *at++ = '"';
    bool nonAscii = false;
    const auto escape = [&](unsigned char c) {
        const auto rest = static_cast<std::size_t>(end - p);
        if (static_cast<std::size_t>(sink.limit() - at) < rest + 5 + kStringAhead)
            at = sink.room(at, 2 * rest + 5 + kStringAhead);
        at = writeEscape(at, c);
    };
#if defined(__SSE2__)
    // Sixteen bytes at a time, stored whole and cut at the first byte that
    // needs an escape; most blocks have none.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i lastControl = _mm_set1_epi8(0x1f);
    __m128i seen = _mm_setzero_si128();
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
        seen = _mm_or_si128(seen, v);
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                         _mm_or_si128(_mm_cmpeq_epi8(v, slash),
                                      _mm_cmpeq_epi8(_mm_min_epu8(v, lastControl), v)));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (mask == 0) {
            p += 16;
            at += 16;
            continue;
        }
        const int clean = __builtin_ctz(mask);
        p += clean;
        at += clean;
        escape(static_cast<unsigned char>(*p));
        ++p;
    }
    nonAscii = _mm_movemask_epi8(seen) != 0;
#endif
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        nonAscii |= c >= 0x80;
        if (kEscapes[c] != 0)
            escape(c);
        else
            *at++ = static_cast<char>(c);
    }
    *at++ = '"';
    sink.commit(at);
    if (nonAscii && !simdjson::validate_utf8(value.data(), value.size()))
        throw JsonError("cannot encode JSON: a string is not valid UTF-8");
}

void appendInteger(Sink& sink, std::int64_t value) {
    char* at = sink.room(24);
    sink.commit(std::to_chars(at, at + 24, value).ptr);
}

void appendBool(Sink& sink, bool value) {
    sink.put(value ? std::string_view("true") : std::string_view("false"));
}

// The instants that have a four-digit-year form.
constexpr std::int64_t kEarliestDate = -62167219200;  // 0000-01-01T00:00:00Z
constexpr std::int64_t kLatestDate = 253402300799;    // 9999-12-31T23:59:59Z

void appendDate(Sink& sink, DateTime time) {
    const auto seconds = time.time_since_epoch().count();
    if (seconds < kEarliestDate || seconds > kLatestDate)
        throw JsonError("cannot encode JSON: a date lies outside the years 0000 to 9999");
    char* at = sink.room(kDateTimeLength + 2);
    *at = '"';
    writeDateTime(at + 1, time);
    at[kDateTimeLength + 1] = '"';
    sink.commit(at + kDateTimeLength + 2);
}

void appendUuid(Sink& sink, const Uuid& id) {
    char* at = sink.room(Uuid::kTextLength + 2);
    *at = '"';
    id.writeText(at + 1);
    at[Uuid::kTextLength + 1] = '"';
    sink.commit(at + Uuid::kTextLength + 2);
}

void appendStrings(Sink& sink, const std::vector<std::string>& values) {
    sink.put('[');
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) sink.put(',');
        writeString(sink, values[i]);
    }
    sink.put(']');
}

template <class Enum>
void appendEnum(Sink& sink, Enum value) {
    const std::string_view text = rawValue(value);
    char* at = sink.room(text.size() + 2);
    *at++ = '"';
    std::memcpy(at, text.data(), text.size());
    at += text.size();
    *at++ = '"';
    sink.commit(at);
}

// Writes the members of one object; keys are plain ASCII and come in order.
class Members {
  public:
    explicit Members(Sink& sink) : sink_(sink) { sink_.put('{'); }
    Sink& key(std::string_view name) {
        char* at = sink_.room(name.size() + 4);
        if (!first_) *at++ = ',';
        first_ = false;
        *at++ = '"';
        std::memcpy(at, name.data(), name.size());
        at += name.size();
        *at++ = '"';
        *at++ = ':';
        sink_.commit(at);
        return sink_;
    }
    void end() { sink_.put('}'); }

  private:
    Sink& sink_;
    bool first_ = true;
};

void appendClient(Sink& sink, const BastorClientInfo& client) {
    Members m(sink);
    writeString(m.key("name"), client.name);
    writeString(m.key("version"), client.version);
    m.end();
}

// Text that may need escapes is given an eighth more room, enough for most
// command output; the writer grows the buffer when it is not.
std::size_t sizeHint(const std::string& value) {
    return value.size() + value.size() / 8;
}

std::size_t sizeHint(const std::vector<std::string>& values) {
    std::size_t size = 0;
    for (const auto& v : values)
        size += sizeHint(v) + 3;
    return size;
}

std::size_t sizeHint(const std::optional<std::string>& value) {
    return value ? sizeHint(*value) : 0;
}

// ---------------------------------------------------------------- decoding

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

// Finds a record's keys by length first; no record has more than three keys
// of one length, so a lookup is a switch and a few compares.
template <std::size_t N>
class KeyTable {
  public:
    static constexpr std::size_t kMaxLength = 24;

    constexpr explicit KeyTable(const std::array<std::string_view, N>& keys) : keys_(keys) {
        for (std::size_t i = 0; i < N; ++i) {
            const std::size_t length = keys[i].size();
            if (length > kMaxLength) throw "key too long";
            ++count_[length];
        }
        std::size_t next = 0;
        for (std::size_t length = 0; length <= kMaxLength; ++length) {
            start_[length] = next;
            next += count_[length];
        }
        std::array<std::size_t, kMaxLength + 1> fill = start_;
        for (std::size_t i = 0; i < N; ++i)
            order_[fill[keys[i].size()]++] = static_cast<int>(i);
        for (std::size_t i = 0; i + 1 < N; ++i)
            if (!(keys[i] < keys[i + 1])) throw "keys must be in ascending order";
    }

    [[nodiscard]] int find(std::string_view key) const {
        if (key.size() > kMaxLength) return -1;
        const std::size_t begin = start_[key.size()];
        const std::size_t end = begin + count_[key.size()];
        for (std::size_t j = begin; j < end; ++j) {
            const int i = order_[j];
            if (std::memcmp(keys_[i].data(), key.data(), key.size()) == 0) return i;
        }
        return -1;
    }

    [[nodiscard]] std::string_view name(int i) const { return keys_[i]; }
    [[nodiscard]] static constexpr std::size_t size() { return N; }

  private:
    std::array<std::string_view, N> keys_{};
    std::array<std::size_t, kMaxLength + 1> start_{};
    std::array<std::size_t, kMaxLength + 1> count_{};
    std::array<int, N> order_{};
};

constexpr std::uint32_t maskOf(std::initializer_list<int> indices) {
    std::uint32_t mask = 0;
    for (int i : indices)
        mask |= 1u << i;
    return mask;
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

// Parses with one reusable parser per thread; the element lives until the
// thread's next parse.
element parse(std::string_view json) {
    thread_local simdjson::dom::parser parser;
    element root;
    if (const auto error = parser.parse(json.data(), json.size(), true).get(root))
        fail(simdjson::error_message(error));
    return root;
}

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

enum AuditKey {
    kApprovalMethod,
    kApprover,
    kArgv,
    kAuthMethod,
    kClient,
    kCwd,
    kDurationMs,
    kError,
    kEvent,
    kExitCode,
    kHash,
    kId,
    kPrevHash,
    kReason,
    kRequestId,
    kResolvedPath,
    kSeq,
    kStderr,
    kStderrBytes,
    kStderrSha256,
    kStdinBytes,
    kStdinSha256,
    kStdout,
    kStdoutBytes,
    kStdoutSha256,
    kTime,
};
constexpr KeyTable<26> kAuditKeys({
    "approval_method", "approver",      "argv",        "auth_method",   "client", "cwd",
    "duration_ms",     "error",         "event",       "exit_code",     "hash",   "id",
    "prev_hash",       "reason",        "request_id",  "resolved_path", "seq",    "stderr",
    "stderr_bytes",    "stderr_sha256", "stdin_bytes", "stdin_sha256",  "stdout", "stdout_bytes",
    "stdout_sha256",   "time",
});
static_assert(kAuditKeys.size() == kTime + 1);
constexpr std::uint32_t kAuditRequired = maskOf({kArgv, kClient, kCwd, kEvent, kId, kPrevHash,
                                                 kReason, kRequestId, kResolvedPath, kSeq, kTime});

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

// Reads an audit line only as far as it is byte for byte in the encoder's
// form, which makes decoding and encoding it again unnecessary. Anything else,
// valid JSON or not, makes it give up.
class CanonicalReader {
  public:
    explicit CanonicalReader(std::string_view line)
        : begin_(line.data()), p_(line.data()), end_(line.data() + line.size()) {}

    bool read(CanonicalAuditLine& out) {
        if (!take('{')) return false;
        std::uint32_t seen = 0;
        int last = -1;
        for (;;) {
            const char* const memberBegin = p_;
            int i = -1;
            if (!key(i) || i <= last) return false;  // unknown, repeated or out of order
            last = i;
            seen |= 1u << i;
            if (!value(static_cast<AuditKey>(i), out)) return false;
            if (i == kHash) {
                out.hashBegin = static_cast<std::size_t>(memberBegin - begin_);
                out.hashEnd = static_cast<std::size_t>(p_ + 1 - begin_);
            }
            if (take(',')) continue;
            if (!take('}') || p_ != end_) return false;
            break;
        }
        constexpr std::uint32_t kNeeded = kAuditRequired | 1u << kHash;
        if ((seen & kNeeded) != kNeeded) return false;
        // The same check as the parser's, over the same bytes.
        return !nonAscii_ ||
               simdjson::validate_utf8(begin_, static_cast<std::size_t>(end_ - begin_));
    }

  private:
    bool take(char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }

    bool key(int& index) {
        if (!take('"')) return false;
        const char* const start = p_;
        while (p_ != end_ &&
               ((*p_ >= 'a' && *p_ <= 'z') || *p_ == '_' || (*p_ >= '0' && *p_ <= '9')))
            ++p_;
        const std::string_view name(start, static_cast<std::size_t>(p_ - start));
        if (!take('"') || !take(':')) return false;
        index = kAuditKeys.find(name);
        return index >= 0;
    }

    bool value(AuditKey key, CanonicalAuditLine& out) {
        std::string_view text;
        std::int64_t number = 0;
        switch (key) {
            case kApprovalMethod:
                return plainString(text) && fromRawValue<BastorApprovalMethod>(text).has_value();
            case kAuthMethod:
                return plainString(text) && fromRawValue<BastorAuthMethod>(text).has_value();
            case kEvent:
                return plainString(text) && fromRawValue<BastorAuditEvent>(text).has_value();
            case kArgv:
                return strings();
            case kClient:
                return client();
            case kDurationMs:
            case kStderrBytes:
            case kStdinBytes:
            case kStdoutBytes:
                return integer(number);
            case kSeq:
                return integer(out.seq);
            case kExitCode:
                return integer(number) && number >= INT32_MIN && number <= INT32_MAX;
            case kId:
            case kRequestId:
                // Upper case only: the encoder never writes a lower-case digit.
                return plainString(text) && Uuid::parse(text) &&
                       std::none_of(text.begin(), text.end(), [](char c) { return c >= 'a'; });
            case kTime:
                return plainString(text) && text.size() == kDateTimeLength &&
                       parseDateTime(text).has_value();
            case kHash:
                return plainString(out.hash);
            case kPrevHash:
                return plainString(out.prevHash);
            default:
                return string(text);
        }
    }

    bool client() {
        return take('{') && clientKey("name") && string() && take(',') && clientKey("version") &&
               string() && take('}');
    }

    bool clientKey(std::string_view name) {
        if (static_cast<std::size_t>(end_ - p_) < name.size() + 3 || p_[0] != '"' ||
            std::memcmp(p_ + 1, name.data(), name.size()) != 0 || p_[name.size() + 1] != '"' ||
            p_[name.size() + 2] != ':')
            return false;
        p_ += name.size() + 3;
        return true;
    }

    bool strings() {
        if (!take('[')) return false;
        if (take(']')) return true;
        do {
            if (!string()) return false;
        } while (take(','));
        return take(']');
    }

    // -?(0|[1-9][0-9]*) within the signed 64-bit range; "-0" is not the
    // encoder's.
    bool integer(std::int64_t& value) {
        const bool negative = take('-');
        const char* const start = p_;
        std::uint64_t n = 0;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9' && p_ - start < 20)
            n = n * 10 + static_cast<std::uint64_t>(*p_++ - '0');
        const auto digits = p_ - start;
        if (digits == 0 || digits > 19 || (*start == '0' && (digits > 1 || negative))) return false;
        // Nineteen digits stay below 10^19 < 2^64, so n has not wrapped.
        constexpr std::uint64_t kMaximum = static_cast<std::uint64_t>(INT64_MAX);
        if (n > kMaximum + (negative ? 1 : 0)) return false;
        value = negative ? static_cast<std::int64_t>(0 - n) : static_cast<std::int64_t>(n);
        return true;
    }

    bool plainString(std::string_view& raw) {
        bool escaped = false;
        return string(raw, escaped) && !escaped;
    }

    bool string() {
        std::string_view raw;
        return string(raw);
    }

    bool string(std::string_view& raw) {
        bool escaped = false;
        return string(raw, escaped);
    }

    // The length of the escape at `at` if it is the one the encoder writes for
    // its character, else 0.
    static std::size_t escapeLength(const char* at, const char* end) {
        if (end - at < 2) return 0;
        switch (at[1]) {
            case '"':
            case '\\':
            case '/':
            case 'n':
            case 'r':
            case 't':
            case 'b':
            case 'f':
                return 2;
            case 'u': {
                if (end - at < 6 || at[2] != '0' || at[3] != '0' || (at[4] != '0' && at[4] != '1'))
                    return 0;
                int low = 0;
                if (at[5] >= '0' && at[5] <= '9')
                    low = at[5] - '0';
                else if (at[5] >= 'a' && at[5] <= 'f')
                    low = at[5] - 'a' + 10;
                else
                    return 0;
                return kEscapes[static_cast<std::size_t>((at[4] - '0') * 16 + low)] == 'u' ? 6 : 0;
            }
            default:
                return 0;
        }
    }

    // A string literal whose every byte is as the encoder writes it: no raw
    // solidus or control character, and only the encoder's escapes.
    bool string(std::string_view& raw, bool& escaped) {
        if (!take('"')) return false;
        const char* const start = p_;
        const char* p = p_;
        const char* escapeEnd = p;  // bytes before it belong to a checked escape
        escaped = false;
        const auto close = [&](const char* quote) {
            raw = {start, static_cast<std::size_t>(quote - start)};
            p_ = quote + 1;
            return true;
        };
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i slash = _mm_set1_epi8('/');
        const __m128i lastControl = _mm_set1_epi8(0x1f);
        while (end_ - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            nonAscii_ |= _mm_movemask_epi8(v) != 0;
            const __m128i special =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                             _mm_or_si128(_mm_cmpeq_epi8(v, slash),
                                          _mm_cmpeq_epi8(_mm_min_epu8(v, lastControl), v)));
            for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(special)); mask != 0;
                 mask &= mask - 1) {
                const char* const at = p + __builtin_ctz(mask);
                if (at < escapeEnd) continue;
                if (*at == '"') return close(at);
                if (*at != '\\') return false;
                const std::size_t length = escapeLength(at, end_);
                if (length == 0) return false;
                escaped = true;
                escapeEnd = at + length;
            }
            p = std::max(p + 16, escapeEnd);
        }
#endif
        p = std::max(p, escapeEnd);
        while (p < end_) {
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"') return close(p);
            if (c == '\\') {
                const std::size_t length = escapeLength(p, end_);
                if (length == 0) return false;
                escaped = true;
                p += length;
                continue;
            }
            if (kEscapes[c] != 0) return false;
            nonAscii_ |= c >= 0x80;
            ++p;
        }
        return false;
    }

    const char* const begin_;
    const char* p_;
    const char* const end_;
    bool nonAscii_ = false;
};

std::size_t sizeHint(const AuditEntry& e) {
    return 640 + sizeHint(e.argv) + sizeHint(e.resolvedPath) + sizeHint(e.cwd) +
           sizeHint(e.reason) + sizeHint(e.client.name) + sizeHint(e.client.version) +
           sizeHint(e.approver) + sizeHint(e.stdout) + sizeHint(e.stderr) + sizeHint(e.error);
}

void appendAuditEntry(Sink& sink, const AuditEntry& e) {
    Members m(sink);
    if (e.approvalMethod) appendEnum(m.key("approval_method"), *e.approvalMethod);
    if (e.approver) writeString(m.key("approver"), *e.approver);
    appendStrings(m.key("argv"), e.argv);
    if (e.authMethod) appendEnum(m.key("auth_method"), *e.authMethod);
    appendClient(m.key("client"), e.client);
    writeString(m.key("cwd"), e.cwd);
    if (e.durationMs) appendInteger(m.key("duration_ms"), *e.durationMs);
    if (e.error) writeString(m.key("error"), *e.error);
    appendEnum(m.key("event"), e.event);
    if (e.exitCode) appendInteger(m.key("exit_code"), *e.exitCode);
    if (e.hash) writeString(m.key("hash"), *e.hash);
    appendUuid(m.key("id"), e.id);
    writeString(m.key("prev_hash"), e.prevHash);
    writeString(m.key("reason"), e.reason);
    appendUuid(m.key("request_id"), e.requestID);
    writeString(m.key("resolved_path"), e.resolvedPath);
    appendInteger(m.key("seq"), e.seq);
    if (e.stderr) writeString(m.key("stderr"), *e.stderr);
    if (e.stderrBytes) appendInteger(m.key("stderr_bytes"), *e.stderrBytes);
    if (e.stderrSHA256) writeString(m.key("stderr_sha256"), *e.stderrSHA256);
    if (e.stdinBytes) appendInteger(m.key("stdin_bytes"), *e.stdinBytes);
    if (e.stdinSHA256) writeString(m.key("stdin_sha256"), *e.stdinSHA256);
    if (e.stdout) writeString(m.key("stdout"), *e.stdout);
    if (e.stdoutBytes) appendInteger(m.key("stdout_bytes"), *e.stdoutBytes);
    if (e.stdoutSHA256) writeString(m.key("stdout_sha256"), *e.stdoutSHA256);
    appendDate(m.key("time"), e.time);
    m.end();
}

}  // namespace

// ------------------------------------------------------------------ public

void appendString(std::string& out, std::string_view value) {
    const std::size_t rollback = out.size();
    try {
        Sink sink(out, value.size() + 2);
        writeString(sink, value);
        sink.finish();
    } catch (...) {
        out.resize(rollback);
        throw;
    }
}

bool readCanonicalAuditLine(std::string_view line, CanonicalAuditLine& out) {
    // Longer lines are refused by the parser.
    if (line.size() > simdjson::SIMDJSON_MAXSIZE_BYTES) return false;
    return CanonicalReader(line).read(out);
}

// JsonWriter ------------------------------------------------------------

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

void JsonWriter::beginObject() {
    separate();
    out_ += '{';
    first_.push_back(true);
}

void JsonWriter::endObject() {
    out_ += '}';
    first_.pop_back();
}

void JsonWriter::beginArray() {
    separate();
    out_ += '[';
    first_.push_back(true);
}

void JsonWriter::endArray() {
    out_ += ']';
    first_.pop_back();
}

void JsonWriter::key(std::string_view name) {
    separate();
    appendString(out_, name);
    out_ += ':';
    afterKey_ = true;
}

void JsonWriter::string(std::string_view value) {
    separate();
    appendString(out_, value);
}

void JsonWriter::integer(std::int64_t value) {
    separate();
    appendInteger(out_, value);
}

void JsonWriter::boolean(bool value) {
    separate();
    appendBool(out_, value);
}

void JsonWriter::null() {
    separate();
    out_.append("null");
}

void JsonWriter::raw(std::string_view json) {
    separate();
    out_.append(json);
}

// Encoders ----------------------------------------------------------------

std::string encode(const BastorState& value) {
    std::string out;
    Sink sink(out, 64);
    Members m(sink);
    appendBool(m.key("audit_enabled"), value.auditEnabled);
    appendBool(m.key("auto_approval"), value.autoApproval);
    appendBool(m.key("enabled"), value.enabled);
    m.end();
    sink.finish();
    return out;
}

std::string encode(const BastorClientInfo& value) {
    std::string out;
    Sink sink(out, 32 + sizeHint(value.name) + sizeHint(value.version));
    appendClient(sink, value);
    sink.finish();
    return out;
}

std::string encode(const BastorRequest& r) {
    std::string out;
    Sink sink(out, 256 + sizeHint(r.argv) + sizeHint(r.resolvedPath) + sizeHint(r.cwd) +
                       sizeHint(r.reason) + sizeHint(r.client.name) + sizeHint(r.client.version) +
                       sizeHint(r.stdin) + sizeHint(r.approver));
    Members m(sink);
    appendEnum(m.key("approvalMethod"), r.approvalMethod);
    if (r.approver) writeString(m.key("approver"), *r.approver);
    appendStrings(m.key("argv"), r.argv);
    if (r.authMethod) appendEnum(m.key("authMethod"), *r.authMethod);
    appendClient(m.key("client"), r.client);
    writeString(m.key("cwd"), r.cwd);
    appendUuid(m.key("id"), r.id);
    writeString(m.key("reason"), r.reason);
    writeString(m.key("resolvedPath"), r.resolvedPath);
    if (r.stdin) writeString(m.key("stdin"), *r.stdin);
    appendInteger(m.key("timeoutSeconds"), r.timeoutSeconds);
    m.end();
    sink.finish();
    return out;
}

std::string encode(const BastorResult& r) {
    std::string out;
    Sink sink(out, 160 + sizeHint(r.stdout) + sizeHint(r.stderr));
    Members m(sink);
    if (r.auditID) appendUuid(m.key("audit_id"), *r.auditID);
    appendInteger(m.key("duration_ms"), r.durationMs);
    appendInteger(m.key("exit_code"), r.exitCode);
    writeString(m.key("stderr"), r.stderr);
    appendBool(m.key("stderr_truncated"), r.stderrTruncated);
    writeString(m.key("stdout"), r.stdout);
    appendBool(m.key("stdout_truncated"), r.stdoutTruncated);
    m.end();
    sink.finish();
    return out;
}

void encodeInto(std::string& out, const AuditEntry& e) {
    const std::size_t rollback = out.size();
    try {
        Sink sink(out, sizeHint(e));
        appendAuditEntry(sink, e);
        sink.finish();
    } catch (...) {
        // Callers reuse the buffer; leave no half-written entry in it.
        out.resize(rollback);
        throw;
    }
}

std::string encode(const AuditEntry& value) {
    std::string out;
    encodeInto(out, value);
    return out;
}

std::string encode(const BastorVerification& v) {
    std::string out;
    Sink sink(out, 64);
    Members m(sink);
    if (v.brokenSeq) appendInteger(m.key("brokenSeq"), *v.brokenSeq);
    appendInteger(m.key("count"), v.count);
    appendBool(m.key("intact"), v.intact);
    m.end();
    sink.finish();
    return out;
}

std::string encode(const std::vector<AuditEntry>& entries) {
    std::string out;
    std::size_t size = 2;
    for (const auto& e : entries)
        size += sizeHint(e);
    Sink sink(out, size);
    sink.put('[');
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) sink.put(',');
        appendAuditEntry(sink, entries[i]);
    }
    sink.put(']');
    sink.finish();
    return out;
}

// Decoders ----------------------------------------------------------------

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
