// Memory for the crash reporter's tests: bytes placed at a page boundary with an unreadable page right
// after them, so that any read past their end fails instead of finding neighbouring memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace crashtest {

inline std::size_t pageSize()
{
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

class PlacedBytes {
public:
    // The bytes end exactly where the unreadable page starts when atEnd is set; otherwise they start at
    // a page boundary.
    explicit PlacedBytes(const std::vector<std::uint8_t>& bytes, bool atEnd = false)
    {
        const std::size_t page = pageSize();
        const std::size_t pages = (bytes.size() + page - 1) / page + 1;
        m_size = pages * page;
        m_mapping = static_cast<std::uint8_t*>(
            mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::uint8_t* guard = m_mapping + (pages - 1) * page;
        m_data = atEnd ? guard - bytes.size() : m_mapping;
        if (!bytes.empty())
            std::memcpy(m_data, bytes.data(), bytes.size());
        mprotect(guard, page, PROT_NONE);
    }
    ~PlacedBytes() { munmap(m_mapping, m_size); }
    PlacedBytes(const PlacedBytes&) = delete;
    PlacedBytes& operator=(const PlacedBytes&) = delete;

    std::uint8_t* data() const { return m_data; }
    std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(m_data); }

private:
    std::uint8_t* m_mapping = nullptr;
    std::size_t m_size = 0;
    std::uint8_t* m_data = nullptr;
};

} // namespace crashtest
