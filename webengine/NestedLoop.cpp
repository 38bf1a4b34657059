#include "webengine/NestedLoop.h"

#include <glib.h>

namespace webengine {

namespace {
// Main thread only.
bool waitsEnded = false;
} // namespace

void endNestedWaits() { waitsEnded = true; }

bool runNestedLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    if (waitsEnded)
        return done();
    // The time-out source wakes the loop: a blocking iteration would otherwise sleep past the deadline. The
    // flag may live on this frame because the source is removed before the frame ends.
    bool expired = false;
    const guint timer = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(timeout.count()), [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
    }, &expired, nullptr);
    while (!done() && !expired && !waitsEnded)
        g_main_context_iteration(nullptr, TRUE);
    if (!expired)
        g_source_remove(timer);
    return done();
}

} // namespace webengine
