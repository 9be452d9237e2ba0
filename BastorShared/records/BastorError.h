#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace bastor {

// The system's own failures. what() is the description the client sees,
// exactly as it stands.
class BastorError : public std::exception {
  public:
    enum class Kind { invalidInput, execution, off, helperNotReady, denied, timedOut };

    [[nodiscard]] static BastorError invalidInput(std::string message) {
        return BastorError(Kind::invalidInput, std::move(message));
    }
    [[nodiscard]] static BastorError execution(std::string message) {
        return BastorError(Kind::execution, std::move(message));
    }
    [[nodiscard]] static BastorError off() { return BastorError(Kind::off); }
    [[nodiscard]] static BastorError helperNotReady() { return BastorError(Kind::helperNotReady); }
    [[nodiscard]] static BastorError denied() { return BastorError(Kind::denied); }
    [[nodiscard]] static BastorError timedOut() { return BastorError(Kind::timedOut); }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& errorDescription() const noexcept { return description_; }
    [[nodiscard]] const char* what() const noexcept override { return description_.c_str(); }

  private:
    explicit BastorError(Kind kind, std::string message = {});

    Kind kind_;
    std::string description_;
};

// The description a client receives for any failure: a BastorError's whole
// description (what() would stop at a NUL byte), otherwise what().
[[nodiscard]] std::string describe(const std::exception& error);

}  // namespace bastor
