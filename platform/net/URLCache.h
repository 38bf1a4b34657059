// The process-wide URL cache settings: memory and disk capacities and the disk path that the application
// sets at launch, and the removal of everything cached. Loads do not store responses yet, so the usage
// stays 0; the object exists so that settings made at launch are kept and can be read back.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

class URLCache {
public:
    URLCache(std::uint64_t memoryCapacity, std::uint64_t diskCapacity, std::string diskPath);

    // The shared cache (4 MiB memory, 20 MiB disk, no path until one is set).
    static std::shared_ptr<URLCache> shared();
    static void setShared(std::shared_ptr<URLCache> cache);

    std::uint64_t memoryCapacity() const;
    std::uint64_t diskCapacity() const;
    void setMemoryCapacity(std::uint64_t bytes);
    void setDiskCapacity(std::uint64_t bytes);
    const std::string& diskPath() const { return m_diskPath; }
    std::uint64_t currentMemoryUsage() const;
    std::uint64_t currentDiskUsage() const;

    void removeAllCachedResponses();

private:
    mutable std::mutex m_mutex;
    std::uint64_t m_memoryCapacity;
    std::uint64_t m_diskCapacity;
    const std::string m_diskPath;
    std::uint64_t m_memoryUsage = 0;
    std::uint64_t m_diskUsage = 0;
};

} // namespace platform
