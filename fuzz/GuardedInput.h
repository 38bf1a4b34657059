// Fuzz input placed so that it ends right before an unreadable page: a read past its end faults in the
// kernel (and comes back as an error) instead of finding neighbouring memory. Everything around the
// input is unreadable too, including a wide margin below it, and the input's address moves with its
// contents (the same input always lands at the same place, so a finding reproduces): addresses that the
// fuzzer learns from one run's comparisons do not point at readable memory in the next, which keeps it
// from spending its time copying and scanning large readable neighbours.
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
    // Copies the bytes into the shared area; answers where they start.
    static std::uint8_t* place(const std::uint8_t* data, std::size_t size)
    {
        Area& area = shared();
        std::uint64_t hash = 1469598103934665603u; // FNV-1a
        for (std::size_t i = 0; i < size; ++i)
            hash = (hash ^ data[i]) * 1099511628211u;
        const std::size_t pages = (size + area.page - 1) / area.page;
        std::uint8_t* end = area.slots + (pages + hash % kPositions) * area.page;
        if (mprotect(area.slots, area.slotsLength, PROT_NONE) != 0 ||
            (pages > 0 && mprotect(end - pages * area.page, pages * area.page, PROT_READ | PROT_WRITE) != 0))
            std::abort();
        std::uint8_t* start = end - size;
        if (size > 0)
            std::memcpy(start, data, size);
        return start;
    }

private:
    static constexpr std::size_t kPositions = 64; // pages the input's end may move over
    static constexpr std::size_t kMargin = std::size_t{256} << 20;

    struct Area {
        std::size_t page;
        std::uint8_t* slots;
        std::size_t slotsLength;
    };

    static Area& shared()
    {
        static Area s_area = [] {
            Area area{};
            area.page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
            area.slotsLength = ((MaxInput + area.page - 1) / area.page + kPositions + 1) * area.page;
            auto* region = static_cast<std::uint8_t*>(mmap(nullptr, kMargin + area.slotsLength, PROT_NONE,
                                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
            if (region == MAP_FAILED)
                std::abort();
            area.slots = region + kMargin;
            return area;
        }();
        return s_area;
    }
};

} // namespace fuzzsupport
