#include "BastorShared/platform/Uuid.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace bastor {

namespace {
// Each byte's hexadecimal value, or -1; one load per digit on the decode path.
constexpr std::array<std::int8_t, 256> kHexValues = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int c = '0'; c <= '9'; ++c)
        table[c] = static_cast<std::int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = static_cast<std::int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = static_cast<std::int8_t>(c - 'A' + 10);
    return table;
}();

// Where each byte's two digits start in the 36-character text.
constexpr std::array<std::uint8_t, 16> kDigitOffsets = {0,  2,  4,  6,  9,  11, 14, 16,
                                                        19, 21, 24, 26, 28, 30, 32, 34};

// Random bytes drawn many identifiers at a time: a call into OpenSSL's
// generator costs far more than the bytes. A forked child draws afresh, so
// parent and child never hand out the same identifiers.
class RandomPool {
  public:
    void take(std::uint8_t* out, std::size_t size) {
        const pid_t pid = ::getpid();
        if (used_ + size > bytes_.size() || pid != pid_) {
            if (RAND_bytes(bytes_.data(), static_cast<int>(bytes_.size())) != 1)
                throw std::runtime_error("could not draw random bytes for a UUID from OpenSSL");
            used_ = 0;
            pid_ = pid;
        }
        std::memcpy(out, bytes_.data() + used_, size);
        std::memset(bytes_.data() + used_, 0, size);  // handed out once only
        used_ += size;
    }

  private:
    std::array<std::uint8_t, 512> bytes_{};
    std::size_t used_ = sizeof bytes_;
    pid_t pid_ = 0;
};
}  // namespace

Uuid Uuid::random() {
    thread_local RandomPool pool;
    std::array<std::uint8_t, 16> bytes{};
    pool.take(bytes.data(), bytes.size());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != kTextLength || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-')
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    int invalid = 0;  // gathers the sign bits of -1 entries
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = kHexValues[static_cast<unsigned char>(text[kDigitOffsets[i]])];
        const int low = kHexValues[static_cast<unsigned char>(text[kDigitOffsets[i] + 1])];
        invalid |= high | low;
        bytes[i] = static_cast<std::uint8_t>(static_cast<unsigned>(high) << 4 |
                                             static_cast<unsigned>(low));
    }
    if (invalid < 0) return std::nullopt;
    return Uuid(bytes);
}

void Uuid::writeText(char* out) const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out[8] = out[13] = out[18] = out[23] = '-';
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        out[kDigitOffsets[i]] = kDigits[bytes_[i] >> 4];
        out[kDigitOffsets[i] + 1] = kDigits[bytes_[i] & 0x0f];
    }
}

void Uuid::appendText(std::string& out) const {
    char text[kTextLength];
    writeText(text);
    out.append(text, sizeof text);
}

std::string Uuid::text() const {
    std::string out;
    out.reserve(36);
    appendText(out);
    return out;
}

}  // namespace bastor
