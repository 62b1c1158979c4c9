// Internal to the host libraries: untracked blocks from the same per-thread
// free lists as tracked memory. Worlds and their pixels use them: an
// execution over small areas makes and drops a world or two per node, and
// glibc's aligned allocations and coalescing cost more than the pixel work.
// These blocks do not count in U_GetTrackedStats.
#pragma once

#include <cstddef>

// A block of at least `size` bytes aligned as malloc aligns, or null when
// memory is exhausted.
void* Uh_PoolAllocate(size_t size);
// Releases a block from Uh_PoolAllocate (null is ignored).
void Uh_PoolRelease(void* p) noexcept;
