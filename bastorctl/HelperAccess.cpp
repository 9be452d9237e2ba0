#include "bastorctl/HelperAccess.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "BastorShared/platform/ProcessIdentity.h"
#include "BastorShared/platform/RootOnlyPath.h"

namespace bastor {

std::optional<std::string> accessRefusal(std::string_view usersGroup,
                                         std::string_view clientGroup) noexcept {
    try {
        if (::getuid() != 0) {
            const auto users = groupNamed(usersGroup);
            if (!users || !hasSupplementaryGroup(*users))
                return "You may not use the helper: ask an administrator to add you to the group " +
                       std::string(usersGroup) + ".";
        }
        const std::string unserved = "bastorctl: the helper will not serve this copy: ";
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        if (error) return unserved + "cannot tell where it is installed: " + error.message();
        if (auto fault = rootOnlyPathFault(self)) return unserved + *fault;
        const auto client = groupNamed(clientGroup);
        if (::geteuid() != 0 && (!client || ::getegid() != *client))
            return unserved + "it must be installed owned by root:" + std::string(clientGroup) +
                   " with mode 2755";
        return std::nullopt;
    } catch (...) {
        return "bastorctl: cannot check whether the helper will serve you";
    }
}

}  // namespace bastor
