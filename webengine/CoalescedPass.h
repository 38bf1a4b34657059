// One pass of work for any number of changes, on the main run loop: a change while no pass is due or running
// makes one due after `delay`; changes while a pass runs make one more due once it has ended. A pass may end
// later than it starts (its work asynchronous): it says so with finished().
//
// Main thread only.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <utility>

namespace webengine {

class CoalescedPass {
public:
    CoalescedPass(std::chrono::milliseconds delay, std::function<void()> run) : m_delay(delay), m_run(std::move(run)) {}
    ~CoalescedPass()
    {
        if (m_timer)
            g_source_remove(m_timer);
    }
    CoalescedPass(const CoalescedPass&) = delete;
    CoalescedPass& operator=(const CoalescedPass&) = delete;

    void changed()
    {
        if (m_running) {
            m_changedSince = true;
            return;
        }
        if (!m_timer)
            m_timer = g_timeout_add(static_cast<guint>(m_delay.count()), onDue, this);
    }

    // The pass started by `run` has ended.
    void finished()
    {
        m_running = false;
        if (std::exchange(m_changedSince, false))
            changed();
    }

private:
    static gboolean onDue(gpointer data)
    {
        auto& pass = *static_cast<CoalescedPass*>(data);
        pass.m_timer = 0;
        pass.m_running = true;
        pass.m_changedSince = false;
        pass.m_run();
        return G_SOURCE_REMOVE;
    }

    std::chrono::milliseconds m_delay;
    std::function<void()> m_run;
    guint m_timer = 0;
    bool m_running = false;
    bool m_changedSince = false;
};

} // namespace webengine
