#include "BastorShared/records/BastorJSON.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>

#include "BastorShared/records/JsonEscapes.h"
#include "BastorShared/records/JsonKeys.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bastor::BastorJSON {

namespace {

using namespace detail;

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

}  // namespace

bool readCanonicalAuditLine(std::string_view line, CanonicalAuditLine& out) {
    // Longer lines are refused by the parser.
    if (line.size() > simdjson::SIMDJSON_MAXSIZE_BYTES) return false;
    return CanonicalReader(line).read(out);
}

}  // namespace bastor::BastorJSON
