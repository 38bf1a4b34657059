// The web engine's processes: WebKit starts them as children of this process (the web processes that run
// the pages, the network process that keeps their data: cookies, local storage, IndexedDB), and left to
// themselves they end only after this process has gone, when they find their connection to it closed:
// the network process once it has written what it holds (local storage, at times, only then), a web
// process once its page lets its main thread go (one whose page spins is ended by WebKit's own watchdog
// ten seconds later, which says so on the terminal).
//
// A program ends them with itself. Guarantees:
// - end() closes this process's connections to each of them, as this process's own end would, so that
//   each ends as it would then (the network process writing what it holds first), and kills what is left
//   after its grace; it returns once every one of them has ended, their temporary files removed
//   (WebContext::removeTemporaryFolders).
// - killWebProcesses() is async-signal-safe, for a signal handler that ends the process at once.
// - Only this process's own children running WebKit's programs are touched, each through a descriptor of
//   its own (pidfd), so a number reused by another process is never signalled.
#pragma once

#include <chrono>

namespace webengine {

class EngineProcesses {
public:
    // Ends the engine's processes now. A web process that has not ended `webGrace` after its connection
    // closed is killed (its page keeps its main thread), and the network process after `networkGrace`.
    // Main thread, at the program's end, once nothing is to run on the engine any more (its views gone:
    // the main loop is not turned again, and no view can be shown afterwards).
    static void end(std::chrono::milliseconds webGrace = std::chrono::milliseconds(250),
                    std::chrono::milliseconds networkGrace = std::chrono::seconds(5));

    // Kills the web processes at once (SIGKILL) and waits until they have ended (a second at most each);
    // the network process is left to end once this process has gone, having written what it holds.
    // Async-signal-safe, any thread.
    static void killWebProcesses();
};

} // namespace webengine
