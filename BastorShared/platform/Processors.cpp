#include "BastorShared/platform/Processors.h"

#include <sched.h>

#include <algorithm>

namespace bastor {

unsigned usableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
}

}  // namespace bastor
