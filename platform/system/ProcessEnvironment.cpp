#include "platform/system/ProcessEnvironment.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <utility>

extern char** environ;

namespace platform {

namespace {

// The variables set for the engine only, with what they were before the first setting (none: unset).
// Written only before the program starts a thread, read by any thread after.
std::map<std::string, std::optional<std::string>>& engineOnly()
{
    static auto* variables = new std::map<std::string, std::optional<std::string>>();
    return *variables;
}

// The ids of this process's threads; none when they cannot be read.
std::set<long> currentThreads()
{
    std::set<long> threads;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return threads;
    while (const dirent* entry = ::readdir(tasks)) {
        char* end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0')
            threads.insert(id);
    }
    ::closedir(tasks);
    return threads;
}

// The threads that ran as the program's own code began: those the libraries it links start as they load (the
// engine's script library starts its allocator's thread so), which read no environment. Noted before the
// program's other static objects are made (in a build of shared libraries, before those that load after this
// one).
std::set<long>& threadsAtLoad()
{
    static auto* threads = new std::set<long>();
    return *threads;
}

[[gnu::constructor(101)]] void noteThreadsAtLoad()
{
    threadsAtLoad() = currentThreads();
}

} // namespace

bool ProcessEnvironment::noThreadStarted()
{
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer starts a thread of its own with the first other one, which reads no environment.
    constexpr std::size_t kOwnThreads = 1;
#else
    constexpr std::size_t kOwnThreads = 0;
#endif
    const std::set<long> now = currentThreads();
    if (now.empty())
        return false;
    std::size_t started = 0;
    for (long thread : now)
        started += threadsAtLoad().count(thread) ? 0 : 1;
    return started <= kOwnThreads;
}

Status ProcessEnvironment::set(const std::string& name, const std::string& value, Reach reach)
{
    if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos ||
        value.find('\0') != std::string::npos)
        return Error(kPOSIXErrorDomain, EINVAL, "cannot set the environment variable \"" + name + "\": not a variable's name and value");
    if (!noThreadStarted())
        return Error(kPOSIXErrorDomain, EBUSY,
                     "cannot set " + name + " once other threads run: the environment is settled before any thread starts");
    if (reach == Reach::EngineOnly && !engineOnly().count(name)) {
        const char* before = std::getenv(name.c_str());
        engineOnly().emplace(name, before ? std::optional<std::string>(before) : std::nullopt);
    }
    if (::setenv(name.c_str(), value.c_str(), 1) != 0)
        return Error(kPOSIXErrorDomain, errno, "cannot set " + name + ": " + std::strerror(errno));
    return {};
}

ProcessEnvironment::Block::Block(std::vector<std::string> entries) : m_entries(std::move(entries))
{
    m_pointers.reserve(m_entries.size() + 1);
    for (std::string& entry : m_entries)
        m_pointers.push_back(entry.data());
    m_pointers.push_back(nullptr);
}

ProcessEnvironment::Block ProcessEnvironment::forOtherPrograms(const std::vector<std::pair<std::string, std::string>>& overrides)
{
    const auto& own = engineOnly();
    const auto replaced = [&](const std::string& name) {
        if (own.count(name))
            return true;
        for (const auto& [overridden, value] : overrides)
            if (overridden == name)
                return true;
        return false;
    };
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals && replaced(std::string(*entry, static_cast<std::size_t>(equals - *entry))))
            continue;
        entries.emplace_back(*entry);
    }
    for (const auto& [name, before] : own) {
        bool overridden = false;
        for (const auto& [other, value] : overrides)
            overridden = overridden || other == name;
        if (before && !overridden)
            entries.push_back(name + "=" + *before);
    }
    for (const auto& [name, value] : overrides)
        entries.push_back(name + "=" + value);
    return Block(std::move(entries));
}

} // namespace platform
