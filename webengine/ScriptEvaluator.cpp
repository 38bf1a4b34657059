#include "webengine/ScriptEvaluator.h"

#include "webengine/NestedLoop.h"

#include <webkit2/webkit2.h>

#include <memory>

namespace webengine {

namespace {

// The module's message: (the engine's world's scripts, the page's world's scripts) as "(aayaay)", or one
// script for the page's world as plain bytes ("ay"), one way; the results ("aay") the other.
constexpr const char* kEvalMessage = "hyb.eval";
// The same scripts, nobody waiting for their results: the module sends none.
constexpr const char* kPostMessage = "hyb.post";

// The texts of a reply; nothing when it is not `count` texts.
std::optional<std::vector<std::string>> replyTexts(GVariant* parameters, std::size_t count)
{
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("aay")) || g_variant_n_children(parameters) != count)
        return std::nullopt;
    std::vector<std::string> texts;
    texts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        GVariant* item = g_variant_get_child_value(parameters, i);
        gsize length = 0;
        const auto* data = static_cast<const char*>(g_variant_get_fixed_array(item, &length, 1));
        texts.emplace_back(data ? data : "", data ? length : 0);
        g_variant_unref(item);
    }
    return texts;
}

struct Sent {
    std::size_t count;
    ScriptEvaluator::Results results;
};

GVariant* textsVariant(std::vector<std::string>& scripts)
{
    GVariantBuilder texts;
    g_variant_builder_init(&texts, G_VARIANT_TYPE("aay"));
    for (std::string& script : scripts) {
        g_variant_builder_add_value(&texts, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, script.data(), script.size(), 1));
        // The message holds its own copy: this one goes at once, not after the whole group.
        std::string().swap(script);
    }
    return g_variant_builder_end(&texts);
}

// The message's parameters (floating).
GVariant* parametersOf(std::vector<std::string>& engineScripts, std::vector<std::string>& pageScripts)
{
    if (engineScripts.empty() && pageScripts.size() == 1) {
        // One script travels as the message's bytes, its text held by the message rather than copied: a
        // file's answer of many megabytes is not written out once more before the engine sends it.
        auto* text = new std::string(std::move(pageScripts.front()));
        return g_variant_new_from_data(G_VARIANT_TYPE_BYTESTRING, text->data(), text->size(), TRUE,
                                       [](gpointer held) { delete static_cast<std::string*>(held); }, text);
    }
    GVariant* engine = textsVariant(engineScripts);
    return g_variant_new("(@aay@aay)", engine, textsVariant(pageScripts));
}

} // namespace

void ScriptEvaluator::post(WebKitWebView* view, std::vector<std::string> engineScripts, std::vector<std::string> pageScripts)
{
    // Without a completion: nothing waits for the page's answer, and none comes.
    webkit_web_view_send_message_to_page(
        view, webkit_user_message_new(kPostMessage, parametersOf(engineScripts, pageScripts)), nullptr, nullptr, nullptr);
}

void ScriptEvaluator::send(WebKitWebView* view, std::vector<std::string> engineScripts, std::vector<std::string> pageScripts,
                           Results results)
{
    const std::size_t count = engineScripts.size() + pageScripts.size();
    webkit_web_view_send_message_to_page(
        view, webkit_user_message_new(kEvalMessage, parametersOf(engineScripts, pageScripts)), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Sent> sent(static_cast<Sent*>(data));
            GError* error = nullptr;
            WebKitUserMessage* reply = webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, &error);
            std::optional<std::vector<std::string>> texts;
            if (reply) {
                texts = replyTexts(webkit_user_message_get_parameters(reply), sent->count);
                g_object_unref(reply);
            }
            if (texts) {
                sent->results(std::move(*texts));
            } else {
                sent->results(platform::Error(kWebEngineErrorDomain, kEvaluationFailed,
                                              std::string("the page did not answer: ") + (error ? error->message : "unreadable reply")));
            }
            if (error)
                g_error_free(error);
        },
        new Sent{count, std::move(results)});
}

platform::Result<std::string> ScriptEvaluator::evaluate(WebKitWebView* view, const std::string& script,
                                                        std::chrono::milliseconds timeout, const std::function<bool()>& giveUp,
                                                        bool inEngineWorld)
{
    struct Evaluation {
        bool done = false;
        std::string result;
    };
    auto evaluation = std::make_shared<Evaluation>();
    std::vector<std::string> engineScripts;
    std::vector<std::string> pageScripts;
    (inEngineWorld ? engineScripts : pageScripts).push_back(script);
    send(view, std::move(engineScripts), std::move(pageScripts), [evaluation](platform::Result<std::vector<std::string>> texts) {
        evaluation->done = true;
        // A page that did not answer gives "" like a script that throws.
        if (texts.ok())
            evaluation->result = std::move(texts->front());
    });
    bool gaveUp = false;
    runNestedLoopUntil([&] { return evaluation->done || (giveUp && (gaveUp = giveUp())); }, timeout);
    if (!evaluation->done && gaveUp)
        return platform::Error(kWebEngineErrorDomain, kEvaluationStoppedInDialog, "script evaluation given up: the page waits for a dialog's answer");
    if (!evaluation->done)
        return platform::Error(kWebEngineErrorDomain, kEvaluationTimedOut, "script evaluation timed out");
    return std::move(evaluation->result);
}

} // namespace webengine
