#include "platform/system/FreeMemory.h"

#include "platform/runloop/DispatchQueue.h"

#include <malloc.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<std::uint64_t> releases{0};
} // namespace

void releaseFreeMemory() {
    releases.fetch_add(1, std::memory_order_relaxed);
    DispatchQueue::global()->async([] { ::malloc_trim(0); });
}

std::uint64_t freeMemoryReleaseCount() { return releases.load(std::memory_order_relaxed); }

} // namespace platform
