// A private virtual X display (Xvfb) for running the engine where there is no display: the application's
// --headless mode and the benchmarks. Starting it sets DISPLAY for this process and its children (through
// platform::ProcessEnvironment: refused once the program has started a thread, so it starts before); the
// server stops when the object goes (killed when it has not ended two seconds after it was told to), and
// also when the thread that started it ends: the kernel sends it SIGTERM then, so no way out of the
// process (abort, _Exit, a signal) leaves it running. Start it on the main thread.
#pragma once

#include "platform/core/Error.h"

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>

namespace webengine {

class PrivateDisplay {
public:
    // Starts "Xvfb -displayfd" on a free display number and waits (bounded) for it to accept clients. A
    // server that names no display is told as what happened: not found (or another reason its program
    // could not be run), exited with status N or ended by a signal before naming one, or named none
    // within the time-out; with the last line it wrote, if any. Refused (the server stopped) once the
    // program has started a thread, since DISPLAY cannot be set then.
    static platform::Result<std::unique_ptr<PrivateDisplay>> start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Whether an X display is already reachable through DISPLAY.
    static bool isDisplayAvailable();
    // Opens the display DISPLAY names and makes it GDK's default, so that gtk_init uses this connection
    // instead of opening another; false when it cannot be opened.
    static bool openDefaultDisplay();

    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    // ":N"
    const std::string& name() const { return m_name; }

private:
    PrivateDisplay(pid_t server, std::string name) : m_server(server), m_name(std::move(name)) {}

    pid_t m_server;
    std::string m_name;
};

} // namespace webengine
