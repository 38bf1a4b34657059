// The page's commands on their way to the plug-ins: batches of JSON text are parsed, kept in arrival
// order and dispatched to the plug-ins' actions on the main thread, in time slices.
//
// Guarantees:
// - Main thread: every operation. Only the parsing of a long batch (more than 4095 UTF-16 code units)
//   runs on the global concurrent queue; it fills its own placeholder (publishing it with an atomic state) and
//   then schedules executePending() on the main thread.
// - Order: batches run in the order they were enqueued, whenever each finished parsing; commands of a
//   batch run in their order. A batch still being parsed at the head of the queue ends the pass.
// - A text that is no batch (see HYBCommandBatch.h) is dropped with a log line together with its
//   placeholder: it never stalls the batches behind it. So is an empty batch ("[]").
// - One entry that cannot be read, or is no command, costs only itself: it is logged and, when its
//   callback id can be read, answered in its turn with status 8 ("JSON error") and the reason; the other
//   entries of its batch run. An entry that is itself an array of commands (at any depth) answers each of them so.
// - One pass at a time: executePending() called while a pass is running (for example from a plug-in
//   action that evaluates script) returns at once; the running pass also runs what was queued meanwhile.
// - Time slices: after a command, when more than 8 ms passed since the pass began and commands remain,
//   the pass schedules another on the main run loop (behind the work already queued there) and returns.
//   Time is read from platform::Clock::current(), so a virtual clock drives slices and the slow-action
//   warning in tests.
// - Coming back: after a pass that ran the last batch the page handed over, the page hears from this side
//   again: an answer or other script went to it since that batch came (pageWillBeVisited()), or the
//   queue fetches its commands once more. The page's bridge counts on it: while this side is coming back
//   it queues new calls without signalling.
// - Memory: once at least 1,000 commands have run since the last time and then none for a second, the
//   allocator's free memory (what a burst of calls took and gave back) is returned to the system
//   (platform::releaseFreeMemory), once per burst.
// - After dispose() (or once the view controller is gone) nothing reaches a web view or a plug-in.
// - Owned by the view controller through a shared_ptr; scheduled passes hold it weakly.
#pragma once

#include "platform/core/Value.h"
#include "platform/runloop/Clock.h"
#include "runtime/HYBCommandBatch.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBInvokedUrlCommand.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

class HYBCommandQueue : public std::enable_shared_from_this<HYBCommandQueue> {
public:
    // A batch text longer than this many UTF-16 code units is parsed off the main thread.
    static constexpr std::size_t kMainThreadParseLimit = 4095;
    // A pass yields once more than this has passed since it began.
    static constexpr platform::Duration kTimeSlice = std::chrono::milliseconds(8);
    // An action slower than this is reported with the thread warning.
    static constexpr double kSlowActionMilliseconds = 10.0;
    // A burst: this many commands, then a quiet spell this long, after which free memory is given back.
    static constexpr std::size_t kBurstCommands = 1000;
    static constexpr platform::Duration kQuietAfterBurst = std::chrono::seconds(1);

    // initWithViewController: keeps the controller weakly.
    explicit HYBCommandQueue(std::weak_ptr<HYBCommandHost> viewController);
    ~HYBCommandQueue();
    HYBCommandQueue(const HYBCommandQueue&) = delete;
    HYBCommandQueue& operator=(const HYBCommandQueue&) = delete;

    // Forgets the view controller.
    void dispose();
    // A page started loading: the XHR bridge's request ids start again from 1, and a fetch still on its way
    // to the old page no longer holds back the new page's.
    void resetRequestId() {
        m_lastCommandQueueFlushRequestId = 0;
        m_fetchInFlight.reset();
        m_fetchAgain = false;
    }

    // Queues a batch (the JSON text of an array of [callbackId, service, action, arguments] entries).
    // Empty text is ignored. A short batch is parsed at once; the caller decides when to run
    // executePending(). A long one is parsed in the background, which then schedules executePending().
    void enqueueCommandBatch(std::string_view batchText);
    // The same, taking the text: a long one moves into its parse instead of being copied.
    void enqueueOwnedCommandBatch(std::string batchText);
    // The XHR bridge's signal with its request id: accepted only when the id is above the last accepted
    // one and either is 1 or follows an accepted one since the last reset; an accepted poke fetches the
    // page's commands and runs them. Others are ignored.
    void processXhrExecBridgePoke(std::int64_t requestId);
    // Evaluates "hybrid.require('hybrid/exec').nativeFetchMessages()" in the web view without waiting;
    // when the text comes back it is queued and a pass runs. One fetch is on its way at a time: asked for
    // meanwhile (by any number of signals), one more goes when it comes back.
    void fetchCommandsFromJs();
    // Runs queued commands (one pass; see the guarantees).
    void executePending();
    // Dispatches one command to its plug-in's action; true when the action ran. Failures are logged only.
    bool execute(const HYBInvokedUrlCommand& command);

    // Script that takes the page's queue (an answer, or other script run through the command delegate) is
    // on its way to the page. Any thread.
    void pageWillBeVisited() { m_pageVisits.fetch_add(1, std::memory_order_relaxed); }

    // True while a pass is running.
    bool currentlyExecuting() const { return m_startExecutionTime.has_value(); }
    // The number of batches queued (being parsed, or with commands left).
    std::size_t pendingBatchCount() const { return m_queue.size(); }

    // The number of UTF-16 code units the UTF-8 text stands for (each invalid byte counts as one).
    static std::size_t utf16Length(std::string_view text);

private:
    struct BatchHolder;
    // enqueueCommandBatch; `owned`, when given, holds the text and may be moved from.
    void enqueue(std::string_view batchText, std::string* owned);
    void scheduleExecutePendingOnMain();
    // The end of a pass that emptied the queue: fetches the page's commands when no script went to the
    // page since its last batch came.
    void comeBackToPage();
    // The entry's command; an entry that is none is logged and answered (answerUnreadable).
    std::optional<HYBInvokedUrlCommand> commandOf(HYBCommandBatchEntry entry);
    // Logs an entry that is no command and answers it with status 8 and the reason, when its callback id
    // could be read.
    void answerUnreadable(const HYBUnreadableCommand& command);
    // execute(command) with the clock read `started` taken before it, also telling when it ended.
    bool execute(const HYBInvokedUrlCommand& command, platform::Clock::TimePoint started,
                 platform::Clock::TimePoint& ended);
    // The end of a pass at `now`: past a burst's count of commands, a check after the quiet spell.
    void noteCommandsRan(platform::Clock::TimePoint now);
    void checkForQuietAfter(platform::Duration delay);

    std::weak_ptr<HYBCommandHost> m_viewController;
    std::deque<std::shared_ptr<BatchHolder>> m_queue;
    std::optional<platform::Clock::TimePoint> m_startExecutionTime;
    std::int64_t m_lastCommandQueueFlushRequestId = 0;
    // The fetch of the page's queue on its way (its number), and whether another was asked for meanwhile.
    std::uint64_t m_fetchesSent = 0;
    std::optional<std::uint64_t> m_fetchInFlight;
    bool m_fetchAgain = false;
    // Scripts sent towards the page (any thread), and their count when the page's last batch came; the
    // page is owed a visit while no script went since.
    std::atomic<std::uint64_t> m_pageVisits{0};
    std::uint64_t m_visitsAtLastBatch = 0;
    bool m_owesPageVisit = false;
    // Commands run since free memory was last given back, when the last pass ran them, and whether a check
    // for the quiet spell is scheduled.
    std::size_t m_commandsSinceRelease = 0;
    platform::Clock::TimePoint m_lastCommandsTime{};
    bool m_quietCheckScheduled = false;
};

} // namespace runtime
