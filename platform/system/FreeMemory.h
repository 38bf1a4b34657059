// Giving the C allocator's free memory back to the system.
//
// A burst of work (thousands of page calls in a few seconds) grows the allocator's heap; once its blocks
// are freed the allocator keeps their pages for later allocations, and those between blocks still in use
// it never gives back by itself: the process stays as large as at the burst's peak.
//
// Guarantees:
// - Thread: any. releaseFreeMemory() only posts: the work (malloc_trim, which may take a few milliseconds on a
//   large heap while other threads' allocations wait) runs on a global queue.
// - Nothing in use is touched: only whole free pages are handed back, and the allocator takes new pages
//   again as it needs them.
#pragma once

#include <cstdint>

namespace platform {

void releaseFreeMemory();
// How many times releaseFreeMemory() was called in this process.
std::uint64_t freeMemoryReleaseCount();

} // namespace platform
