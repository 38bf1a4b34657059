#include "webengine/EvaluationQueue.h"

#include "platform/core/Log.h"
#include "webengine/ScriptEvaluator.h"

#include <webkit2/webkit2.h>

#include <utility>

namespace webengine {

namespace {

// At most this many scripts share one message: a page busy with one long run of scripts answers nothing
// else (input, painting) meanwhile.
constexpr std::size_t kMaxScriptsPerMessage = 2000;
// A script longer than this goes alone, so that no message holds more than one such text.
constexpr std::size_t kMaxSharedScriptBytes = 64 * 1024;

} // namespace

struct EvaluationQueue::Shared {
    EvaluationQueue* queue; // null once the queue is gone
};

EvaluationQueue::EvaluationQueue(WebKitWebView* view, Deferral deferral)
    : m_view(view)
    , m_shared(std::make_shared<Shared>(Shared{this}))
    , m_deferral(std::move(deferral))
{
}

EvaluationQueue::~EvaluationQueue()
{
    m_shared->queue = nullptr;
    if (m_sendSource)
        g_source_remove(m_sendSource);
}

void EvaluationQueue::add(std::string script, Completion completion)
{
    m_pending.push_back(Pending{std::move(script), std::move(completion)});
    if (m_pending.size() + m_ahead.size() == 1)
        scheduleSend();
}

void EvaluationQueue::addAhead(std::string engineScript, Completion completion)
{
    m_ahead.push_back(Pending{std::move(engineScript), std::move(completion)});
    if (m_pending.size() + m_ahead.size() == 1)
        scheduleSend();
}

void EvaluationQueue::scheduleSend()
{
    if (m_sendSource || m_holds > 0)
        return;
    // Default priority, added now: it runs in the next turn of the loop, after the sources that are ready
    // already, so that every answer of this turn joins it.
    m_sendSource = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        auto* self = static_cast<EvaluationQueue*>(data);
        self->m_sendSource = 0;
        self->sendPending();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void EvaluationQueue::deliver(std::vector<Completion>& completions, std::vector<std::string>& texts)
{
    auto run = [shared = m_shared, completions = std::move(completions), texts = std::move(texts)]() mutable {
        // A completion may drop the engine, and this queue with it.
        for (std::size_t i = 0; i < completions.size() && shared->queue; ++i)
            completions[i](std::move(texts[i]));
    };
    if (m_deferral.isDeferring())
        m_deferral.defer(std::move(run));
    else
        run();
}

void EvaluationQueue::hold()
{
    ++m_holds;
}

void EvaluationQueue::release()
{
    if (--m_holds == 0 && (!m_pending.empty() || !m_ahead.empty()))
        scheduleSend();
}

void EvaluationQueue::sendPending()
{
    if (m_holds > 0)
        return;
    // The engine's world's scripts go with the first message, ahead of the page's.
    std::vector<Pending> ahead = std::exchange(m_ahead, {});
    std::vector<Pending> pending = std::exchange(m_pending, {});
    std::vector<Pending> group;
    for (Pending& item : pending) {
        if (item.script.size() > kMaxSharedScriptBytes) {
            if (!group.empty() || !ahead.empty())
                send(std::exchange(ahead, {}), std::exchange(group, {}));
            std::vector<Pending> alone;
            alone.push_back(std::move(item));
            send({}, std::move(alone));
            continue;
        }
        group.push_back(std::move(item));
        if (ahead.size() + group.size() >= kMaxScriptsPerMessage)
            send(std::exchange(ahead, {}), std::exchange(group, {}));
    }
    if (!group.empty() || !ahead.empty())
        send(std::move(ahead), std::move(group));
}

void EvaluationQueue::send(std::vector<Pending> engineGroup, std::vector<Pending> pageGroup)
{
    std::vector<std::string> engineScripts, pageScripts;
    auto completions = std::make_shared<std::vector<Completion>>();
    completions->reserve(engineGroup.size() + pageGroup.size());
    for (auto [group, scripts] : {std::pair{&engineGroup, &engineScripts}, std::pair{&pageGroup, &pageScripts}}) {
        scripts->reserve(group->size());
        for (Pending& item : *group) {
            scripts->push_back(std::move(item.script));
            completions->push_back(item.completion ? std::move(item.completion) : [](std::string) {});
        }
    }
    ScriptEvaluator::send(m_view, std::move(engineScripts), std::move(pageScripts),
                          [shared = m_shared, completions](platform::Result<std::vector<std::string>> texts) {
        EvaluationQueue* queue = shared->queue;
        if (!queue)
            return;
        if (!texts.ok()) {
            platform::Log::write("Web view: the results of " + std::to_string(completions->size()) + " scripts were lost: "
                                 + texts.error().localizedDescription());
            texts = std::vector<std::string>(completions->size());
        }
        queue->deliver(*completions, *texts);
    });
}

} // namespace webengine
