// platform's web view on the real engine: the delegate's load sequences, the current request, script
// evaluation, the process-wide user agent, sub-resources through the URL protocol registry, website data
// under the app's Library.
#include "EngineHarness.h"

#include "platform/application/Application.h"
#include "platform/application/ApplicationDelegate.h"
#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Locale.h"
#include "platform/system/UserDefaults.h"
#include "runtime/HYBUserAgentUtil.h"
#include "support/EngineProcesses.h"
#include "support/HTTPTestServer.h"
#include "support/TempHome.h"
#include "webengine/LoadError.h"
#include "webengine/WebKitGtkWebView.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

using e2e::waitUntil;
using webengine::WebKitGtkWebView;

namespace {

class RecordingDelegate : public platform::WebViewDelegate {
public:
    std::vector<std::string> events;
    std::vector<platform::URLRequest> requests;
    std::function<bool(const platform::URLRequest&)> allow;

    bool shouldStartLoadWithRequest(platform::WebView&, const platform::URLRequest& request,
                                    platform::WebViewNavigationType type) override
    {
        requests.push_back(request);
        events.push_back("should:" + request.urlString() + ":" + std::to_string(static_cast<int>(type)));
        return allow ? allow(request) : true;
    }
    void webViewDidStartLoad(platform::WebView&) override { events.push_back("start"); }
    void webViewDidFinishLoad(platform::WebView&) override { events.push_back("finish"); }
    void didFailLoadWithError(platform::WebView&, const platform::Error& error) override
    {
        events.push_back("fail:" + std::to_string(error.code));
    }
    size_t count(const std::string& prefix) const
    {
        return std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }
};

// Plays the XHR bridge: takes "/!hyb_exec", posts work to the main run loop from the loading thread (as
// the bridge hands commands to the main thread) and answers at once.
class PostingBridgeProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static std::function<void()>& onMain()
    {
        static std::function<void()> work;
        return work;
    }
    static bool canInitWithRequest(const platform::URLRequest& request)
    {
        if (!request.url() || request.url()->path() != "/!hyb_exec")
            return false;
        platform::RunLoop::main().perform([] {
            if (onMain())
                onMain()();
        });
        return true;
    }
    void startLoading() override
    {
        platform::HTTPHeaderFields headers;
        (void)headers.setValue("Content-Type", "text/plain");
        client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 200, headers),
                                     platform::URLCacheStoragePolicy::NotAllowed);
        client()->didFinishLoading(*this);
    }
    void stopLoading() override {}
};

// Notes the web view each request to a "/probe" or "/!hyb_exec" path names, and takes none.
class StampRecordingProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static std::vector<std::pair<std::string, std::uint64_t>>& seen()
    {
        static std::vector<std::pair<std::string, std::uint64_t>> requests;
        return requests;
    }
    static bool canInitWithRequest(const platform::URLRequest& request)
    {
        const std::string path = request.url() ? request.url()->path() : "";
        if (path == "/probe" || path == "/!hyb_exec") {
            // Asked on a loading thread for routed loads: handed to the main thread as the bridge does.
            platform::RunLoop::main().perform([path, id = request.webViewIdentifier()] { seen().emplace_back(path, id); });
        }
        return false;
    }
    void startLoading() override {}
    void stopLoading() override {}
};

class WebKitGtkWebViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        WebKitGtkWebView::installAsEngine();
        m_view = std::dynamic_pointer_cast<WebKitGtkWebView>(platform::WebView::create(platform::Rect(0, 0, 320, 480)));
        ASSERT_TRUE(m_view);
        m_view->setDelegate(m_delegate);
        m_window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(m_window), m_view->widget());
        gtk_widget_show_all(m_window);
    }
    void TearDown() override
    {
        platform::Application::shared().resetForTesting();
        platform::WebView::setFactory(nullptr);
        if (m_window)
            gtk_container_remove(GTK_CONTAINER(m_window), m_view->widget());
        m_view.reset();
        if (m_window)
            gtk_widget_destroy(m_window);
    }

    std::string page(const std::string& name, const std::string& html)
    {
        m_home.writeBundleFile("www/" + name, html);
        return "file://" + m_home.folders().www() + "/" + name;
    }
    void loadAndWait(const std::string& url)
    {
        const size_t ends = m_delegate->count("finish") + m_delegate->count("fail");
        m_view->loadRequest(platform::URLRequest(url));
        ASSERT_TRUE(waitUntil([&] { return m_delegate->count("finish") + m_delegate->count("fail") > ends; }));
    }
    std::string eval(const std::string& script) { return m_view->stringByEvaluatingJavaScriptFromString(script); }

    hybtest::TempHome m_home;
    std::shared_ptr<RecordingDelegate> m_delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<WebKitGtkWebView> m_view;
    GtkWidget* m_window = nullptr;
};

TEST_F(WebKitGtkWebViewTest, LoadAsksStartsAndFinishesAndKeepsItsRequest)
{
    const std::string url = page("index.html", "<html><body>one</body></html>");
    EXPECT_EQ(m_view->request(), nullptr);
    loadAndWait(url);
    EXPECT_EQ(m_delegate->events, std::vector<std::string>({"should:" + url + ":5", "start", "finish"}));
    const platform::URLRequest* current = m_view->request();
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->urlString(), url);
    EXPECT_EQ(current->mainDocumentURL()->absoluteString(), url);
    EXPECT_EQ(eval("document.body.textContent"), "one");
    EXPECT_EQ(eval("undefined"), "");
    // A fragment change asks, loads nothing and keeps the request object.
    eval("location.hash = '%01'");
    ASSERT_TRUE(waitUntil([&] { return m_delegate->events.size() == 4; }));
    EXPECT_EQ(m_delegate->events.back(), "should:" + url + "#%01:5");
    EXPECT_EQ(m_view->request(), current);
}

TEST_F(WebKitGtkWebViewTest, RefusedLoadsSendNothingMore)
{
    m_delegate->allow = [](const platform::URLRequest& r) { return r.scheme() != "hyb"; };
    loadAndWait(page("index.html", "<html><body><script>"
                                   "function signal() { var f = document.createElement('iframe'); f.src = 'hyb://ready';"
                                   " document.body.appendChild(f); }</script></body></html>"));
    eval("signal()");
    ASSERT_TRUE(waitUntil([&] { return m_delegate->events.back().rfind("should:hyb://ready", 0) == 0; }));
    eval("location.href = 'hyb://top'");
    ASSERT_TRUE(waitUntil([&] { return m_delegate->events.back().rfind("should:hyb://top", 0) == 0; }));
    EXPECT_EQ(m_delegate->count("start"), 1u);
    EXPECT_EQ(m_delegate->count("fail"), 0u);
}

TEST_F(WebKitGtkWebViewTest, NewNavigationAndStopCancelTheOpenLoad)
{
    testsupport::HTTPTestServer server;
    testsupport::Reply held = testsupport::Reply::text(200, "<html>slow</html>", "text/html");
    held.hold = true;
    server.route("/slow", held);
    const std::string fast = page("fast.html", "<html>fast</html>");

    platform::URLRequest slow(server.url("/slow"));
    ASSERT_TRUE(slow.setValue("yes", "X-From-Test").ok());
    m_view->loadRequest(slow);
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("start") == 1; }));
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests()[0].header("X-From-Test").value_or(""), "yes");
    m_view->loadRequest(platform::URLRequest(fast));
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("finish") == 1; }));
    // The held load ends as cancelled before the new one starts.
    const auto& e = m_delegate->events;
    const auto fail = std::find(e.begin(), e.end(), "fail:-999");
    ASSERT_NE(fail, e.end());
    EXPECT_EQ(std::count(fail, e.end(), "start"), 1);
    EXPECT_EQ(m_view->request()->urlString(), fast);

    m_view->loadRequest(platform::URLRequest(server.url("/slow")));
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("start") == 3; }));
    m_view->stopLoading();
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("fail:-999") == 2; }));
    EXPECT_FALSE(m_view->isLoading());
    // The stopped load brought no document: the page shown is still the fast one, and so is the request.
    ASSERT_NE(m_view->request(), nullptr);
    EXPECT_EQ(m_view->request()->urlString(), fast);

    // A page whose document came but whose image still loads: a new navigation ends it as cancelled too,
    // before its own start.
    server.route("/committed", testsupport::Reply::text(200, "<html><body>shown<img src='/slow'></body></html>", "text/html"));
    m_delegate->events.clear();
    m_view->loadRequest(platform::URLRequest(server.url("/committed")));
    ASSERT_TRUE(waitUntil([&] { return eval("document.body ? document.body.textContent : ''") == "shown"; }));
    m_view->loadRequest(platform::URLRequest(fast));
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("finish") == 1; }));
    std::vector<std::string> ends = m_delegate->events;
    std::erase_if(ends, [](const std::string& e) { return e.starts_with("should:"); });
    EXPECT_EQ(ends, std::vector<std::string>({"start", "fail:-999", "start", "finish"}));
    // So does the page's own: the request asked about (before the old load's end) is the new load's.
    server.route("/next", testsupport::Reply::text(200, "<html><body>next</body></html>", "text/html"));
    m_view->loadRequest(platform::URLRequest(server.url("/committed")));
    ASSERT_TRUE(waitUntil([&] { return eval("document.body ? document.body.textContent : ''") == "shown"; }));
    eval("location.href = '/next'");
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("finish") == 2; }));
    ASSERT_NE(m_view->request(), nullptr);
    EXPECT_EQ(m_view->request()->urlString(), server.url("/next"));
    server.releaseHeldReplies();
}

TEST_F(WebKitGtkWebViewTest, ALoadWhoseDocumentOutlivesItsTimeOutFailsWithTheTimeOutCodeAndItsPicturesDoNot)
{
    testsupport::HTTPTestServer server;
    testsupport::Reply held = testsupport::Reply::text(200, "<html>never</html>", "text/html");
    held.hold = true;
    server.route("/held", held);
    platform::URLRequest request(server.url("/held"));
    request.setTimeoutInterval(0.3);
    m_view->loadRequest(request);
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("fail") == 1; }));
    EXPECT_EQ(m_delegate->events.back(), "fail:-1001");
    EXPECT_EQ(m_delegate->count("finish"), 0u);
    EXPECT_EQ(m_view->request(), nullptr) << "no page came";
    server.releaseHeldReplies();

    // The time-out is the document's: a page whose picture takes longer (3.6 s at the least) finishes.
    testsupport::Reply picture = testsupport::Reply::text(200, std::string(10, 'p'), "image/png");
    picture.pieceSize = 1;
    picture.pauseBetweenPieces = std::chrono::milliseconds(400);
    server.route("/picture", picture);
    server.route("/shown", testsupport::Reply::text(200, "<html><body>shown<img src='/picture'></body></html>", "text/html"));
    platform::URLRequest shown(server.url("/shown"));
    shown.setTimeoutInterval(2); // ample for the document, even on a loaded machine
    m_delegate->events.clear();
    m_view->loadRequest(shown);
    ASSERT_TRUE(waitUntil([&] { return m_delegate->count("fail") + m_delegate->count("finish") == 1; }));
    EXPECT_EQ(m_delegate->events.back(), "finish");
}

// The engine's web processes among this program's children, by process id.
std::set<pid_t> webProcesses()
{
    std::set<pid_t> found;
    for (pid_t child : hybtest::childProcesses()) {
        std::error_code error;
        const std::string program = std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe", error).filename().string();
        if (program == "WebKitWebProcess")
            found.insert(child);
    }
    return found;
}

// The platform's own user agent is what a page of a new view reads, and measuring it starts no web
// process: the application's first launch starts only its own page's.
TEST_F(WebKitGtkWebViewTest, ThePlatformUserAgentIsMeasuredWithoutAWebProcess)
{
    auto other = platform::WebView::create(platform::Rect{});
    const std::string pageAgent = other->stringByEvaluatingJavaScriptFromString("navigator.userAgent");
    other.reset();
    ASSERT_FALSE(pageAgent.empty());

    // A locale never measured before: the agent is measured again, not read from the user defaults.
    platform::Locale::setCurrentIdentifier("de_CH");
    runtime::HYBUserAgentUtil::onAppLocaleDidChange();
    const std::set<pid_t> before = webProcesses();
    const std::string measured = runtime::HYBUserAgentUtil::originalUserAgent();
    const std::set<pid_t> after = webProcesses();
    platform::Locale::resetToEnvironment();
    runtime::HYBUserAgentUtil::onAppLocaleDidChange();

    EXPECT_EQ(measured, pageAgent);
    EXPECT_TRUE(waitUntil([&] { return platform::UserDefaults::standard().string(runtime::kHYBUserAgentKey) == pageAgent; }))
        << "stored for the next launch";
    EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end())) << "a web process was started to measure it";
    EXPECT_EQ(m_view->userAgentBeforeFirstLoad(), pageAgent);
}

TEST_F(WebKitGtkWebViewTest, TheRegisteredUserAgentIsReadAtEachLoad)
{
    const std::string url = page("index.html", "<html></html>");
    loadAndWait(url);
    EXPECT_EQ(eval("navigator.userAgent"), m_view->defaultUserAgent());
    platform::Dictionary agent;
    agent.set("UserAgent", std::string("HybridTest/2.0 (77)"));
    platform::UserDefaults::standard().registerDefaults(agent);
    loadAndWait(url);
    EXPECT_EQ(eval("navigator.userAgent"), "HybridTest/2.0 (77)");
    platform::Dictionary none;
    none.set("UserAgent", std::string());
    platform::UserDefaults::standard().registerDefaults(none);
}

TEST_F(WebKitGtkWebViewTest, WebsiteDataLivesUnderTheLibrary)
{
    loadAndWait(page("index.html", "<html><script>localStorage.setItem('k', 'stored');</script></html>"));
    EXPECT_EQ(eval("localStorage.getItem('k')"), "stored");
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(m_home.folders().library() + "/WebKit"); }));
}

TEST_F(WebKitGtkWebViewTest, EvaluationFromTheMainLoopWhileThePageWaitsInASynchronousXHR)
{
    // The bridge's order: the XHR is answered from the loading thread while the main thread, inside a
    // posted block, already evaluates script in the page that is blocked in that synchronous XHR.
    platform::URLProtocol::registerClass(platform::URLProtocol::classOf<PostingBridgeProtocol>("PostingBridgeProtocol"));
    std::string seen;
    PostingBridgeProtocol::onMain() = [&] { seen = eval("window.step"); };
    loadAndWait(page("index.html", "<html></html>"));
    eval("window.step = 'before'; var x = new XMLHttpRequest(); x.open('GET', '/!hyb_exec', false); x.send();"
         "window.step = 'after:' + x.status;");
    ASSERT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "after:200");
    PostingBridgeProtocol::onMain() = nullptr;
    platform::URLProtocol::unregisterClass("PostingBridgeProtocol");
}

TEST_F(WebKitGtkWebViewTest, EveryRequestOfAPageCarriesItsOwnViewsIdentifier)
{
    platform::URLProtocol::registerClass(platform::URLProtocol::classOf<StampRecordingProtocol>("StampRecordingProtocol"));
    StampRecordingProtocol::seen().clear();
    auto other = std::dynamic_pointer_cast<WebKitGtkWebView>(platform::WebView::create(platform::Rect(0, 0, 100, 100)));
    ASSERT_TRUE(other);
    EXPECT_NE(other->identifier(), m_view->identifier());
    const std::string url = page("index.html", "<html></html>");
    loadAndWait(url);
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    other->setDelegate(otherDelegate);
    other->loadRequest(platform::URLRequest(url));
    ASSERT_TRUE(waitUntil([&] { return otherDelegate->count("finish") > 0; }));

    // Each page: an XHR and a bridge XHR (answered by the web process); the routed form a page can write
    // itself reaches no protocol at all (only the web process writes route URLs).
    testsupport::HTTPTestServer server;
    const std::string requests =
        "function send(u) { var x = new XMLHttpRequest(); x.open('GET', u, true); x.setRequestHeader('vc', '1'); x.send(); }"
        "send('hybroute://load/?' + encodeURIComponent('" + server.url("/!hyb_exec") + "'));"
        "send('" + server.url("/probe") + "'); send('/!hyb_exec'); 1";
    eval(requests);
    ASSERT_TRUE(waitUntil([&] { return StampRecordingProtocol::seen().size() >= 2; }));
    other->stringByEvaluatingJavaScriptFromString(requests);
    ASSERT_TRUE(waitUntil([&] { return StampRecordingProtocol::seen().size() >= 4; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    const auto& seen = StampRecordingProtocol::seen();
    ASSERT_EQ(seen.size(), 4u);
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].second, i < 2 ? m_view->identifier() : other->identifier()) << i << ": " << seen[i].first;
    platform::URLProtocol::unregisterClass("StampRecordingProtocol");
}

TEST_F(WebKitGtkWebViewTest, AViewOfForeignPagesLoadsNoFileOutsideTheApplicationsFolders)
{
    m_view->setShowsForeignPages(true);
    std::ofstream(m_home.folders().documents() + "/own.html") << "<p>own</p>";
    loadAndWait("file://" + m_home.folders().documents() + "/own.html");
    EXPECT_EQ(m_delegate->events.back(), "finish");
    m_delegate->events.clear();
    loadAndWait("file:///etc/passwd");
    EXPECT_EQ(m_delegate->events, (std::vector<std::string>{"should:file:///etc/passwd:5",
                                                            "fail:" + std::to_string(platform::kURLErrorNoPermissionsToReadFile)}))
        << "asked as any load, then failed without a start";
    EXPECT_EQ(eval("document.body.innerText"), "own");
    // Its pages' own navigations there are refused as in any view.
    eval("location.href = 'file:///etc/group'; 1");
    waitUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(eval("document.body.innerText"), "own");
}

TEST_F(WebKitGtkWebViewTest, TheDelegateMayEvaluateInsideANavigationQuestion)
{
    // The web-view delegate of the runtime reads location.href while deciding a fragment change.
    std::vector<std::string> locations;
    m_delegate->allow = [&](const platform::URLRequest& request) {
        if (m_view->request())
            locations.push_back(eval("location.href"));
        return request.scheme() != "hyb";
    };
    const std::string url = page("index.html", "<html></html>");
    loadAndWait(url);
    // A fragment change is decided while the page's script waits for the decision: evaluation answers ""
    // at once instead of waiting for its time-out.
    eval("location.hash = '%01abc'");
    ASSERT_TRUE(waitUntil([&] { return locations.size() == 1; }));
    EXPECT_EQ(locations[0], "");
    eval("var f = document.createElement('iframe'); f.src = 'hyb://ready'; document.body.appendChild(f);");
    ASSERT_TRUE(waitUntil([&] { return locations.size() == 2; }));
    EXPECT_EQ(locations[1].substr(0, url.size()), url);
}

} // namespace

TEST_F(WebKitGtkWebViewTest, SettingsWithAWebKitCounterpartReachTheEngine)
{
    WebKitSettings* settings = webkit_web_view_get_settings(m_view->engine().view());
    auto incrementalRenderingSuppressed = [&] {
        WebKitFeatureList* features = webkit_settings_get_all_features();
        bool on = false;
        for (gsize i = 0; i < webkit_feature_list_get_length(features); ++i) {
            WebKitFeature* feature = webkit_feature_list_get(features, i);
            if (g_strcmp0(webkit_feature_get_identifier(feature), "SuppressesIncrementalRendering") == 0)
                on = webkit_settings_get_feature_enabled(settings, feature);
        }
        webkit_feature_list_unref(features);
        return on;
    };
    EXPECT_FALSE(webkit_settings_get_media_playback_allows_inline(settings));
    EXPECT_TRUE(webkit_settings_get_media_playback_requires_user_gesture(settings));
    EXPECT_FALSE(incrementalRenderingSuppressed());

    m_view->setAllowsInlineMediaPlayback(true);
    m_view->setMediaPlaybackRequiresUserAction(false);
    m_view->setSuppressesIncrementalRendering(true);
    m_view->setPaginationMode(platform::PaginationMode::TopToBottom); // no counterpart: kept by the view
    EXPECT_TRUE(webkit_settings_get_media_playback_allows_inline(settings));
    EXPECT_FALSE(webkit_settings_get_media_playback_requires_user_gesture(settings));
    EXPECT_TRUE(incrementalRenderingSuppressed());
    EXPECT_EQ(m_view->paginationMode(), platform::PaginationMode::TopToBottom);
}

namespace {

class OpenedURLs : public platform::ApplicationDelegate {
public:
    bool openURL(platform::Application&, const std::string& url, const std::string&, const platform::Value&) override
    {
        urls.push_back(url);
        return true;
    }
    std::vector<std::string> urls;
};

} // namespace

// A plain web view (no view controller answering for it) whose page, or a server redirect, goes to the
// application's own scheme: the URL reaches Application::openURL, which delivers it back to the application
// once; the page stays.
TEST_F(WebKitGtkWebViewTest, NavigationsToAnUnservedSchemeOpenInTheApplicationOnce)
{
    platform::Application& app = platform::Application::shared();
    app.resetForTesting();
    auto opened = std::make_shared<OpenedURLs>();
    app.setDelegate(opened);
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>ownscheme</string></array></dict></array>
</dict></plist>)");
    const std::string signin = page("signin.html", "<html><body>signin</body></html>");
    loadAndWait(signin);

    eval("location.href = 'ownscheme://x?code=1'");
    ASSERT_TRUE(waitUntil([&] { return opened->urls.size() == 1; }));
    EXPECT_EQ(eval("document.body.textContent"), "signin");
    // Asked once as the page's (first as a frame's: WebKit does not say whose a navigation is until the main
    // frame starts it).
    EXPECT_EQ(std::count_if(m_delegate->requests.begin(), m_delegate->requests.end(), [](const platform::URLRequest& r) {
                  return r.urlString() == "ownscheme://x?code=1" && r.mainDocumentURL() && r.mainDocumentURL()->absoluteString() == r.urlString();
              }), 1);

    testsupport::HTTPTestServer server;
    server.route("/return", testsupport::Reply::text(302, "").withHeader("Location", "ownscheme://x?code=2"));
    loadAndWait(server.url("/return"));
    ASSERT_TRUE(waitUntil([&] { return opened->urls.size() == 2; }));

    // A later load runs behind anything still pending from those navigations.
    loadAndWait(page("next.html", "<html><body>next</body></html>"));
    EXPECT_EQ(opened->urls, std::vector<std::string>({"ownscheme://x?code=1", "ownscheme://x?code=2"}));
    EXPECT_EQ(app.openedURLs(), opened->urls);
}

TEST_F(WebKitGtkWebViewTest, ALoadWhoseWebProcessEndsFailsAndTheNextLoadShowsItsPage)
{
    // WebKit ends the page's web process when a server leads the page, or a frame of it, to a file URL: it
    // reports neither a finish nor a failure, so the load fails here, once.
    testsupport::HTTPTestServer server;
    server.route("/to-file", testsupport::Reply::text(302, "").withHeader("Location", "file:///etc/passwd"));
    server.route("/framed", testsupport::Reply::text(200, "<html><head><title>F</title></head><body><iframe src='/to-file'></iframe></body></html>",
                                                     "text/html"));
    for (const char* path : {"/to-file", "/framed"}) {
        m_delegate->events.clear();
        loadAndWait(server.url(path));
        EXPECT_EQ(m_delegate->count("fail:" + std::to_string(webengine::kWebKitErrorWebProcessEnded)), 1u) << path;
        EXPECT_EQ(m_delegate->count("finish"), 0u) << path;
        EXPECT_EQ(m_delegate->count("start"), 1u) << path;
        // Nothing more comes for it.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
        (void)waitUntil([&] { return std::chrono::steady_clock::now() > until; });
        EXPECT_EQ(m_delegate->count("fail") + m_delegate->count("finish"), 1u) << path;
    }
    loadAndWait(page("after.html", "<html><head><title>After</title></head><body>after</body></html>"));
    EXPECT_EQ(m_delegate->events.back(), "finish");
    EXPECT_EQ(eval("document.title"), "After");
}
