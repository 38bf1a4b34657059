// Every test, benchmark and fuzz program runs in an environment of its own, so that nothing it does
// reaches the user's data: a folder made under $TMPDIR (or /tmp) at start-up holds its home (HOME and the
// XDG data, config, cache and state homes: the application's default home, the engine's caches), its
// runtime folder (XDG_RUNTIME_DIR: the shared pasteboards and the store of the shared device identifier)
// and its TMPDIR (where every temporary folder of a test is made). The folder is removed once the program
// has ended, however it ends (exit, a signal, a sanitizer's report, a time-out's SIGKILL), and once more
// after the engine's processes it started have ended too.
//
// A process started by one that has entered its environment (a death test's child, a program a test
// runs) inherits it and keeps it: only the first process makes and removes the folder.
//
// Header-only, so that benchmarks and fuzz targets use it without the tests' support library.
// enterPrivateEnvironment is called once, before any thread starts (tests/support/EnterPrivateEnvironment.cpp
// does it as the program loads).
#pragma once

#include "support/EngineProcesses.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace hybtest {

// Names the private folder in the environment of the process that made it and of those it starts.
inline constexpr const char* kPrivateRootVariable = "HYB_PRIVATE_ROOT";

// The variables that place a home in `root` (made as needed): HOME, the XDG homes, XDG_RUNTIME_DIR.
inline std::vector<std::pair<std::string, std::string>> homeVariables(const std::string& root)
{
    const std::string home = root + "/home";
    std::vector<std::pair<std::string, std::string>> variables{
        {"HOME", home},
        {"XDG_DATA_HOME", home + "/.local/share"},
        {"XDG_CONFIG_HOME", home + "/.config"},
        {"XDG_CACHE_HOME", home + "/.cache"},
        {"XDG_STATE_HOME", home + "/.local/state"},
        {"XDG_RUNTIME_DIR", root + "/run"},
    };
    for (const auto& [name, folder] : variables) {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        ::chmod(folder.c_str(), 0700);
    }
    return variables;
}

// This process's environment with its home moved into `root` (see homeVariables), for a program that is
// to run with a home of its own: entries "NAME=value".
inline std::vector<std::string> environmentWithHomeIn(const std::string& root)
{
    const auto variables = homeVariables(root);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const auto& variable : variables)
            replaced = replaced || text.rfind(variable.first + "=", 0) == 0;
        if (!replaced)
            environment.push_back(text);
    }
    for (const auto& [name, value] : variables)
        environment.push_back(name + "=" + value);
    return environment;
}

// Removes `folder` once this program has ended, however it ends (and the processes it forked without
// executing another program): a helper detached from it (so that ending this process's children does not
// end it) waits for the end of a pipe whose write end only they hold.
inline void removeWhenThisProgramEnds(const std::string& folder)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;
    detail::startDetached({"/bin/sh", "-c", "cat >/dev/null; rm -rf -- \"$1\"", "sh", folder}, ends[0]);
    ::close(ends[0]);
}

// A new folder "<prefix>-XXXXXX" under $TMPDIR (or /tmp when unset): inside the program's private folder
// once it has entered it. Empty when it cannot be made.
inline std::string makeTemporaryFolder(const std::string& prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// Moves this process into a folder of its own (see above); `name` starts the folder's name. Returns the
// folder (the inherited one in a process started by one already in its own).
inline std::string enterPrivateEnvironment(const std::string& name)
{
    if (const char* inherited = std::getenv(kPrivateRootVariable); inherited && *inherited) {
        struct stat st {};
        if (::stat(inherited, &st) == 0 && S_ISDIR(st.st_mode))
            return inherited;
    }
    const std::string root = makeTemporaryFolder(name);
    if (root.empty()) {
        std::fprintf(stderr, "%s: cannot make its private folder: %s\n", name.c_str(), std::strerror(errno));
        std::abort();
    }
    removeWhenThisProgramEnds(root);
    {
        // At a normal end, again after the engine's processes (which outlive this one a little) have ended.
        auto& state = detail::foldersAfterEngine();
        std::lock_guard lock(state.mutex);
        state.folders.push_back(root);
    }

    // What the display needs from the old home and runtime folder: its authority file and socket.
    const char* oldHome = std::getenv("HOME");
    if (!std::getenv("XAUTHORITY") && oldHome && *oldHome) {
        const std::string authority = std::string(oldHome) + "/.Xauthority";
        if (::access(authority.c_str(), R_OK) == 0)
            ::setenv("XAUTHORITY", authority.c_str(), 1);
    }
    const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland && *wayland != '/' && oldRuntime && *oldRuntime)
        ::setenv("WAYLAND_DISPLAY", (std::string(oldRuntime) + "/" + wayland).c_str(), 1);

    for (const auto& [variable, value] : homeVariables(root))
        ::setenv(variable.c_str(), value.c_str(), 1);
    // The folder and its TMPDIR may be passed through by others (a test that drops its privileges reads
    // a bundle it made there), not listed.
    const std::string temporary = root + "/tmp";
    ::mkdir(temporary.c_str(), 0711);
    ::chmod(temporary.c_str(), 0711);
    ::chmod(root.c_str(), 0711);
    ::setenv("TMPDIR", temporary.c_str(), 1);
    // Read before TMPDIR by the test framework's TempDir().
    ::unsetenv("TEST_TMPDIR");
    // The shared pasteboards are those of XDG_RUNTIME_DIR now, not a folder named for the user's programs.
    ::unsetenv("HYB_PASTEBOARD_DIR");
    // Settings written through the desktop's settings service would land in the user's settings database.
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    ::setenv(kPrivateRootVariable, root.c_str(), 1);
    return root;
}

} // namespace hybtest
