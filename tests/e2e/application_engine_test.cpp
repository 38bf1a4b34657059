// The application on the real engine: booted from a temporary bundle holding the sample page, the page's
// own bridge script calls Cache.clear through each signal path, and lifecycle changes reach the page.
#include "EngineHarness.h"

#include "app/Plugins.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "platform/WebView.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/HYBURLProtocol.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::filesystem::path kSampleWww = std::filesystem::path(__FILE__).parent_path() / "../../app/bundle/www";

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

TEST(ApplicationOnEngineTest, TheSamplePageClearsTheCacheThroughEachSignalPathAndHearsLifecycleEvents) {
    REQUIRE_DISPLAY();
    hybtest::TempHome home;
    home.writeBundleFile("www/index.html", readText(kSampleWww / "index.html"));
    home.writeBundleFile("www/hybrid.js", readText(kSampleWww / "hybrid.js"));
    home.writeBundleFile("config.xml", "<?xml version='1.0' encoding='utf-8'?><widget><content src=\"index.html\"/>"
                                       "<access origin=\"*\"/>"
                                       "<feature name=\"Cache\"><param name=\"ios-package\" value=\"HYBCache\"/></feature></widget>");
    platform::Application::shared().resetForTesting();
    runtime::HYBURLProtocol::resetForTesting();
    app::registerPlugins();
    webengine::WebKitGtkWebView::installAsEngine();
    int loads = 0;
    static const int observer = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&observer, runtime::kHYBPageDidLoadNotification, nullptr,
                                                              [&](const platform::Notification&) { ++loads; });

    auto launched = runtime::launchApplication(home.folders().bundle(), home.folders().home());
    ASSERT_TRUE(launched.ok()) << launched.error().localizedDescription();
    auto webView = std::static_pointer_cast<webengine::WebKitGtkWebView>((*launched)->viewController()->webView());
    GtkWidget* window = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 600);
    gtk_container_add(GTK_CONTAINER(window), webView->widget());
    gtk_widget_show_all(window);

    auto pageLog = [&] { return webView->stringByEvaluatingJavaScriptFromString("document.getElementById('log').textContent"); };
    EXPECT_TRUE(e2e::waitUntil([&] { return loads > 0 && pageLog().find("deviceready") != std::string::npos; }));

    webView->stringByEvaluatingJavaScriptFromString("clearAll(); 'started'");
    EXPECT_TRUE(e2e::waitUntil([&] { return occurrences(pageLog(), "Hybrid%20iOS%20webview%20cache%20cleared.") >= 3; }));
    const std::string log = pageLog();
    for (const char* path : {"xhr", "iframe", "hash"})
        EXPECT_NE(log.find(std::string("Cache.clear via ") + path + ": Hybrid%20iOS%20webview%20cache%20cleared."), std::string::npos)
            << path << "\n" << log;

    platform::Application::shared().enterBackground();
    platform::Application::shared().enterForeground();
    EXPECT_TRUE(e2e::waitUntil([&] { return pageLog().find("document event: active") != std::string::npos; }));
    const std::string events = pageLog();
    // The page dispatches 'pause' at once and the other events on a later turn of its own loop, so only
    // pause-before-resume is an order the page sees.
    EXPECT_NE(events.find("document event: resign"), std::string::npos);
    EXPECT_LT(events.find("document event: pause"), events.find("document event: resume"));

    platform::NotificationCenter::defaultCenter().removeObserver(&observer);
    gtk_container_remove(GTK_CONTAINER(window), webView->widget());
    webView.reset();
    launched = platform::Error();
    platform::Application::shared().resetForTesting();
    platform::WebView::setFactory({});
    runtime::HYBURLProtocol::resetForTesting();
    gtk_widget_destroy(window);
}

} // namespace
