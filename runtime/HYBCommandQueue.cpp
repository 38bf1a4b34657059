#include "runtime/HYBCommandQueue.h"

#include "platform/runloop/DispatchQueue.h"
#include "platform/system/FreeMemory.h"
#include "platform/core/Log.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/WebView.h"
#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBPluginResult.h"
#include "runtime/HYBPlugin.h"

#include <atomic>
#include <utility>

namespace runtime {
namespace {

constexpr const char* kFetchMessagesScript = "hybrid.require('hybrid/exec').nativeFetchMessages()";

} // namespace

// One batch's place in the queue. Filled once by the parser, which publishes the batch through `state`
// (a release store; the pass reads it with an acquire load); from then on it is read and consumed on the
// main thread only.
struct HYBCommandQueue::BatchHolder {
    enum class State { Parsing, Ready, Failed };

    std::atomic<State> state{State::Parsing};
    std::vector<HYBCommandBatchEntry> batch;
    std::size_t next = 0; // the first entry not yet taken

    // Reads the text and fills the holder; a text that is no batch fails it.
    void fill(std::string_view text) {
        platform::Result<std::vector<HYBCommandBatchEntry>> entries = readCommandBatch(text);
        if (!entries) {
            platform::Log::write("ERROR: Command batch dropped: " + entries.error().localizedDescription());
            state.store(State::Failed, std::memory_order_release);
            return;
        }
        batch = std::move(entries).value();
        state.store(State::Ready, std::memory_order_release);
    }
};

HYBCommandQueue::HYBCommandQueue(std::weak_ptr<HYBCommandHost> viewController)
    : m_viewController(std::move(viewController)) {}

HYBCommandQueue::~HYBCommandQueue() = default;

void HYBCommandQueue::dispose() { m_viewController.reset(); }

std::size_t HYBCommandQueue::utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!valid) {
            ++units; // a stray byte reads as one replacement character
            ++i;
            continue;
        }
        units += length == 4 ? 2 : 1;
        i += length;
    }
    return units;
}

void HYBCommandQueue::enqueueCommandBatch(std::string_view batchText) { enqueue(batchText, nullptr); }

void HYBCommandQueue::enqueueOwnedCommandBatch(std::string batchText) {
    const std::string_view text = batchText;
    enqueue(text, &batchText);
}

void HYBCommandQueue::enqueue(std::string_view batchText, std::string* owned) {
    if (batchText.empty())
        return;
    m_owesPageVisit = true;
    m_visitsAtLastBatch = m_pageVisits.load(std::memory_order_relaxed);
    m_queue.push_back(std::make_shared<BatchHolder>()); // the batch keeps its place, however long it takes to parse

    // Each UTF-16 code unit takes at least one byte, so a shorter text is short without counting.
    if (batchText.size() > kMainThreadParseLimit && utf16Length(batchText) > kMainThreadParseLimit) {
        platform::DispatchQueue::global()->async(
            [holder = m_queue.back(), text = owned ? std::move(*owned) : std::string(batchText), weak = weak_from_this()] {
                holder->fill(text);
                if (weak.expired())
                    return;
                platform::DispatchQueue::main()->async([weak] {
                    if (std::shared_ptr<HYBCommandQueue> queue = weak.lock())
                        queue->executePending();
                });
            });
        return;
    }
    // Parsed here and now: nothing else runs meanwhile, so the holder is still the last one.
    BatchHolder& holder = *m_queue.back();
    holder.fill(batchText);
    if (holder.state.load(std::memory_order_relaxed) == BatchHolder::State::Failed)
        m_queue.pop_back();
}

void HYBCommandQueue::processXhrExecBridgePoke(std::int64_t requestId) {
    const bool accepted = requestId > m_lastCommandQueueFlushRequestId &&
                          (requestId == 1 || m_lastCommandQueueFlushRequestId != 0);
    if (!accepted)
        return;
    m_lastCommandQueueFlushRequestId = requestId;
    fetchCommandsFromJs();
    executePending();
}

void HYBCommandQueue::fetchCommandsFromJs() {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    std::shared_ptr<platform::WebView> webView = host ? host->webView() : nullptr;
    if (!webView)
        return;
    // One fetch at a time: what the page queued after the one on its way had run is taken by one more fetch
    // when it comes back, however many signals asked meanwhile.
    if (m_fetchInFlight) {
        m_fetchAgain = true;
        return;
    }
    const std::uint64_t fetch = ++m_fetchesSent;
    m_fetchInFlight = fetch;
    pageWillBeVisited();
    // The page's commands wait for this: it goes at once, not with the rest of this turn's scripts.
    webView->evaluateJavaScriptPromptly(kFetchMessagesScript, [weak = weak_from_this(), fetch](std::string batch) {
        std::shared_ptr<HYBCommandQueue> queue = weak.lock();
        if (!queue)
            return;
        queue->enqueueOwnedCommandBatch(std::move(batch));
        if (queue->m_fetchInFlight == fetch) {
            queue->m_fetchInFlight.reset();
            if (std::exchange(queue->m_fetchAgain, false))
                queue->fetchCommandsFromJs();
        }
        queue->executePending();
    });
}

void HYBCommandQueue::scheduleExecutePendingOnMain() {
    platform::RunLoop::current().performAfterDelay(0.0, [weak = weak_from_this()] {
        if (std::shared_ptr<HYBCommandQueue> queue = weak.lock())
            queue->executePending();
    });
}

void HYBCommandQueue::executePending() {
    if (m_startExecutionTime)
        return;
    platform::Clock& clock = platform::Clock::current();
    m_startExecutionTime = clock.now();
    // The latest clock reading of this pass.
    platform::Clock::TimePoint lastRead = *m_startExecutionTime;
    // The pass ends however it is left, an exception from an action included.
    struct EndPass {
        HYBCommandQueue& queue;
        const platform::Clock::TimePoint& lastRead;
        const std::size_t commandsBefore;
        ~EndPass() {
            queue.m_startExecutionTime.reset();
            if (queue.m_commandsSinceRelease != commandsBefore)
                queue.noteCommandsRan(lastRead);
        }
    } endPass{*this, lastRead, m_commandsSinceRelease};
    // Keeps the queue alive through actions that might drop the controller.
    std::shared_ptr<HYBCommandQueue> keepAlive = weak_from_this().lock();

    while (!m_queue.empty()) {
        // The batch at the head stays there (and alive) until its last entry is taken; only this pass
        // removes it, and a nested pass returns at once. It is not touched once removed.
        BatchHolder& holder = *m_queue.front();
        const BatchHolder::State state = holder.state.load(std::memory_order_acquire);
        if (state == BatchHolder::State::Parsing)
            return; // its parser schedules a new pass when it is done
        if (state == BatchHolder::State::Failed || holder.next >= holder.batch.size()) {
            m_queue.pop_front(); // failed, or nothing in it
            continue;
        }
        for (bool last = false; !last;) {
            HYBCommandBatchEntry entry = std::move(holder.batch[holder.next++]);
            last = holder.next == holder.batch.size();
            if (last)
                m_queue.pop_front(); // before the command runs
            // One clock read per command: the end of one command is the start of the next.
            if (std::optional<HYBInvokedUrlCommand> command = commandOf(std::move(entry)))
                execute(*command, lastRead, lastRead);
            else
                lastRead = clock.now();
            ++m_commandsSinceRelease;
            if (!m_queue.empty() && lastRead - *m_startExecutionTime > kTimeSlice) {
                scheduleExecutePendingOnMain();
                return;
            }
        }
    }
    comeBackToPage();
}

void HYBCommandQueue::noteCommandsRan(platform::Clock::TimePoint now) {
    m_lastCommandsTime = now;
    if (m_commandsSinceRelease >= kBurstCommands && !m_quietCheckScheduled)
        checkForQuietAfter(kQuietAfterBurst);
}

void HYBCommandQueue::checkForQuietAfter(platform::Duration delay) {
    m_quietCheckScheduled = true;
    platform::RunLoop::main().performAfterDelay(delay, [weak = weak_from_this()] {
        std::shared_ptr<HYBCommandQueue> queue = weak.lock();
        if (!queue)
            return;
        queue->m_quietCheckScheduled = false;
        const platform::Duration quiet = platform::Clock::current().now() - queue->m_lastCommandsTime;
        if (quiet < kQuietAfterBurst) {
            queue->checkForQuietAfter(kQuietAfterBurst - quiet);
            return;
        }
        // What the burst allocated (its batches, answers and the engine's requests) has been freed by now.
        queue->m_commandsSinceRelease = 0;
        platform::releaseFreeMemory();
    });
}

void HYBCommandQueue::comeBackToPage() {
    if (!std::exchange(m_owesPageVisit, false))
        return;
    const std::uint64_t visits = m_visitsAtLastBatch;
    if (m_pageVisits.load(std::memory_order_relaxed) != visits)
        return;
    // Behind the answers this pass handed to the main queue: when one of them went, it took the queue.
    platform::DispatchQueue::main()->async([weak = weak_from_this(), visits] {
        std::shared_ptr<HYBCommandQueue> queue = weak.lock();
        if (queue && queue->m_pageVisits.load(std::memory_order_relaxed) == visits)
            queue->fetchCommandsFromJs();
    });
}

std::optional<HYBInvokedUrlCommand> HYBCommandQueue::commandOf(HYBCommandBatchEntry entry) {
    if (HYBUnreadableCommand* unreadable = std::get_if<HYBUnreadableCommand>(&entry)) {
        answerUnreadable(*unreadable);
        return std::nullopt;
    }
    platform::Value& value = std::get<platform::Value>(entry);
    // Commands wrapped in a batch of their own (`[[[...],[...]]]`) are no commands, but each is answered.
    if (const platform::Array* inner = value.getArray(); inner && !inner->empty() && (*inner)[0].isArray()) {
        for (std::optional<std::string>& callbackId : nestedCommandCallbackIds(value))
            answerUnreadable(HYBUnreadableCommand{std::move(callbackId), "it is a batch inside the batch, not a command"});
        return std::nullopt;
    }
    std::optional<std::string> callbackId = commandCallbackId(value);
    platform::Result<HYBInvokedUrlCommand> command = HYBInvokedUrlCommand::readFromJson(std::move(value));
    if (command)
        return std::move(command).value();
    answerUnreadable(HYBUnreadableCommand{std::move(callbackId), command.error().localizedDescription()});
    return std::nullopt;
}

void HYBCommandQueue::answerUnreadable(const HYBUnreadableCommand& command) {
    platform::Log::write("ERROR: Command dropped, it cannot be read: " + command.reason);
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    std::shared_ptr<HYBCommandDelegate> delegate = host ? host->commandDelegate() : nullptr;
    if (!command.callbackId || !delegate)
        return;
    delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::JSONError,
                                                                "The command cannot be read: " + command.reason),
                               *command.callbackId);
}

bool HYBCommandQueue::execute(const HYBInvokedUrlCommand& command) {
    platform::Clock::TimePoint ended;
    return execute(command, platform::Clock::current().now(), ended);
}

bool HYBCommandQueue::execute(const HYBInvokedUrlCommand& command, platform::Clock::TimePoint started,
                              platform::Clock::TimePoint& ended) {
    platform::Clock& clock = platform::Clock::current();
    auto notRun = [&] {
        ended = clock.now();
        return false;
    };
    if (command.className().empty() || command.methodName().empty()) {
        platform::Log::write("ERROR: Classname and/or methodName not found for command.");
        return notRun();
    }
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    if (!host)
        return notRun(); // disposed: nothing reaches a plug-in any more
    // What the controller's command delegate answers for getCommandInstance, asked of the controller
    // itself.
    std::shared_ptr<HYBPlugin> plugin = host->getCommandInstance(command.className());
    if (!plugin) {
        platform::Log::write("ERROR: Plugin '" + command.className() +
                             "' not found, or is not a HYBPlugin. Check your plugin mapping in config.xml.");
        return notRun();
    }
    const bool performed = plugin->performAction(command.methodName(), command);
    if (!performed)
        platform::Log::write("ERROR: Method '" + command.methodName() + ":' not defined in Plugin '" +
                             command.className() + "'");
    ended = clock.now();
    const double elapsedMs = std::chrono::duration<double, std::milli>(ended - started).count();
    if (elapsedMs > kSlowActionMilliseconds)
        platform::Log::write(platform::formatString("THREAD WARNING: ['%s'] took '%f' ms. Plugin should use a background thread.",
                                                    command.className().c_str(), elapsedMs));
    return performed;
}

} // namespace runtime
