#include "platform/runloop/RunLoopCore.h"

#include "platform/runloop/HandOver.h"
#include "platform/runloop/ThreadHooks.h"

#include <climits>

#include <atomic>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

struct CoreSource {
    GSource base;
    RunLoopCore* core;
};

// The source may have been attached on another thread (the main loop is made by whichever thread asks
// for it first); g_source_attach and the context's iteration order that under the context's lock.
RunLoopCore* coreOf(GSource* source) {
    handOverReceived(source);
    return reinterpret_cast<CoreSource*>(source)->core;
}

gboolean corePrepare(GSource* source, gint* timeout) {
    return coreOf(source)->prepare(timeout);
}

gboolean coreCheck(GSource* source) {
    return coreOf(source)->check();
}

gboolean coreDispatch(GSource* source, GSourceFunc, gpointer) {
    coreOf(source)->dispatch();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs g_coreFuncs = {corePrepare, coreCheck, coreDispatch, nullptr, nullptr, nullptr};

gint timeoutUntil(Clock::TimePoint now, Clock::TimePoint when) {
    if (when <= now)
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<gint>(ms);
}

} // namespace

RunLoopCore::RunLoopCore(GMainContext* context, bool isMain)
    : m_context(g_main_context_ref(context)), m_isMain(isMain), m_thread(std::this_thread::get_id()) {}

namespace {

// Bumped in the child of a fork, where the forking thread becomes the main thread.
std::atomic<unsigned> g_forkGeneration{0};

// Whether the calling thread is the process's main thread (its id is the process id). Asked of the
// kernel once per thread (and again after a fork) rather than on every log line and page call.
bool callingThreadIsMain() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { g_forkGeneration.fetch_add(1); });
        return true;
    }();
    (void)registered;
    thread_local unsigned generation = ~0u;
    thread_local bool isMain = false;
    const unsigned current = g_forkGeneration.load(std::memory_order_relaxed);
    if (generation != current) {
        isMain = static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
        generation = current;
    }
    return isMain;
}

} // namespace

bool RunLoopCore::isCurrent() const {
    if (m_isMain)
        return callingThreadIsMain();
    return std::this_thread::get_id() == m_thread;
}

void RunLoopCore::attach() {
    m_source = g_source_new(&g_coreFuncs, sizeof(CoreSource));
    reinterpret_cast<CoreSource*>(m_source)->core = this;
    g_source_set_name(m_source, "platform run loop");
    // Perform requests and timers must run in nested turns started from their own callouts; the
    // per-timer flag keeps a timer from re-entering itself.
    g_source_set_can_recurse(m_source, TRUE);
    handOverSent(m_source);
    g_source_attach(m_source, m_context);
    Clock::addHost(weak_from_this());
}

RunLoopCore::~RunLoopCore() {
    if (m_source) {
        g_source_destroy(m_source);
        g_source_unref(m_source);
    }
    std::deque<std::function<void()>> performs;
    std::map<TimerKey, std::shared_ptr<Timer>> timers;
    {
        std::lock_guard lock(m_mutex);
        performs.swap(m_performs);
        timers.swap(m_timers);
    }
    for (auto& [key, timer] : timers) {
        timer->m_valid = false;
        timer->m_callback = nullptr;
    }
    g_main_context_unref(m_context);
}

void RunLoopCore::perform(std::function<void()> block) {
    bool wasEmpty;
    {
        std::lock_guard lock(m_mutex);
        wasEmpty = m_performs.empty();
        m_performs.push_back(std::move(block));
    }
    // One wake-up per empty-to-busy change: the loop drains everything queued before it sleeps again. The
    // loop's own thread is not sleeping in it: its next turn sees the request before it sleeps.
    if (wasEmpty && !isCurrent())
        g_main_context_wakeup(m_context);
}

void RunLoopCore::insertTimerLocked(const std::shared_ptr<Timer>& timer, Clock::TimePoint fireDate) {
    timer->m_key = {fireDate, m_nextSequence++};
    m_timers.emplace(timer->m_key, timer);
}

std::shared_ptr<Timer> RunLoopCore::addTimer(Clock::TimePoint fireDate, Duration interval, bool repeats,
                                             Timer::Callback callback) {
    if (repeats && interval <= Duration::zero())
        interval = std::chrono::milliseconds(1); // a repeating timer needs a positive interval
    std::shared_ptr<Timer> timer(new Timer(weak_from_this(), interval, repeats, std::move(callback)));
    {
        std::lock_guard lock(m_mutex);
        insertTimerLocked(timer, fireDate);
    }
    if (!isCurrent())
        g_main_context_wakeup(m_context);
    return timer;
}

void RunLoopCore::invalidateTimer(Timer& timer) {
    Timer::Callback dropped;
    std::shared_ptr<Timer> keep;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_timers.find(timer.m_key);
        if (it != m_timers.end() && it->second.get() == &timer) {
            keep = std::move(it->second);
            m_timers.erase(it);
        }
        if (!timer.m_inCallout)
            dropped = std::move(timer.m_callback);
    }
    // The callback and its captures are released outside the lock; `keep` may hold the last reference.
}

Clock::TimePoint RunLoopCore::fireDateOf(const Timer& timer) {
    std::lock_guard lock(m_mutex);
    return timer.m_key.first;
}

std::optional<Clock::TimePoint> RunLoopCore::firstTimerLocked() const {
    for (const auto& [key, timer] : m_timers)
        if (!timer->m_inCallout)
            return key.first;
    return std::nullopt;
}

bool RunLoopCore::hasDueWorkLocked(Clock::TimePoint now) const {
    if (!m_performs.empty())
        return true;
    auto first = firstTimerLocked();
    return first && *first <= now;
}

gboolean RunLoopCore::prepare(gint* timeout) {
    if (m_holds > 0) {
        *timeout = -1; // release() wakes the loop
        return FALSE;
    }
    Clock& clock = Clock::current();
    const auto now = clock.now();
    std::optional<Clock::TimePoint> wake;
    {
        std::lock_guard lock(m_mutex);
        if (hasDueWorkLocked(now)) {
            *timeout = 0;
            return TRUE;
        }
        wake = firstTimerLocked();
    }
    if (!m_deadlines.empty() && (!wake || m_deadlines.back() < *wake))
        wake = m_deadlines.back();
    // A virtual clock does not move by itself: sleep until advance() wakes the loop.
    *timeout = (!wake || clock.isVirtual()) ? (wake && *wake <= now ? 0 : -1) : timeoutUntil(now, *wake);
    return FALSE;
}

gboolean RunLoopCore::check() {
    if (m_holds > 0)
        return FALSE;
    const auto now = Clock::current().now();
    std::lock_guard lock(m_mutex);
    return hasDueWorkLocked(now);
}

void RunLoopCore::dispatch() {
    if (m_holds > 0)
        return;
    runPerforms();
    fireDueTimers();
    m_settled.notify_all();
}

void RunLoopCore::runPerforms() {
    // Only the requests queued before this turn: later ones wait for the next turn, so that a request
    // re-posting itself cannot starve timers and descriptors.
    std::size_t count;
    {
        std::lock_guard lock(m_mutex);
        count = m_performs.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::function<void()> block;
        {
            std::lock_guard lock(m_mutex);
            if (m_performs.empty())
                return; // a nested turn took the rest
            block = std::move(m_performs.front());
            m_performs.pop_front();
        }
        if (block)
            block();
    }
}

void RunLoopCore::fireDueTimers() {
    const auto now = Clock::current().now();
    std::vector<std::shared_ptr<Timer>> due;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [key, timer] : m_timers) {
            if (key.first > now)
                break;
            if (!timer->m_inCallout)
                due.push_back(timer);
        }
    }
    for (auto& timer : due) {
        Timer::Callback oneShot;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_timers.find(timer->m_key);
            if (it == m_timers.end() || it->second != timer || timer->m_inCallout)
                continue; // invalidated, or fired by a nested turn meanwhile
            m_timers.erase(it);
            if (timer->m_repeats) {
                auto next = timer->m_key.first + timer->m_interval;
                if (next <= now) // skip the firings that were missed
                    next += timer->m_interval * ((now - next) / timer->m_interval + 1);
                insertTimerLocked(timer, next);
                timer->m_inCallout = true;
            } else {
                timer->m_valid = false;
                oneShot = std::move(timer->m_callback);
            }
            ++m_timersFiring;
        }
        if (!timer->m_repeats) {
            if (oneShot)
                oneShot(*timer);
            oneShot = nullptr;
            std::lock_guard lock(m_mutex);
            --m_timersFiring;
            continue;
        }
        timer->m_callback(*timer);
        Timer::Callback dropped;
        {
            std::lock_guard lock(m_mutex);
            --m_timersFiring;
            timer->m_inCallout = false;
            if (!timer->isValid())
                dropped = std::move(timer->m_callback);
        }
    }
}

bool RunLoopCore::runOnce(Clock::TimePoint deadline, bool& stopped) {
    ++m_depth;
    bool handled = false;
    stopped = false;
    for (;;) {
        m_deadlines.push_back(deadline);
        const bool mayBlock = Clock::current().now() < deadline;
        handled = g_main_context_iteration(m_context, mayBlock) != FALSE;
        m_deadlines.pop_back();
        if (handled || !mayBlock || Clock::current().now() >= deadline)
            break;
        if (m_stop.load()) {
            stopped = true;
            break;
        }
    }
    {
        std::lock_guard lock(m_mutex); // a clock waiting in clockAdvanced() must not miss this
        --m_depth;
    }
    m_settled.notify_all();
    return handled;
}

void RunLoopCore::run() {
    ++m_depth; // the thread counts as turning its loop for the whole run
    while (!consumeStop()) {
        enterPlatformThread();
        bool stopped = false;
        runOnce(Clock::TimePoint::max(), stopped);
    }
    {
        std::lock_guard lock(m_mutex);
        --m_depth;
    }
    m_settled.notify_all();
}

void RunLoopCore::requestStop() {
    m_stop = true;
    g_main_context_wakeup(m_context);
}

std::optional<Clock::TimePoint> RunLoopCore::nextDeadline() const {
    std::lock_guard lock(m_mutex);
    return firstTimerLocked();
}

bool RunLoopCore::needsTurn() const {
    if (!isCurrent() && m_depth.load() == 0)
        return false; // nobody turns it now
    std::lock_guard lock(m_mutex);
    return hasDueWorkLocked(Clock::current().now());
}

void RunLoopCore::clockAdvanced() {
    if (isCurrent()) {
        // Turn this thread's loop until nothing is due at the new time. Bounded, in case work keeps
        // re-posting itself.
        for (int i = 0; i < 1'000'000; ++i) {
            {
                std::lock_guard lock(m_mutex);
                if (!hasDueWorkLocked(Clock::current().now()))
                    return;
            }
            ++m_depth;
            g_main_context_iteration(m_context, FALSE);
            --m_depth;
        }
        return;
    }
    if (m_depth.load() == 0)
        return; // the thread is not turning its loop: nothing can run there now
    g_main_context_wakeup(m_context);
    std::unique_lock lock(m_mutex);
    m_settled.wait_for(lock, std::chrono::seconds(10), [&] {
        return m_depth.load() == 0 || (m_timersFiring == 0 && !hasDueWorkLocked(Clock::current().now()));
    });
}

} // namespace platform
