// The web engine's processes (its web and network processes, children of the process that shows pages)
// keep writing into the folders of the pages they ran (Library/WebKit/storage, caches) until they end,
// and they end only after the process that started them. A folder removed before then comes back.
// Tests that give the engine a temporary folder remove it with removeNowAndAfterEngine: now, and again
// once the program and its child processes have ended. A program with nothing left to write ends them
// itself with endChildProcesses before it removes its folders.
//
// Header-only, so that benchmarks use it without the tests' support library. Thread-safe.
#pragma once

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
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
// Starts `arguments` (a program's path first) detached from this process: in a session of its own, its
// parent gone, standard input `input` (or /dev/null when negative), output to /dev/null, no other
// descriptor of this process. Returns once it is started.
inline void startDetached(std::vector<std::string> arguments, int input)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // Only async-signal-safe calls between fork and exec: other threads may hold locks.
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(input >= 0 ? input : devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (child > 0)
        ::waitpid(child, nullptr, 0);
}

// A helper, detached from this process, that waits until every process of `pids` has ended (at most
// `polls` times 50 ms), then removes the folders. rm -r removes a link in them (or a folder replaced by a
// link) as the link, never what it points to.
inline void spawnRemover(const std::vector<pid_t>& pids, const std::vector<std::string>& folders, int polls)
{
    if (folders.empty())
        return;
    std::vector<std::string> arguments{"/bin/sh", "-c",
                                       "m=$1; n=$2; shift 2; pids=''; while [ \"$n\" -gt 0 ]; do pids=\"$pids $1\"; shift; n=$((n-1)); done; "
                                       "t=0; while [ $t -lt \"$m\" ]; do alive=''; for p in $pids; do "
                                       "if [ -e /proc/$p ] && ! grep -q ') Z ' /proc/$p/stat 2>/dev/null; then alive=1; fi; done; "
                                       "[ -z \"$alive\" ] && break; sleep 0.05; t=$((t+1)); done; rm -rf -- \"$@\"",
                                       "sh", std::to_string(polls), std::to_string(pids.size())};
    for (pid_t pid : pids)
        arguments.push_back(std::to_string(pid));
    arguments.insert(arguments.end(), folders.begin(), folders.end());
    startDetached(std::move(arguments), -1);
}

// The engine's processes end only after this process has (and write their last data then: local
// storage is committed as they end), so they are not ended here: the helper waits until this process
// and its children have ended (at most a minute), then removes the folders.
inline void removeFoldersAfterEngine()
{
    std::vector<pid_t> pids;
    std::vector<std::string> folders;
    {
        auto& state = foldersAfterEngine();
        std::lock_guard lock(state.mutex);
        if (state.folders.empty())
            return;
        folders = state.folders;
    }
    pids = childProcesses();
    pids.push_back(::getpid());
    spawnRemover(pids, folders, 1200);
}

// Registered while the program starts, so that it runs after everything made later has gone at exit
// (what runs at exit in the reverse order of its making: the push client's log files among them).
inline const bool kRemovesFoldersAfterEngine = (foldersAfterEngine(), std::atexit(removeFoldersAfterEngine) == 0);
} // namespace detail

// Removes the folder now and once more after the program has ended normally (exit or a return from
// main) and its child processes have ended too.
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

// Removes the folder once this process has ended, however it ends (std::_Exit, a signal): for a
// process that may end without its exit handlers, such as a death test's child ending the application.
// The helper waits at most ten minutes for this process.
inline void removeWhenThisProcessEnds(const std::string& folder)
{
    if (!folder.empty())
        detail::spawnRemover({::getpid()}, {folder}, 12000);
}

} // namespace hybtest
