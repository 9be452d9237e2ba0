#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorClientInfo.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/BastorResult.h"
#include "BastorShared/records/BastorState.h"

// The one JSON form of the system. Audit hashes are taken over the encoder's
// bytes, so its output is part of the on-disk format and must never change:
//   - compact, object members in ascending key order, no trailing newline;
//   - absent optionals left out, never null;
//   - strings as raw UTF-8; '"', '\\' and '/' escaped with a backslash;
//     \n \r \t \b \f short escapes, other controls below 0x20 as \u00XX with
//     lower-case hex digits; never a raw line feed;
//   - UUIDs upper-case, dates YYYY-MM-DDTHH:MM:SSZ in UTC.
// A string that is not well-formed UTF-8, or a date outside the years 0000 to
// 9999, has no such form: encoding it throws JsonError.
//
// Decoding is strict: text that is not JSON, ill-formed UTF-8, a missing or
// null required key, a wrong type, a number with a fraction or exponent where
// an integer belongs, an integer outside the field's range, a malformed UUID
// or date, or an unknown enumeration string fails the whole record with a
// JsonError naming the key. Unknown keys are ignored. A known key that appears
// twice in one object is refused: a log line must not mean two things.
namespace bastor::BastorJSON {

class JsonError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Low-level canonical writer; keys must be given in ascending order.
class JsonWriter {
  public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view name);
    void string(std::string_view value);
    void integer(std::int64_t value);
    void boolean(bool value);
    void null();
    // Inserts already-encoded JSON as one value.
    void raw(std::string_view json);

  private:
    void separate();

    std::string& out_;
    std::vector<bool> first_;  // per open container: no member written yet
    bool afterKey_ = false;
};

// Appends `value` as a JSON string literal.
void appendString(std::string& out, std::string_view value);
// How many bytes appendString() writes for `value`, quotes included.
[[nodiscard]] std::size_t stringSize(std::string_view value) noexcept;

[[nodiscard]] std::string encode(const BastorState& value);
[[nodiscard]] std::string encode(const BastorClientInfo& value);
[[nodiscard]] std::string encode(const BastorRequest& value);
[[nodiscard]] std::string encode(const BastorResult& value);
[[nodiscard]] std::string encode(const AuditEntry& value);
[[nodiscard]] std::string encode(const BastorVerification& value);
[[nodiscard]] std::string encode(const std::vector<AuditEntry>& entries);  // a JSON array
// Appends the entry's encoding, for callers that reuse one buffer.
void encodeInto(std::string& out, const AuditEntry& value);

// What verifying needs from an audit line that is already in canonical form.
struct CanonicalAuditLine {
    std::int64_t seq = 0;
    std::string_view prevHash;
    std::string_view hash;
    // The line without its "hash" member: [0, hashBegin) then [hashEnd, end).
    std::size_t hashBegin = 0;
    std::size_t hashEnd = 0;
};
// True when `line` is exactly encode() of what decode<AuditEntry>() makes of
// it, with a "hash" member, and neither digest text holds an escape. Then the
// decode would succeed, and the line without its "hash" member is what the
// entry without its hash encodes to. False only means: decode it as usual.
[[nodiscard]] bool readCanonicalAuditLine(std::string_view line, CanonicalAuditLine& out);

// The decoder keeps one parser per thread, sized for the largest text it
// has read; this lets the calling thread's go back to a small one.
void releaseThreadBuffers();

// Decodes one record from JSON text; throws JsonError.
template <class T>
[[nodiscard]] T decode(std::string_view json);

template <>
BastorState decode<BastorState>(std::string_view json);
template <>
BastorClientInfo decode<BastorClientInfo>(std::string_view json);
template <>
BastorRequest decode<BastorRequest>(std::string_view json);
template <>
BastorResult decode<BastorResult>(std::string_view json);
template <>
AuditEntry decode<AuditEntry>(std::string_view json);
template <>
BastorVerification decode<BastorVerification>(std::string_view json);
template <>
std::vector<AuditEntry> decode<std::vector<AuditEntry>>(std::string_view json);

}  // namespace bastor::BastorJSON
