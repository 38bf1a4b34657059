#include "InterfaceFixture.h"

#include "platform/Application.h"
#include "platform/HTTPCookieStorage.h"
#include "platform/HeadlessWebView.h"
#include "platform/NotificationCenter.h"
#include "platform/URL.h"
#include "platform/URLError.h"
#include "platform/UserDefaults.h"
#include "plugins/HYBInAppBrowser.h"
#include "plugins/HYBInAppBrowserOptions.h"
#include "runtime/HYBUserAgentUtil.h"
#include "support/HTTPTestServer.h"
#include "support/LogCapture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using plugins::HYBInAppBrowser;
using plugins::HYBInAppBrowserOptions;
using runtime::HYBCommandStatus;

// ---- the option string ----

TEST(InAppBrowserOptionsTest, DefaultsAndTheFormsOfValues) {
    const HYBInAppBrowserOptions defaults = HYBInAppBrowserOptions::parseOptions("");
    EXPECT_EQ(defaults, HYBInAppBrowserOptions());
    EXPECT_TRUE(defaults.location);
    EXPECT_TRUE(defaults.toolbar);
    EXPECT_TRUE(defaults.keyboarddisplayrequiresuseraction);
    EXPECT_EQ(defaults.toolbarposition, "bottom");
    EXPECT_FALSE(defaults.closebuttoncaption);

    const auto both = HYBInAppBrowserOptions::parseOptions("location=no,toolbar=NO,Hidden=Yes");
    EXPECT_FALSE(both.location);
    EXPECT_FALSE(both.toolbar);
    EXPECT_TRUE(both.hidden) << "keys and yes/no in any case";

    for (const char* on : {"enableviewportscale=1", "enableviewportscale=yes", "enableviewportscale=2.5", "enableviewportscale=true",
                           "enableviewportscale=7up"})
        EXPECT_TRUE(HYBInAppBrowserOptions::parseOptions(on).enableviewportscale) << on;
    for (const char* off : {"enableviewportscale=0", "enableviewportscale=no", "enableviewportscale=0.0", "enableviewportscale=false",
                            "enableviewportscale=", "enableviewportscale=off"})
        EXPECT_FALSE(HYBInAppBrowserOptions::parseOptions(off).enableviewportscale) << off;

    // Text options keep what the page wrote, even when it reads as a number or yes/no.
    const auto text = HYBInAppBrowserOptions::parseOptions("closebuttoncaption=Done Now,toolbarposition=top,presentationstyle=1");
    EXPECT_EQ(text.closebuttoncaption, "Done Now");
    EXPECT_EQ(text.toolbarposition, "top");
    EXPECT_EQ(text.presentationstyle, "1");
    EXPECT_EQ(HYBInAppBrowserOptions::parseOptions("closebuttoncaption=YES").closebuttoncaption, "YES");
}

TEST(InAppBrowserOptionsTest, PiecesThatNameNoOptionAreIgnored) {
    // A comma and a blank: every key after the first begins with a blank and names nothing.
    const auto blanks = HYBInAppBrowserOptions::parseOptions("location=no, toolbar=no, hidden=yes");
    EXPECT_FALSE(blanks.location);
    EXPECT_TRUE(blanks.toolbar);
    EXPECT_FALSE(blanks.hidden);

    const auto odd = HYBInAppBrowserOptions::parseOptions("colour=red,toolbar,hidden=yes=no,,=,location=no");
    HYBInAppBrowserOptions expected;
    expected.location = false;
    EXPECT_EQ(odd, expected) << "unknown keys, pieces without one '=' and empty pieces change nothing";
}

// ---- the plug-in and its screen ----

// A command delegate whose whitelist refuses what the test says, with the application's agent.
class BrowserAnswerLog : public pluginstest::AnswerLog {
public:
    bool URLIsWhitelisted(const platform::URL& url) override { return url.absoluteString().find("refused") == std::string::npos; }
    std::string userAgent() override { return "ApplicationAgent/1.0"; }
};

class InAppBrowserTest : public pluginstest::InterfaceTest<HYBInAppBrowser> {
protected:
    InAppBrowserTest() {
        m_log = std::make_shared<BrowserAnswerLog>();
        platform::Application::shared().clearOpenedURLs();
        platform::Application::shared().setStatusBarHidden(false);
        m_page = std::filesystem::path(m_home.folders().home()) / "page.html";
        std::ofstream(m_page) << "<p>page</p>";
    }
    ~InAppBrowserTest() override {
        if (m_plugin && m_plugin->inAppBrowserViewController())
            m_plugin->inAppBrowserViewController()->close();
        settle();
        platform::NotificationCenter::defaultCenter().removeObserver(this);
    }

    std::string pageURL() const { return platform::URL::fileURLWithPath(m_page.string()).absoluteString(); }

    // Opens the page in the browser with the options and lets the presentation run.
    void openBrowser(const std::string& options, std::optional<std::string> callbackId = "InAppBrowser1", std::string url = {}) {
        start();
        call("open", {url.empty() ? pageURL() : url, "_blank", options}, std::move(callbackId));
        settle();
    }
    plugins::HYBInAppBrowserViewController& screen() { return *m_plugin->inAppBrowserViewController(); }
    platform::HeadlessWebView& browserWebView() { return static_cast<platform::HeadlessWebView&>(*screen().webView()); }
    std::vector<std::string> eventTypes() const {
        std::vector<std::string> types;
        for (const pluginstest::Answer& answer : answers())
            if (const std::string* type = answer.message().dictionaryOrEmpty()["type"].getString())
                types.push_back(*type);
        return types;
    }

    std::filesystem::path m_page;
};

TEST_F(InAppBrowserTest, OpenWithoutAUsableURLAnswersAnErrorAndKeepsTheCallback) {
    start();
    call("open", {}, "InAppBrowser1");
    call("open", {platform::Value(5)}, "InAppBrowser2");
    call("open", {"http://[broken", "_blank"}, "InAppBrowser3");
    ASSERT_EQ(answers().size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(answers()[i].status(), HYBCommandStatus::Error);
        EXPECT_EQ(answers()[i].message(), platform::Value("incorrect number of arguments"));
        EXPECT_TRUE(answers()[i].result.keepCallback());
    }
    EXPECT_EQ(answers()[2].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[2].message(), platform::Value("invalid URL"));
    EXPECT_TRUE(answers()[2].result.keepCallback());
    EXPECT_FALSE(plugin().inAppBrowserViewController()) << "nothing opened";
}

TEST_F(InAppBrowserTest, TheTargetDecidesWhereTheURLOpens) {
    start();
    // The app store's host goes to the system whatever the target.
    const std::string store = std::string("https://") + plugins::kHYBAppStoreHost + "/app/id1";
    call("open", {store, "_blank"}, "InAppBrowser1");
    EXPECT_EQ(platform::Application::shared().openedURLs(), std::vector<std::string>{store});
    EXPECT_FALSE(plugin().inAppBrowserViewController());
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(answers()[0].result.keepCallback());

    // "_system" of a URL no application opens is handed to every plug-in's handleOpenURL.
    std::string posted;
    platform::NotificationCenter::defaultCenter().addObserver(this, runtime::kHYBPluginHandleOpenURLNotification, nullptr,
                                                              [&](const platform::Notification& n) {
                                                                  posted = n.userInfo[runtime::kHYBPluginHandleOpenURLKey].stringOr("");
                                                              });
    call("open", {"nowhere-app://x", "_system"}, "InAppBrowser2");
    EXPECT_EQ(posted, "nowhere-app://x");

    // "_self" of a URL the whitelist refuses opens the browser screen instead.
    call("open", {pageURL() + "?refused", "_self", "hidden=yes"}, "InAppBrowser3");
    ASSERT_TRUE(plugin().inAppBrowserViewController());
    EXPECT_EQ(plugin().callbackId(), "InAppBrowser3");

    // A relative URL resolves against the application page.
    m_webView->loadRequest(platform::URLRequest(pageURL()));
    ASSERT_TRUE(static_cast<platform::HeadlessWebView&>(*m_webView).waitUntilIdle());
    call("open", {"other.html", "_self"}, "InAppBrowser4");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_webView->request()->url()->absoluteString().ends_with("/other.html"); }));
}

TEST_F(InAppBrowserTest, TheBrowserReportsItsLoadsAndItsExit) {
    openBrowser("");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return eventTypes().size() >= 2; }));
    EXPECT_EQ(eventTypes(), (std::vector<std::string>{"loadstart", "loadstop"}));
    EXPECT_EQ(answers()[1].message().dictionaryOrEmpty()["type"], platform::Value("loadstart"));
    EXPECT_EQ(answers()[1].message().dictionaryOrEmpty()["url"], platform::Value(pageURL()));
    EXPECT_TRUE(answers()[1].result.keepCallback());
    EXPECT_EQ(screen().addressLabel()->text(), pageURL());
    EXPECT_NE(plugin().previousStatusBarStyle(), -1);

    // A frame of the page reports no loadstart.
    browserWebView().pageLoadsFrame(pageURL() + "?frame");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    EXPECT_EQ(eventTypes(), (std::vector<std::string>{"loadstart", "loadstop"}));

    call("close", {}, "InAppBrowser9");
    EXPECT_EQ(eventTypes().back(), "exit");
    EXPECT_FALSE(answers().back().result.keepCallback());
    EXPECT_FALSE(plugin().inAppBrowserViewController());
    EXPECT_FALSE(plugin().callbackId());
    EXPECT_EQ(plugin().previousStatusBarStyle(), -1);
    settle();
    EXPECT_FALSE(controller->presentedViewController()) << "dismissed on a later turn";
}

TEST_F(InAppBrowserTest, ShowTwiceCloseTwiceAndResetLog) {
    hybtest::LogCapture log;
    openBrowser("hidden=yes");
    EXPECT_FALSE(controller->presentedViewController()) << "hidden: loaded, not shown";
    call("show", {}, std::nullopt);
    settle();
    EXPECT_TRUE(controller->presentedViewController());
    call("show", {}, std::nullopt);
    EXPECT_TRUE(log.contains("Tried to show IAB while already shown"));
    call("close", {}, std::nullopt);
    EXPECT_FALSE(log.contains("IAB.close() called but it was already closed."));
    call("close", {}, std::nullopt);
    EXPECT_TRUE(log.contains("IAB.close() called but it was already closed."));
    call("show", {}, std::nullopt);
    EXPECT_TRUE(log.contains("Tried to show IAB after it was closed."));

    openBrowser("");
    ASSERT_TRUE(plugin().inAppBrowserViewController());
    plugin().onReset();
    EXPECT_FALSE(plugin().inAppBrowserViewController()) << "a new page of the application closes the browser";
    EXPECT_EQ(eventTypes().back(), "exit");
}

TEST_F(InAppBrowserTest, InjectedScriptAnswersThroughTheBridgeFrame) {
    openBrowser("");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().page().clearEvaluatedScripts();
    const std::size_t before = answers().size();

    call("injectScriptCode", {"1+1"}, "InAppBrowser7");
    const std::vector<std::string>& scripts = browserWebView().page().evaluatedScripts();
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_NE(scripts[0].find("_hybIframeBridge"), std::string::npos) << "the bridge frame first";
    EXPECT_EQ(scripts[1].find("try{_hybIabSend('hyb-iab://InAppBrowser7/'+encodeURIComponent(JSON.stringify([eval(\"1+1\")])));}"
                              "catch(e){_hybIabSend('hyb-iab://InAppBrowser7/'"), 0u) << scripts[1];
    EXPECT_EQ(answers().size(), before) << "answered by the page, not at once";

    // The page's answer: the bridge frame navigates; that load is refused and answers the id.
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser7/%5B2%5D");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    EXPECT_EQ(browserWebView().page().evaluatedScripts().back(), "window._hybIabSent&&_hybIabSent()")
        << "the page hears that its answer was read, and sends the next it holds";
    ASSERT_EQ(answers().size(), before + 1);
    EXPECT_EQ(answers().back().callbackId, "InAppBrowser7");
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answers().back().message(), platform::Value(platform::Array{platform::Value(2)}));

    // A string holding a lone surrogate (JSON.stringify writes it as an escape) reads as U+FFFD.
    call("injectScriptCode", {"'a\\ud800b'"}, "InAppBrowser8");
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser8/%5B%22a%5Cud800b%22%5D");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    ASSERT_EQ(answers().size(), before + 2);
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answers().back().message(), platform::Value(platform::Array{platform::Value("a\xef\xbf\xbd" "b")}));
}

TEST_F(InAppBrowserTest, TheNavigationFilterTakesOnlyValidBridgeURLs) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    for (int id = 3; id <= 7; ++id)
        call("injectScriptCode", {"1"}, "InAppBrowser" + std::to_string(id));
    const std::size_t before = answers().size();
    auto ask = [&](const std::string& url) {
        platform::URLRequest request(url);
        request.setMainDocumentURL(platform::URL::fromString(pageURL()));
        return plugin().shouldStartLoadWithRequest(browserWebView(), request, platform::WebViewNavigationType::Other);
    };
    EXPECT_TRUE(ask("hyb-iab://cb/%5B2%5D")) << "a host that fails the pattern loads";
    EXPECT_TRUE(ask("hyb-iab://InAppBrowser12345678901/%5B2%5D"));
    EXPECT_EQ(answers().size(), before);

    EXPECT_FALSE(ask("hyb-iab://InAppBrowser3/not-json"));
    EXPECT_FALSE(ask("hyb-iab://InAppBrowser4/%7B%7D"));
    EXPECT_FALSE(ask("hyb-iab://InAppBrowser5"));
    EXPECT_FALSE(ask("hyb-iab://InAppBrowser6/%5B%22a%22%2C1%5D"));
    ASSERT_EQ(answers().size(), before + 4);
    EXPECT_EQ(answers()[before].status(), HYBCommandStatus::JSONError);
    EXPECT_EQ(answers()[before].callbackId, "InAppBrowser3");
    EXPECT_EQ(answers()[before + 1].status(), HYBCommandStatus::JSONError) << "JSON that is no array";
    EXPECT_EQ(answers()[before + 2].message(), platform::Value(platform::Array{})) << "no path: an empty array";
    EXPECT_EQ(answers()[before + 3].message(), platform::Value(platform::Array{platform::Value("a"), platform::Value(1)}));

    // A page's answer past the bound is refused with the reason, not read.
    EXPECT_FALSE(ask("hyb-iab://InAppBrowser7/%5B%22" + std::string((1 << 20) + 1, 'a') + "%22%5D"));
    ASSERT_EQ(answers().size(), before + 5);
    EXPECT_EQ(answers()[before + 4].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[before + 4].message(), platform::Value("The answer is too large"));

    EXPECT_FALSE(ask("itms-apps://store/app")) << "the store's links go to the system";
    for (std::size_t i = before + 5; i < answers().size(); ++i)
        EXPECT_EQ(answers()[i].callbackId, "InAppBrowser1") << "only the browser's own events follow";
}

TEST_F(InAppBrowserTest, TheBridgeFrameAnswersOnlyAnInjectionThatAwaitsItsAnswerOnce) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    call("injectScriptCode", {"1+1"}, "InAppBrowser7");
    const std::size_t before = answers().size();
    hybtest::LogCapture log;

    // The browser's page answers calls no injection made: the open's kept callback, another service's id
    // form, an id still to come.
    for (const char* forged : {"hyb-iab://InAppBrowser1/%5B%22forged%22%5D", "hyb-iab://InAppBrowser2/%5B1%5D",
                               "hyb-iab://InAppBrowser8/%5B1%5D"})
        browserWebView().pageLoadsFrame(forged);
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    EXPECT_EQ(answers().size(), before) << "nothing answered";
    EXPECT_TRUE(log.contains("Refused an in-app browser answer that no injection awaits: InAppBrowser1"));

    // Another web view's page (one the plug-in never made) navigating to the awaited id reaches nothing.
    std::shared_ptr<platform::HeadlessWebView> other = platform::HeadlessWebView::create();
    platform::URLRequest fromOther(std::string_view("hyb-iab://InAppBrowser7/%5B%22other%22%5D"));
    EXPECT_FALSE(plugin().shouldStartLoadWithRequest(*other, fromOther, platform::WebViewNavigationType::Other));
    EXPECT_EQ(answers().size(), before);

    // The awaited answer comes once; a second one for the same id does not.
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser7/%5B2%5D");
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser7/%5B3%5D");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    ASSERT_EQ(answers().size(), before + 1);
    EXPECT_EQ(answers().back().callbackId, "InAppBrowser7");
    EXPECT_EQ(answers().back().message(), platform::Value(platform::Array{platform::Value(2)}));

    // A browser closed and opened again awaits none of the old ones.
    call("injectScriptCode", {"1"}, "InAppBrowser9");
    call("close", {}, std::nullopt);
    settle();
    openBrowser("hidden=yes", "InAppBrowser10");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    const std::size_t reopened = answers().size();
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser9/%5B1%5D");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    EXPECT_EQ(answers().size(), reopened);

    // Injections that wait for an answer are bounded: one past the bound is answered at once, not injected.
    for (int i = 0; i < 1024; ++i)
        call("injectScriptFile", {"never.js"}, "InAppBrowser" + std::to_string(1000 + i));
    const std::size_t evaluated = browserWebView().page().evaluatedScripts().size();
    call("injectScriptCode", {"1"}, "InAppBrowser5000");
    EXPECT_EQ(browserWebView().page().evaluatedScripts().size(), evaluated);
    EXPECT_EQ(answers().back().callbackId, "InAppBrowser5000");
    EXPECT_EQ(answers().back().message(), platform::Value("too many injections await their answer"));
}

TEST_F(InAppBrowserTest, TheBrowsersWebViewShowsForeignPages) {
    openBrowser("hidden=yes");
    EXPECT_TRUE(screen().webView()->showsForeignPages());
    EXPECT_FALSE(m_webView->showsForeignPages()) << "the application's own view shows its own pages";
}

TEST_F(InAppBrowserTest, InjectActionsAreAnsweredWhileNoBrowserIsOpen) {
    start();
    const std::vector<std::string> actions = {"injectScriptCode", "injectScriptFile", "injectStyleCode", "injectStyleFile"};
    for (std::size_t i = 0; i < actions.size(); ++i)
        call(actions[i], {"x"}, "InAppBrowser" + std::to_string(i + 1));
    // And once a browser has come and gone.
    openBrowser("hidden=yes", "InAppBrowser5");
    call("close", {}, std::nullopt);
    call("injectScriptCode", {"1"}, "InAppBrowser6");

    std::vector<std::string> answered;
    for (const pluginstest::Answer& answer : answers()) {
        if (answer.status() != HYBCommandStatus::Error)
            continue;
        answered.push_back(answer.callbackId.value_or(""));
        EXPECT_EQ(answer.message(), platform::Value("no browser is open"));
    }
    EXPECT_EQ(answered, (std::vector<std::string>{"InAppBrowser1", "InAppBrowser2", "InAppBrowser3", "InAppBrowser4", "InAppBrowser6"}));
}

TEST_F(InAppBrowserTest, FailuresOfTheInjectedScriptOrFileComeBackAsErrorsWithTheirReason) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    // Each with-callback wrapper carries a failure road to the same callback id.
    const std::vector<std::string> actions = {"injectScriptCode", "injectScriptFile", "injectStyleCode", "injectStyleFile"};
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const std::string id = "InAppBrowser" + std::to_string(i + 2);
        call(actions[i], {"missing"}, id);
        const std::string script = browserWebView().page().evaluatedScripts().back();
        EXPECT_NE(script.find("_hybIabSend('hyb-iab://" + id + "/'+encodeURIComponent(JSON.stringify({error:"), std::string::npos)
            << actions[i] << ": " << script;
    }
    const std::size_t before = answers().size();
    // The page's side of a failure: {"error": text} on the callback's id.
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser3/%7B%22error%22%3A%22The%20script%20file%20could%20not%20be%20loaded%22%7D");
    browserWebView().pageLoadsFrame("hyb-iab://InAppBrowser4/%7B%22error%22%3A5%7D");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    ASSERT_EQ(answers().size(), before + 2);
    EXPECT_EQ(answers()[before].callbackId, "InAppBrowser3");
    EXPECT_EQ(answers()[before].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[before].message(), platform::Value("The script file could not be loaded"));
    EXPECT_EQ(answers()[before + 1].status(), HYBCommandStatus::JSONError) << "an error that is no text is no failure of ours";
}

TEST_F(InAppBrowserTest, ALoadThatFailsReportsLoaderrorWithTheLoadersCode) {
    std::uint16_t closedPort = 0;
    {
        testsupport::HTTPTestServer gone;
        closedPort = gone.port();
    }
    const std::vector<std::pair<std::string, std::int64_t>> loads = {
        {pageURL() + ".missing", platform::kURLErrorFileDoesNotExist},
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/", platform::kURLErrorCannotConnectToHost},
    };
    for (const auto& [url, code] : loads) {
        SCOPED_TRACE(url);
        openBrowser("hidden=yes", "InAppBrowser1", url);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !eventTypes().empty() && eventTypes().back() != "loadstart"; }));
        const pluginstest::Answer& last = answers().back();
        EXPECT_EQ(eventTypes().back(), "loaderror");
        EXPECT_EQ(last.status(), HYBCommandStatus::Error);
        EXPECT_EQ(last.message().dictionaryOrEmpty()["code"], platform::Value(code));
        EXPECT_TRUE(last.result.keepCallback());
        call("close", {}, std::nullopt);
    }
}

TEST_F(InAppBrowserTest, InjectedSourceStaysAStringLiteral) {
    openBrowser("");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().page().clearEvaluatedScripts();
    call("injectStyleCode", {"p{}'\"</script>\u2028x"}, "InAppBrowser2");
    const std::string script = browserWebView().page().evaluatedScripts().back();
    EXPECT_NE(script.find("c.innerHTML = \"p{}'\\\"<\\/script>\\u2028x\";"), std::string::npos) << script;
    EXPECT_NE(script.find("hyb-iab://InAppBrowser2'"), std::string::npos);

    // Without a usable callback id the source goes in the plain wrapper, or bare for script code.
    call("injectScriptFile", {"a.js"}, std::nullopt);
    EXPECT_EQ(browserWebView().page().evaluatedScripts().back(),
              "(function(d) { var c = d.createElement('script'); c.src = \"a.js\"; d.body.appendChild(c); })(document)");
    call("injectScriptCode", {"x()"}, "bad'id");
    EXPECT_EQ(browserWebView().page().evaluatedScripts().back(), "x()");

    const std::size_t evaluated = browserWebView().page().evaluatedScripts().size();
    call("injectStyleFile", {}, "InAppBrowser3");
    call("injectScriptCode", {platform::Value(3)}, "InAppBrowser4");
    EXPECT_EQ(browserWebView().page().evaluatedScripts().size(), evaluated) << "nothing injected";
    ASSERT_GE(answers().size(), 2u);
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers().back().callbackId, "InAppBrowser4");
}

TEST_F(InAppBrowserTest, ClearCacheKeepsTheCookiesOfFilePages) {
    platform::HTTPCookieStorage& storage = platform::HTTPCookieStorage::shared();
    for (const platform::HTTPCookie& cookie : storage.cookies())
        storage.deleteCookie(cookie);
    platform::HTTPCookie kept("a", "1", plugins::kHYBFileCookiesDomain);
    platform::HTTPCookie session("b", "2", "example.com");
    platform::HTTPCookie lasting("c", "3", "example.com");
    lasting.setExpiresDate(platform::Date{4102444800});
    for (const auto& cookie : {kept, session, lasting})
        storage.setCookie(cookie);

    openBrowser("clearsessioncache=yes,hidden=yes");
    std::vector<std::string> names;
    for (const platform::HTTPCookie& cookie : storage.cookies())
        names.push_back(cookie.name());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "c"}));

    openBrowser("clearcache=yes,hidden=yes");
    ASSERT_EQ(storage.cookies().size(), 1u);
    EXPECT_EQ(storage.cookies()[0].domain(), plugins::kHYBFileCookiesDomain);
    for (const platform::HTTPCookie& cookie : storage.cookies())
        storage.deleteCookie(cookie);
}

TEST_F(InAppBrowserTest, BarsLayTheWebViewOut) {
    openBrowser("location=no,toolbar=no");
    const platform::Rect bounds = screen().view()->bounds();
    EXPECT_EQ(screen().webView()->frame(), bounds) << "both bars hidden: the whole screen";
    EXPECT_TRUE(screen().toolbar()->isHidden());
    EXPECT_TRUE(screen().addressLabel()->isHidden());

    screen().showToolBar(true, "bottom");
    EXPECT_EQ(screen().webView()->frame(), platform::Rect(0, 0, bounds.width(), bounds.height() - 44));
    screen().showLocationBar(true);
    EXPECT_EQ(screen().webView()->frame(), platform::Rect(0, 0, bounds.width(), bounds.height() - 65));
    EXPECT_EQ(screen().addressLabel()->frame().minY(), bounds.height() - 65);
    screen().showToolBar(false, "bottom");
    EXPECT_EQ(screen().webView()->frame().height(), bounds.height() - 21);
    EXPECT_EQ(screen().addressLabel()->frame().minY(), bounds.height() - 21);
}

TEST_F(InAppBrowserTest, ATopToolbarSitsBelowTheStatusBarEachTimeTheScreenShows) {
    openBrowser("toolbarposition=top");
    EXPECT_EQ(screen().toolbar()->frame().minY(), 20);
    EXPECT_EQ(screen().webView()->frame().minY(), 44);
    screen().toolbar()->setFrame(platform::Rect(0, 0, 320, 44));
    screen().webView()->setFrame(screen().view()->bounds());
    screen().viewWillAppear(false);
    EXPECT_EQ(screen().toolbar()->frame().minY(), 20);
    EXPECT_EQ(screen().webView()->frame().minY(), 44);
}

TEST_F(InAppBrowserTest, ACloseCaptionMakesABorderedTintedItem) {
    openBrowser("closebuttoncaption=Back to app");
    const auto& first = screen().toolbar()->items().front();
    EXPECT_EQ(first, screen().closeButton());
    EXPECT_EQ(first->title(), "Back to app");
    EXPECT_EQ(first->style(), platform::BarButtonItemStyle::Bordered);
    EXPECT_EQ(first->tintColor(), platform::Color::fromRGBA(60 / 255.0, 136 / 255.0, 230 / 255.0, 1));
    EXPECT_EQ(screen().toolbar()->items().size(), 5u);
    first->performAction();
    EXPECT_EQ(eventTypes().back(), "exit") << "the caption's item closes";
}

TEST_F(InAppBrowserTest, TheBrowserLoadsUnderThePlatformsAgentThenGivesItBack) {
    const std::string platformAgent = runtime::HYBUserAgentUtil::originalUserAgent();
    openBrowser("");
    ASSERT_NE(screen().userAgentLockToken(), 0);
    const std::int64_t token = screen().userAgentLockToken();
    EXPECT_EQ(screen().webView()->currentUserAgent(), platformAgent);

    // A second navigation while the lock is held loads at once.
    call("open", {pageURL() + "?2", "_blank"}, "InAppBrowser2");
    EXPECT_EQ(screen().userAgentLockToken(), token);
    EXPECT_EQ(runtime::HYBUserAgentUtil::waiterCount(), 0u);
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    EXPECT_EQ(browserWebView().location(), pageURL() + "?2");

    call("close", {}, std::nullopt);
    EXPECT_EQ(runtime::HYBUserAgentUtil::currentToken(), 0);
    EXPECT_EQ(m_webView->currentUserAgent(), "ApplicationAgent/1.0");
}

TEST_F(InAppBrowserTest, PresentationOrientationAndUnloading) {
    openBrowser("presentationstyle=FormSheet,transitionstyle=CrossDissolve");
    auto navigation = std::dynamic_pointer_cast<plugins::HYBInAppBrowserNavigationController>(controller->presentedViewController());
    ASSERT_TRUE(navigation);
    EXPECT_EQ(navigation->modalPresentationStyle(), platform::ModalPresentationStyle::FormSheet);
    EXPECT_EQ(navigation->modalTransitionStyle(), platform::ModalTransitionStyle::CrossDissolve);
    EXPECT_TRUE(navigation->isNavigationBarHidden());
    ASSERT_TRUE(navigation->statusBarBackground());
    EXPECT_EQ(navigation->statusBarBackground()->frame(), platform::Rect(0, 0, 320, 20));

    // Without an orientation delegate: autorotation, portrait only; the navigation controller asks the screen.
    EXPECT_EQ(screen().supportedInterfaceOrientations(), platform::kInterfaceOrientationMaskPortrait);
    EXPECT_EQ(navigation->supportedInterfaceOrientations(), platform::kInterfaceOrientationMaskPortrait);
    EXPECT_TRUE(navigation->shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft));

    // In portrait (the key window's orientation) the status bar's frame stays as it is.
    platform::Device::current().setSystemVersion("7.1");
    EXPECT_EQ(plugins::HYBInAppBrowserNavigationController::invertFrameIfNeeded(platform::Rect(0, 0, 320, 20)), platform::Rect(0, 0, 320, 20));

    ASSERT_NE(screen().userAgentLockToken(), 0);
    screen().viewDidUnload();
    EXPECT_EQ(screen().userAgentLockToken(), 0);
    EXPECT_EQ(runtime::HYBUserAgentUtil::currentToken(), 0);
    EXPECT_EQ(m_webView->currentUserAgent(), "ApplicationAgent/1.0");
}

// ---- the screen as drawn ----

TEST_F(InAppBrowserTest, ScreenWithTheToolbarAtTheBottom) {
    openBrowser("", "InAppBrowser1", "about:blank");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    expectScreen("in_app_browser_bottom");
}

TEST_F(InAppBrowserTest, ScreenWithTheToolbarAtTheBottomWithoutLocation) {
    openBrowser("location=no", "InAppBrowser1", "about:blank");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    expectScreen("in_app_browser_bottom_no_location");
}

TEST_F(InAppBrowserTest, ScreenWithTheToolbarAtTheTop) {
    openBrowser("toolbarposition=top,closebuttoncaption=Close", "InAppBrowser1", "about:blank");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    expectScreen("in_app_browser_top");
}

TEST_F(InAppBrowserTest, ScreenWithTheToolbarAtTheTopWithoutLocation) {
    openBrowser("toolbarposition=top,location=no", "InAppBrowser1", "about:blank");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    expectScreen("in_app_browser_top_no_location");
}

} // namespace
