#include "BastorShared/platform/Capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bastor {

// glibc has no wrapper for capget; libcap would be a dependency for one call.
bool hasEffectiveCapability(unsigned capability) noexcept {
    __user_cap_header_struct header{.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (capability >= 32 * _LINUX_CAPABILITY_U32S_3) return false;
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[capability / 32].effective >> (capability % 32)) & 1u;
}

}  // namespace bastor
