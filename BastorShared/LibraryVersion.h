#pragma once

#include <string_view>

// The version of the installed client library, for programs that want to say
// which one they run against. Never fails; thread-safe.
namespace bastor {

[[nodiscard]] std::string_view libraryVersion() noexcept;

}  // namespace bastor
