#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bastor {

// A 128-bit identifier. Written as 36 characters, 8-4-4-4-12 hexadecimal
// digits in upper case; read in either case.
class Uuid {
  public:
    Uuid() = default;
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // A random version-4 identifier.
    [[nodiscard]] static Uuid random();
    [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);

    [[nodiscard]] std::string text() const;
    void appendText(std::string& out) const;
    // Writes the characters of text() at `out`, for writers with a buffer.
    static constexpr std::size_t kTextLength = 36;
    void writeText(char* out) const;
    [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;

  private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace bastor
