// The memory of this process, as page_calls_bench reads it: the application's UI process (the bench's own)
// and the floor program's. GLib and the C library only.
#pragma once

#include <glib.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace pagecalls {

// How long a page is left to settle after its load before its idle memory is read, and how long after a
// burst's end what the burst left behind is read.
constexpr std::chrono::seconds kSettleTime{2};
constexpr std::chrono::seconds kAfterBurstTime{6};

// The bytes the C allocator has handed out and not had back (all its arenas), in MiB.
inline double mallocInUseMiB()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM"), 0 when it does not read.
inline double statusMiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtod(line.c_str() + length + 1, nullptr) / 1024.0;
    }
    return 0;
}

// The peak resident memory over a stretch of time: the kernel's own high-water mark, reset at the start
// ("5" in clear_refs); where that cannot be reset, VmRSS sampled every 5 ms on the main loop (which runs
// throughout: the bench waits in nested loops).
class PeakMemory {
public:
    PeakMemory()
    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
        clear.flush();
        m_kernelPeak = clear.good();
        if (!m_kernelPeak) {
            m_sampled = statusMiB("VmRSS");
            m_sampler = g_timeout_add(5, [](gpointer self) -> gboolean {
                auto* peak = static_cast<PeakMemory*>(self);
                peak->m_sampled = std::max(peak->m_sampled, statusMiB("VmRSS"));
                return G_SOURCE_CONTINUE;
            }, this);
        }
    }
    ~PeakMemory()
    {
        if (m_sampler)
            g_source_remove(m_sampler);
    }
    PeakMemory(const PeakMemory&) = delete;
    PeakMemory& operator=(const PeakMemory&) = delete;

    double peakMiB() const { return m_kernelPeak ? statusMiB("VmHWM") : std::max(m_sampled, statusMiB("VmRSS")); }

private:
    bool m_kernelPeak = false;
    double m_sampled = 0;
    guint m_sampler = 0;
};

} // namespace pagecalls
