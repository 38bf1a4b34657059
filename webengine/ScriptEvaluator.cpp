#include "webengine/ScriptEvaluator.h"

#include "webengine/NestedLoop.h"

#include <webkit2/webkit2.h>

#include <memory>
#include <optional>

namespace webengine {

namespace {

struct Evaluation {
    bool done = false;
    std::string result;
    std::optional<std::string> failure;
};

using SharedEvaluation = std::shared_ptr<Evaluation>;

// Results arrive as values of a script context of this process that WebKit makes on demand and drops after
// a while; keeping it spares making a new virtual machine for each burst of evaluations (and tearing one
// down, which the sanitizer builds misreport inside the engine's library).
JSCContext*& keptContext()
{
    static JSCContext* kept = nullptr;
    return kept;
}

void keepResultContext(JSCValue* value)
{
    if (!keptContext())
        keptContext() = JSC_CONTEXT(g_object_ref(jsc_value_get_context(value)));
}

void onEvaluated(GObject* source, GAsyncResult* asyncResult, gpointer data)
{
    std::unique_ptr<SharedEvaluation> evaluation(static_cast<SharedEvaluation*>(data));
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), asyncResult, &error);
    Evaluation& state = **evaluation;
    state.done = true;
    if (value) {
        state.result = scriptResultText(value);
        g_object_unref(value);
    } else {
        // A script that throws answers "" like any failed evaluation; the reason is kept for the log.
        state.failure = error ? error->message : "evaluation failed";
    }
    if (error)
        g_error_free(error);
}

} // namespace

JSCContext* scriptResultContext()
{
    return keptContext();
}

std::string scriptResultText(JSCValue* value)
{
    if (!value)
        return {};
    keepResultContext(value);
    if (jsc_value_is_undefined(value) || jsc_value_is_null(value))
        return {};
    char* text = jsc_value_to_string(value);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

platform::Result<std::string> ScriptEvaluator::evaluate(WebKitWebView* view, const std::string& script,
                                                        std::chrono::milliseconds timeout)
{
    auto evaluation = std::make_shared<Evaluation>();
    webkit_web_view_evaluate_javascript(view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, onEvaluated, new SharedEvaluation(evaluation));
    runNestedLoopUntil([&] { return evaluation->done; }, timeout);
    if (!evaluation->done)
        return platform::Error(kWebEngineErrorDomain, kEvaluationTimedOut, "script evaluation timed out");
    if (evaluation->failure)
        return std::string();
    return std::move(evaluation->result);
}

} // namespace webengine
