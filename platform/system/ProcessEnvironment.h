// The process's environment: every thread reads it (the locale, the time zone, the resolver, GLib, the
// engine's launcher copying it for the processes it starts) and the programs the process starts inherit
// it. Writing it while another thread runs is undefined (the C library may move the table under a
// reader), so the product writes it only here, and only before the program has started any thread: in main,
// before the toolkit, the URL loading or any queue has started one (the threads the libraries it links start
// as they load, which read no environment, aside).
//
// Guarantees:
// - Thread: set() on the main thread before the program starts any other thread; a call made later is
//   refused and changes nothing. The readers: any thread.
// - A variable set for this process and the engine's processes only (Reach::EngineOnly) is given as it
//   was before to every other program the process starts (forOtherPrograms).
#pragma once

#include "platform/core/Error.h"

#include <string>
#include <utility>
#include <vector>

namespace platform {

class ProcessEnvironment {
public:
    enum class Reach {
        // This process and every program it starts (a display to show on).
        EveryProgram,
        // This process and the engine's processes, which inherit the environment as it stands; another
        // program started (a desktop opener, a helper) gets the value from before.
        EngineOnly,
    };

    // Sets `name` to `value`. Refused, with nothing changed, once the program has started a thread, and for a name
    // that is empty or holds '=' or a value that holds a NUL.
    static Status set(const std::string& name, const std::string& value, Reach reach);

    // Whether no thread has started since the program's code began (those its libraries start as they load,
    // and a sanitizer's own, aside): while so, the environment may be written.
    static bool noThreadStarted();

    // An environment as exec and posix_spawn take it (data()), holding its texts "NAME=value".
    class Block {
    public:
        explicit Block(std::vector<std::string> entries);
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;
        const std::vector<std::string>& entries() const { return m_entries; }
        char* const* data() const { return m_pointers.data(); }

    private:
        std::vector<std::string> m_entries;
        std::vector<char*> m_pointers;
    };

    // The environment for a program this process starts other than the engine's: its own, with every
    // variable set for the engine only as it was before, and `overrides` ({name, value}) set over it. Made
    // before a fork: between fork and exec only async-signal-safe calls.
    static Block forOtherPrograms(const std::vector<std::pair<std::string, std::string>>& overrides = {});
};

} // namespace platform
