// The memory of this process, as page_calls_bench reads it: the application's UI process (a measured run's
// own) and the floor program's, and how either waits for itself to settle before reading its idle. GLib and
// the C library only.
#pragma once

#include <glib.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace pagecalls {

// How long after a burst's end what the burst left behind is read.
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

// A process's state as /proc/<pid>/stat tells it: its state letter ('Z' once it has ended and waits to be
// reaped), its parent and process group, the CPU time it has used (user and system, in clock ticks) and its
// command name; false when it does not read (the process has gone).
struct ProcessStat {
    char state = 0;
    long parent = 0;
    long group = 0;
    unsigned long long cpuTicks = 0;
    std::string command;
};
inline bool readProcessStat(const std::string& pid, ProcessStat& stat)
{
    std::ifstream file("/proc/" + pid + "/stat");
    std::string text;
    if (!std::getline(file, text))
        return false;
    // "pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime ...": the
    // command may hold blanks and parentheses, so the fields are read after the last ')'.
    const std::size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    stat.command = text.substr(open + 1, close - open - 1);
    unsigned long long user = 0, system = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld %ld %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &stat.state, &stat.parent,
                    &stat.group, &user, &system) != 5)
        return false;
    stat.cpuTicks = user + system;
    return true;
}

// Every process that reads, by pid.
inline std::map<std::string, ProcessStat> allProcesses()
{
    std::map<std::string, ProcessStat> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        ProcessStat stat;
        if (pid.find_first_not_of("0123456789") == std::string::npos && readProcessStat(pid, stat))
            found[pid] = stat;
    }
    return found;
}

// This process and its children (the engine's processes), by pid.
inline std::map<std::string, ProcessStat> selfAndChildren()
{
    std::map<std::string, ProcessStat> found = allProcesses();
    const long self = static_cast<long>(::getpid());
    std::erase_if(found, [&](const auto& process) { return process.second.parent != self && process.first != std::to_string(self); });
    return found;
}

// Waits, turning the default main context, until this process has settled after its page's load: the engine's
// processes have started (a web process is among its children) and are idle, as this process is (none of them
// used more than a tenth of a CPU between two reads 200 ms apart), and its resident memory stayed within
// 0.5 MiB, three reads in a row. Gives up after `limit`; whether it settled. What a page's load frees is only
// given back meanwhile, and the engine's processes start after the view: a read taken at once counts what is
// about to go and misses what is about to come.
inline bool settle(std::chrono::seconds limit = std::chrono::seconds(60))
{
    constexpr int kReadsInARow = 3;
    constexpr unsigned kReadIntervalMs = 200;
    const unsigned long long idleTicks = static_cast<unsigned long long>(std::max(1L, ::sysconf(_SC_CLK_TCK) / 50));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::map<std::string, ProcessStat> before = selfAndChildren();
    double rss = statusMiB("VmRSS");
    int quiet = 0;
    while (quiet < kReadsInARow && std::chrono::steady_clock::now() < deadline) {
        bool read = false;
        g_timeout_add(kReadIntervalMs, [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        }, &read);
        while (!read)
            g_main_context_iteration(nullptr, TRUE);
        const std::map<std::string, ProcessStat> now = selfAndChildren();
        const double nowRSS = statusMiB("VmRSS");
        bool engineStarted = false, idle = true;
        for (const auto& [pid, stat] : now) {
            engineStarted = engineStarted || stat.command.rfind("WebKitWebProces", 0) == 0;
            const auto earlier = before.find(pid);
            idle = idle && earlier != before.end() && stat.cpuTicks - earlier->second.cpuTicks <= idleTicks;
        }
        quiet = engineStarted && idle && std::fabs(nowRSS - rss) <= 0.5 ? quiet + 1 : 0;
        before = now;
        rss = nowRSS;
    }
    return quiet == kReadsInARow;
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
