// The in-app browser on the real engine with the sample bundle, in the window host: the sample page
// opens the bundle's browser page in a second web view over the page, hears its loads, injects script and
// style into it, and a click on the close item ends it; the application's page then loads under its own
// user agent again.
#include "SampleBundleOnEngine.h"
#include "HostInput.h"

#include "platform/ui/Image.h"
#include "platform/ui/ViewAnimation.h"
#include "plugins/HYBInAppBrowser.h"
#include "runtime/HYBUserAgentUtil.h"
#include "platform/HTTPCookieStorage.h"
#include "support/HTTPTestServer.h"
#include "support/Snapshot.h"


namespace {

class InAppBrowserOnEngineTest : public e2e::SampleBundleOnEngine {
protected:
    InAppBrowserOnEngineTest()
        : SampleBundleOnEngine({.extraFiles = {"www/iab.html", "Default-667h@2x.png", "Default-568h@2x.png", "Default@2x.png"}}) {}

    std::shared_ptr<plugins::HYBInAppBrowser> browser() {
        return std::dynamic_pointer_cast<plugins::HYBInAppBrowser>(controller().getCommandInstance("InAppBrowser"));
    }
};

} // namespace

TEST_F(InAppBrowserOnEngineTest, TheSamplePageBrowsesInjectsAndClosesTheBrowser) {
    launchAndWaitForThePage();
    const std::string applicationAgent = eval("navigator.userAgent");
    ASSERT_FALSE(applicationAgent.empty());

    eval("iabOpen(''); 1");
    ASSERT_TRUE(shows("iab-events", "loadstart, loadstop")) << text("iab-events");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<plugins::HYBInAppBrowserViewController> screen = plugin->inAppBrowserViewController();
    auto page = std::static_pointer_cast<webengine::WebKitGtkWebView>(screen->webView());
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("document.getElementById('iab-page') != null"), "true");
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("navigator.userAgent"), runtime::HYBUserAgentUtil::originalUserAgent())
        << "the browser loads under the platform's own agent";

    // The host shows the browser's web view at its frame, under the bars.
    ASSERT_TRUE(screen->parentViewController()) << "presented in the browser's navigation controller";
    const std::shared_ptr<platform::View> presented = screen->parentViewController()->view();
    ASSERT_TRUE(e2e::waitUntil([&] { return !platform::ViewAnimation::isAnimating(*presented); }));
    m_host->update();
    GtkWidget* widget = page->widget();
    ASSERT_TRUE(gtk_widget_get_parent(widget));
    EXPECT_TRUE(gtk_widget_get_visible(widget));
    // GTK lays the widget out on a later frame: wait for it rather than read it at once.
    GtkAllocation allocation{};
    EXPECT_TRUE(e2e::waitUntil([&] {
        gtk_widget_get_allocation(widget, &allocation);
        return allocation.y == 0 && allocation.height == 667 - 65;
    })) << "at y " << allocation.y << ", " << allocation.height << " high";

    eval("iabInject(); 1");
    EXPECT_TRUE(shows("iab-inject-result", "1+1 = 2, background rgb(0, 128, 0)")) << text("iab-inject-result");
    EXPECT_EQ(text("iab-events"), "Browser: loadstart, loadstop") << "the injections start no page load";

    // A click on the close item (the toolbar's first) ends the browser.
    std::shared_ptr<platform::View> closeView = screen->closeButton()->viewForBar();
    ASSERT_TRUE(closeView);
    const platform::Rect closeFrame = closeView->convertRectTo(closeView->bounds(), nullptr);
    e2e::click(*m_host, closeFrame.center());
    EXPECT_TRUE(shows("iab-events", "exit")) << text("iab-events");
    EXPECT_FALSE(plugin->inAppBrowserViewController());
    screen.reset();
    page.reset();

    // The application's web view loads under its own agent again.
    eval("iabOpenIn('iab.html', '_self'); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("location.pathname").ends_with("/iab.html") && eval("document.readyState") == "complete"; }));
    EXPECT_EQ(eval("navigator.userAgent"), applicationAgent);
}

TEST_F(InAppBrowserOnEngineTest, ClearCacheDeletesTheEnginesDocumentCookiesToo) {
    testsupport::HTTPTestServer server;
    server.route("/set", testsupport::Reply::text(200, "<p>set</p>", "text/html").withHeader("Set-Cookie", "doc=1; Path=/"));
    server.route("/plain", testsupport::Reply::text(200, "<p>plain</p>", "text/html"));
    launchAndWaitForThePage();
    platform::HTTPCookieStorage::shared().setCookie(platform::HTTPCookie("file", "1", plugins::kHYBFileCookiesDomain));

    eval("iabOpenIn('" + server.url("/set") + "', '_blank', 'hidden=yes'); 1");
    ASSERT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<platform::WebView> page = plugin->inAppBrowserViewController()->webView();
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("document.cookie"), "doc=1") << "kept by the engine";

    eval("iabOpenIn('" + server.url("/plain") + "', '_blank', 'clearcache=yes,hidden=yes'); 1");
    ASSERT_TRUE(e2e::waitUntil([&] {
        return page->stringByEvaluatingJavaScriptFromString("location.pathname") == "/plain" &&
               page->stringByEvaluatingJavaScriptFromString("document.cookie").empty();
    })) << page->stringByEvaluatingJavaScriptFromString("document.cookie");
    bool fileCookieKept = false;
    for (const platform::HTTPCookie& cookie : platform::HTTPCookieStorage::shared().cookies())
        fileCookieKept = fileCookieKept || cookie.domain() == plugins::kHYBFileCookiesDomain;
    EXPECT_TRUE(fileCookieKept);
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}

// A page in the browser that asks for a confirmation while it loads: the alert shows above the browser's
// screen, titled with the page's host, and the page gets the answer and finishes its load.
TEST_F(InAppBrowserOnEngineTest, ABrowsedPagesDialogShowsAboveTheBrowserScreenAndThePageGetsTheAnswer) {
    testsupport::HTTPTestServer server;
    server.route("/shop", testsupport::Reply::text(200,
                                                   "<html><body style='background: rgb(0, 160, 80)'><h1>Shop</h1>"
                                                   "<script>window.answer = String(confirm('Add the blue mug to your cart?'));</script></body></html>",
                                                   "text/html"));
    launchAndWaitForThePage();
    eval("iabOpenIn('" + server.url("/shop") + "', '_blank', 'location=no'); 1");
    auto alert = e2e::shownDialogAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "127.0.0.1");
    EXPECT_EQ(alert->message(), "Add the blue mug to your cart?");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    auto screen = plugin->inAppBrowserViewController();
    ASSERT_TRUE(e2e::waitUntil([&] { return !platform::ViewAnimation::isAnimating(*screen->parentViewController()->view()); }));
    EXPECT_EQ(text("iab-events"), "Browser: loadstart") << "the load waits for the answer";
    e2e::TempFolder folder;
    ASSERT_TRUE(m_host->writeScreenshot(folder.path() + "/window.png").ok());
    auto image = platform::Image::fromFile(folder.path() + "/window.png");
    ASSERT_TRUE(image.ok());
    hybtest::expectSnapshotImageIn("e2e", *image.value(), "dialog_in_app_browser");
    // Script injected meanwhile with no callback runs once the page goes on. (The call after it, refused at
    // once, tells when the plug-in has taken both.)
    eval("exec(null, null, 'InAppBrowser', 'injectScriptCode', ['window.injected = (window.injected || 0) + 1']);"
         "exec(null, function (e) { window.taken = String(e); }, 'InAppBrowser', 'injectScriptCode', []); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("window.taken") == "the script or style argument is missing"; })) << eval("window.taken");
    ASSERT_TRUE(alert->isVisible());

    e2e::clickButton(*m_host, *alert, "OK");
    EXPECT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
    EXPECT_EQ(screen->webView()->stringByEvaluatingJavaScriptFromString("window.answer"), "true");
    EXPECT_TRUE(e2e::waitUntil([&] { return screen->webView()->stringByEvaluatingJavaScriptFromString("window.injected") == "1"; }));
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}
