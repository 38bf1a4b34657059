// Fuzz input placed so that it ends right before an unreadable page: a read past its end faults in the
// kernel (and comes back as an error) instead of finding neighbouring memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzzsupport {

template <std::size_t MaxInput>
class GuardedInput {
public:
    // Copies the bytes into the one region every run shares; answers where they start.
    static std::uint8_t* place(const std::uint8_t* data, std::size_t size)
    {
        std::uint8_t* start = guard() - size;
        std::memcpy(start, data, size);
        return start;
    }

private:
    static std::uint8_t* guard()
    {
        static std::uint8_t* s_guard = [] {
            const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
            const std::size_t size = MaxInput + 2 * page;
            auto* region = static_cast<std::uint8_t*>(
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            if (region == MAP_FAILED)
                std::abort();
            std::uint8_t* guardPage = region + size - page;
            mprotect(guardPage, page, PROT_NONE);
            return guardPage;
        }();
        return s_guard;
    }
};

} // namespace fuzzsupport
