#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace bastor {

// Incremental SHA-256 (FIPS 180-4). Digests are written as 64 lower-case
// hexadecimal characters.
class Sha256 {
  public:
    Sha256();
    Sha256(const Sha256& other);
    Sha256& operator=(const Sha256& other);
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    ~Sha256();

    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

    // The digest of everything fed so far; the state is left untouched, so
    // more bytes may follow.
    [[nodiscard]] std::string hexDigest() const;

    // Writes the digest as 64 characters to `out` and starts over from empty
    // input, so one object can hash many byte strings without a new context.
    void finishHex(char* out);

    // Starts over from empty input.
    void reset();

    // The digest of one byte string.
    [[nodiscard]] static std::string hex(std::string_view bytes);

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace bastor
