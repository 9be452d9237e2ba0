#include "BastorShared/records/BastorJSON.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "BastorShared/records/JsonEscapes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bastor::BastorJSON {

namespace {

using detail::kEscapes;

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

void appendString(std::string& out, std::string_view value) {
    const std::size_t rollback = out.size();
    try {
        // Room for a usual share of escapes too: a long string that outgrows
        // its room is copied into twice its size, every page of it touched.
        Sink sink(out, value.size() + value.size() / 8 + 2);
        writeString(sink, value);
        sink.finish();
    } catch (...) {
        out.resize(rollback);
        throw;
    }
}

std::size_t stringSize(std::string_view value) noexcept {
    static constexpr auto kSizes = [] {
        std::array<std::uint8_t, 256> sizes{};
        for (std::size_t c = 0; c < sizes.size(); ++c)
            sizes[c] = kEscapes[c] == 0 ? 1 : kEscapes[c] == 'u' ? 6 : 2;
        return sizes;
    }();
    std::size_t size = 2;
    for (const char c : value)
        size += kSizes[static_cast<unsigned char>(c)];
    return size;
}

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

}  // namespace bastor::BastorJSON
