// The application as a whole on the headless engine: booted from a temporary bundle through the
// application delegate, with a scripted page standing in for the page's bridge script.
#include "runtime/HYBApplicationMain.h"

#include "platform/application/Application.h"
#include "platform/application/LocalNotification.h"
#include "platform/files/FileManager.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLCache.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/text/PercentEscaping.h"
#include "platform/web/HeadlessWebView.h"
#include "platform/web/WebView.h"
#include "runtime/HYBCache.h"
#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/HYBLocalStorage.h"
#include "runtime/HYBURLProtocol.h"
#include "runtime/HYBUserAgentUtil.h"
#include "runtime/MainViewController.h"

#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

using namespace runtime;

namespace {

constexpr const char* kFetchScript = "hybrid.require('hybrid/exec').nativeFetchMessages()";
constexpr const char* kCallbackPrefix = "hybrid.require('hybrid/exec').nativeCallback(";
constexpr const char* kEvalPrefix = "try{hybrid.require('hybrid/exec').nativeEvalAndFetch(";

std::string cacheCleared(const std::string& callbackId) {
    return "hybrid.require('hybrid/exec').nativeCallback('" + callbackId + "',1,\"Hybrid%20iOS%20webview%20cache%20cleared.\",0)";
}
std::string clearCommand(const std::string& callbackId) {
    return "[[\"" + callbackId + "\",\"Cache\",\"clear\",[]]]";
}

class ApplicationTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        platform::Application::shared().resetForTesting();
        HYBURLProtocol::resetForTesting();
        m_page = std::make_shared<platform::ScriptedPage>();
        m_page->setScriptHandler([this](std::string_view script) -> std::optional<std::string> {
            if (script == kFetchScript) {
                std::string queued = std::move(m_queued);
                m_queued.clear();
                return queued;
            }
            if (script.rfind(kCallbackPrefix, 0) == 0) {
                m_callbacks.emplace_back(script);
                return std::string();
            }
            if (script.rfind(kEvalPrefix, 0) == 0)
                return std::string();
            return std::nullopt;
        });
        auto page = m_page;
        platform::WebView::setFactory([page](platform::Rect frame) { return platform::HeadlessWebView::create(frame, page); });
        m_home.writeBundleFile("www/index.html", "<html><body>start</body></html>");
        m_home.writeBundleFile("www/error.html", "<html><body>error</body></html>");
        m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                                             "<string>org.example.e2e</string></dict></plist>");
    }
    void TearDown() override {
        setAppDelegateFactory({});
        m_delegate.reset();
        platform::Application::shared().resetForTesting();
        platform::WebView::setFactory({});
        HYBURLProtocol::resetForTesting();
        platform::Device::current().resetToDefaults();
    }

    void writeConfig(const std::string& extra, const std::string& startPage = "index.html") {
        m_home.writeBundleFile("config.xml", "<?xml version='1.0' encoding='utf-8'?><widget><content src=\"" + startPage + "\"/>"
                                             "<access origin=\"http://allowed.example\"/>"
                                             "<feature name=\"Cache\"><param name=\"ios-package\" value=\"HYBCache\"/></feature>" +
                                                 extra + "</widget>");
    }
    // Launches the application and waits until the start page (or the error page) has loaded.
    void launch() {
        auto launched = launchApplication(m_home.folders().bundle(), m_home.folders().home());
        ASSERT_TRUE(launched.ok()) << launched.error().localizedDescription();
        m_delegate = *launched;
        ASSERT_TRUE(view().waitUntilIdle());
    }
    HYBViewController& controller() { return *m_delegate->viewController(); }
    platform::HeadlessWebView& view() { return static_cast<platform::HeadlessWebView&>(*controller().webView()); }
    bool evaluated(const std::string& text) const {
        const auto& scripts = m_page->evaluatedScripts();
        return std::any_of(scripts.begin(), scripts.end(), [&](const std::string& s) { return s.find(text) != std::string::npos; });
    }
    platform::HeadlessWebView::XHRResult send(platform::URLRequest request) {
        std::optional<platform::HeadlessWebView::XHRResult> answer;
        view().pageSendsRequest(std::move(request), [&](platform::HeadlessWebView::XHRResult result) { answer = result; });
        EXPECT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
        return answer.value_or(platform::HeadlessWebView::XHRResult{});
    }
    bool waitForCallbacks(std::size_t count) {
        return hybtest::runMainUntil([&] { return m_callbacks.size() >= count; });
    }

    std::shared_ptr<platform::ScriptedPage> m_page;
    std::string m_queued;
    std::vector<std::string> m_callbacks;
    std::shared_ptr<AppDelegate> m_delegate;
};

TEST_F(ApplicationTest, TheCachePluginAnswersThroughEachOfTheThreeSignals) {
    writeConfig("");
    launch();
    EXPECT_EQ(view().readyState(), "complete");
    EXPECT_TRUE(std::dynamic_pointer_cast<MainViewController>(m_delegate->viewController()));
    EXPECT_EQ(platform::URLCache::shared()->diskPath(), "nsurlcache");
    EXPECT_EQ(platform::URLCache::shared()->memoryCapacity(), 8u * 1024 * 1024);
    EXPECT_EQ(platform::URLCache::shared()->diskCapacity(), 32u * 1024 * 1024);
    EXPECT_EQ(platform::HTTPCookieStorage::shared().cookieAcceptPolicy(), platform::HTTPCookieAcceptPolicy::Always);

    // 1. An XHR poke to "/!hyb_exec" (the user agent names the controller); the native side fetches.
    m_queued = clearCommand("Cache1");
    platform::URLRequest poke(std::string_view("file:///!hyb_exec"));
    ASSERT_TRUE(poke.setValue("1", "rc").ok());
    auto answer = send(poke);
    ASSERT_TRUE(answer.response.has_value());
    EXPECT_EQ(answer.response->statusCode(), 200);
    ASSERT_TRUE(waitForCallbacks(1));
    EXPECT_EQ(m_callbacks[0], cacheCleared("Cache1"));

    // The XHR carrying its commands in "cmds" (the request itself is not taken, the file loader fails it).
    platform::URLRequest carrying(std::string_view("file:///!hyb_exec"));
    ASSERT_TRUE(carrying.setValue("2", "rc").ok());
    ASSERT_TRUE(carrying.setValue(clearCommand("Cache2"), "cmds").ok());
    send(carrying);
    ASSERT_TRUE(waitForCallbacks(2));
    EXPECT_EQ(m_callbacks[1], cacheCleared("Cache2"));

    // 2. A frame navigating to the "hyb" scheme.
    m_queued = clearCommand("Cache3");
    view().pageLoadsFrame("hyb://ready");
    ASSERT_TRUE(waitForCallbacks(3));
    EXPECT_EQ(m_callbacks[2], cacheCleared("Cache3"));

    // 3. The URL fragment "%01" with the escaped batch, then "%02" with nothing (the native side fetches).
    view().pageSetsFragment("%01" + platform::escapeURLComponent(clearCommand("Cache4")));
    ASSERT_TRUE(waitForCallbacks(4));
    EXPECT_EQ(m_callbacks[3], cacheCleared("Cache4"));
    m_queued = clearCommand("Cache5");
    view().pageSetsFragment("%02");
    ASSERT_TRUE(waitForCallbacks(5));
    EXPECT_EQ(m_callbacks[4], cacheCleared("Cache5"));
    EXPECT_EQ(m_callbacks.size(), 5u);

    auto cache = std::dynamic_pointer_cast<HYBCache>(controller().getCommandInstance("Cache"));
    ASSERT_TRUE(cache);
    ASSERT_TRUE(cache->command().has_value());
    EXPECT_EQ(cache->command()->callbackId().value_or(""), "Cache5") << "the plug-in keeps the last command";
}

// A batch in the fragment whose escapes give a NUL or bytes that are not UTF-8: its calls are still
// answered (or run), never dropped with the batch.
TEST_F(ApplicationTest, AFragmentBatchWithEscapesThatAreNoTextStillHasItsCallsAnswered) {
    writeConfig("");
    launch();
    auto escaped = [](const std::string& text) { return platform::escapeURLComponent(text); };
    const std::string a = escaped("[\"FragA\",\"Cache\",\"clear\",[]]");
    const std::string b = escaped("[\"FragB\",\"Cache\",\"clear\",[\"") + "%ff" + escaped("\"]]"); // not UTF-8
    const std::string c = escaped("[\"FragC\",\"Cache\",\"clear\",[]]");
    view().pageSetsFragment("%01" + escaped("[") + a + escaped(",") + "%00" + b + escaped(",") + c + escaped("]"));
    ASSERT_TRUE(waitForCallbacks(3));
    EXPECT_EQ(m_callbacks[0], cacheCleared("FragA"));
    EXPECT_EQ(m_callbacks[1].rfind("hybrid.require('hybrid/exec').nativeCallback('FragB',8,", 0), 0u) << m_callbacks[1];
    EXPECT_EQ(m_callbacks[2], cacheCleared("FragC"));
}

TEST_F(ApplicationTest, XHRPokesFollowTheRequestIdRuleAndRefusedSubResourcesGetA401) {
    writeConfig("");
    launch();
    auto pokeWith = [&](const std::string& rc) {
        platform::URLRequest poke(std::string_view("file:///!hyb_exec"));
        EXPECT_TRUE(poke.setValue(rc, "rc").ok());
        EXPECT_TRUE(poke.setValue(std::to_string(controller().registryNumber()), "vc").ok());
        return send(poke);
    };
    m_queued = clearCommand("Poke2");
    pokeWith("2");
    view().waitUntilIdle();
    EXPECT_TRUE(m_callbacks.empty()) << "the first poke after a page load must be 1";
    pokeWith("1");
    ASSERT_TRUE(waitForCallbacks(1));
    m_queued = clearCommand("Again");
    pokeWith("1");
    view().waitUntilIdle();
    EXPECT_EQ(m_callbacks.size(), 1u) << "a repeated id is refused";
    pokeWith("5");
    ASSERT_TRUE(waitForCallbacks(2));
    EXPECT_EQ(m_callbacks[1], cacheCleared("Again"));

    auto refused = send(platform::URLRequest(std::string_view("http://refused.example/data.json")));
    ASSERT_TRUE(refused.response.has_value());
    EXPECT_EQ(refused.response->statusCode(), 401);
    EXPECT_EQ(std::string(refused.body.begin(), refused.body.end()), "ERROR whitelist rejection: url='http://refused.example/data.json'");
}

TEST_F(ApplicationTest, AnotherWebViewsPageReachesTheControllerOnNoSignal) {
    writeConfig("");
    launch();
    // Another web view of the process, under the same user agent (it ends with the controller's number),
    // even handed the controller as its delegate.
    auto other = platform::HeadlessWebView::create(platform::Rect(0, 0, 100, 100), std::make_shared<platform::ScriptedPage>());
    other->loadRequest(platform::URLRequest(platform::URL::fileURLWithPath(m_home.folders().www() + "/index.html")));
    ASSERT_TRUE(other->waitUntilIdle());
    other->setDelegate(std::static_pointer_cast<platform::WebViewDelegate>(m_delegate->viewController()));
    hybtest::LogCapture log;

    m_queued = clearCommand("Queued1");
    platform::URLRequest carrying(std::string_view("file:///!hyb_exec"));
    ASSERT_TRUE(carrying.setValue("1", "rc").ok());
    ASSERT_TRUE(carrying.setValue(std::to_string(controller().registryNumber()), "vc").ok());
    ASSERT_TRUE(carrying.setValue(clearCommand("Other1"), "cmds").ok());
    std::optional<platform::HeadlessWebView::XHRResult> answered;
    other->pageSendsRequest(carrying, [&](platform::HeadlessWebView::XHRResult result) { answered = result; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answered.has_value(); }));
    ASSERT_TRUE(carrying.setValue("", "cmds").ok());
    other->pageSendsRequest(carrying, nullptr);
    other->pageLoadsFrame("hyb://ready");
    other->pageSetsFragment("%01" + platform::escapeURLComponent(clearCommand("Other2")));
    other->pageSetsFragment("%02");
    ASSERT_TRUE(other->waitUntilIdle());
    view().waitUntilIdle();
    EXPECT_TRUE(m_callbacks.empty()) << "no command ran and the application's page was not fetched from";
    EXPECT_FALSE(evaluated(kFetchScript));
    EXPECT_TRUE(log.contains("Refused a bridge signal from a web view this controller does not own."));
    EXPECT_TRUE(log.contains("Refused a bridge request naming view"));

    // The controller's own page still signals.
    view().pageLoadsFrame("hyb://ready");
    ASSERT_TRUE(waitForCallbacks(1));
    EXPECT_EQ(m_callbacks[0], cacheCleared("Queued1"));
}

TEST_F(ApplicationTest, AMissingStartPageLoadsTheErrorPageWithTheMessage) {
    writeConfig("<preference name=\"ErrorUrl\" value=\"error.html?from=config\"/>", "missing.html");
    hybtest::LogCapture log;
    launch();
    const std::string message = "ERROR: Start Page at 'www/missing.html' was not found.";
    EXPECT_TRUE(log.contains(message));
    EXPECT_EQ(view().location(), platform::URL::fileURLWithPath(m_home.folders().www() + "/error.html", false).absoluteString() +
                                     "?error=" + platform::addPercentEscapes(message));
    EXPECT_EQ(HYBUserAgentUtil::currentToken(), 0) << "the user-agent lock is given back once the page loaded";
}

TEST_F(ApplicationTest, AFailedLoadShowsTheErrorPageOnceEvenWhenItFailsToo) {
    writeConfig("<preference name=\"ErrorUrl\" value=\"error.html\"/>");
    const std::string start = platform::URL::fileURLWithPath(m_home.folders().www() + "/index.html", false).absoluteString();
    const std::string message = "Failed to load webpage with error: boom";
    const std::string errorPage = platform::URL::fileURLWithPath(m_home.folders().www() + "/error.html", false).absoluteString() +
                                  "?error=" + platform::addPercentEscapes(message);
    m_page->setFailure(start, platform::Error("Test", 1, "boom"));
    // The error page fails the same way (a server that is down), so it would be asked for again and again.
    m_page->setFailure(errorPage, platform::Error("Test", 1, "boom"));
    hybtest::LogCapture log;
    launch();
    EXPECT_TRUE(log.contains(message));
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), errorPage), 1) << "the error page is tried once";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), message), 2) << "once for the start page, once for the error page";
    EXPECT_FALSE(view().hasPendingWork()) << "a failing error page is not loaded again and again";
    EXPECT_EQ(HYBUserAgentUtil::currentToken(), 0);
}

// An error page whose load leads to a failing address (its script, a link) stays shown: it is not loaded
// again for that failure, which would let it load itself without end. Once another page has loaded, a
// failure shows the error page again.
TEST_F(ApplicationTest, AFailureOfALoadFromTheErrorPageLeavesTheErrorPageShown) {
    writeConfig("<preference name=\"ErrorUrl\" value=\"error.html\"/><access origin=\"http://down.example\"/>");
    const std::string www = platform::URL::fileURLWithPath(m_home.folders().www(), true).absoluteString();
    const std::string start = www + "index.html";
    const std::string failing = "http://down.example/again";
    m_home.writeBundleFile("www/other.html", "<html><body>other</body></html>");
    m_page->setFailure(start, platform::Error("Test", 1, "boom"));
    m_page->setFailure(failing, platform::Error("Test", 2, "down"));
    hybtest::LogCapture log;
    launch();
    const std::string errorPage = www + "error.html?error=";
    auto errorPagesAskedFor = [&] {
        const auto lines = log.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(errorPage, 0) == 0; });
    };
    ASSERT_EQ(errorPagesAskedFor(), 1);
    const std::string shown = view().location();
    ASSERT_EQ(shown.rfind(errorPage, 0), 0u) << shown;
    for (int i = 0; i < 3; ++i) {
        view().pageNavigates(failing);
        ASSERT_TRUE(view().waitUntilIdle());
    }
    EXPECT_EQ(errorPagesAskedFor(), 1) << "the error page is not loaded again for its own load's failure";
    EXPECT_EQ(view().location(), shown);
    EXPECT_FALSE(view().hasPendingWork());
    // Another page loaded: its load's failure shows the error page.
    view().pageNavigates(www + "other.html");
    ASSERT_TRUE(view().waitUntilIdle());
    view().pageNavigates(failing);
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(errorPagesAskedFor(), 2);
    EXPECT_EQ(view().location().rfind(errorPage, 0), 0u) << view().location();
}

// An error page whose own question is refused never loads: the next page's failure is no failure of it
// and shows the error page again.
TEST_F(ApplicationTest, AnErrorPageRefusedByTheFilterLeavesTheNextFailureItsErrorPage) {
    writeConfig("<preference name=\"ErrorUrl\" value=\"http://refused.example/error.html\"/>");
    const std::string start = platform::URL::fileURLWithPath(m_home.folders().www() + "/index.html", false).absoluteString();
    const std::string next = platform::URL::fileURLWithPath(m_home.folders().www() + "/next.html", false).absoluteString();
    m_page->setFailure(start, platform::Error("Test", 1, "boom"));
    m_page->setFailure(next, platform::Error("Test", 2, "bang"));
    hybtest::LogCapture log;
    launch();
    const std::string errorPage = "http://refused.example/error.html?error=" + platform::addPercentEscapes("Failed to load webpage with error: ");
    auto errorPagesAskedFor = [&] {
        const auto lines = log.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(errorPage, 0) == 0; });
    };
    EXPECT_EQ(errorPagesAskedFor(), 1);
    view().pageNavigates(next);
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_TRUE(log.contains(errorPage + "bang"));
    EXPECT_EQ(errorPagesAskedFor(), 2);
}

TEST_F(ApplicationTest, AMissingStartPageWithoutErrorPageShowsTheMessageInline) {
    writeConfig("", "missing.html");
    launch();
    const platform::Bytes& document = view().documentData();
    EXPECT_EQ(std::string(document.begin(), document.end()),
              "<html><body> ERROR: Start Page at 'www/missing.html' was not found. </body></html>");
}

// A start page's name with markup in it is shown as text in the message, never run as the page's markup.
TEST_F(ApplicationTest, AMissingStartPagesNameIsShownAsTextInTheMessage) {
    writeConfig("", "a&lt;script&gt;location.hash='%01'&lt;/script&gt;&amp;b.html");
    hybtest::LogCapture log;
    launch();
    EXPECT_EQ(view().location(), "about:blank");
    const platform::Bytes& document = view().documentData();
    EXPECT_EQ(std::string(document.begin(), document.end()),
              "<html><body> ERROR: Start Page at 'www/a&lt;script&gt;location.hash='%01'&lt;/script&gt;&amp;b.html' was not found."
              " </body></html>");
    EXPECT_TRUE(log.contains("ERROR: Start Page at 'www/a<script>location.hash='%01'</script>&b.html' was not found."));
}

// A missing start page's message is let through by its own load's question only: neither a frame nor the
// page asking for its document first, before the message is asked for or while it waits, takes its turn.
TEST_F(ApplicationTest, OnlyTheMessagesOwnLoadIsLetThroughInPlaceOfAMissingStartPage) {
    writeConfig("", "missing.html");
    std::int64_t held = 0;
    HYBUserAgentUtil::acquireLock([&](std::int64_t token) { held = token; });
    ASSERT_NE(held, 0);
    launch();  // the start-up waits for the user-agent lock
    EXPECT_TRUE(controller().loadFromString());
    const std::string page = platform::URL::fileURLWithPath(m_home.folders().www() + "/index.html", false).absoluteString();
    m_page->setFrames(page, {"about:blank"});
    view().loadRequest(platform::URLRequest(std::string_view(page)));
    ASSERT_TRUE(view().waitUntilIdle());
    view().pageLoadsFrame("about:blank");
    view().pageNavigates("about:blank", platform::WebViewNavigationType::Other);
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(view().location(), page) << "the page's own navigation to the message's document is refused";
    // A frame asking for it once the message's load is asked for, ahead of that load's question.
    view().pageLoadsFrame("about:blank");
    HYBUserAgentUtil::releaseLock(held);
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(view().location(), "about:blank");
    const platform::Bytes& document = view().documentData();
    EXPECT_EQ(std::string(document.begin(), document.end()),
              "<html><body> ERROR: Start Page at 'www/missing.html' was not found. </body></html>");
    EXPECT_FALSE(controller().loadFromString());
    // Let through once: the page's next navigation to it is refused as any.
    view().pageNavigates(page);
    ASSERT_TRUE(view().waitUntilIdle());
    view().pageNavigates("about:blank", platform::WebViewNavigationType::Other);
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(view().location(), page);
}

// The error page shown in place of a missing start page lets nothing through on the message's account.
TEST_F(ApplicationTest, TheErrorPageInPlaceOfAMissingStartPageLetsNoNavigationThrough) {
    writeConfig("<preference name=\"ErrorUrl\" value=\"error.html\"/>", "missing.html");
    launch();
    const std::string errorPage = view().location();
    ASSERT_NE(errorPage.find("/error.html?error="), std::string::npos) << errorPage;
    EXPECT_FALSE(controller().loadFromString());
    for (const char* url : {"http://refused.example/", "about:blank"}) {
        view().pageNavigates(url, platform::WebViewNavigationType::Other);
        ASSERT_TRUE(view().waitUntilIdle());
        EXPECT_EQ(view().location(), errorPage) << url << " is refused as without the missing page";
    }
}

// A "%01"/"%02" fragment on a frame's own document is no signal of the page's: none of its calls runs,
// the page is not fetched from, and the page's own fragment still signals.
TEST_F(ApplicationTest, AFramesOwnFragmentIsNoBridgeSignal) {
    writeConfig("");
    launch();
    const std::string page = view().location();
    const std::string www = platform::URL::fileURLWithPath(m_home.folders().www(), true).absoluteString();
    const std::string batch = "%01" + platform::escapeURLComponent(clearCommand("Frame1"));
    m_page->setFrames(page, {www + "frame.html#" + batch});
    m_page->setRedirect("http://allowed.example/moved", "http://allowed.example/frame#" + batch);
    hybtest::LogCapture log;
    m_queued = clearCommand("Queued1");
    view().reload();
    ASSERT_TRUE(view().waitUntilIdle());
    view().pageLoadsFrame("http://allowed.example/frame#%02");
    view().pageLoadsFrame("http://allowed.example/moved");
    view().pageLoadsFrame(www + "other.html#%01");
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_TRUE(m_callbacks.empty()) << ::testing::PrintToString(m_callbacks);
    EXPECT_FALSE(evaluated(kFetchScript));
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Refused a bridge signal in the fragment of a document that is not the page's."), 4);

    view().pageSetsFragment("%02");
    ASSERT_TRUE(waitForCallbacks(1));
    EXPECT_EQ(m_callbacks, std::vector<std::string>{cacheCleared("Queued1")});
}

// A "%01"/"%02" fragment counts only as a change of the shown page's fragment: a navigation to another
// document, a redirect, or the page's own document loaded anew carrying one runs no call and fetches none
// (an engine may tell a frame's later navigation only as a top-level one).
TEST_F(ApplicationTest, AFragmentSignalOnADocumentBeingLoadedIsNoBridgeSignal) {
    writeConfig("");
    launch();
    const std::string page = view().location();
    const std::string www = platform::URL::fileURLWithPath(m_home.folders().www(), true).absoluteString();
    const std::string batch = "%01" + platform::escapeURLComponent(clearCommand("Loaded1"));
    m_page->setRedirect("http://allowed.example/moved", "http://allowed.example/page#" + batch);
    hybtest::LogCapture log;
    for (const std::string& url : {www + "other.html#" + batch, std::string("http://allowed.example/moved"),
                                   std::string("http://allowed.example/page#%02")}) {
        view().pageNavigates(url, platform::WebViewNavigationType::Other);
        ASSERT_TRUE(view().waitUntilIdle());
    }
    view().loadRequest(platform::URLRequest(std::string_view(page + "#" + batch)));
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_TRUE(m_callbacks.empty()) << ::testing::PrintToString(m_callbacks);
    EXPECT_FALSE(evaluated(kFetchScript));
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Refused a bridge signal in the fragment of a document that is not the page's."), 4);

    // The page's own change of its fragment still signals.
    m_queued = clearCommand("Queued1");
    view().pageSetsFragment("%02");
    ASSERT_TRUE(waitForCallbacks(1));
    EXPECT_EQ(m_callbacks, std::vector<std::string>{cacheCleared("Queued1")});
}

TEST_F(ApplicationTest, TheStartPageKeepsItsFragmentAndTheUserAgentNamesTheController) {
    writeConfig("<preference name=\"OverrideUserAgent\" value=\"Base/1\"/>", "index.html#start");
    launch();
    EXPECT_EQ(view().location(),
              platform::URL::fileURLWithPath(m_home.folders().www() + "/index.html", false).absoluteString() + "#start");
    EXPECT_EQ(controller().userAgent(), "Base/1 (" + std::to_string(controller().registryNumber()) + ")");
    EXPECT_EQ(view().stringByEvaluatingJavaScriptFromString("navigator.userAgent"), controller().userAgent());
    // Every server reads the number: it is a count, no address of the process's memory.
    EXPECT_GT(controller().registryNumber(), 0);
    EXPECT_LT(controller().registryNumber(), std::int64_t{1} << 32) << controller().userAgent();
}

TEST_F(ApplicationTest, AnAppendedUserAgentReplacesTheNumberAndSettingsReachTheWebView) {
    writeConfig("<preference name=\"OverrideUserAgent\" value=\"Base/1\"/><preference name=\"AppendUserAgent\" value=\"Host/2\"/>"
                "<preference name=\"PaginationMode\" value=\"TopToBottom\"/><preference name=\"PaginationBreakingMode\" value=\"sideways\"/>"
                "<preference name=\"DisallowOverscroll\" value=\"false\"/><preference name=\"UIWebViewBounce\" value=\"false\"/>"
                "<preference name=\"EnableViewportScale\" value=\"true\"/><preference name=\"GapBetweenPages\" value=\"12.5\"/>");
    launch();
    EXPECT_EQ(controller().userAgent(), "Base/1 Host/2");
    const platform::WebView& web = *controller().webView();
    EXPECT_EQ(web.paginationMode(), platform::PaginationMode::TopToBottom);
    EXPECT_EQ(web.paginationBreakingMode(), platform::PaginationBreakingMode::Page);
    EXPECT_TRUE(controller().webView()->scrollView().bounces()) << "DisallowOverscroll false wins over UIWebViewBounce";
    EXPECT_TRUE(web.scalesPageToFit());
    EXPECT_DOUBLE_EQ(web.gapBetweenPages(), 12.5);
    EXPECT_TRUE(controller().settings()["backupwebstorage"].stringOr("") == "cloud") << "the effective value is written back";
}

TEST_F(ApplicationTest, LifecycleChangesReachThePageAsDocumentEventsInTime) {
    writeConfig("");
    launch();
    platform::Application& app = platform::Application::shared();
    m_page->clearEvaluatedScripts();

    app.enterBackground();
    EXPECT_TRUE(evaluated(kHYBResignEventScript)) << "resign is evaluated at once";
    EXPECT_TRUE(evaluated(kHYBPauseEventScript)) << "pause is evaluated before the application is suspended";

    m_page->clearEvaluatedScripts();
    app.enterForeground();
    EXPECT_FALSE(evaluated(kHYBResumeEventScript)) << "resume is scheduled";
    EXPECT_FALSE(evaluated(kHYBActiveEventScript)) << "active is scheduled";
    ASSERT_TRUE(hybtest::runMainUntil([&] { return evaluated(kHYBActiveEventScript); }));
    const auto& scripts = m_page->evaluatedScripts();
    auto resume = std::find_if(scripts.begin(), scripts.end(), [](const std::string& s) { return s.find(kHYBResumeEventScript) != std::string::npos; });
    auto active = std::find_if(scripts.begin(), scripts.end(), [](const std::string& s) { return s.find(kHYBActiveEventScript) != std::string::npos; });
    EXPECT_LT(resume - scripts.begin(), active - scripts.begin());
}

TEST_F(ApplicationTest, WebStorageIsRestoredAtPageLoadsAndBackedUpWhenTheApplicationLeaves) {
    writeConfig("<preference name=\"BackupWebStorage\" value=\"local\"/>");
    const platform::FileManager& files = platform::FileManager::defaultManager();
    const std::string engineFile = m_home.folders().caches() + "/file__0.localstorage";
    const std::string backupFile = m_home.folders().documents() + "/Backups/localstorage.appdata.db";
    auto write = [&](const std::string& path, const std::string& text, double modified) {
        ASSERT_TRUE(files.createDirectory(platform::deletingLastPathComponent(path), true).ok());
        ASSERT_TRUE(files.writeAtomically(path, platform::Bytes(text.begin(), text.end())).ok());
        platform::FileAttributeChanges changes;
        changes.modificationDate = platform::Date{modified};
        ASSERT_TRUE(files.setAttributes(path, changes).ok());
    };
    auto read = [&](const std::string& path) {
        auto bytes = files.contentsOfFile(path);
        return bytes.ok() ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
    };
    write(backupFile, "kept by the runtime", 2000);
    write(engineFile, "older engine data", 1000);
    launch();
    ASSERT_TRUE(controller().pluginRegistry().pluginForClassName("HYBLocalStorage"));
    EXPECT_EQ(read(engineFile), "kept by the runtime") << "restored when the start page began loading";

    write(engineFile, "changed by the page", 3000);
    platform::Application::shared().enterBackground();
    EXPECT_EQ(read(backupFile), "changed by the page") << "backed up before the resign handler returned";

    write(backupFile, "newer backup", 4000);
    view().pageNavigates(platform::URL::fileURLWithPath(m_home.folders().www() + "/error.html", false).absoluteString());
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(read(engineFile), "newer backup");
}

TEST_F(ApplicationTest, TheNavigationFilterRefusesOutsideURLsAndHandsOtherSchemesToTheSystem) {
    writeConfig("");
    launch();
    platform::Application& app = platform::Application::shared();
    app.addInstalledScheme("mailto");
    const std::string start = view().location();

    view().pageNavigates("http://refused.example/");
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(view().location(), start) << "a web URL outside the whitelist is refused";

    view().pageNavigates("mailto:someone@example.org");
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(view().location(), start);
    EXPECT_EQ(app.openedURLs(), std::vector<std::string>{"mailto:someone@example.org"});

    std::vector<std::string> handedOver;
    static const int observer = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&observer, kHYBPluginHandleOpenURLNotification, nullptr,
                                                              [&](const platform::Notification& n) {
                                                                  handedOver.push_back(n.userInfo[kHYBPluginHandleOpenURLKey].stringOr(""));
                                                              });
    view().pageNavigates("payapp://order?id=1");
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(handedOver, std::vector<std::string>{"payapp://order?id=1"}) << "no app opens it: the plug-ins are told";

    // A URL opened into the application reaches the plug-ins too; without a URL nothing is posted.
    EXPECT_TRUE(app.deliverOpenURL("hybridhost://paid?order=1"));
    EXPECT_FALSE(app.deliverOpenURL(""));
    platform::NotificationCenter::defaultCenter().removeObserver(&observer);
    EXPECT_EQ(handedOver, (std::vector<std::string>{"payapp://order?id=1", "hybridhost://paid?order=1"}));
}

TEST_F(ApplicationTest, AnOpenURLWaitingForThePageIsDeliveredOnceAfterItLoads) {
    writeConfig("");
    launch();
    // The page is (said to be) loading again.
    m_page->setAnswer("document.readyState", "loading");
    controller().processOpenUrl("hybridhost://later");
    EXPECT_EQ(controller().openURL().value_or(""), "hybridhost://later");
    m_page->removeAnswer("document.readyState");
    m_page->clearEvaluatedScripts();
    // Another view's page load does not deliver it.
    auto other = platform::HeadlessWebView::create();
    platform::NotificationCenter::defaultCenter().post(kHYBPageDidLoadNotification, other.get());
    EXPECT_EQ(controller().openURL().value_or(""), "hybridhost://later");
    platform::NotificationCenter::defaultCenter().post(kHYBPageDidLoadNotification, controller().webView().get());
    platform::NotificationCenter::defaultCenter().post(kHYBPageDidLoadNotification, controller().webView().get());
    const auto& scripts = m_page->evaluatedScripts();
    EXPECT_EQ(std::count(scripts.begin(), scripts.end(),
                         std::string("if (typeof handleOpenURL === 'function') { handleOpenURL(\"hybridhost://later\");}")),
              1);
    EXPECT_FALSE(controller().openURL().has_value());

    // Text that would end the script's string is escaped.
    controller().processOpenUrl("x\");alert(1);//", true);
    EXPECT_EQ(scripts.back(), "if (typeof handleOpenURL === 'function') { handleOpenURL(\"x\\\");alert(1);//\");}");
    // So is an alert's text the native side shows through the page.
    controller().javascriptAlert("it's');alert(2);\n");
    EXPECT_TRUE(hybtest::runMainUntil([&] { return scripts.back().find("alert(\"it's');alert(2);\\n\");") != std::string::npos; })) << scripts.back();
}

TEST_F(ApplicationTest, OrientationsComeFromTheInfoPlistUnlessThePageDecides) {
    writeConfig("");
    launch();
    EXPECT_EQ(controller().supportedOrientations(), std::vector<platform::InterfaceOrientation>{platform::InterfaceOrientation::Portrait});
    EXPECT_EQ(controller().supportedInterfaceOrientations(), platform::kInterfaceOrientationMaskPortrait);
    m_page->setAnswer("window.shouldRotateToOrientation && window.shouldRotateToOrientation(90);", "true");
    EXPECT_TRUE(controller().shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeRight));
    EXPECT_EQ(m_delegate->supportedInterfaceOrientationsForWindow(platform::Application::shared(), *m_delegate->window()), 30u);

    auto parsed = HYBViewController::parseInterfaceOrientations(
        platform::Array{platform::Value("UIInterfaceOrientationLandscapeLeft"), platform::Value("Sideways"),
                        platform::Value("UIInterfaceOrientationPortraitUpsideDown")});
    EXPECT_EQ(parsed, (std::vector<platform::InterfaceOrientation>{platform::InterfaceOrientation::LandscapeLeft,
                                                                   platform::InterfaceOrientation::PortraitUpsideDown}));
    EXPECT_EQ(HYBViewController::mapIosOrientationToJsOrientation(platform::InterfaceOrientation::LandscapeLeft), -90);
}

TEST_F(ApplicationTest, TerminationEmptiesTheTemporaryFolderAndTheDelegatePostsDeviceTokens) {
    writeConfig("");
    launch();
    const platform::FileManager& files = platform::FileManager::defaultManager();
    const std::string tmp = m_home.folders().tmp();
    ASSERT_TRUE(files.createDirectory(tmp + "/camera/shots", true).ok());
    ASSERT_TRUE(files.createFile(tmp + "/camera/shots/1.jpg", platform::Bytes{1, 2}).ok());
    // A link to a folder outside is removed as a link; what it points at stays.
    const std::string outside = m_home.folders().documents() + "/kept";
    ASSERT_TRUE(files.createDirectory(outside, true).ok());
    ASSERT_TRUE(files.createFile(outside + "/file.txt", platform::Bytes{3}).ok());
    ASSERT_TRUE(files.createSymbolicLink(tmp + "/camera/outside", outside).ok());
    std::string token;
    static const int observer = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&observer, kHYBRemoteNotification, nullptr,
                                                              [&](const platform::Notification& n) {
                                                                  token = n.userInfo[kHYBDeviceTokenKey].stringOr("");
                                                              });
    platform::Bytes bytes(32);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    m_delegate->didRegisterForRemoteNotificationsWithDeviceToken(platform::Application::shared(), bytes);
    platform::NotificationCenter::defaultCenter().removeObserver(&observer);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.substr(0, 6), "01080f");

    // The error and the local notification travel as the notifications' objects.
    platform::Error failure("Test", 3010, "no push here");
    platform::LocalNotification reminder;
    reminder.alertBody = "Wake up";
    reminder.userInfo = platform::Dictionary{{"id", "r1"}};
    std::optional<platform::Error> seenError;
    std::optional<std::string> seenBody;
    std::string seenId;
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(&observer, kHYBRemoteNotificationError, nullptr, [&](const platform::Notification& n) {
        seenError = *static_cast<const platform::Error*>(n.object);
    });
    center.addObserver(&observer, kHYBLocalNotification, nullptr, [&](const platform::Notification& n) {
        seenBody = static_cast<const platform::LocalNotification*>(n.object)->alertBody;
        seenId = n.userInfo["id"].stringOr("");
    });
    m_delegate->didFailToRegisterForRemoteNotificationsWithError(platform::Application::shared(), failure);
    m_delegate->didReceiveLocalNotification(platform::Application::shared(), reminder);
    center.removeObserver(&observer);
    ASSERT_TRUE(seenError.has_value());
    EXPECT_EQ(seenError->code, 3010);
    EXPECT_EQ(seenError->domain, "Test");
    EXPECT_EQ(seenBody, std::optional<std::string>("Wake up"));
    EXPECT_EQ(seenId, "r1");

    platform::Application::shared().terminate();
    auto left = files.contentsOfDirectory(m_home.folders().tmp());
    ASSERT_TRUE(left.ok());
    EXPECT_TRUE(left->empty());
    EXPECT_TRUE(files.fileExists(outside + "/file.txt"));
}

// A plug-in that takes over navigations to one host.
class RouterPlugin : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;
    bool shouldOverrideLoadWithRequest(const platform::URLRequest& request, platform::WebViewNavigationType) override {
        seen.push_back(request.urlString());
        return request.url() && request.url()->host() == std::optional<std::string>("route.example");
    }
    std::vector<std::string> seen;
};

TEST_F(ApplicationTest, APluginTakingANavigationOverKeepsTheWhitelistOutAndPendingWorkDelaysThePurge) {
    writeConfig("");
    launch();
    auto router = std::make_shared<RouterPlugin>(controller().webView());
    controller().registerPlugin(router, "RouterPlugin");
    hybtest::LogCapture log;
    view().pageNavigates("http://route.example/x");
    ASSERT_TRUE(view().waitUntilIdle());
    EXPECT_EQ(router->seen, std::vector<std::string>{"http://route.example/x"});
    EXPECT_FALSE(log.contains("whitelist rejection")) << "the whitelist is not asked";

    router->setHasPendingOperation(true);
    controller().didReceiveMemoryWarning();
    EXPECT_TRUE(log.contains("Plugin 'RouterPlugin' has a pending operation, memory purge is delayed for didReceiveMemoryWarning."));
}

TEST_F(ApplicationTest, TwoQuickClearsAnswerBothAtOnce) {
    writeConfig("");
    launch();
    m_queued = "[[\"A\",\"Cache\",\"clear\",[]],[\"B\",\"Cache\",\"clear\",[]]]";
    view().pageLoadsFrame("hyb://ready");
    ASSERT_TRUE(waitForCallbacks(2));
    EXPECT_EQ(m_callbacks, (std::vector<std::string>{cacheCleared("A"), cacheCleared("B")}));
}

// An application delegate of the application's choosing, which notes what it saw at launch.
class ChosenDelegate : public AppDelegate {
public:
    bool didFinishLaunchingWithOptions(platform::Application& app, const platform::Dictionary& launchOptions) override {
        bundleAtLaunch = platform::Bundle::main().bundlePath();
        return AppDelegate::didFinishLaunchingWithOptions(app, launchOptions);
    }
    std::string bundleAtLaunch;
};

TEST_F(ApplicationTest, TheFactoryChoosesTheDelegateOnceTheBundleIsInstalled) {
    writeConfig("");
    std::string bundleSeenByFactory;
    std::string startPageSeenByFactory;
    setAppDelegateFactory([&](const HYBLoadedSettings& settings) -> std::shared_ptr<AppDelegate> {
        bundleSeenByFactory = platform::Bundle::main().bundlePath();
        startPageSeenByFactory = settings.startPage;
        return std::make_shared<ChosenDelegate>();
    });
    launch();
    auto chosen = std::dynamic_pointer_cast<ChosenDelegate>(m_delegate);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(platform::Application::shared().delegate(), m_delegate);
    EXPECT_EQ(bundleSeenByFactory, m_home.folders().bundle());
    EXPECT_EQ(startPageSeenByFactory, "index.html");
    EXPECT_EQ(chosen->bundleAtLaunch, m_home.folders().bundle());

    // A factory that gives none, and no factory at all, make the plain delegate.
    m_delegate.reset();
    platform::Application::shared().resetForTesting();
    setAppDelegateFactory([](const HYBLoadedSettings&) -> std::shared_ptr<AppDelegate> { return nullptr; });
    launch();
    EXPECT_EQ(std::dynamic_pointer_cast<ChosenDelegate>(m_delegate), nullptr);
    EXPECT_NE(m_delegate->viewController(), nullptr);
    m_delegate.reset();
    platform::Application::shared().resetForTesting();
    setAppDelegateFactory({});
    launch();
    EXPECT_EQ(std::dynamic_pointer_cast<ChosenDelegate>(m_delegate), nullptr);
}

// A bundle the application cannot configure itself from is refused before anything launches, saying
// what, where and why; config.xml is read once, by the launch, and the view controller takes that reading.
TEST_F(ApplicationTest, ABundleWithoutAUsableConfigXmlIsRefusedWithAnErrorAndTheLaunchReadsItOnce) {
    const std::string bundle = m_home.folders().bundle();
    const std::string config = bundle + "/config.xml";
    auto refusal = [&](const std::string& path) {
        auto launched = launchApplication(path, m_home.folders().home());
        EXPECT_FALSE(platform::Application::shared().delegate());
        return launched.ok() ? std::string("launched") : launched.error().localizedDescription();
    };
    EXPECT_EQ(refusal(bundle + "/nowhere"), "bundle folder at " + bundle + "/nowhere: not found");
    m_home.writeBundleFile("file", "");
    EXPECT_EQ(refusal(bundle + "/file"), "bundle folder at " + bundle + "/file: not a folder");
    EXPECT_EQ(refusal(bundle), "config.xml at " + config + ": not found");
    std::filesystem::create_directories(config);
    EXPECT_EQ(refusal(bundle), "config.xml at " + config + ": a folder, not a file");
    std::filesystem::remove(config);
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    EXPECT_EQ(refusal(bundle), "config.xml at " + config + ": not a regular file");
    std::filesystem::remove(config);
    m_home.writeBundleFile("config.xml", "<widget>" + std::string(HYBLoadedSettings::kMaxConfigBytes, ' ') + "</widget>");
    EXPECT_EQ(refusal(bundle), "config.xml at " + config + ": larger than 1048576 bytes");
    // The root element is not examined: a document under any root is read for its elements, as
    // bundles that ran before expect.
    for (const std::string& root : {std::string("app"), std::string("plist"), std::string(100, 'w')}) {
        m_home.writeBundleFile("config.xml", "<?xml version=\"1.0\"?><" + root + "><access origin=\"https://a.example\"/>"
                                             "<content src=\"start.html\"/><preference name=\"Key\" value=\"v\"/></" + root + ">");
        auto read = readBundleSettings(bundle);
        ASSERT_TRUE(read.ok()) << root << ": " << read.error().localizedDescription();
        EXPECT_EQ(read->whitelistHosts.back(), "https://a.example") << root;
        EXPECT_EQ(read->startPage, "start.html") << root;
        EXPECT_EQ(read->settingForKey("key"), std::optional<std::string>("v")) << root;
    }
    // A document that does not parse no longer ends the process: the launch refuses it, and of a
    // truncated document only the failure is told (not the elements it skipped on the way).
    std::vector<std::string> logged;
    auto previous = platform::Log::setCaptureHook([&](std::string_view line) { logged.emplace_back(line); });
    m_home.writeBundleFile("config.xml", "<widget>\n<feature name=\"A\"><param value=\"x\"/>\n<content src=");
    EXPECT_EQ(refusal(bundle), "config.xml at " + config + ": parse error line 3 col 14");
    // A home that cannot be made is told as such; without a home given, the Info.plist's identifier
    // names it, and one that cannot name a folder is refused before anything is made.
    m_home.writeBundleFile("config.xml", "<widget/>");
    m_home.writeBundleFile("home", "a file where the home's folders would go");
    {
        auto launched = launchApplication(bundle, bundle + "/home");
        ASSERT_FALSE(launched.ok());
        EXPECT_TRUE(launched.error().localizedDescription().starts_with("home folder at " + bundle + "/home: "))
            << launched.error().localizedDescription();
        EXPECT_FALSE(platform::Application::shared().delegate());
    }
    m_home.writeBundleFile("Info.plist", "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>../up</string></dict></plist>");
    {
        auto launched = launchApplication(bundle);
        ASSERT_FALSE(launched.ok());
        EXPECT_EQ(launched.error().localizedDescription(),
                  "Info.plist at " + bundle + "/Info.plist: CFBundleIdentifier \"../up\" cannot name a folder");
    }
    m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                                         "<string>org.example.e2e</string></dict></plist>");
    // Reading a bundle that can run says nothing either: what the settings log, they log when taken up.
    // Not even the elements it skipped: a bundle refused later (its PushConfig.plist) tells one line only.
    m_home.writeBundleFile("config.xml", "<widget><access origin=\"*\"/><feature name=\"A\"><param value=\"x\"/></feature></widget>");
    auto read = readBundleSettings(bundle);
    platform::Log::setCaptureHook(previous);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->whitelistHosts.back(), "*");
    EXPECT_EQ(logged, std::vector<std::string>{});
    EXPECT_EQ(read->skippedLines, std::vector<std::string>{"config.xml: <param> without \"name\" skipped."});
    // The view controller logs them as it takes the settings up.
    {
        hybtest::LogCapture takenUp;
        auto launched = launchApplication(bundle, m_home.folders().home(), std::move(*read));
        ASSERT_TRUE(launched.ok());
        m_delegate = *launched;
        ASSERT_TRUE(view().waitUntilIdle());
        EXPECT_TRUE(takenUp.contains("config.xml: <param> without \"name\" skipped.")) << ::testing::PrintToString(takenUp.lines());
    }
    m_delegate.reset();
    platform::Application::shared().resetForTesting();

    // Read once: the view controller runs with what the launch read, though the file changed meanwhile.
    writeConfig("");
    std::string startPageSeenByFactory;
    setAppDelegateFactory([&](const HYBLoadedSettings& settings) -> std::shared_ptr<AppDelegate> {
        startPageSeenByFactory = settings.startPage;
        writeConfig("", "other.html");
        return nullptr;
    });
    launch();
    EXPECT_EQ(startPageSeenByFactory, "index.html");
    EXPECT_EQ(controller().startPage(), "index.html");
}

} // namespace
