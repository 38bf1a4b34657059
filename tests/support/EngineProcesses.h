// The web engine's processes (its web and network processes, children of the process that shows pages)
// keep writing into the folders of the pages they ran (Library/WebKit/storage, caches) until they end,
// and they end only with the process that started them. A folder removed before then comes back.
// Tests and benchmarks that give the engine a temporary folder remove it with removeNowAndAfterEngine:
// now, and again when the program ends, after its child processes have been ended.
//
// Header-only, so that benchmarks use it without the tests' support library. Thread-safe.
#pragma once

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace hybtest {

// The children of this process still running (or not yet waited for).
inline std::vector<pid_t> childProcesses()
{
    std::vector<pid_t> children;
    const pid_t self = ::getpid();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        // "pid (comm) state ppid ...": the command may hold blanks and parentheses, so read after the last ')'.
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && parent == self)
            children.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return children;
}

// Ends every child of this process (the engine's processes among them) and waits for each.
inline void endChildProcesses()
{
    for (pid_t child : childProcesses()) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}

namespace detail {
struct FoldersAfterEngine {
    std::mutex mutex;
    std::vector<std::string> folders;
};
inline FoldersAfterEngine& foldersAfterEngine()
{
    static auto* state = new FoldersAfterEngine; // used at exit: never destroyed
    return *state;
}
inline void removeFoldersAfterEngine()
{
    endChildProcesses();
    auto& state = foldersAfterEngine();
    std::lock_guard lock(state.mutex);
    for (const std::string& folder : state.folders) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}
// Registered while the program starts, so that it runs after everything made later has gone at exit
// (what runs at exit in the reverse order of its making: the push client's log files among them).
inline const bool kRemovesFoldersAfterEngine = (foldersAfterEngine(), std::atexit(removeFoldersAfterEngine) == 0);
} // namespace detail

// Removes the folder now and once more when the program ends normally (exit or a return from main),
// after ending its child processes.
inline void removeNowAndAfterEngine(const std::string& folder)
{
    if (folder.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    auto& state = detail::foldersAfterEngine();
    std::lock_guard lock(state.mutex);
    state.folders.push_back(folder);
}

} // namespace hybtest
