#include "runtime/HYBWebViewDelegate.h"

#include "platform/application/Application.h"
#include "platform/net/URLError.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/web/HeadlessWebView.h"
#include "runtime/HYBUserAgentUtil.h"

#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace runtime;
using Events = std::vector<std::string>;

namespace {

// The owner of the web view: records the one start and one end per page it is told about.
class Owner : public platform::WebViewDelegate {
public:
    bool shouldStartLoadWithRequest(platform::WebView&, const platform::URLRequest& request, platform::WebViewNavigationType) override {
        asked.push_back(request.urlString());
        return !refuse || !refuse(request);
    }
    void webViewDidStartLoad(platform::WebView&) override { events.push_back("start"); }
    void webViewDidFinishLoad(platform::WebView&) override {
        events.push_back("finish");
        if (onEnd)
            onEnd();
    }
    void didFailLoadWithError(platform::WebView&, const platform::Error& error) override {
        events.push_back("fail " + error.domain + " " + std::to_string(error.code));
        if (onEnd)
            onEnd();
    }

    Events events;
    std::vector<std::string> asked;
    std::function<bool(const platform::URLRequest&)> refuse;
    std::function<void()> onEnd;
};

class HYBWebViewDelegateTest : public ::testing::Test {
protected:
    HYBWebViewDelegateTest() {
        view->setDelegate(delegate);
    }
    ~HYBWebViewDelegateTest() override { platform::Device::current().resetToDefaults(); }

    std::string page(const std::string& name) {
        m_home.writeBundleFile("www/" + name, "<html></html>");
        return "file://" + m_home.folders().bundle() + "/www/" + name;
    }
    std::string missing(const std::string& name) { return "file://" + m_home.folders().bundle() + "/www/" + name; }
    void load(const std::string& url) {
        view->loadRequest(platform::URLRequest(url));
        ASSERT_TRUE(view->waitUntilIdle());
    }
    // A top-level request as the web view would ask about it.
    static platform::URLRequest topLevel(const std::string& url) {
        platform::URLRequest request(url);
        request.setMainDocumentURL(request.url());
        return request;
    }

    hybtest::TempHome m_home;
    std::shared_ptr<platform::HeadlessWebView> view = platform::HeadlessWebView::create();
    std::shared_ptr<Owner> owner = std::make_shared<Owner>();
    std::shared_ptr<HYBWebViewDelegate> delegate = std::make_shared<HYBWebViewDelegate>(owner);
};

const std::string kCancelled = "fail NSURLErrorDomain -999";

} // namespace

TEST_F(HYBWebViewDelegateTest, NestedDocumentsAndRedirectsGiveOneStartAndOneFinish) {
    hybtest::LogCapture log;
    const std::string top = page("top.html");
    view->page().setFrames(top, {page("a.html"), page("b.html"), page("c.html")});
    load(top);
    EXPECT_EQ(owner->events, (Events{"start", "finish"}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);

    owner->events.clear();
    const std::string from = missing("old.html");
    view->page().setRedirect(from, page("new.html"));
    load(from);
    EXPECT_EQ(owner->events, (Events{"start", "finish"}));
    EXPECT_FALSE(log.contains("Detected redirect")); // one open load: an ordinary redirect
}

TEST_F(HYBWebViewDelegateTest, AFragmentChangeIsNoNavigationButLoadingTheSameURLAgainIs) {
    const std::string url = page("index.html");
    load(url);
    owner->events.clear();
    view->pageSetsFragment("%01abc");
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(owner->events, Events{});
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
    EXPECT_EQ(owner->asked.back(), url + "#%01abc"); // the owner still decided it

    load(url + "#%01abc"); // location equals the new URL: loaded again
    EXPECT_EQ(owner->events, (Events{"start", "finish"}));

    // An address that failed to load, loaded again, is a navigation of its own, whatever the page shows.
    const std::string gone = missing("gone.html");
    const std::string failed = "fail NSURLErrorDomain " + std::to_string(platform::kURLErrorFileDoesNotExist);
    owner->events.clear();
    load(gone);
    load(gone);
    EXPECT_EQ(owner->events, (Events{"start", failed, "start", failed}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
}

TEST_F(HYBWebViewDelegateTest, SubFrameRequestsNothingCanLoadAreRefusedAndRefusalsChangeNothing) {
    const std::string url = page("index.html");
    load(url);
    auto frame = [&](const std::string& target) {
        platform::URLRequest request(target);
        request.setMainDocumentURL(platform::URL::fromString(url));
        return request;
    };
    for (const char* allowed : {"mailto:a@b.c", "tel:123", "sms:123", "blob:abc", "data:text/html,x", "about:srcdoc", "about:blank", "https://example.com/x"})
        EXPECT_TRUE(delegate->shouldStartLoadWithRequest(*view, frame(allowed), platform::WebViewNavigationType::Other)) << allowed;
    EXPECT_FALSE(delegate->shouldStartLoadWithRequest(*view, frame("MAILTO:a@b.c"), platform::WebViewNavigationType::Other));
    EXPECT_FALSE(delegate->shouldStartLoadWithRequest(*view, frame("nothing-serves-this:x"), platform::WebViewNavigationType::Other));
    // Another application's URL: it loads nothing in a frame (only the page's own navigation is handed over).
    platform::Application::shared().addInstalledScheme("other-app");
    EXPECT_TRUE(delegate->shouldStartLoadWithRequest(*view, frame("other-app://x"), platform::WebViewNavigationType::Other));
    platform::Application::shared().resetForTesting();
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);

    owner->refuse = [](const platform::URLRequest&) { return true; };
    EXPECT_FALSE(delegate->shouldStartLoadWithRequest(*view, topLevel(page("other.html")), platform::WebViewNavigationType::Other));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
    EXPECT_EQ(owner->events, (Events{"start", "finish"}));
}

TEST_F(HYBWebViewDelegateTest, ACancelledLoadForwardsTheFailureAndTheNextStartCountsAgain) {
    const std::string slow = missing("slow.html");
    view->page().setStalled(slow);
    view->loadRequest(platform::URLRequest(slow));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return owner->events.size() == 1; }));
    view->stopLoading();
    EXPECT_EQ(owner->events, (Events{"start", kCancelled}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Cancelled);

    delegate->webViewDidStartLoad(*view); // a following start resumes counting
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::WaitingForLoadFinish);
    delegate->webViewDidFinishLoad(*view);
    EXPECT_EQ(owner->events, (Events{"start", kCancelled, "start", "finish"}));
}

TEST_F(HYBWebViewDelegateTest, ANavigationReplacingAPageWithOpenFramesEndsEachPageOnce) {
    hybtest::LogCapture log;
    const std::string top = page("top.html"), frame = missing("stalled.html"), next = page("next.html");
    view->page().setFrames(top, {frame});
    view->page().setStalled(frame);
    view->loadRequest(platform::URLRequest(top));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return delegate->loadCount() == 2; }));

    view->pageNavigates(next); // the open frame and the old page are cancelled, then next loads
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_TRUE(log.contains("HYBWebViewDelegate: Detected redirect when loadCount=2"));
    EXPECT_EQ(owner->events, (Events{"start", kCancelled, "start", "finish"}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
}

TEST_F(HYBWebViewDelegateTest, ANestedFailureEndsThePageOnceAndTheUserAgentLockIsGivenBack) {
    const std::string top = page("top.html"), bad = missing("gone.html");
    view->page().setFrames(top, {page("a.html"), bad});
    std::int64_t token = 0;
    owner->onEnd = [&] { HYBUserAgentUtil::releaseLock(token); };
    HYBUserAgentUtil::acquireLock([&](std::int64_t granted) {
        token = granted;
        view->loadRequest(platform::URLRequest(top));
    });
    ASSERT_TRUE(view->waitUntilIdle());
    EXPECT_EQ(owner->events, (Events{"start", "fail NSURLErrorDomain " + std::to_string(platform::kURLErrorFileDoesNotExist)}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
    EXPECT_EQ(token, 0);
    EXPECT_EQ(HYBUserAgentUtil::currentToken(), 0);

    owner->events.clear();
    load(page("fine.html")); // the next page is counted afresh
    EXPECT_EQ(owner->events, (Events{"start", "finish"}));
}

TEST_F(HYBWebViewDelegateTest, ANavigationWhileTheLastNeverStartedEndsItWithASyntheticFailure) {
    hybtest::LogCapture log;
    EXPECT_TRUE(delegate->shouldStartLoadWithRequest(*view, topLevel(page("one.html")), platform::WebViewNavigationType::Other));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::WaitingForLoadStart);
    EXPECT_TRUE(delegate->shouldStartLoadWithRequest(*view, topLevel(page("two.html")), platform::WebViewNavigationType::Other));
    EXPECT_TRUE(log.contains("HYBWebViewDelegate: Navigation started when state=1"));
    EXPECT_EQ(owner->events, (Events{"fail HYBWebViewDelegate 1"}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::WaitingForLoadStart);

    delegate->webViewDidFinishLoad(*view);
    EXPECT_TRUE(log.contains("HYBWebViewDelegate: Unexpected didFinish while waiting for load start."));
    delegate->didFailLoadWithError(*view, platform::Error(platform::kURLErrorDomain, platform::kURLErrorCancelled));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Cancelled);
}

TEST_F(HYBWebViewDelegateTest, OnNewerSystemsAStartWithoutANavigationQuestionIsIgnored) {
    delegate->webViewDidStartLoad(*view);
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
    EXPECT_EQ(owner->events, Events{});
}

TEST_F(HYBWebViewDelegateTest, OnOlderSystemsTheLoadTokenShowsWhenANewDocumentStartsAndFinishes) {
    platform::Device::current().setSystemVersion("5.1");
    load(page("old.html"));
    owner->events.clear();
    view->setDelegate(std::weak_ptr<platform::WebViewDelegate>()); // the engine says nothing more

    delegate->webViewDidStartLoad(*view); // a start no navigation question announced
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::OldSystemPollingForLoadStart);
    view->loadRequest(platform::URLRequest(page("new.html")));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return owner->events.size() == 2; }));
    EXPECT_EQ(owner->events, (Events{"start", "finish"}));
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::Idle);
}

TEST_F(HYBWebViewDelegateTest, OnOlderSystemsTheStartPollGivesUpAfter50Polls) {
    platform::VirtualClock clock;
    clock.install();
    platform::Device::current().setSystemVersion("5.1");
    load(page("old.html"));
    view->page().clearEvaluatedScripts();

    delegate->webViewDidStartLoad(*view);
    clock.advance(10.0);
    const auto& scripts = view->page().evaluatedScripts();
    EXPECT_EQ(std::count(scripts.begin(), scripts.end(), "window.__hybridLoadToken"), 50);
    EXPECT_EQ(delegate->state(), HYBWebViewDelegate::State::OldSystemPollingForLoadStart);
}

TEST(HYBWebViewDelegate, RequestsCompareWithoutTheirFragments) {
    EXPECT_TRUE(HYBWebViewDelegate::isEqualToRequestAfterStrippingFragments(platform::URLRequest("http://a/b#x"),
                                                                            platform::URLRequest("http://a/b")));
    EXPECT_FALSE(HYBWebViewDelegate::isEqualToRequestAfterStrippingFragments(platform::URLRequest("http://a/b"),
                                                                             platform::URLRequest("http://a/c")));
    EXPECT_FALSE(HYBWebViewDelegate::isEqualToRequestAfterStrippingFragments(platform::URLRequest(), platform::URLRequest()));
}
