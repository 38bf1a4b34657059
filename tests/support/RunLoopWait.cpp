#include "support/RunLoopWait.h"

#include <glib.h>

namespace hybtest {

bool runUntil(platform::RunLoop& loop, const std::function<bool()>& done, std::chrono::milliseconds limit) {
    GSource* tick = g_timeout_source_new(5);
    g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(tick, loop.context());
    const auto end = std::chrono::steady_clock::now() + limit;
    bool ok = done();
    while (!ok && std::chrono::steady_clock::now() < end) {
        loop.runOnce(platform::Clock::TimePoint::max());
        ok = done();
    }
    g_source_destroy(tick);
    g_source_unref(tick);
    return ok;
}

} // namespace hybtest
