#pragma once

// The allocator's side of keeping a long-running process small. Thread-safe.
namespace bastor::Memory {

// Serves every block of 256 KiB and more straight from the kernel, so it goes
// back as soon as it is freed. Without this glibc raises that threshold to
// the largest block freed so far, and later large blocks stay in its heaps.
// Call once, early; never fails.
void keepLargeBlocksOutOfTheHeap() noexcept;

// Hands free heap memory of every arena back to the kernel. Takes a while on
// a large heap: call it after large work, not on every call. Never fails.
void returnFreeMemory() noexcept;

}  // namespace bastor::Memory
