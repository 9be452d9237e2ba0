#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bastor {

// The helper's own rule, checked here first so that a person it would not
// serve reads why instead of meeting a closed connection. Returns the text to
// show, or nothing when the helper should serve this person and this copy of
// bastorctl: the real user is root or has `usersGroup` among its groups; this
// program and every directory on its way are root's alone; and, unless the
// effective uid is 0, it runs with `clientGroup` (installed setgid). Call
// before giving up the group. Never throws.
[[nodiscard]] std::optional<std::string> accessRefusal(std::string_view usersGroup,
                                                       std::string_view clientGroup) noexcept;

}  // namespace bastor
