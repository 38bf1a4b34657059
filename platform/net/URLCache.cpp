#include "platform/net/URLCache.h"

namespace platform {

namespace {
struct SharedCache {
    std::mutex mutex;
    std::shared_ptr<URLCache> cache = std::make_shared<URLCache>(4 * 1024 * 1024, 20 * 1024 * 1024, "");
};

SharedCache& sharedCache() {
    static auto* s = new SharedCache; // never destroyed, like the other URL-loading singletons
    return *s;
}
} // namespace

URLCache::URLCache(std::uint64_t memoryCapacity, std::uint64_t diskCapacity, std::string diskPath)
    : m_memoryCapacity(memoryCapacity), m_diskCapacity(diskCapacity), m_diskPath(std::move(diskPath)) {}

std::shared_ptr<URLCache> URLCache::shared() {
    SharedCache& s = sharedCache();
    std::lock_guard lock(s.mutex);
    return s.cache;
}

void URLCache::setShared(std::shared_ptr<URLCache> cache) {
    if (!cache)
        return;
    SharedCache& s = sharedCache();
    std::lock_guard lock(s.mutex);
    s.cache = std::move(cache);
}

std::uint64_t URLCache::memoryCapacity() const {
    std::lock_guard lock(m_mutex);
    return m_memoryCapacity;
}

std::uint64_t URLCache::diskCapacity() const {
    std::lock_guard lock(m_mutex);
    return m_diskCapacity;
}

void URLCache::setMemoryCapacity(std::uint64_t bytes) {
    std::lock_guard lock(m_mutex);
    m_memoryCapacity = bytes;
}

void URLCache::setDiskCapacity(std::uint64_t bytes) {
    std::lock_guard lock(m_mutex);
    m_diskCapacity = bytes;
}

std::uint64_t URLCache::currentMemoryUsage() const {
    std::lock_guard lock(m_mutex);
    return m_memoryUsage;
}

std::uint64_t URLCache::currentDiskUsage() const {
    std::lock_guard lock(m_mutex);
    return m_diskUsage;
}

void URLCache::removeAllCachedResponses() {
    std::lock_guard lock(m_mutex);
    m_memoryUsage = 0;
    m_diskUsage = 0;
}

} // namespace platform
