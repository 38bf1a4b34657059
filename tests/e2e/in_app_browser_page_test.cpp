// The in-app browser on the real engine with the sample bundle, in the window host: the sample page
// opens the bundle's browser page in a second web view over the page, hears its loads, injects script and
// style into it, and a click on the close item ends it; the application's page then loads under its own
// user agent again.
#include "SampleBundleOnEngine.h"
#include "HostInput.h"

#include "platform/formats/JSON.h"
#include "platform/ui/Image.h"
#include "platform/ui/ViewAnimation.h"
#include "plugins/HYBInAppBrowser.h"
#include "webengine/LocalStorageBound.h"
#include "runtime/HYBUserAgentUtil.h"
#include "platform/net/HTTPCookieStorage.h"
#include "support/ClosedPort.h"
#include "support/HTTPTestServer.h"
#include "support/LogCapture.h"
#include "support/Snapshot.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

class InAppBrowserOnEngineTest : public e2e::SampleBundleOnEngine {
protected:
    InAppBrowserOnEngineTest()
        : SampleBundleOnEngine({.extraFiles = {"www/iab.html", "Default-667h@2x.png", "Default-568h@2x.png", "Default@2x.png"}}) {}

    std::shared_ptr<plugins::HYBInAppBrowser> browser() {
        return std::dynamic_pointer_cast<plugins::HYBInAppBrowser>(controller().getCommandInstance("InAppBrowser"));
    }
    // The test server by another name: another site.
    static std::string foreignSite(std::string url) { return url.replace(url.find("127.0.0.1"), 9, "localhost"); }
    // The page's browser opened, hidden, at `url`: its web view, once the browser is there.
    std::shared_ptr<platform::WebView> openHidden(const std::string& url) {
        eval("exec(null, null, 'InAppBrowser', 'open', ['" + url + "', '_blank', 'hidden=yes']); 1");
        if (!e2e::waitUntil([&] { return browser() && browser()->inAppBrowserViewController(); }))
            return nullptr;
        return browser()->inAppBrowserViewController()->webView();
    }
    // Closes the page's browser and waits until it has gone.
    bool closeBrowser() {
        eval("iabClose(); 1");
        return e2e::waitUntil([&] { return !browser()->inAppBrowserViewController(); });
    }
};

// A site's page that loads as pages of the web do: a picture and a script its server leads to another host
// (a CDN), a worker whose script asks for files beside it by relative URLs, a cookie set by its navigation
// and one set by its script that its own requests carry, a shared worker and a service worker. What each
// gives lands in `got`.
const char* const kSitePage = R"(<!DOCTYPE html><html><body><img id="picture" src="/picture"><script src="/library.js"></script><script>
document.cookie = 'script=from-script; path=/';
window.got = {};
fetch('/echo-cookies').then(function (r) { return r.text(); }).then(function (t) { got.cookies = t; }, function () { got.cookies = 'error'; });
var w = new Worker('/w/worker.js'); w.onmessage = function (e) { got.worker = e.data; }; w.onerror = function () { got.worker = 'error'; };
try {
  var s = new SharedWorker('/w/shared.js'); s.port.onmessage = function (e) { got.shared = e.data; }; s.port.postMessage('hello');
} catch (e) { got.shared = 'error ' + e; }
try {
  navigator.serviceWorker.register('/sw.js').then(function () { got.service = 'registered'; }, function (e) { got.service = 'error ' + e; });
} catch (e) { got.service = 'error ' + e; }
</script></body></html>)";

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

    // The host shows the browser's web view at its frame, between the status bar and the bars.
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
        return allocation.y == 20 && allocation.height == 667 - 20 - 65;
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

TEST_F(InAppBrowserOnEngineTest, APageTryingAFailedLoadAgainHearsItsStartAndItsFailureAgain) {
    const std::string url = "http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/";
    launchAndWaitForThePage();
    eval("iabOpenIn('" + url + "', '_blank', 'hidden=yes'); 1");
    ASSERT_TRUE(shows("iab-events", "Browser: loadstart, loaderror")) << text("iab-events");
    eval("showIab('events', '', 'Browser: tried again'); iabOpenIn('" + url + "', '_blank', 'hidden=yes'); 1");
    EXPECT_TRUE(shows("iab-events", "Browser: loadstart, loaderror")) << text("iab-events");
    eval("iabClose(); 1");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}

TEST_F(InAppBrowserOnEngineTest, ASiteInTheBrowserLoadsAsInAWebBrowser) {
    testsupport::HTTPTestServer server;
    std::string cdn = server.url("/cdn/");
    cdn.replace(cdn.find("127.0.0.1"), 9, "localhost");
    server.route("/site.html", testsupport::Reply::text(200, kSitePage, "text/html")
                                   .withHeader("Set-Cookie", "navigation=from-navigation; Path=/; Max-Age=3600"));
    server.route("/picture", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", cdn + "picture.svg"));
    server.route("/cdn/picture.svg", testsupport::Reply::text(200, "<svg xmlns='http://www.w3.org/2000/svg' width='2' height='2'/>", "image/svg+xml"));
    server.route("/library.js", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", cdn + "library.js"));
    server.route("/cdn/library.js", testsupport::Reply::text(200, "window.fromCDN = 'ran';", "application/javascript"));
    server.route("/w/worker.js", testsupport::Reply::text(200,
        "importScripts('helper.js'); fetch('data.txt').then(function (r) { return r.text(); })"
        ".then(function (t) { postMessage(helper + ' ' + t); }, function () { postMessage('error'); });", "application/javascript"));
    server.route("/w/helper.js", testsupport::Reply::text(200, "var helper = 'helped';", "application/javascript"));
    server.route("/w/data.txt", testsupport::Reply::text(200, "data beside it"));
    server.route("/w/shared.js", testsupport::Reply::text(200,
        "onconnect = function (e) { var p = e.ports[0]; p.onmessage = function (m) { p.postMessage('shared ' + m.data); }; };", "application/javascript"));
    server.route("/sw.js", testsupport::Reply::text(200, "self.addEventListener('fetch', function () {});", "application/javascript"));
    server.route("/echo-cookies", [](const testsupport::RecordedRequest& request) {
        return testsupport::Reply::text(200, request.header("Cookie").value_or("none"));
    });
    launchAndWaitForThePage();

    eval("iabOpenIn('" + server.url("/site.html") + "', '_blank', 'hidden=yes'); 1");
    ASSERT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<platform::WebView> page = plugin->inAppBrowserViewController()->webView();
    const auto got = [&](const std::string& key) { return page->stringByEvaluatingJavaScriptFromString("got['" + key + "'] || ''"); };
    EXPECT_TRUE(e2e::waitUntil([&] {
        return page->stringByEvaluatingJavaScriptFromString("var p = document.getElementById('picture'); p.complete && p.naturalWidth === 2 ? 1 : 0") == "1";
    })) << "the picture the site's server leads to another host";
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("window.fromCDN || ''"), "ran") << "the script from another host";
    EXPECT_TRUE(e2e::waitUntil([&] { return !got("worker").empty(); }));
    EXPECT_EQ(got("worker"), "helped data beside it") << "a worker's relative URLs are its site's";
    EXPECT_TRUE(e2e::waitUntil([&] { return !got("cookies").empty(); }));
    EXPECT_NE(got("cookies").find("navigation=from-navigation"), std::string::npos) << got("cookies");
    EXPECT_NE(got("cookies").find("script=from-script"), std::string::npos) << got("cookies");
    EXPECT_TRUE(e2e::waitUntil([&] { return !got("shared").empty(); }));
    EXPECT_EQ(got("shared"), "shared hello");
    EXPECT_TRUE(e2e::waitUntil([&] { return !got("service").empty(); }));
    EXPECT_EQ(got("service"), "registered");

    // The engine keeps its cookies with the application's data.
    const std::string jar = m_home.folders().library() + "/WebKit/cookies.sqlite";
    EXPECT_TRUE(e2e::waitUntil([&] {
        std::ifstream file(jar, std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        return bytes.str().find("from-navigation") != std::string::npos;
    })) << jar;
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

// The browser has one window: a page's link to a new window and its window.open (both on a click) load in the
// browser itself, each reported once, and its context menu offers nothing that saves or opens a window; a
// page that asks for credentials (401, "Basic") shows its own answer and ends with loadstop, as without
// credentials (no dialog of the engine's own waits where nobody sees it).
TEST_F(InAppBrowserOnEngineTest, ABrowsedPageOpensItsNewWindowsInTheBrowserAndAChallengeShowsItsPage) {
    testsupport::HTTPTestServer server;
    const std::string button = "<button style='display: block; width: 100%; height: 100px' ";
    server.route("/links.html", testsupport::Reply::text(200,
        "<html><body style='margin: 0'><a id='blank' href='/blank.html' target='_blank' style='display: block; height: 100px'>a new window</a>"
        + button + "id='open' onclick=\"window.open('/opened.html')\">open</button>"
        + button + "id='file' onclick=\"window.open('file://" + m_home.folders().bundle() + "/www/iab.html')\">a file</button></body></html>",
        "text/html"));
    server.route("/framed.html", testsupport::Reply::text(200,
        "<html><body style='margin: 0; padding-top: 100px'><iframe id='foreign' src='" + foreignSite(server.url("/foreign.html")) + "'"
        " style='display: block; border: 0; width: 100%; height: 216px'></iframe>"
        "<script>addEventListener('message', function (e) { document.body.setAttribute('data-heard', e.data); });</script></body></html>",
        "text/html"));
    // A frame of another site whose rows (24 pixels each) ask for new windows the browser's page must not
    // get: script to run (by a link, window.open, a named window, a form), a data: and a blob: document;
    // then tell the page it is done, open 50 windows in a loop, and post a form to a new window.
    server.route("/foreign.html", testsupport::Reply::text(200, std::string(R"P(<html><head><style>
body { margin: 0; } body > *, form > button { display: block; margin: 0; border: 0; padding: 0; width: 100%; height: 24px; }
</style></head><body>
<a onclick="parent.postMessage('row0', '*')" href="javascript:document.body.setAttribute('data-ran', 'link')" target="_blank">link</a>
<button onclick="parent.postMessage('row1', '*'); window.open('javascript:document.body.setAttribute(\'data-ran\', \'open\')')">open</button>
<button onclick="parent.postMessage('row2', '*'); window.open('javascript:document.body.setAttribute(\'data-ran\', \'named\')', 'named')">named</button>
<form onsubmit="parent.postMessage('row3', '*')" action="javascript:document.body.setAttribute('data-ran', 'form')" target="_blank"><button>form</button></form>
<button onclick="parent.postMessage('row4', '*'); window.open('data:text/html,&lt;p id=shown&gt;data&lt;/p&gt;')">data</button>
<button onclick="parent.postMessage('row5', '*'); window.open(URL.createObjectURL(new Blob(['&lt;p id=shown&gt;blob&lt;/p&gt;'], {type: 'text/html'})))">blob</button>
<button onclick="parent.postMessage('done', '*')">done</button>
<button onclick="for (var i = 0; i &lt; 50; i++) window.open(')P") + server.url("/opened.html") + R"P(?' + i)">many</button>
<form method="post" action=")P" + server.url("/posted") + R"P(" target="_blank"><input type="hidden" name="secret" value="body"><button>post</button></form>
</body></html>)P", "text/html"));
    server.route("/posted", testsupport::Reply::text(200, "<html><body><p id='shown'>posted</p></body></html>", "text/html"));
    server.route("/blank.html", testsupport::Reply::text(200, "<html><body><p id='shown'>blank</p></body></html>", "text/html"));
    server.route("/opened.html", testsupport::Reply::text(200, "<html><body><p id='shown'>opened</p></body></html>", "text/html"));
    server.route("/account", testsupport::Reply::text(401, "<html><body><p id='shown'>sign in first</p></body></html>", "text/html")
                                 .withHeader("WWW-Authenticate", "Basic realm=\"shop\""));
    launchAndWaitForThePage();
    eval("iabOpenIn('" + server.url("/links.html") + "', '_blank', 'location=no'); 1");
    ASSERT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<plugins::HYBInAppBrowserViewController> screen = plugin->inAppBrowserViewController();
    std::shared_ptr<platform::WebView> page = screen->webView();
    ASSERT_TRUE(e2e::waitUntil([&] { return !platform::ViewAnimation::isAnimating(*screen->parentViewController()->view()); }));
    m_host->update();
    const auto clickOn = [&](const std::string& id, guint button) {
        const platform::Rect frame = page->convertRectTo(page->bounds(), nullptr);
        const auto at = [&](const std::string& side) {
            return std::stod(page->stringByEvaluatingJavaScriptFromString("String(document.getElementById('" + id + "').getBoundingClientRect()." + side + ")"));
        };
        const platform::Point centre{frame.origin.x + (at("left") + at("right")) / 2, frame.origin.y + (at("top") + at("bottom")) / 2};
        e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, centre, button);
        e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, centre, button, GDK_BUTTON1_MASK << (button - 1));
    };
    const auto eventsAre = [&](const std::string& events) { return e2e::waitUntil([&] { return text("iab-events") == "Browser: " + events; }); };
    const auto shown = [&] { return page->stringByEvaluatingJavaScriptFromString("document.getElementById('shown') ? document.getElementById('shown').textContent : ''"); };

    // The link's context menu offers nothing that saves to disk or opens a window.
    std::vector<WebKitContextMenuAction> offered;
    WebKitWebView* engineView = std::static_pointer_cast<webengine::WebKitGtkWebView>(page)->engine().view();
    const gulong menuSignal = g_signal_connect(engineView, "context-menu", G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu* menu, GdkEvent*,
                                                                                         WebKitHitTestResult*, std::vector<WebKitContextMenuAction>* actions) -> gboolean {
        for (GList* item = webkit_context_menu_get_items(menu); item; item = item->next)
            actions->push_back(webkit_context_menu_item_get_stock_action(WEBKIT_CONTEXT_MENU_ITEM(item->data)));
        return TRUE; // not shown
    }), &offered);
    clickOn("blank", 3);
    EXPECT_TRUE(e2e::waitUntil([&] { return !offered.empty(); }));
    g_signal_handler_disconnect(engineView, menuSignal);
    EXPECT_NE(std::find(offered.begin(), offered.end(), WEBKIT_CONTEXT_MENU_ACTION_COPY_LINK_TO_CLIPBOARD), offered.end());
    for (WebKitContextMenuAction refused : {WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK_IN_NEW_WINDOW, WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_LINK_TO_DISK})
        EXPECT_EQ(std::count(offered.begin(), offered.end(), refused), 0) << "offered: action " << refused;

    clickOn("blank", 1);
    EXPECT_TRUE(e2e::waitUntil([&] { return shown() == "blank"; }));
    EXPECT_TRUE(eventsAre("loadstart, loadstop, loadstart, loadstop")) << text("iab-events");
    page->goBack();
    // Its end first: a click while it still loads would cancel it.
    ASSERT_TRUE(eventsAre("loadstart, loadstop, loadstart, loadstop, loadstart, loadstop")) << text("iab-events");
    ASSERT_TRUE(e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("document.getElementById('open') ? 1 : 0") == "1"; }));
    // (A web page opens no file: WebKit would not let it go there itself.)
    clickOn("file", 1);
    clickOn("open", 1);
    EXPECT_TRUE(e2e::waitUntil([&] { return shown() == "opened"; }));
    EXPECT_TRUE(eventsAre("loadstart, loadstop, loadstart, loadstop, loadstart, loadstop, loadstart, loadstop")) << text("iab-events");

    // The frame of another site asks for new windows: none runs script in the page or shows a document of a
    // data: or blob: URL; the page is the one that hears the frame's message after them.
    const auto framed = [&] {
        page->stringByEvaluatingJavaScriptFromString("location.href = '" + server.url("/framed.html") + "'; 1");
        return e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("document.getElementById('foreign') ? 1 : 0") == "1"; });
    };
    // Its "done" row, clicked until the frame hears it (the first click on a page just loaded may reach no
    // element), then forgotten.
    const auto takesClicks = [&](const std::function<void(int)>& click) {
        bool heard = false;
        for (int attempt = 0; attempt < 20 && !heard; ++attempt) {
            click(6);
            heard = e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("document.body.getAttribute('data-heard')") == "done"; },
                                   std::chrono::milliseconds(500));
        }
        page->stringByEvaluatingJavaScriptFromString("document.body.removeAttribute('data-heard'); 1");
        return heard;
    };
    const auto clickRow = [&](int row) {
        const platform::Rect frame = page->convertRectTo(page->bounds(), nullptr);
        const auto at = [&](const std::string& side) {
            return std::stod(page->stringByEvaluatingJavaScriptFromString("String(document.getElementById('foreign').getBoundingClientRect()." + side + ")"));
        };
        const platform::Point point{frame.origin.x + (at("left") + at("right")) / 2, frame.origin.y + at("top") + 12 + 24 * row};
        // The pointer comes into the frame first, as a person's does: a press that comes from nowhere after
        // the page changed goes to no element.
        e2e::sendPointer(*m_host, GDK_MOTION_NOTIFY, point);
        e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, point, 1);
        e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, point, 1, GDK_BUTTON1_MASK);
    };
    std::string events = "loadstart, loadstop, loadstart, loadstop, loadstart, loadstop, loadstart, loadstop";
    ASSERT_TRUE(framed());
    events += ", loadstart, loadstop";
    ASSERT_TRUE(eventsAre(events)) << text("iab-events");
    ASSERT_TRUE(takesClicks(clickRow));
    const auto heard = [&](const std::string& message) {
        return e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("document.body.getAttribute('data-heard')") == message; });
    };
    // One at a time: what a click asks for reaches the page before the next click does.
    for (int row = 0; row < 6; ++row) {
        clickRow(row);
        EXPECT_TRUE(heard("row" + std::to_string(row))) << row;
    }
    clickRow(6);
    EXPECT_TRUE(heard("done"));
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("String(document.body.getAttribute('data-ran'))"), "null");
    EXPECT_EQ(shown(), "");
    EXPECT_EQ(text("iab-events"), "Browser: " + events);
    // Fifty windows in a loop: the first loads, once, and no load is reported failed.
    clickRow(7);
    EXPECT_TRUE(e2e::waitUntil([&] { return shown() == "opened"; }));
    events += ", loadstart, loadstop";
    EXPECT_TRUE(eventsAre(events)) << text("iab-events");
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("location.search"), "?0");
    // A form posted to a new window loads as a GET of its action: its body is not sent.
    ASSERT_TRUE(framed());
    events += ", loadstart, loadstop";
    ASSERT_TRUE(eventsAre(events)) << text("iab-events");
    ASSERT_TRUE(takesClicks(clickRow));
    clickRow(8);
    EXPECT_TRUE(e2e::waitUntil([&] { return shown() == "posted"; }));
    events += ", loadstart, loadstop";
    EXPECT_TRUE(eventsAre(events)) << text("iab-events");
    for (const testsupport::RecordedRequest& request : server.requests()) {
        if (request.path == "/posted") {
            EXPECT_TRUE(request.method == "GET" && request.body.empty()) << request.method << " " << request.body;
        }
    }

    // No permission query reads "prompt" where every request is denied: the page has none to put.
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("typeof navigator.permissions"), "undefined");

    eval("iabOpenIn('" + server.url("/account") + "', '_blank', 'location=no'); 1");
    EXPECT_TRUE(eventsAre("loadstart, loadstop")) << text("iab-events");
    EXPECT_TRUE(e2e::waitUntil([&] { return shown() == "sign in first"; }));
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}

// A server's redirect: the load's events name the address the browser ends at, as its location bar does,
// whether the load ends or fails there. A load that fails is named by its loaderror as by its loadstart, also
// a link of the page shown that turns out a download; the location bar names the page still shown, or, with
// none, the address that failed, and the screen says why in the phone's words.
TEST_F(InAppBrowserOnEngineTest, TheLoadEventsNameTheAddressARedirectLeadsTo) {
    testsupport::HTTPTestServer server;
    for (const int code : {301, 302, 303, 307, 308})
        server.route("/moved-" + std::to_string(code), testsupport::Reply::text(code, "", "text/plain").withHeader("Location", server.url("/landing")));
    server.route("/landing", testsupport::Reply::text(200, "<p>landed</p>", "text/html"));
    // A server gone: the load fails where the redirect led it.
    const std::string closed = "http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/closed";
    server.route("/to-closed", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", closed));
    server.route("/notes.txt", testsupport::Reply::text(200, "a page's notes").withHeader("Content-Disposition", "attachment; filename=\"notes.txt\""));
    server.route("/to-notes", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", server.url("/notes.txt")));
    server.route("/unshowable", testsupport::Reply::text(200, std::string(4096, '\x01'), "application/octet-stream"));
    server.route("/links.html", testsupport::Reply::text(200, "<html><body><a id='download' href='/landing' download='landing.html'>save</a>"
                                                              "<a id='attachment' href='/notes.txt'>notes</a>"
                                                              "<a id='closed' href='" + closed + "'>gone</a></body></html>", "text/html"));
    launchAndWaitForThePage();
    const auto last = [&] { return eval("seen[seen.length - 1]"); };
    const auto ended = [&] { return e2e::waitUntil([&] { return eval("seen.length && /^load(stop|error)/.test(seen[seen.length - 1]) ? 1 : 0") == "1"; }); };
    const auto open = [&](const std::string& url) {
        eval("window.seen = []; exec(function (e) { seen.push(e.type + ' ' + e.url); }, function (e) { seen.push(e.type + ' ' + e.url); },"
             " 'InAppBrowser', 'open', ['" + url + "', '_blank', 'hidden=yes']); 1");
        EXPECT_TRUE(ended()) << eval("seen.join(', ')");
        return last();
    };
    std::shared_ptr<plugins::HYBInAppBrowser> plugin;
    for (const int code : {301, 302, 303, 307, 308}) {
        EXPECT_EQ(open(server.url("/moved-" + std::to_string(code))), "loadstop " + server.url("/landing")) << code << ": " << eval("seen.join(', ')");
        plugin = browser();
        ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
        EXPECT_EQ(plugin->inAppBrowserViewController()->addressLabel()->text(), server.url("/landing")) << code;
        EXPECT_EQ(plugin->inAppBrowserViewController()->webView()->request()->urlString(), server.url("/landing")) << code;
    }
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
    // Opened straight at what fails: each event names the load's address, and with no page to show the
    // location bar keeps it and the screen's ground says why.
    struct Failed {
        std::string url;     // opened
        std::string failed;  // where it fails, as the last loadstart and the loaderror name it
        const char* reason;
    };
    const Failed failures[] = {
        {server.url("/to-closed"), closed, "The server is not answering."},
        {server.url("/notes.txt"), server.url("/notes.txt"), "The browser cannot download files."},
        {server.url("/to-notes"), server.url("/notes.txt"), "The browser cannot download files."},
        {server.url("/unshowable"), server.url("/unshowable"), "The browser cannot download files."},
    };
    for (const Failed& failure : failures) {
        SCOPED_TRACE(failure.url);
        EXPECT_EQ(open(failure.url), "loaderror " + failure.failed) << eval("seen.join(', ')");
        EXPECT_EQ(eval("seen.filter(function (s) { return /^loadstart/.test(s); }).pop()"), "loadstart " + failure.failed);
        std::shared_ptr<plugins::HYBInAppBrowserViewController> screen = browser()->inAppBrowserViewController();
        ASSERT_TRUE(e2e::waitUntil([&] { return !screen->failureTitleLabel()->isHidden(); }));
        EXPECT_EQ(screen->failureReasonLabel()->text(), failure.reason);
        EXPECT_EQ(screen->addressLabel()->text(), failure.failed);
        eval("iabClose(); 1");
        ASSERT_TRUE(e2e::waitUntil([&] { return !browser()->inAppBrowserViewController(); }));
    }

    // The links of a page shown that fail: the page stays, and so does its address. (A link with "download"
    // makes a download, which WebKit starts without a load of the page's and without saying whose link it was, a
    // frame's perhaps: it is cancelled, and the browser reports nothing of it.)
    EXPECT_EQ(open(server.url("/links.html")), "loadstop " + server.url("/links.html"));
    plugin = browser();
    std::shared_ptr<plugins::HYBInAppBrowserViewController> screen = plugin->inAppBrowserViewController();
    e2e::LoadWatch watch(std::static_pointer_cast<webengine::WebKitGtkWebView>(screen->webView())->engine().view());
    eval("window.seen = []; 1");
    screen->webView()->stringByEvaluatingJavaScriptFromString("document.getElementById('download').click(); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return watch.downloads() == 1 && watch.downloadsOver(); }));
    EXPECT_EQ(eval("seen.join(', ')"), "");
    for (const char* link : {"attachment", "closed"}) {
        SCOPED_TRACE(link);
        const std::string href = screen->webView()->stringByEvaluatingJavaScriptFromString(std::string("document.getElementById('") + link + "').href");
        eval("window.seen = []; 1");
        screen->webView()->stringByEvaluatingJavaScriptFromString(std::string("document.getElementById('") + link + "').click(); 1");
        ASSERT_TRUE(ended()) << eval("seen.join(', ')");
        EXPECT_EQ(eval("seen.join(', ')"), "loadstart " + href + ", loaderror " + href);
        EXPECT_TRUE(e2e::waitUntil([&] { return screen->addressLabel()->text() == server.url("/links.html"); })) << screen->addressLabel()->text();
        EXPECT_EQ(screen->webView()->stringByEvaluatingJavaScriptFromString("location.href"), server.url("/links.html"));
        EXPECT_TRUE(screen->failureTitleLabel()->isHidden()) << "the page is not covered";
    }
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}

// A text document and a JSON one, shown whole: their first line lies below the status bar, whichever bars
// show and wherever.
TEST_F(InAppBrowserOnEngineTest, ADocumentsFirstLineShowsBelowTheStatusBar) {
    testsupport::HTTPTestServer server;
    server.route("/notes.txt", testsupport::Reply::text(200, "First line of the notes\nSecond line\n", "text/plain"));
    server.route("/data.json", testsupport::Reply::text(200, "{\"first\": \"line\",\n \"second\": 2}\n", "application/json"));
    launchAndWaitForThePage();
    struct Shown {
        const char* path;
        const char* options;
        int y;        // the page's place in the window (375 x 667)
        int height;
        const char* snapshot; // (without the location bar, which would show the test server's port)
    };
    const Shown cases[] = {
        {"/notes.txt", "location=no", 20, 667 - 20 - 44, "in_app_browser_text_document"},
        {"/data.json", "toolbarposition=top,location=no", 20 + 44, 667 - 20 - 44, "in_app_browser_json_document"},
        {"/notes.txt", "", 20, 667 - 20 - 65, nullptr},
        {"/data.json", "toolbarposition=top", 20 + 44, 667 - 20 - 65, nullptr},
        {"/notes.txt", "toolbar=no", 20, 667 - 20 - 21, nullptr},
    };
    for (const Shown& shown : cases) {
        SCOPED_TRACE(std::string(shown.path) + " " + shown.options);
        eval("showIab('events', '', 'Browser:'); iabOpenIn('" + server.url(shown.path) + "', '_blank', '" + shown.options + "'); 1");
        ASSERT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
        std::shared_ptr<plugins::HYBInAppBrowserViewController> screen = browser()->inAppBrowserViewController();
        ASSERT_TRUE(screen);
        // Presented on a later turn (once the browser closed before has gone), which a quick load may come before.
        ASSERT_TRUE(e2e::waitUntil([&] {
            const std::shared_ptr<platform::ViewController> shown = screen->parentViewController();
            return shown && shown->presentingViewController() && !shown->isBeingTransitioned() && !platform::ViewAnimation::isAnimating(*shown->view());
        }));
        m_host->update();
        GtkWidget* widget = std::static_pointer_cast<webengine::WebKitGtkWebView>(screen->webView())->widget();
        GtkAllocation allocation{};
        EXPECT_TRUE(e2e::waitUntil([&] {
            gtk_widget_get_allocation(widget, &allocation);
            return allocation.y == shown.y && allocation.height == shown.height;
        })) << "at y " << allocation.y << ", " << allocation.height << " high";
        if (shown.snapshot) {
            e2e::TempFolder folder;
            ASSERT_TRUE(m_host->writeScreenshot(folder.path() + "/window.png").ok());
            auto image = platform::Image::fromFile(folder.path() + "/window.png");
            ASSERT_TRUE(image.ok());
            hybtest::expectSnapshotImageIn("e2e", *image.value(), shown.snapshot);
        }
        eval("iabClose(); 1");
        ASSERT_TRUE(e2e::waitUntil([&] { return !browser()->inAppBrowserViewController(); }));
        ASSERT_TRUE(e2e::waitUntil([&] { return !controller().presentedViewController(); }));
    }
}

// A page that replaces what JSON writes with (toJSON on the prototypes, JSON.stringify, a Date's and a
// Number's own functions, an array's holes) changes nothing of the values its injected scripts answer with.
TEST_F(InAppBrowserOnEngineTest, APagesOwnJSONFunctionsChangeNoInjectedScriptsAnswer) {
    testsupport::HTTPTestServer server;
    server.route("/forger.html", testsupport::Reply::text(200, R"(<!DOCTYPE html><html><head><title>Forger</title></head><body><script>
Object.prototype.toJSON = function () { return 'forged'; };
Array.prototype.toJSON = function () { return ['forged']; };
Date.prototype.toISOString = function () { return 'forged'; };
Number.prototype.valueOf = function () { return 666; };
DOMRectReadOnly.prototype.toJSON = function () { return 'forged'; };
JSON.stringify = function () { return '["forged"]'; };
Object.defineProperty(Array.prototype, '1', {configurable: true, get: function () { return 'forged'; },
  set: function (v) { Object.defineProperty(this, '1', {value: v, writable: true, enumerable: true, configurable: true}); }});
</script></body></html>)", "text/html"));
    launchAndWaitForThePage();
    eval("iabOpenIn('" + server.url("/forger.html") + "', '_blank', 'hidden=yes'); 1");
    ASSERT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
    eval("window.got = {}; function inject(name, code) { exec(function (v) { got[name] = 'ok:' + JSON.stringify(v); },"
         " function (e) { got[name] = 'fail:' + e; }, 'InAppBrowser', 'injectScriptCode', [code]); }"
         "inject('object', '({a: 1, list: [1, , 3], when: new Date(0), title: document.title, n: new Number(5)})');"
         "inject('array', '[1, [2, 3]]');"
         "inject('own', '({toJSON: function () { return \"its own\"; }})');"
         "inject('rect', 'new DOMRect(1, 2, 3, 4)');"
         "inject('above', 'delete Array.prototype.toJSON; Object.setPrototypeOf(Array.prototype, {toJSON: function () { return 1; }}); [7]'); 1");
    const auto answer = [&](const std::string& name) {
        e2e::waitUntil([&] { return eval("got['" + name + "'] ? 1 : 0") == "1"; });
        return eval("got['" + name + "'] || ''");
    };
    EXPECT_EQ(answer("object"), R"(ok:[{"a":1,"list":[1,null,3],"when":"1970-01-01T00:00:00.000Z","title":"Forger","n":5}])");
    EXPECT_EQ(answer("array"), "ok:[[1,[2,3]]]");
    EXPECT_EQ(answer("own"), R"(ok:["its own"])");
    EXPECT_EQ(answer("rect"), R"(ok:[{"x":1,"y":2,"width":3,"height":4,"top":2,"right":4,"bottom":6,"left":1}])");
    EXPECT_EQ(answer("above"), "ok:[[7]]");
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !browser()->inAppBrowserViewController(); }));
}

// A file page the application opens in the browser reads the bundle's and the home's files through the file
// systems' URLs, and no other file by any spelling: no climbing out, no escapes, no link out of the folders.
TEST_F(InAppBrowserOnEngineTest, AFilePageInTheBrowserReadsNoFileOutsideTheBundleAndTheHome) {
    launchAndWaitForThePage();
    const std::string documents = m_home.folders().documents();
    std::ofstream(documents + "/own.txt") << "own notes";
    std::filesystem::create_symlink("/etc/passwd", documents + "/passwd-link");
    std::filesystem::create_directory_symlink("/etc", documents + "/etc-link");
    eval("iabOpenIn('iab.html', '_blank', 'hidden=yes'); 1");
    ASSERT_TRUE(shows("iab-events", "loadstop")) << text("iab-events");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<platform::WebView> page = plugin->inAppBrowserViewController()->webView();
    const auto read = [&](const std::string& url) {
        return page->stringByEvaluatingJavaScriptFromString(
            "(function (u) { var x = new XMLHttpRequest(); try { x.open('GET', u, false); x.send(null); return x.status + ':' + x.responseText; }"
            " catch (e) { return 'refused'; } })(" + platform::JSON::writeCompact(platform::Value(url)).valueOr("''") + ")");
    };
    EXPECT_EQ(read("hybfile://localhost/persistent/own.txt"), "200:own notes");
    EXPECT_EQ(read("hybfile://localhost/root" + documents + "/own.txt"), "200:own notes");
    const std::string up = "/../../../../../../../../../..";
    const std::vector<std::string> outside = {
        "hybfile://localhost/root/etc/passwd", "hybfile://localhost/root/etc/group",
        "hybfile://localhost/root//etc//passwd", "hybfile://localhost/root/./etc/./passwd",
        "hybfile://localhost/root/etc/passwd/", "hybfile:///root/etc/passwd",
        "hybfile://localhost/root" + documents + up + "/etc/passwd",
        "hybfile://localhost/root" + documents + "/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
        "hybfile://localhost/root" + documents + "/%2E%2E%2F%2E%2E%2F%2E%2E%2F%2E%2E%2F%2E%2E%2F%2E%2E%2F%2E%2E%2F%2E%2E%2Fetc%2Fpasswd",
        "hybfile://localhost/root%2Fetc%2Fpasswd", "hybfile://localhost/root/etc%2Fpasswd",
        "hybfile://localhost/root/etc/passwd;x", "hybfile://localhost/root/etc;/passwd",
        "hybfile://localhost/root/etc/passwd%00", "hybfile://localhost/root/etc/passwd%00.txt",
        "hybfile://localhost/ROOT/etc/passwd", "HYBFILE://localhost/root/etc/passwd",
        "hybfile://LOCALHOST/root/etc/passwd", "hybfile://localhost/root/etc/passwd?x=1",
        "hybfile://localhost/root/etc/passwd#x", "hybfile://localhost/root/proc/self/root/etc/passwd",
        "hybfile://localhost/persistent" + up + "/etc/passwd", "hybfile://localhost/persistent/..%2F..%2F..%2F..%2F..%2F..%2F..%2Fetc%2Fpasswd",
        "hybfile://localhost/cache" + up + "/etc/passwd", "hybfile://localhost/bundle" + up + "/etc/passwd",
        "hybfile://localhost/persistent/passwd-link", "hybfile://localhost/persistent/etc-link/passwd",
        "hybfile://localhost/root" + documents + "/passwd-link", "hybfile://localhost/root" + documents + "/etc-link/passwd"};
    for (const std::string& url : outside) {
        const std::string got = read(url);
        EXPECT_EQ(got.find("root:"), std::string::npos) << url << ": " << got;
    }
    // Nor by fetch, nor from a worker the page starts.
    page->stringByEvaluatingJavaScriptFromString(
        "window.roads = []; var u = 'hybfile://localhost/root/etc/passwd';"
        " fetch(u).then(function (r) { return r.text(); }).then(function (t) { roads.push('fetch ' + t); }, function () { roads.push('fetch refused'); });"
        " var w = new Worker(URL.createObjectURL(new Blob([\"fetch('\" + u + \"').then(function (r) { return r.text(); })"
        ".then(function (t) { postMessage('worker ' + t); }, function () { postMessage('worker refused'); });\"])));"
        " w.onmessage = function (e) { roads.push(e.data); }; w.onerror = function () { roads.push('worker error'); }; 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("String(roads.length)") == "2"; }));
    const std::string roads = page->stringByEvaluatingJavaScriptFromString("roads.join(' | ')");
    EXPECT_EQ(roads.find("root:"), std::string::npos) << roads;
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}

// A frame of another site in the browsed page re-points itself at a sign-in callback with a code of its own, is led
// on by a redirect, and has loads refused (an attachment, the browser's own answer scheme, another application's
// URL): the browser sends no loadstart, loadstop or loaderror for any of it, and its request stays the page's. The
// page's own navigation to another application's URL is still handed over.
TEST_F(InAppBrowserOnEngineTest, AFramesNavigationsRedirectsAndRefusedLoadsAreNoLoadOfTheBrowsers) {
    testsupport::HTTPTestServer server;
    const std::string site = server.url("/site.html");
    server.route("/site.html", testsupport::Reply::text(200,
        "<html><body><p>the site</p><script>window.heard = []; addEventListener('message', function (e) { heard.push(e.data); });</script>"
        "<iframe src='" + foreignSite(server.url("/frame.html")) + "'></iframe></body></html>", "text/html"));
    // Each of the frame's documents takes the next step once it has loaded.
    const auto step = [](const std::string& tell, const std::string& next) {
        return testsupport::Reply::text(200, "<html><body><script>top.postMessage('" + tell + "', '*');"
                                             " setTimeout(function () { " + next + " }, 50);</script></body></html>", "text/html");
    };
    server.route("/frame.html", step("framed", "location.href = '/callback?oauth_callback&code=FORGED';"));
    server.route("/callback", step("callback", "location.href = '/bounce';"));
    server.route("/bounce", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", "/landed?code=FORGED2"));
    server.route("/notes", testsupport::Reply::text(200, "notes", "text/plain").withHeader("Content-Disposition", "attachment"));
    server.route("/landed", step("landed",
        "var g = document.createElement('iframe'); g.src = '/notes'; document.body.appendChild(g);"
        " setTimeout(function () { location.href = 'hyb-iab://InAppBrowser7/%5B1%5D'; }, 50);"
        " setTimeout(function () { location.href = 'nowhere-app://frame'; }, 100);"
        " setTimeout(function () { location.href = '/last'; }, 150);"));
    server.route("/last", step("last", ""));
    platform::Application::shared().addInstalledScheme("nowhere-app");
    launchAndWaitForThePage();
    eval("window.seen = []; exec(function (e) { seen.push(e.type + ' ' + e.url); }, function (e) { seen.push(e.type + ' ' + e.url); },"
         " 'InAppBrowser', 'open', ['" + site + "', '_blank', 'hidden=yes']); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("seen.join(', ')") == "loadstart " + site + ", loadstop " + site; })) << eval("seen.join(', ')");
    std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
    ASSERT_TRUE(plugin && plugin->inAppBrowserViewController());
    std::shared_ptr<platform::WebView> page = plugin->inAppBrowserViewController()->webView();
    ASSERT_TRUE(e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("heard.join()") == "framed,callback,landed,last"; }))
        << page->stringByEvaluatingJavaScriptFromString("heard.join()");
    EXPECT_EQ(eval("seen.join(', ')"), "loadstart " + site + ", loadstop " + site);
    EXPECT_EQ(page->request()->urlString(), site);
    EXPECT_EQ(platform::Application::shared().openedURLs(), std::vector<std::string>{}) << "no frame opens another application";

    // The page itself led to another application's URL: handed over, and no load of the browser's.
    page->stringByEvaluatingJavaScriptFromString("location.href = 'nowhere-app://page'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !platform::Application::shared().openedURLs().empty(); }));
    EXPECT_EQ(platform::Application::shared().openedURLs(), std::vector<std::string>{"nowhere-app://page"});
    EXPECT_EQ(eval("seen.join(', ')"), "loadstart " + site + ", loadstop " + site);
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("location.href"), site);
}

// A PDF in the browser shows in the engine's own viewer, however the browser comes to it: opened at its
// address, by a link of a page, led there by the server, or in a frame of a page. Each road's picture shows
// the PDF's page drawn (its red block and its text), where a blank page has neither. The viewer's Save
// saves nothing: no download starts, no load is reported, no file is made. A page reaches nothing through
// the viewer's scheme: no file, no bridge, no frame of the viewer of its own.
TEST_F(InAppBrowserOnEngineTest, APDFShowsInTheEnginesViewerOnEveryRoadAndItsSaveSavesNothing) {
    testsupport::HTTPTestServer server;
    server.route("/doc.pdf", testsupport::Reply::text(200, e2e::redBlockPDF(), "application/pdf"));
    server.route("/links.html", testsupport::Reply::text(200, "<html><body><a id='pdf' href='/doc.pdf'>the PDF</a></body></html>", "text/html"));
    server.route("/moved", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", server.url("/doc.pdf")));
    server.route("/framed.html", testsupport::Reply::text(200,
        "<html><body style='margin: 0'><iframe src='/doc.pdf' style='display: block; border: 0; width: 100%; height: 500px'></iframe></body></html>",
        "text/html"));
    // What the browser opens, its events (a redirect's start is heard too), a link its page then follows, and the
    // address it ends at.
    struct Road {
        const char* name;
        std::string url;
        std::string events;
        bool clickLink;
        std::string shown;
    };
    const Road roads[] = {
        {"opened_at_it", server.url("/doc.pdf"), "loadstart, loadstop", false, server.url("/doc.pdf")},
        {"a_link_to_it", server.url("/links.html"), "loadstart, loadstop", true, server.url("/doc.pdf")},
        {"led_there_by_the_server", server.url("/moved"), "loadstart, loadstart, loadstop", false, server.url("/doc.pdf")},
        {"a_frame_of_a_page", server.url("/framed.html"), "loadstart, loadstop", false, server.url("/framed.html")},
    };
    launchAndWaitForThePage();
    e2e::nameDownloadFolder();
    const auto before = e2e::userFiles();
    e2e::LoadWatch watch(m_webView->engine().view()); // the context's downloads, whichever view starts them
    std::shared_ptr<plugins::HYBInAppBrowser> plugin;
    std::shared_ptr<webengine::WebKitGtkWebView> page;
    const auto open = [&](const std::string& url, const std::string& events = "loadstart, loadstop") {
        eval("showIab('events', '', ''); iabOpenIn('" + url + "', '_blank', 'location=no'); 1");
        const bool loaded = e2e::waitUntil([&] { return text("iab-events") == "Browser: " + events; });
        plugin = browser();
        if (plugin && plugin->inAppBrowserViewController())
            page = std::static_pointer_cast<webengine::WebKitGtkWebView>(plugin->inAppBrowserViewController()->webView());
        return loaded && page;
    };
    const auto showsThePDF = [&](const std::string& name) { return e2e::showsRedBlockPDF(page->engine(), "pdf_in_app_browser_" + name); };

    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        ASSERT_TRUE(open(road.url, road.events)) << text("iab-events");
        if (road.clickLink) {
            page->stringByEvaluatingJavaScriptFromString("document.getElementById('pdf').click(); 1");
            EXPECT_TRUE(e2e::waitUntil([&] { return text("iab-events") == "Browser: " + road.events + ", loadstart, loadstop"; }))
                << text("iab-events");
        }
        EXPECT_TRUE(e2e::waitUntil([&] { return page->request() && page->request()->urlString() == road.shown; }));
        EXPECT_TRUE(showsThePDF(road.name));
    }

    // The viewer's Save, in the menu of its toolbar's last button (top right, below the status bar): the
    // viewer leads its frame to a blob: URL of its own, which the view refuses (and says so).
    hybtest::LogCapture log;
    ASSERT_TRUE(open(server.url("/doc.pdf"))) << text("iab-events");
    std::shared_ptr<plugins::HYBInAppBrowserViewController> screen = plugin->inAppBrowserViewController();
    ASSERT_TRUE(e2e::waitUntil([&] {
        return screen->parentViewController() && !platform::ViewAnimation::isAnimating(*screen->parentViewController()->view());
    }));
    m_host->update();
    ASSERT_TRUE(showsThePDF("before_save"));
    const platform::Rect frame = page->convertRectTo(page->bounds(), nullptr);
    const auto tap = [&](platform::Point at) {
        e2e::sendPointer(*m_host, GDK_MOTION_NOTIFY, at);
        e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, at, 1);
        e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, at, 1, GDK_BUTTON1_MASK);
    };
    // The menu covers much of the PDF's block when it shows. (A first tap on a page just shown may reach nothing.)
    const auto menuShows = [&] {
        platform::Image::Ptr picture = e2e::pictureOf(page->engine());
        return picture && e2e::pdfPixelsOf(*picture).red < 0.06;
    };
    bool menu = false;
    for (int attempt = 0; attempt < 10 && !menu; ++attempt) {
        tap({frame.origin.x + frame.size.width - 17, frame.origin.y + 25});
        menu = e2e::waitUntil(menuShows, std::chrono::milliseconds(1000));
    }
    ASSERT_TRUE(menu);
    tap({frame.origin.x + frame.size.width - 175, frame.origin.y + 106});
    EXPECT_TRUE(e2e::waitUntil([&] { return log.contains("refused a navigation of the PDF viewer's"); }));
    EXPECT_TRUE(showsThePDF("after_save"));
    EXPECT_EQ(text("iab-events"), "Browser: loadstart, loadstop");

    // A page of its own asks the viewer's scheme for the viewer, for files by every spelling and for the
    // bridge's path: each fetch fails, and its frame of the viewer stays empty, which holds its load up
    // nowhere (WebKit would leave that frame loading for ever).
    server.route("/viewer-framed.html", testsupport::Reply::text(200,
        "<html><body><iframe id='viewer' src='webkit-pdfjs-viewer://pdfjs/web/viewer.html'></iframe></body></html>", "text/html"));
    ASSERT_TRUE(open(server.url("/viewer-framed.html"))) << text("iab-events");
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("document.getElementById('viewer').contentDocument.URL"), "about:blank");
    const std::vector<std::string> viewerURLs = {
        "webkit-pdfjs-viewer://pdfjs/web/viewer.html", "webkit-pdfjs-viewer://pdfjs/../../../../../etc/passwd",
        "webkit-pdfjs-viewer://pdfjs/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "webkit-pdfjs-viewer:///etc/passwd",
        "webkit-pdfjs-viewer://pdfjs/!hyb_exec?1", "WEBKIT-PDFJS-VIEWER://pdfjs/web/viewer.html"};
    std::string list;
    for (const std::string& url : viewerURLs)
        list += (list.empty() ? "'" : ", '") + url + "'";
    page->stringByEvaluatingJavaScriptFromString(
        "window.got = []; [" + list + "].forEach(function (u) { fetch(u).then(function (r) { return r.text(); })"
        ".then(function (t) { got.push(u + ' read ' + t.slice(0, 40)); }, function () { got.push(u + ' error'); }); }); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("String(got.length)") == std::to_string(viewerURLs.size()); }));
    const std::string got = page->stringByEvaluatingJavaScriptFromString("got.join(' | ')");
    for (const std::string& url : viewerURLs)
        EXPECT_NE(got.find(url + " error"), std::string::npos) << got;
    EXPECT_EQ(watch.downloads(), 0);
    EXPECT_EQ(e2e::filesWritten(before, e2e::userFiles()), "");
    eval("iabClose(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !plugin->inAppBrowserViewController(); }));
}

// A site in the browser sets a thousand lasting cookies of 4 KB: the engine's cookie jar, which lasts on disk, keeps
// no more of them than the application's own store keeps of a site (180), as a browser bounds a site's cookies. The
// jar is pruned shortly after it changes (webengine/CookieJarBound.h), so the page may see more for a moment; what
// stays is the site's share, its newest cookies.
TEST_F(InAppBrowserOnEngineTest, ASiteKeepsNoMoreCookiesInTheEnginesJarThanASitesShare) {
    testsupport::HTTPTestServer server;
    server.route("/cookies.html", testsupport::Reply::text(200,
        "<html><body><script>var value = 'v'.repeat(4000);"
        " for (var i = 0; i < 1000; i++) document.cookie = 'c' + i + '=' + value + '; max-age=31536000; path=/';"
        " window.kept = function () { return document.cookie.split('; ').filter(function (c) { return /^c\\d+=/.test(c); }); };"
        " window.set = true;</script></body></html>",
        "text/html"));
    launchAndWaitForThePage();
    std::shared_ptr<platform::WebView> page = openHidden(server.url("/cookies.html"));
    ASSERT_TRUE(page);
    ASSERT_TRUE(e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("String(window.set || '')") == "true"; },
                               std::chrono::seconds(60)));
    EXPECT_TRUE(e2e::waitUntil([&] { return std::stoi(page->stringByEvaluatingJavaScriptFromString("String(kept().length)")) <= 180; },
                               std::chrono::seconds(60)))
        << page->stringByEvaluatingJavaScriptFromString("String(kept().length)");
    // The newest are kept: the last one set among them.
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("String(kept().some(function (c) { return c.indexOf('c999=') === 0; }))"), "true");
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("String(kept().some(function (c) { return c.indexOf('c0=') === 0; }))"), "false");
    ASSERT_TRUE(closeBrowser());
}

// Sites in the browser fill local storage past the bound in all (made small here): the least recently written site's
// local storage goes, on disk too, while the newest site's and the application's own stay.
TEST_F(InAppBrowserOnEngineTest, LocalStoragePastTheBoundInAllLosesTheLeastRecentlyWrittenSite) {
    const std::uint64_t bound = webengine::LocalStorageBound::totalBytes();
    webengine::LocalStorageBound::setTotalBytes(3 * 1024 * 1024);
    struct Restore { std::uint64_t bytes; ~Restore() { webengine::LocalStorageBound::setTotalBytes(bytes); } } restore{bound};
    testsupport::HTTPTestServer server;
    // About 2 MiB on disk (the engine keeps UTF-16).
    server.route("/fill.html", testsupport::Reply::text(200,
        "<html><body><script>localStorage.setItem('fill', 'v'.repeat(1 << 20)); window.filled = 'yes';</script></body></html>",
        "text/html"));
    launchAndWaitForThePage();
    eval("localStorage.setItem('own', 'kept'); 1");
    const std::string folder = m_home.folders().library() + "/WebKit/localstorage";
    const std::string port = std::to_string(server.port());
    const std::string older = folder + "/http_127.0.0.1_" + port + ".localstorage";
    const std::string newer = folder + "/http_localhost_" + port + ".localstorage";
    const std::string own = folder + "/file__0.localstorage";
    // An origin's database with its journal, where the engine's latest writes are.
    auto stored = [](const std::string& database) {
        std::uintmax_t bytes = 0;
        for (const std::string& file : {database, database + "-wal"}) {
            std::error_code error;
            const std::uintmax_t size = std::filesystem::file_size(file, error);
            bytes += error ? 0 : size;
        }
        return bytes;
    };
    ASSERT_TRUE(e2e::waitUntil([&] { return std::filesystem::exists(own); }, std::chrono::seconds(30)));
    for (const std::string& url : {server.url("/fill.html"), foreignSite(server.url("/fill.html"))}) {
        std::shared_ptr<platform::WebView> page = openHidden(url);
        ASSERT_TRUE(page);
        ASSERT_TRUE(e2e::waitUntil([&] { return page->stringByEvaluatingJavaScriptFromString("String(window.filled || '')") == "yes"; },
                                   std::chrono::seconds(60)));
        // Written to disk (the engine commits a moment later).
        const std::string& file = url.find("localhost") == std::string::npos ? older : newer;
        ASSERT_TRUE(e2e::waitUntil([&] { return stored(file) > 1024 * 1024; }, std::chrono::seconds(30))) << file;
        ASSERT_TRUE(closeBrowser());
    }
    EXPECT_TRUE(e2e::waitUntil([&] { return stored(older) == 0; }, std::chrono::seconds(30))) << older;
    EXPECT_TRUE(std::filesystem::exists(newer));
    EXPECT_TRUE(std::filesystem::exists(own));
    EXPECT_EQ(eval("localStorage.getItem('own')"), "kept");
}
