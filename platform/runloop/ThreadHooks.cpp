#include "platform/runloop/ThreadHooks.h"

#include <atomic>

namespace platform {
namespace {

// Set once, never freed: threads may still read it while the process exits.
std::atomic<const ThreadHooks*> g_hooks{nullptr};

// The calling thread's part: whether `started` ran here, and `finished` at the thread's exit.
struct ThreadEntry {
    const ThreadHooks* ran = nullptr;
    ~ThreadEntry()
    {
        if (ran != nullptr && ran->finished != nullptr)
            ran->finished();
    }
};

} // namespace

bool installThreadHooks(const ThreadHooks& hooks)
{
    const ThreadHooks* expected = nullptr;
    auto* installed = new ThreadHooks(hooks);
    if (g_hooks.compare_exchange_strong(expected, installed, std::memory_order_acq_rel))
        return true;
    delete installed;
    return false;
}

void enterPlatformThread()
{
    const ThreadHooks* hooks = g_hooks.load(std::memory_order_acquire);
    if (hooks == nullptr)
        return;
    static thread_local ThreadEntry entry;
    if (entry.ran != nullptr)
        return;
    entry.ran = hooks;
    if (hooks->started != nullptr)
        hooks->started();
}

} // namespace platform
