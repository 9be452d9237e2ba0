#include "BastorShared/platform/ProcessIdentity.h"

#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "BastorShared/platform/SystemError.h"

namespace bastor {

std::optional<gid_t> groupNamed(std::string_view name) {
    std::vector<char> buffer(65536);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(std::string(name).c_str(), &entry, buffer.data(), buffer.size(), &found) !=
            0 ||
        found == nullptr)
        return std::nullopt;
    return entry.gr_gid;
}

bool hasSupplementaryGroup(gid_t group) {
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    if (got < 0) return false;
    groups.resize(static_cast<std::size_t>(got));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

void makeNonDumpable() {
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        throwSystemError("cannot make the process non-dumpable", "prctl");
}

void dropSetgidForGood() {
    const gid_t real = ::getgid();
    if (::setresgid(real, real, real) != 0)
        throwSystemError("cannot give up the group", "setresgid");
    gid_t nowReal = 0, nowEffective = 0, nowSaved = 0;
    if (::getresgid(&nowReal, &nowEffective, &nowSaved) != 0)
        throwSystemError("cannot read the group ids", "getresgid");
    if (nowReal != real || nowEffective != real || nowSaved != real)
        throw SystemError("the group is still held after", "setresgid", EPERM);
    makeNonDumpable();
}

}  // namespace bastor
