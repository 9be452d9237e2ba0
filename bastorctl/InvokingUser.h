#pragma once

#include <string>

namespace bastor {

// The login name of the person who ran bastorctl: SUDO_USER when root runs
// it through sudo, otherwise the name of the real user id. SUDO_USER is
// believed only from root, so no other user can name someone else.
[[nodiscard]] std::string invokingUser();

}  // namespace bastor
