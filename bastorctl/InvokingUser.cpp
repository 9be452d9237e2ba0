#include "bastorctl/InvokingUser.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace bastor {

std::string invokingUser() {
    const uid_t uid = ::getuid();
    if (uid == 0) {
        if (const char* sudoUser = std::getenv("SUDO_USER"); sudoUser && *sudoUser) return sudoUser;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

}  // namespace bastor
