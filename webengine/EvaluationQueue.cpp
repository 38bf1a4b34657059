#include "webengine/EvaluationQueue.h"

#include "platform/JSON.h"
#include "platform/Log.h"
#include "webengine/ScriptEvaluator.h"

#include <webkit2/webkit2.h>

#include <cctype>

namespace webengine {

namespace {

// At most this many scripts share one evaluation: a page busy with one long evaluation answers nothing
// else (input, painting) meanwhile.
constexpr std::size_t kMaxScriptsPerEvaluation = 2000;
// A script longer than this goes alone: combining would copy it and check its syntax once more, for a
// saving of one evaluation's round trip that is nothing beside its own length.
constexpr std::size_t kMaxCombinedScriptBytes = 64 * 1024;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool startsWithWord(std::string_view text, std::string_view word)
{
    if (text.substr(0, word.size()) != word)
        return false;
    if (text.size() == word.size())
        return true;
    const char next = text[word.size()];
    return !(std::isalnum(static_cast<unsigned char>(next)) || next == '_' || next == '$');
}

// Whether the text is a valid script, checked in the context results come in (no second virtual machine
// in this process); unknown (false) until a first result made that context.
bool isValidScript(const std::string& script)
{
    JSCContext* context = scriptResultContext();
    if (!context)
        return false;
    JSCException* exception = nullptr;
    const JSCCheckSyntaxResult result = jsc_context_check_syntax(context, script.data(), static_cast<gssize>(script.size()),
                                                                 JSC_CHECK_SYNTAX_MODE_SCRIPT, nullptr, 1, &exception);
    if (exception)
        g_object_unref(exception);
    return result == JSC_CHECK_SYNTAX_RESULT_SUCCESS;
}

} // namespace

struct EvaluationQueue::Shared {
    EvaluationQueue* queue; // null once the queue is gone
};

// One evaluation under way: the completions of its scripts, in order.
struct Sent {
    std::shared_ptr<EvaluationQueue::Shared> queue;
    std::vector<EvaluationQueue::Completion> completions;
    bool combined = false;
};

EvaluationQueue::EvaluationQueue(WebKitWebView* view)
    : m_view(view)
    , m_shared(std::make_shared<Shared>(Shared{this}))
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
    if (m_pending.size() == 1)
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
        std::weak_ptr<Shared> shared = self->m_shared;
        self->deliverDeferred();
        if (auto alive = shared.lock(); alive && alive->queue)
            self->sendPending();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void EvaluationQueue::deliver(std::vector<Completion>& completions, std::vector<std::string>& texts)
{
    if (m_deferral.defer && m_deferral.isDeferring()) {
        m_deferral.defer([shared = m_shared, completions = std::move(completions), texts = std::move(texts)]() mutable {
            for (std::size_t i = 0; i < completions.size() && shared->queue; ++i)
                completions[i](std::move(texts[i]));
        });
        return;
    }
    // Answers that come during a synchronous wait, and those behind them, wait for a turn of their own.
    if (m_holds > 0 || !m_deferred.empty()) {
        for (std::size_t i = 0; i < completions.size(); ++i)
            m_deferred.emplace_back(std::move(completions[i]), std::move(texts[i]));
        scheduleSend();
        return;
    }
    std::shared_ptr<Shared> shared = m_shared;
    for (std::size_t i = 0; i < completions.size() && shared->queue; ++i)
        completions[i](std::move(texts[i])); // a completion may drop the engine, and this queue with it
}

void EvaluationQueue::deliverDeferred()
{
    std::shared_ptr<Shared> shared = m_shared;
    while (shared->queue && m_holds == 0 && !m_deferred.empty()) {
        auto [completion, text] = std::move(m_deferred.front());
        m_deferred.pop_front();
        completion(std::move(text));
    }
}

void EvaluationQueue::hold()
{
    ++m_holds;
}

void EvaluationQueue::release()
{
    if (--m_holds == 0 && (!m_pending.empty() || !m_deferred.empty()))
        scheduleSend();
}

void EvaluationQueue::sendPending()
{
    if (m_holds > 0)
        return;
    std::vector<Pending> pending = std::exchange(m_pending, {});
    std::vector<Pending> group;
    auto sendGroup = [&] {
        if (group.size() == 1)
            sendAlone(std::move(group.front()));
        else if (!group.empty())
            sendTogether(std::move(group));
        group.clear();
    };
    for (Pending& item : pending) {
        if (item.script.size() <= kMaxCombinedScriptBytes && mayBeExpression(item.script)) {
            group.push_back(std::move(item));
            if (group.size() == kMaxScriptsPerEvaluation)
                sendGroup();
            continue;
        }
        sendGroup();
        sendAlone(std::move(item));
    }
    sendGroup();
}

namespace {

void evaluate(WebKitWebView* view, const std::string& script, Sent* sent)
{
    webkit_web_view_evaluate_javascript(
        view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Sent> sent(static_cast<Sent*>(data));
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
            std::string text;
            if (value) {
                text = scriptResultText(value);
                g_object_unref(value);
            }
            if (error)
                g_error_free(error);
            EvaluationQueue* queue = sent->queue->queue;
            if (!queue)
                return;
            std::optional<std::vector<std::string>> texts;
            if (!sent->combined) {
                texts.emplace(1, std::move(text));
            } else if (!(texts = EvaluationQueue::resultTexts(text, sent->completions.size()))) {
                // The page changed what the combined script relies on (JSON), or went away meanwhile.
                platform::Log::write("Web view: the results of " + std::to_string(sent->completions.size()) + " scripts were lost");
                texts.emplace(sent->completions.size());
            }
            queue->deliver(sent->completions, *texts);
        },
        sent);
}

} // namespace

void EvaluationQueue::sendAlone(Pending pending)
{
    auto* sent = new Sent{m_shared, {}, false};
    sent->completions.push_back(pending.completion ? std::move(pending.completion) : [](std::string) {});
    evaluate(m_view, pending.script, sent);
}

void EvaluationQueue::sendTogether(std::vector<Pending> group)
{
    std::vector<std::string_view> scripts;
    scripts.reserve(group.size());
    for (const Pending& item : group)
        scripts.push_back(item.script);
    std::string script = combinedScript(scripts);
    if (!isValidScript(script)) {
        // One of them is not an expression after all (or not valid at all), or nothing has answered yet
        // to check with: each goes alone, in order.
        for (Pending& item : group)
            sendAlone(std::move(item));
        return;
    }
    auto* sent = new Sent{m_shared, {}, true};
    sent->completions.reserve(group.size());
    for (Pending& item : group)
        sent->completions.push_back(item.completion ? std::move(item.completion) : [](std::string) {});
    evaluate(m_view, script, sent);
}

std::string EvaluationQueue::combinedScript(const std::vector<std::string_view>& expressions)
{
    std::size_t size = 64;
    for (std::string_view expression : expressions)
        size += expression.size() + 48;
    std::string script;
    script.reserve(size);
    script += "JSON.stringify([";
    for (std::size_t i = 0; i < expressions.size(); ++i) {
        // Line breaks around the expression: a trailing line comment cannot swallow the closing text.
        script += i ? ",\n" : "\n";
        script += "function(){try{return (\n";
        script += expressions[i];
        script += "\n)}catch(e){}}()";
    }
    script += "].map(function(v){return v===undefined||v===null?'':String(v)}))";
    return script;
}

std::optional<std::vector<std::string>> EvaluationQueue::resultTexts(std::string_view answer, std::size_t count)
{
    platform::Result<platform::Value> parsed = platform::JSON::parse(answer);
    if (!parsed.ok())
        return std::nullopt;
    const platform::Array* items = parsed->getArray();
    if (!items || items->size() != count)
        return std::nullopt;
    std::vector<std::string> texts;
    texts.reserve(count);
    for (const platform::Value& item : *items) {
        const std::string* text = item.getString();
        if (!text)
            return std::nullopt;
        texts.push_back(*text);
    }
    return texts;
}

bool EvaluationQueue::mayBeExpression(std::string_view script)
{
    while (!script.empty() && isSpace(script.front()))
        script.remove_prefix(1);
    while (!script.empty() && isSpace(script.back()))
        script.remove_suffix(1);
    if (script.empty() || script.front() == '{' || script.back() == ';' || script.back() == '}')
        return false;
    for (std::string_view word : {"function", "class", "let", "const", "var", "async", "if", "for", "while", "do", "try",
                                  "switch", "return", "throw", "import", "export", "with", "debugger"}) {
        if (startsWithWord(script, word))
            return false;
    }
    return true;
}

} // namespace webengine
