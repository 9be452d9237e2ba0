#include "BastorShared/platform/Memory.h"

#include <malloc.h>

namespace bastor::Memory {

void keepLargeBlocksOutOfTheHeap() noexcept {
    (void)::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}

void returnFreeMemory() noexcept {
    (void)::malloc_trim(0);
}

}  // namespace bastor::Memory
