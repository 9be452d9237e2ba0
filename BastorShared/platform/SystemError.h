#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace bastor {

// A failure of the operating system, worded for the person who reads it:
// what failed, on which path or object, and the OS reason.
class SystemError : public std::runtime_error {
  public:
    SystemError(std::string_view what, std::string_view where, int error);
    [[nodiscard]] int code() const noexcept { return code_; }

  private:
    int code_;
};

// Throws SystemError for errno.
[[noreturn]] void throwSystemError(std::string_view what, std::string_view where);

}  // namespace bastor
