// Set-up that a component needs on every thread the platform starts (the crash reporter gives each one an
// alternate signal stack): one pair of hooks, installed once per process, that such a thread runs when it
// starts and when it ends.
//
// Guarantees:
// - A thread the platform starts (a worker of the dispatch pool, a RunLoopThread, the URL-loading, host
//   lookup, network-change and program-watching threads) calls enterPlatformThread() first. Workers call
//   it again before each job and RunLoop::run() at each turn, so a thread that was already running when the
//   hooks were installed runs `started` at its next job or turn (the main thread too, once it turns its
//   loop with run()).
// - `started` runs at most once per thread, on that thread; `finished` runs on the same thread when it
//   exits, only when `started` ran there.
// - Other threads (those that other code or libraries start, and any thread that neither starts nor turns
//   a loop through the platform after the installation) never run the hooks.
// - installThreadHooks() is thread-safe; the first installation stays (a later one answers false).
#pragma once

namespace platform {

struct ThreadHooks {
    void (*started)() = nullptr;
    void (*finished)() = nullptr;
};

bool installThreadHooks(const ThreadHooks& hooks);

// Runs the installed `started` hook once on the calling thread (nothing when none is installed).
void enterPlatformThread();

} // namespace platform
