// A bare WebKitGTK view for page_calls_bench's floors: GTK, WebKit and GLib only, none of the
// application's code, so that the floor program (page_calls_floor) and the bench's bare start-up measure
// the engine alone.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace pagecalls {

// Turns the default main context until `done` or the time-out; whether `done` came.
inline bool turnUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    bool expired = false;
    const guint timer = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(timeout.count()), [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
    }, &expired, nullptr);
    while (!done() && !expired)
        g_main_context_iteration(nullptr, TRUE);
    if (!expired)
        g_source_remove(timer);
    return done();
}

// Waits until the page's window.benchResults is set, asking four times a second (asking more often would
// compete with the calls being measured), and gives its JSON text; "" with `error` set when it did not come
// in time or holds an error ({error}). `eval` evaluates a script in the page and gives its result as text.
inline std::string awaitPageResults(const std::function<std::string(const std::string&)>& eval, std::string& error,
                                    std::chrono::milliseconds timeout)
{
    bool ask = false;
    const guint ticker = g_timeout_add(250, [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_CONTINUE;
    }, &ask);
    bool finished = false;
    const bool done = turnUntil([&] {
        if (ask && !finished) {
            ask = false;
            finished = eval("!!window.benchResults") == "true";
        }
        return finished;
    }, timeout);
    g_source_remove(ticker);
    if (!done) {
        error = "the page did not finish within the time-out; it shows: " + eval("location.href + ' ' + (window.stage || '')");
        return {};
    }
    error = eval("window.benchResults.error || ''");
    if (!error.empty())
        return {};
    return eval("JSON.stringify(window.benchResults)");
}

// A script's result as text, waited for (at most 10 s; "" when none came).
inline std::string evaluateBare(WebKitWebView* view, const std::string& script)
{
    struct Answer {
        bool done = false;
        std::string text;
    };
    // Held by the callback too: an answer after the time-out finds it alive.
    auto answer = std::make_shared<Answer>();
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Answer>> held(static_cast<std::shared_ptr<Answer>*>(data));
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                char* text = jsc_value_to_string(value);
                (*held)->text = text ? text : "";
                g_free(text);
                g_object_unref(value);
            }
            (*held)->done = true;
        },
        new std::shared_ptr<Answer>(answer));
    turnUntil([&] { return answer->done; }, std::chrono::seconds(10));
    return answer->text;
}

// A bare view in `context`, shown in an off-screen window as the application's is; ends with the object.
class BareView {
public:
    explicit BareView(WebKitWebContext* context)
        : m_messages(webkit_user_content_manager_new())
        , m_view(WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", m_messages, nullptr)))
        , m_window(gtk_offscreen_window_new())
    {
        webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(m_view), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        gtk_container_add(GTK_CONTAINER(m_window), GTK_WIDGET(m_view));
        gtk_widget_show_all(m_window);
        g_signal_connect(m_view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
            if (event == WEBKIT_LOAD_FINISHED)
                static_cast<BareView*>(self)->m_loaded = true;
        }), this);
    }
    ~BareView()
    {
        g_signal_handlers_disconnect_by_data(m_view, this);
        gtk_widget_destroy(m_window);
        g_object_unref(m_messages);
    }
    BareView(const BareView&) = delete;
    BareView& operator=(const BareView&) = delete;

    WebKitWebView* view() const { return m_view; }
    WebKitUserContentManager* messages() const { return m_messages; }
    // Loads the URL and waits for the load to finish; false when it did not within the time-out.
    bool load(const std::string& url)
    {
        m_loaded = false;
        webkit_web_view_load_uri(m_view, url.c_str());
        return turnUntil([this] { return m_loaded; }, std::chrono::seconds(30));
    }
    std::string evaluate(const std::string& script) { return evaluateBare(m_view, script); }

private:
    WebKitUserContentManager* m_messages;
    WebKitWebView* m_view;
    GtkWidget* m_window;
    bool m_loaded = false;
};

} // namespace pagecalls
