// Named stopwatches that log the milliseconds between start and stop; names compare ignoring case.
// The view controller times the creation of its start-up plug-ins with them.
//
// Guarantees:
// - One shared instance per process, made once on first use (thread-safe). Its items are not locked:
//   use it from the main thread.
// - Misuse (starting a running name, stopping an unknown one) is logged and otherwise ignored.
// - Time stamps come from platform::Clock::current(), so a virtual clock drives them in tests.
#pragma once

#include "runtime/HYBTimerItem.h"

#include <map>
#include <string>
#include <string_view>

namespace runtime {

class HYBTimer {
public:
    static HYBTimer& sharedInstance();

    // Start, stop and clear on the shared instance.
    static void start(std::string_view name) { sharedInstance().add(name); }
    static void stop(std::string_view name) { sharedInstance().remove(name); }
    static void clearAll() { sharedInstance().removeAll(); }

    // Starts a timer unless one of that name runs ("Timer called '<name>' already exists.").
    void add(std::string_view name);
    // Stops the timer of that name and logs it ("Timer called '<name>' does not exist." when none).
    void remove(std::string_view name);
    // Forgets every timer without logging.
    void removeAll() { m_items.clear(); }

    // Running timers by lower-cased name.
    const std::map<std::string, HYBTimerItem>& items() const { return m_items; }

private:
    std::map<std::string, HYBTimerItem> m_items;
};

} // namespace runtime
