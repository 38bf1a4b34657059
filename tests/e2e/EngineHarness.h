// Test support for the WebKit engine: a display check, a temporary folder of pages, a recording client
// and a bounded wait on the GLib main loop.
#pragma once

#include "support/EngineProcesses.h"
#include "webengine/NestedLoop.h"
#include "webengine/WebKitEngine.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// Runs the main loop until `done` holds or the time-out passes; returns whether `done` holds. A poll source
// wakes the loop every few milliseconds: `done` may wait on something no event of this process announces
// (a file another process writes), and the loop would otherwise sleep until its next event.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const guint poll = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const bool held = webengine::runNestedLoopUntil(done, timeout);
    g_source_remove(poll);
    return held;
}

// A folder of test files under $TMPDIR (or /tmp), removed at the end (and again once the engine's processes have ended: they
// may still write into a folder a page of theirs used).
class TempFolder {
public:
    TempFolder()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hyb-e2e-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TempFolder() { hybtest::removeNowAndAfterEngine(m_path); }
    const std::string& path() const { return m_path; }
    std::string write(const std::string& name, const std::string& text) const
    {
        const std::string file = m_path + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file) << text;
        return file;
    }
    std::string url(const std::string& name) const { return "file://" + m_path + "/" + name; }

private:
    std::string m_path;
};

// The first header of that name, if any.
inline std::optional<std::string> headerValue(const webengine::HeaderList& headers, const std::string& name)
{
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return std::nullopt;
}

// Records what the engine says; answers navigation questions and sub-resource loads through hooks.
class RecordingClient : public webengine::EngineClient {
public:
    std::function<bool(const webengine::NavigationRequest&)> onNavigation;
    std::function<bool(const std::shared_ptr<webengine::RoutedRequest>&)> onResource;
    // The bridge requests the web process answered and handed over: their URL and headers.
    std::vector<std::pair<std::string, webengine::HeaderList>> bridgeRequests;

    std::vector<std::string> events;
    std::vector<webengine::NavigationRequest> navigations;
    std::vector<std::string> resourceURLs;
    int finished = 0;
    int failed = 0;
    platform::Error lastError;

    bool shouldStartLoad(const webengine::NavigationRequest& request) override
    {
        navigations.push_back(request);
        events.push_back("should:" + request.url);
        return onNavigation ? onNavigation(request) : true;
    }
    void didStartLoad() override { events.push_back("start"); }
    void didFinishLoad() override
    {
        events.push_back("finish");
        ++finished;
    }
    void didFailLoad(const platform::Error& error) override
    {
        events.push_back("fail:" + std::to_string(error.code));
        lastError = error;
        ++failed;
    }
    bool handleResourceRequest(const std::shared_ptr<webengine::RoutedRequest>& request) override
    {
        resourceURLs.push_back(request->url());
        return onResource ? onResource(request) : false;
    }
    void handleBridgeRequest(const std::string& url, const webengine::HeaderList& headers, const std::string&) override
    {
        bridgeRequests.emplace_back(url, headers);
    }
};

// Keeps GTK's accessibility bridge (and its D-Bus allocations, which LeakSanitizer reports) out of tests.
// CTest's ENVIRONMENT property of hyb_tests loses every variable after the first, so it is set here.
inline void quietAccessibility()
{
    setenv("NO_AT_BRIDGE", "1", 0);
}

// Skips the test when no display can be opened (the e2e label runs under xvfb-run).
inline bool haveDisplay()
{
    static const bool ok = [] {
        quietAccessibility();
        return gtk_init_check(nullptr, nullptr);
    }();
    return ok;
}

#define REQUIRE_DISPLAY()                                                                                     \
    do {                                                                                                      \
        if (!e2e::haveDisplay())                                                                              \
            GTEST_SKIP() << "no display: run under xvfb-run";                                                 \
    } while (0)

// A web view of the engine in an off-screen window, with a folder for the test's pages.
class EngineFixture : public ::testing::Test {
protected:
    void startEngine(webengine::EngineClient& client, const webengine::WebsiteDataLocation& location = {})
    {
        m_engine = std::make_unique<webengine::WebKitEngine>(client, location);
        m_window = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(m_window), 400, 300);
        gtk_container_add(GTK_CONTAINER(m_window), m_engine->widget());
        gtk_widget_show_all(m_window);
    }
    void TearDown() override
    {
        m_engine.reset();
        if (m_window)
            gtk_widget_destroy(m_window);
    }

    std::string eval(const std::string& script)
    {
        auto result = m_engine->evaluate(script);
        EXPECT_TRUE(result.ok()) << script;
        return result.ok() ? *result : "<error>";
    }
    // Waits until the page's script condition holds.
    bool waitForPage(const std::string& condition)
    {
        return waitUntil([&] { return eval(condition) == "true"; });
    }

    TempFolder m_pages;
    std::unique_ptr<webengine::WebKitEngine> m_engine;
    GtkWidget* m_window = nullptr;
};

} // namespace e2e
