#include "platform/application/Application.h"
#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/HeadlessWebView.h"
#include "support/HTTPTestServer.h"
#include "support/PrivateEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace platform;

namespace {

// Records what the web view tells its delegate, one line per call.
class Recorder : public WebViewDelegate {
public:
    std::vector<std::string> events;
    std::function<bool(const URLRequest&)> decide;
    std::function<void(WebView&)> onStart;
    std::function<void(WebView&, const Error&)> onFail;
    std::vector<const URLRequest*> askedRequests;

    bool shouldStartLoadWithRequest(WebView&, const URLRequest& request, WebViewNavigationType type) override {
        events.push_back("should " + request.urlString() + " main=" + (request.mainDocumentURL() ? request.mainDocumentURL()->absoluteString() : std::string()) + " type=" + std::to_string(static_cast<int>(type)));
        askedRequests.push_back(&request);
        return decide ? decide(request) : true;
    }
    void webViewDidStartLoad(WebView& view) override {
        events.push_back("start");
        if (onStart)
            onStart(view);
    }
    void webViewDidFinishLoad(WebView&) override { events.push_back("finish"); }
    void didFailLoadWithError(WebView& view, const Error& error) override {
        events.push_back("fail " + std::to_string(error.code));
        if (onFail)
            onFail(view, error);
    }
};

class HeadlessWebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = hybtest::makeTemporaryFolder("hyb-webview");
        ASSERT_FALSE(m_dir.empty());
        view = HeadlessWebView::create(Rect{0, 0, 320, 480});
        recorder = std::make_shared<Recorder>();
        view->setDelegate(recorder);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // A file URL of a new file in the test folder.
    std::string page(const std::string& name, const std::string& text = "<html></html>") {
        std::ofstream(m_dir + "/" + name) << text;
        return "file://" + m_dir + "/" + name;
    }

    std::string m_dir;
    std::shared_ptr<HeadlessWebView> view;
    std::shared_ptr<Recorder> recorder;
};

using Events = std::vector<std::string>;

// Turns the main loop until the view has started a load that is still open.
bool waitForOpenLoad(HeadlessWebView& view) {
    for (int i = 0; i < 100000 && !view.isLoading(); ++i)
        RunLoop::main().runOnce(std::chrono::milliseconds(10));
    return view.isLoading();
}

// Serves "pagetest:" URLs: the document's text is its URL; "pagetest://slow" never answers until stopped.
class PageProtocol : public URLProtocol {
public:
    static inline std::atomic<int> s_stops{0};
    static inline std::vector<std::string> s_seenAgents;
    static inline std::vector<std::uint64_t> s_seenViews;
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const URLRequest& request) { return request.scheme() == "pagetest"; }
    void startLoading() override {
        s_seenAgents.push_back(request().valueForHTTPHeaderField("User-Agent").value_or(""));
        s_seenViews.push_back(request().webViewIdentifier());
        if (request().urlString() == "pagetest://slow")
            return;
        std::string body = "served " + request().urlString();
        client()->didReceiveResponse(*this, URLResponse(request().url(), "text/html", static_cast<std::int64_t>(body.size())),
                                     URLCacheStoragePolicy::NotAllowed);
        client()->didLoadData(*this, Bytes(body.begin(), body.end()));
        client()->didFinishLoading(*this);
    }
    void stopLoading() override { ++s_stops; }
};

} // namespace

TEST_F(HeadlessWebViewTest, TopLevelLoadAsksStartsAndFinishesInOrderOnTheRunLoop) {
    std::string url = page("index.html", "<p>hi</p>");
    view->loadRequest(URLRequest(url));
    EXPECT_TRUE(recorder->events.empty()) << "callbacks must not run inside loadRequest";
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + url + " main=" + url + " type=5", "start", "finish"}));
    ASSERT_NE(view->request(), nullptr);
    EXPECT_EQ(view->request()->urlString(), url);
    EXPECT_EQ(view->location(), url);
    EXPECT_EQ(view->readyState(), "complete");
    EXPECT_EQ(std::string(view->documentData().begin(), view->documentData().end()), "<p>hi</p>");
    EXPECT_FALSE(view->isLoading());
}

TEST_F(HeadlessWebViewTest, NestedFramesGiveThreeStartsThenThreeFinishes) {
    std::string top = page("top.html"), a = page("a.html"), b = page("b.html");
    view->page().setFrames(top, {a, b});
    view->loadRequest(URLRequest(top));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + top + " main=" + top + " type=5", "start",
                                        "should " + a + " main=" + top + " type=5", "start",
                                        "should " + b + " main=" + top + " type=5", "start",
                                        "finish", "finish", "finish"}));
}

TEST_F(HeadlessWebViewTest, NestedFrameFailureDuringTopLevelLoadStillFinishesThePage) {
    std::string top = page("top.html"), bad = "file://" + m_dir + "/missing.html";
    view->page().setFrames(top, {bad});
    view->loadRequest(URLRequest(top));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + top + " main=" + top + " type=5", "start",
                                        "should " + bad + " main=" + top + " type=5", "start",
                                        "fail " + std::to_string(kURLErrorFileDoesNotExist), "finish"}));
    EXPECT_EQ(view->readyState(), "complete");
}

TEST_F(HeadlessWebViewTest, ScriptedFailureAndRefusedFrame) {
    std::string top = page("top.html"), refused = "hyb://ready";
    view->page().setFrames(top, {refused});
    view->page().setFailure(top, Error(kURLErrorDomain, kURLErrorCannotConnectToHost, "no"));
    recorder->decide = [&](const URLRequest& r) { return r.urlString() != refused; };
    view->loadRequest(URLRequest(top));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + top + " main=" + top + " type=5", "start", "fail -1004"}));
    EXPECT_EQ(view->readyState(), "") << "a failed first load leaves no document";
    EXPECT_EQ(view->request(), nullptr) << "nor a request of a document";

    // Without the failure, the refused frame never starts and the page finishes.
    view->page() = ScriptedPage();
    view->page().setFrames(top, {refused});
    recorder->events.clear();
    view->loadRequest(URLRequest(top));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + top + " main=" + top + " type=5", "start",
                                        "should hyb://ready main=" + top + " type=5", "finish"}));
}

TEST_F(HeadlessWebViewTest, RedirectAsksAgainWithoutANewStartAndKeepsTheRequestObject) {
    std::string from = "file://" + m_dir + "/old.html", to = page("new.html");
    view->page().setRedirect(from, to);
    const URLRequest* started = nullptr;
    recorder->onStart = [&](WebView& v) { started = v.request(); };
    view->loadRequest(URLRequest(from));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + from + " main=" + from + " type=5", "start",
                                        "should " + to + " main=" + to + " type=5", "finish"}));
    EXPECT_EQ(view->request(), started);
    EXPECT_EQ(view->request()->urlString(), to);
    EXPECT_EQ(view->location(), to);
}

TEST_F(HeadlessWebViewTest, RedirectLoopFailsInsteadOfSpinning) {
    std::string a = "file://" + m_dir + "/a", b = "file://" + m_dir + "/b";
    view->page().setRedirect(a, b);
    view->page().setRedirect(b, a);
    view->loadRequest(URLRequest(a));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.back(), "fail " + std::to_string(kURLErrorHTTPTooManyRedirects));
}

TEST_F(HeadlessWebViewTest, NewNavigationCancelsTheOpenLoadWithMinus999) {
    std::string slow = page("slow.html"), next = page("next.html");
    view->page().setStalled(slow);
    view->loadRequest(URLRequest(slow));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_TRUE(view->isLoading());
    view->loadRequest(URLRequest(next));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + slow + " main=" + slow + " type=5", "start",
                                        "should " + next + " main=" + next + " type=5", "fail -999", "start", "finish"}));
}

TEST_F(HeadlessWebViewTest, StopLoadingReportsCancelledFramesInnermostFirstBeforeReturning) {
    std::string top = page("top.html"), frame = page("frame.html");
    view->page().setFrames(top, {frame});
    view->page().setStalled(frame);
    view->loadRequest(URLRequest(top));
    ASSERT_TRUE(view->waitUntilIdle());
    recorder->events.clear();
    view->stopLoading();
    EXPECT_EQ(recorder->events, (Events{"fail -999", "fail -999"}));
    EXPECT_FALSE(view->isLoading());

    // A load whose question is still pending is dropped by stop.
    recorder->events.clear();
    view->loadRequest(URLRequest(top));
    view->stopLoading();
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_TRUE(recorder->events.empty());
}

TEST_F(HeadlessWebViewTest, DelegateMayLoadAgainFromInsideAFailure) {
    std::string bad = "file://" + m_dir + "/missing.html", error = page("error.html");
    recorder->onFail = [&](WebView& v, const Error&) {
        if (v.request() && v.request()->urlString() == bad)
            v.loadRequest(URLRequest(error));
    };
    view->loadRequest(URLRequest(bad));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.back(), "finish");
    EXPECT_EQ(view->location(), error);

    // Told its failure, a load that brought no document leaves the shown page's request current.
    const URLRequest* shown = view->request();
    view->loadRequest(URLRequest(bad + "?again"));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.back(), "fail " + std::to_string(kURLErrorFileDoesNotExist));
    EXPECT_EQ(view->request(), shown);
}

TEST_F(HeadlessWebViewTest, FragmentChangeAsksOnlyAndRefusalKeepsTheLocation) {
    std::string url = page("index.html");
    view->loadRequest(URLRequest(url));
    ASSERT_TRUE(view->waitUntilIdle());
    recorder->events.clear();

    view->pageSetsFragment("%01abc");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + url + "#%01abc main=" + url + "#%01abc type=5"}));
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("location.href"), url + "#%01abc");
    EXPECT_EQ(view->request()->urlString(), url) << "a fragment change does not replace the request";

    // The same fragment again changes nothing and asks nothing.
    view->pageSetsFragment("%01abc");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.size(), 1u);

    recorder->decide = [](const URLRequest&) { return false; };
    view->pageSetsFragment("%02");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(view->location(), url + "#%01abc");
}

TEST_F(HeadlessWebViewTest, RefusedTopLevelLoadChangesNothing) {
    recorder->decide = [](const URLRequest&) { return false; };
    view->loadRequest(URLRequest(page("index.html")));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.size(), 1u);
    EXPECT_EQ(view->request(), nullptr);
    EXPECT_FALSE(view->isLoading());
}

TEST_F(HeadlessWebViewTest, ScriptAnswersComeFromThePageThenTheBuiltIns) {
    view->page().setAnswer("hybrid.require('hybrid/exec').nativeFetchMessages()", "[[\"id\",\"Cache\",\"clear\",[]]]");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("hybrid.require('hybrid/exec').nativeFetchMessages()"),
              "[[\"id\",\"Cache\",\"clear\",[]]]");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("unknown()"), "");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("document.body==null"), "true");

    int calls = 0;
    view->page().setScriptHandler([&](std::string_view script) -> std::optional<std::string> {
        if (script != "document.readyState")
            return std::nullopt;
        return ++calls == 1 ? "loading" : "complete";
    });
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("document.readyState"), "loading");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("document.readyState"), "complete");
    EXPECT_EQ(view->page().evaluatedScripts().size(), 5u);
}

TEST_F(HeadlessWebViewTest, LoadTokenBelongsToOneDocument) {
    std::string url = page("index.html");
    view->loadRequest(URLRequest(url));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("window.__hybridLoadToken"), "");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("window.__hybridLoadToken=7"), "7");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("window.__hybridLoadToken"), "7");
    view->reload();
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events[recorder->events.size() - 3], "should " + url + " main=" + url + " type=3");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("window.__hybridLoadToken"), "");
}

TEST_F(HeadlessWebViewTest, HTMLStringLoadsAsTheDocumentOfItsBaseURL) {
    view->loadHTMLString("<html><body> oops </body></html>", "");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should about:blank main=about:blank type=5", "start", "finish"}));
    EXPECT_EQ(std::string(view->documentData().begin(), view->documentData().end()), "<html><body> oops </body></html>");
    EXPECT_EQ(view->stringByEvaluatingJavaScriptFromString("document.body==null"), "false");
}

TEST_F(HeadlessWebViewTest, BackAndForwardWalkTheHistory) {
    std::string one = page("1.html"), two = page("2.html");
    view->loadRequest(URLRequest(one));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_FALSE(view->canGoBack());
    view->pageNavigates(two);
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_TRUE(view->canGoBack());
    EXPECT_FALSE(view->canGoForward());
    recorder->events.clear();
    view->goBack();
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.front(), "should " + one + " main=" + one + " type=2");
    EXPECT_EQ(view->location(), one);
    EXPECT_TRUE(view->canGoForward());
    view->goForward();
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(view->location(), two);
}

TEST_F(HeadlessWebViewTest, SettingsAndScrollViewAreKept) {
    view->setScalesPageToFit(true);
    view->setPaginationMode(PaginationMode::TopToBottom);
    view->setGapBetweenPages(4.5);
    EXPECT_TRUE(view->scalesPageToFit());
    EXPECT_EQ(view->paginationMode(), PaginationMode::TopToBottom);
    EXPECT_EQ(view->settings().gapBetweenPages, 4.5);
    EXPECT_TRUE(view->mediaPlaybackRequiresUserAction());

    struct Pin : ScrollViewDelegate {
        void scrollViewDidScroll(ScrollView& s) override { s.setContentOffset(Point{}); }
    };
    auto pin = std::make_shared<Pin>();
    view->scrollView().setDelegate(pin);
    view->scrollView().setContentOffset(Point{0, 100});
    EXPECT_EQ(view->scrollView().contentOffset(), (Point{0, 0}));
    view->setFrame(Rect{0, 0, 200, 300});
    EXPECT_EQ(view->scrollView().frame(), (Rect{0, 0, 200, 300})) << "the scroll view follows the web view's size";
    view->scrollView().setScrollEnabled(false);
    view->scrollView().userScroll(Point{0, 50});
    EXPECT_EQ(view->scrollView().contentOffset(), (Point{0, 0}));
}

TEST_F(HeadlessWebViewTest, DelegateGoneStopsCallbacksAndViewGoneDropsSteps) {
    view->loadRequest(URLRequest(page("index.html")));
    recorder.reset();
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(view->readyState(), "complete");

    auto other = HeadlessWebView::create();
    auto otherRecorder = std::make_shared<Recorder>();
    other->setDelegate(otherRecorder);
    other->loadRequest(URLRequest(page("x.html")));
    other.reset();  // its pending step finds the view gone
    while (RunLoop::main().runOnce(std::chrono::milliseconds(0)) == RunLoop::RunResult::Handled) {
    }
    EXPECT_TRUE(otherRecorder->events.empty());
}

TEST_F(HeadlessWebViewTest, PageLoadsAndRequestsPassThroughTheURLProtocolRegistry) {
    URLProtocol::registerClass(URLProtocol::classOf<PageProtocol>("PageProtocol"));
    PageProtocol::s_seenAgents.clear();
    PageProtocol::s_seenViews.clear();
    view->page().setFrames("pagetest://top", {"pagetest://frame"});
    view->loadRequest(URLRequest("pagetest://top"));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.back(), "finish");
    EXPECT_EQ(std::string(view->documentData().begin(), view->documentData().end()), "served pagetest://top");
    ASSERT_EQ(PageProtocol::s_seenAgents.size(), 2u);
    EXPECT_EQ(PageProtocol::s_seenAgents[0], view->defaultUserAgent()) << "the top-level load carries the user agent";

    std::optional<HeadlessWebView::XHRResult> xhr;
    // Whatever view the request names, it is this view's page's.
    URLRequest named("pagetest://xhr");
    named.setWebViewIdentifier(view->identifier() + 7);
    view->pageSendsRequest(named, [&](HeadlessWebView::XHRResult r) { xhr = std::move(r); });
    ASSERT_TRUE(view->waitUntilIdle());
    ASSERT_TRUE(xhr.has_value());
    EXPECT_EQ(PageProtocol::s_seenViews, (std::vector<std::uint64_t>(3, view->identifier())))
        << "the document, its frame and the XHR carry the view's identifier";
    EXPECT_NE(HeadlessWebView::create()->identifier(), view->identifier());
    EXPECT_FALSE(xhr->error.has_value());
    EXPECT_EQ(std::string(xhr->body.begin(), xhr->body.end()), "served pagetest://xhr");

    // Stopping a load that a protocol serves stops the protocol.
    view->loadRequest(URLRequest("pagetest://slow"));
    ASSERT_TRUE(waitForOpenLoad(*view));
    view->stopLoading();
    EXPECT_EQ(recorder->events.back(), "fail -999");
    URLProtocol::unregisterClass("PageProtocol");
}

// Top-level loads and redirects to a scheme nothing here loads go to another application, once, and only
// when the delegate allowed them; loads that something here serves never do.
TEST_F(HeadlessWebViewTest, UnservedSchemesGoToTheApplicationInsteadOfLoading) {
    Application& app = Application::shared();
    app.resetForTesting();
    app.addInstalledScheme("xapp");
    std::string top = page("index.html");
    view->loadRequest(URLRequest(top));
    ASSERT_TRUE(view->waitUntilIdle());
    recorder->events.clear();

    view->pageNavigates("xapp://oauth?code=1");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should xapp://oauth?code=1 main=xapp://oauth?code=1 type=0"})) << "no load starts";
    EXPECT_EQ(view->location(), top) << "the page stays";
    EXPECT_EQ(app.openedURLs(), (std::vector<std::string>{"xapp://oauth?code=1"}));

    std::string from = "file://" + m_dir + "/signin";
    view->page().setRedirect(from, "xapp://oauth?code=2");
    recorder->events.clear();
    view->loadRequest(URLRequest(from));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + from + " main=" + from + " type=5", "start",
                                        "should xapp://oauth?code=2 main=xapp://oauth?code=2 type=5", "fail -999"}));
    EXPECT_EQ(app.openedURLs(), (std::vector<std::string>{"xapp://oauth?code=1", "xapp://oauth?code=2"}));

    // Refused by the delegate (which may have opened it itself): nothing more opens.
    recorder->decide = [](const URLRequest& r) { return r.scheme() != "xapp"; };
    view->pageNavigates("xapp://oauth?code=3");
    view->loadRequest(URLRequest(from));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events.back(), "fail -999");
    recorder->decide = nullptr;

    // Served here: the engine's own schemes, registered protocols, an HTML string's base URL, frames.
    URLProtocol::registerClass(URLProtocol::classOf<PageProtocol>("PageProtocol"));
    view->loadRequest(URLRequest("pagetest://top"));
    ASSERT_TRUE(view->waitUntilIdle());
    view->loadRequest(URLRequest("about:blank"));
    ASSERT_TRUE(view->waitUntilIdle());
    view->loadHTMLString("<p>x</p>", "xapp://base/");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(view->location(), "xapp://base/");
    view->pageLoadsFrame("xapp://frame");
    ASSERT_TRUE(view->waitUntilIdle());
    URLProtocol::unregisterClass("PageProtocol");
    EXPECT_EQ(app.openedURLs().size(), 2u);

    // An HTTP redirect to the scheme is taken the same way.
    testsupport::HTTPTestServer server;
    server.route("/signin", testsupport::Reply::text(302, "").withHeader("Location", "xapp://oauth?code=4"));
    recorder->events.clear();
    view->loadRequest(URLRequest(server.url("/signin")));
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(recorder->events, (Events{"should " + server.url("/signin") + " main=" + server.url("/signin") + " type=5", "start",
                                        "should xapp://oauth?code=4 main=xapp://oauth?code=4 type=5", "fail -999"}));
    EXPECT_EQ(app.openedURLs().size(), 3u);
    EXPECT_EQ(app.openedURLs().back(), "xapp://oauth?code=4");
    app.resetForTesting();
}

TEST(WebViewFactory, MakesHeadlessViewsUntilAnEngineIsInstalled) {
    auto plain = WebView::create(Rect{0, 0, 10, 10});
    ASSERT_NE(dynamic_cast<HeadlessWebView*>(plain.get()), nullptr);
    EXPECT_EQ(plain->frame(), (Rect{0, 0, 10, 10}));
    int made = 0;
    WebView::setFactory([&](Rect frame) {
        ++made;
        return HeadlessWebView::create(frame, std::make_shared<ScriptedPage>());
    });
    auto fromFactory = WebView::create(Rect{});
    EXPECT_EQ(made, 1);
    WebView::setFactory(nullptr);
    WebView::create(Rect{});
    EXPECT_EQ(made, 1);
}
