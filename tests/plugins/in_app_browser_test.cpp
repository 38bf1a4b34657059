#include "InterfaceFixture.h"

#include "platform/application/Application.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLError.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/URL.h"
#include "platform/web/HeadlessWebView.h"
#include "platform/web/LoadFailure.h"
#include "platform/web/ScriptedPage.h"
#include "plugins/HYBInAppBrowser.h"
#include "plugins/HYBInAppBrowserOptions.h"
#include "runtime/HYBUserAgentUtil.h"
#include "support/ClosedPort.h"
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

    // The browser's page answers each script holding a key with the text given for it.
    void answerScripts(std::vector<std::pair<std::string, std::string>> answersByKey) {
        browserWebView().page().setScriptHandler([answersByKey](std::string_view script) -> std::optional<std::string> {
            for (const auto& [key, answer] : answersByKey)
                if (script.find(key) != std::string::npos)
                    return answer;
            return std::nullopt;
        });
    }
    // Lets the virtual clock run (the plug-in reads injections' outcomes on a timer) until `done` holds.
    bool settleUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 100 && !done(); ++i) {
            settle(0.05);
            hybtest::runMainUntil(done, std::chrono::milliseconds(20));
        }
        return done();
    }
    // Whether an answer to the id came (from the index on).
    bool answered(const std::string& callbackId, std::size_t from = 0) const {
        return std::any_of(answers().begin() + static_cast<std::ptrdiff_t>(std::min(from, answers().size())), answers().end(),
                           [&](const pluginstest::Answer& answer) { return answer.callbackId == callbackId; });
    }
    const pluginstest::Answer& answerFor(const std::string& callbackId) const {
        static const pluginstest::Answer none{};
        auto it = std::find_if(answers().begin(), answers().end(), [&](const pluginstest::Answer& a) { return a.callbackId == callbackId; });
        return it == answers().end() ? none : *it;
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
    EXPECT_FALSE(screen().webView()->isHidden()) << "shown once a page has loaded";
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

    // Closed and opened again at once: the new browser shows once the one closed has gone.
    settle();
    openBrowser("");
    ASSERT_TRUE(controller->presentedViewController());
    call("close", {}, std::nullopt);
    call("open", {pageURL(), "_blank", ""}, "InAppBrowser2");
    ASSERT_TRUE(plugin().inAppBrowserViewController());
    settle();
    settle();
    ASSERT_TRUE(controller->presentedViewController());
    EXPECT_EQ(screen().parentViewController(), controller->presentedViewController());
    call("close", {}, std::nullopt);
    settle();
    EXPECT_FALSE(controller->presentedViewController());
    // Closed while its presentation is under way: it goes once it has come.
    call("open", {pageURL(), "_blank", ""}, "InAppBrowser3");
    settle(platform::kModalTransitionDuration / 3);
    ASSERT_TRUE(controller->presentedViewController());
    call("close", {}, std::nullopt);
    settle();
    settle();
    EXPECT_FALSE(controller->presentedViewController());

    openBrowser("");
    ASSERT_TRUE(plugin().inAppBrowserViewController());
    plugin().onReset();
    EXPECT_FALSE(plugin().inAppBrowserViewController()) << "a new page of the application closes the browser";
    EXPECT_EQ(eventTypes().back(), "exit");
}

TEST_F(InAppBrowserTest, InjectedScriptIsAnsweredByItsOwnEvaluation) {
    openBrowser("");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().page().clearEvaluatedScripts();
    answerScripts({{"eval(\"1+1\")", "[2]"}, {"eval(\"'a\\\\ud800b'\")", "[\"a\\ud800b\"]"}});
    const std::size_t before = answers().size();

    call("injectScriptCode", {"1+1"}, "InAppBrowser7");
    const std::vector<std::string>& scripts = browserWebView().page().evaluatedScripts();
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0].find("try{(function(v){return typeof v!=='string'?'{\"error\":\"The answer is not JSON text\"}':"
                              "v.length>1048576?'{\"error\":\"The answer is too large\"}':v;})"
                              "(JSON.stringify([eval(\"1+1\")]))}catch(e){"), 0u)
        << "the script's value as the evaluation's result, a string of at most 1 MiB whatever the page made JSON.stringify: "
        << scripts[0];
    EXPECT_NE(scripts[0].find("return '{\"error\":\"The script threw\"}';"), std::string::npos)
        << "an exception whose text cannot be read is answered too: " << scripts[0];
    EXPECT_EQ(answers().size(), before) << "answered when the page ran it, not at once";
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answers().size() == before + 1; }));
    EXPECT_EQ(answers().back().callbackId, "InAppBrowser7");
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answers().back().message(), platform::Value(platform::Array{platform::Value(2)}));

    // A string holding a lone surrogate (JSON.stringify writes it as an escape) reads as U+FFFD.
    call("injectScriptCode", {"'a\\ud800b'"}, "InAppBrowser8");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answers().size() == before + 2; }));
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answers().back().message(), platform::Value(platform::Array{platform::Value("a\xef\xbf\xbd" "b")}));
}

TEST_F(InAppBrowserTest, WhatTheEvaluationGivesIsReadAsTheAnswer) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    const std::string huge = "[\"" + std::string((1 << 20) + 1, 'a') + "\"]";
    answerScripts({{"eval(\"3\")", "not-json"}, {"eval(\"4\")", "{}"}, {"eval(\"5\")", ""}, {"eval(\"6\")", "[\"a\",1]"},
                   {"eval(\"7\")", huge}, {"eval(\"8\")", "{\"error\":\"The script threw boom\"}"}, {"eval(\"9\")", "{\"error\":5}"}});
    for (int id = 3; id <= 9; ++id)
        call("injectScriptCode", {std::to_string(id)}, "InAppBrowser" + std::to_string(id));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answered("InAppBrowser9"); }));
    auto answerOf = [&](int id) { return answerFor("InAppBrowser" + std::to_string(id)); };
    EXPECT_EQ(answerOf(3).status(), HYBCommandStatus::JSONError);
    EXPECT_EQ(answerOf(4).status(), HYBCommandStatus::JSONError) << "JSON that is no array";
    EXPECT_EQ(answerOf(5).status(), HYBCommandStatus::Error) << "no value: the page did not run it";
    EXPECT_EQ(answerOf(5).message(), platform::Value("The script did not run in the browser's page"));
    EXPECT_EQ(answerOf(6).message(), platform::Value(platform::Array{platform::Value("a"), platform::Value(1)}));
    EXPECT_EQ(answerOf(7).status(), HYBCommandStatus::Error);
    EXPECT_EQ(answerOf(7).message(), platform::Value("The answer is too large")) << "refused with the reason, not read";
    EXPECT_EQ(answerOf(8).status(), HYBCommandStatus::Error);
    EXPECT_EQ(answerOf(8).message(), platform::Value("The script threw boom"));
    EXPECT_EQ(answerOf(9).status(), HYBCommandStatus::JSONError) << "an error that is no text is no failure of ours";
}

TEST_F(InAppBrowserTest, ThePagesNavigationsAnswerNoInjection) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    hybtest::LogCapture log;
    call("injectScriptCode", {"1+1"}, "InAppBrowser7");
    call("injectStyleFile", {"a.css"}, "InAppBrowser8");
    const std::size_t before = answers().size();

    // The page answers the awaited ids, the open's kept callback and an id still to come as the bridge frame
    // used to: none of it is loaded, handed over, or answered.
    for (const char* forged : {"hyb-iab://InAppBrowser7/%5B%22forged%22%5D", "hyb-iab://InAppBrowser8", "hyb-iab://InAppBrowser1/%5B1%5D",
                               "hyb-iab://InAppBrowser9/%5B1%5D", "hyb-iab://cb/%5B2%5D"})
        browserWebView().pageLoadsFrame(forged);
    browserWebView().pageNavigates("hyb-iab://InAppBrowser7/%5B%22forged%22%5D");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    for (const pluginstest::Answer& answer : std::vector<pluginstest::Answer>(answers().begin() + before, answers().end()))
        EXPECT_NE(answer.message(), platform::Value(platform::Array{platform::Value("forged")}));
    EXPECT_FALSE(answered("InAppBrowser8", before)) << "the style sheet has not loaded";
    EXPECT_TRUE(platform::Application::shared().openedURLs().empty());
    EXPECT_TRUE(log.contains("Refused an in-app browser navigation to hyb-iab://InAppBrowser7"));
    EXPECT_EQ(eventTypes().back(), "loadstop") << "no load started for them";
}

TEST_F(InAppBrowserTest, FilesAndStylesAreAnsweredByTheEnginesOutcomeOnceEach) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().page().clearEvaluatedScripts();
    const std::vector<std::string> actions = {"injectScriptFile", "injectStyleCode", "injectStyleFile"};
    for (std::size_t i = 0; i < actions.size(); ++i)
        call(actions[i], {"missing"}, "InAppBrowser" + std::to_string(i + 2));
    // Each adds its element from the engine's world, noting an outcome only for the engine's own events.
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const std::string& script = browserWebView().page().evaluatedScripts()[i];
        EXPECT_NE(script.find("function note(t){delete W[id];(window._hybIabDone||(window._hybIabDone={}))[id]=t;}"
                              "function end(a){return function(e){if(e.isTrusted&&W[id]===c){note(a());}};}"), std::string::npos) << script;
        EXPECT_NE(script.find("c.addEventListener('error',end(function(){return JSON.stringify({error:"), std::string::npos) << script;
        // A load of a URL the page put in place of the injected one is no load of it, and a failure names the
        // injected URL, not what the page wrote since.
        EXPECT_NE(script.find("c.addEventListener('load',end(function(){return now()===u?'[]':"), std::string::npos) << script;
        EXPECT_EQ(script.find("'+c.src"), std::string::npos) << script;
        EXPECT_EQ(script.find("'+c.href"), std::string::npos) << script;
        EXPECT_TRUE(script.ends_with("})(document,\"InAppBrowser" + std::to_string(i + 2) + "\")")) << script;
    }

    // The outcomes the engine's world noted: one for each injection, one for an id no injection awaits.
    std::string outcomes = R"({"done":{"InAppBrowser2":"{\"error\":\"The script file could not be loaded: x\"}","InAppBrowser3":"[]",)"
                           R"("InAppBrowser1":"[\"forged\"]"},"waiting":["InAppBrowser4"]})";
    browserWebView().page().setScriptHandler([&](std::string_view script) -> std::optional<std::string> {
        if (script.find("_hybIabDone") == std::string::npos || script.find("createElement") != std::string::npos)
            return std::nullopt;
        return std::exchange(outcomes, "{}");
    });
    ASSERT_TRUE(settleUntil([&] { return answered("InAppBrowser3"); }));
    EXPECT_EQ(answerFor("InAppBrowser2").status(), HYBCommandStatus::Error);
    EXPECT_EQ(answerFor("InAppBrowser2").message(), platform::Value("The script file could not be loaded: x"));
    EXPECT_EQ(answerFor("InAppBrowser3").status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answerFor("InAppBrowser3").message(), platform::Value(platform::Array{}));
    for (const pluginstest::Answer& answer : answers())
        EXPECT_NE(answer.message(), platform::Value(platform::Array{platform::Value("forged")})) << "no injection awaited it";

    // The same outcome noted again answers nothing more.
    EXPECT_FALSE(answered("InAppBrowser4")) << "its element still waits in the page";
    outcomes = R"({"done":{"InAppBrowser3":"[]","InAppBrowser4":"[]"},"waiting":[]})";
    ASSERT_TRUE(settleUntil([&] { return answered("InAppBrowser4"); }));
    EXPECT_EQ(std::count_if(answers().begin(), answers().end(), [](const auto& a) { return a.callbackId == "InAppBrowser3"; }), 1);
    EXPECT_EQ(answerFor("InAppBrowser4").status(), HYBCommandStatus::Ok);

    // An injection whose element the page does not hold (not added, or added to a page since left) is
    // answered with the reason, not awaited for ever.
    call("injectStyleFile", {"lost.css"}, "InAppBrowser9");
    outcomes = R"({"done":{},"waiting":[]})";
    ASSERT_TRUE(settleUntil([&] { return answered("InAppBrowser9"); }));
    EXPECT_EQ(answerFor("InAppBrowser9").status(), HYBCommandStatus::Error);
    EXPECT_EQ(answerFor("InAppBrowser9").message(), platform::Value("The injected element is not in the browser's page"));

    // A page loaded over an injection that awaits its element answers it; a closed browser answers the rest.
    call("injectStyleFile", {"never.css"}, "InAppBrowser5");
    call("injectScriptFile", {"never.js"}, "InAppBrowser6");
    browserWebView().pageNavigates(pageURL() + "?next");
    ASSERT_TRUE(settleUntil([&] { return answered("InAppBrowser6"); }));
    EXPECT_EQ(answerFor("InAppBrowser5").message(), platform::Value("The browser's page was left before the injection ended"));
    call("injectStyleCode", {"p{}"}, "InAppBrowser7");
    call("injectScriptCode", {"1"}, "InAppBrowser8");
    call("close", {}, std::nullopt);
    EXPECT_EQ(answerFor("InAppBrowser7").message(), platform::Value("The browser was closed before the injection ended"));
    EXPECT_EQ(answerFor("InAppBrowser8").message(), platform::Value("The browser was closed before the injection ended"));
    const std::size_t closed = answers().size();
    settle();
    EXPECT_EQ(answers().size(), closed) << "what the closed browser's page gives later is dropped";
}

TEST_F(InAppBrowserTest, InjectionsAwaitingTheirAnswerAreBoundedAndTheirIdsUnique) {
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    call("injectStyleFile", {"a.css"}, "InAppBrowser2");
    const std::size_t evaluated = browserWebView().page().evaluatedScripts().size();
    call("injectScriptCode", {"1"}, "InAppBrowser2");
    EXPECT_EQ(answers().back().callbackId, "InAppBrowser2");
    EXPECT_EQ(answers().back().message(), platform::Value("an injection with this callback id awaits its answer"));
    EXPECT_EQ(browserWebView().page().evaluatedScripts().size(), evaluated) << "not injected";

    // One past the bound is answered at once, not injected.
    for (int i = 0; i < 1023; ++i)
        call("injectScriptFile", {"never.js"}, "InAppBrowser" + std::to_string(1000 + i));
    const std::size_t full = browserWebView().page().evaluatedScripts().size();
    call("injectScriptCode", {"1"}, "InAppBrowser5000");
    EXPECT_EQ(browserWebView().page().evaluatedScripts().size(), full);
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

TEST_F(InAppBrowserTest, ALoadThatFailsReportsLoaderrorWithTheLoadersCode) {
    const std::uint16_t closedPort = testsupport::closedPort();
    // An answer that is an attachment, as the real engine fails it (the headless one saves nothing either).
    auto scripted = std::make_shared<platform::ScriptedPage>();
    const std::string attachment = pageURL() + "?attachment";
    scripted->setFailure(attachment, platform::Error(platform::kWebKitErrorDomain, platform::kWebKitErrorFrameLoadInterrupted,
                                                     "Frame load interrupted: the answer is an attachment"));
    platform::WebView::setFactory([scripted](platform::Rect frame) { return platform::HeadlessWebView::create(frame, scripted); });
    struct Load {
        std::string url;
        std::int64_t code;
        const char* reason; // what the screen says, in the middle of its ground
    };
    const std::vector<Load> loads = {
        {pageURL() + ".missing", platform::kURLErrorFileDoesNotExist, "The file cannot be found."},
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/", platform::kURLErrorCannotConnectToHost, "The server is not answering."},
        {attachment, platform::kWebKitErrorFrameLoadInterrupted, "The browser cannot download files."},
    };
    for (const auto& [url, code, reason] : loads) {
        SCOPED_TRACE(url);
        m_log->answers.clear();
        openBrowser("hidden=yes", "InAppBrowser1", url);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !eventTypes().empty() && eventTypes().back() != "loadstart"; }));
        const pluginstest::Answer& last = answers().back();
        EXPECT_EQ(eventTypes().back(), "loaderror");
        EXPECT_EQ(last.status(), HYBCommandStatus::Error);
        EXPECT_EQ(last.message().dictionaryOrEmpty()["code"], platform::Value(code));
        EXPECT_EQ(last.message().dictionaryOrEmpty()["url"], platform::Value(url)) << "the load that failed, as its loadstart named it";
        EXPECT_TRUE(last.result.keepCallback());
        EXPECT_TRUE(screen().webView()->isHidden()) << "no page drawn: the screen's ground, not the page below";
        // No page to show: the location bar keeps the address that failed, and the ground says why.
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !screen().failureTitleLabel()->isHidden(); }));
        EXPECT_EQ(screen().addressLabel()->text(), url);
        EXPECT_EQ(screen().failureTitleLabel()->text(), "Cannot Open Page");
        EXPECT_EQ(screen().failureReasonLabel()->text(), reason);
        EXPECT_FALSE(screen().failureReasonLabel()->isHidden());

        // Tried again in the same browser: a load of its own, heard from its start to its failure.
        m_log->answers.clear();
        call("open", {url, "_blank", "hidden=yes"}, "InAppBrowser2");
        EXPECT_TRUE(hybtest::runMainUntil([&] { return eventTypes().size() >= 2; }))
            << "a failure heard: " << (eventTypes().empty() ? "" : eventTypes().back());
        EXPECT_EQ(eventTypes(), (std::vector<std::string>{"loadstart", "loaderror"}));
        EXPECT_EQ(answers().back().message().dictionaryOrEmpty()["code"], platform::Value(code));
        EXPECT_EQ(answers().back().message().dictionaryOrEmpty()["url"], platform::Value(url));
        call("close", {}, std::nullopt);
    }
    platform::WebView::setFactory({});
}

// A link that fails while a page is shown leaves that page, and the location bar names it again; the person
// hears why in an alert while the browser is on the screen. A cancelled load and a frame's failure say nothing.
TEST_F(InAppBrowserTest, ALinkThatFailsLeavesThePageShownAndItsAddress) {
    auto scripted = std::make_shared<platform::ScriptedPage>();
    const std::string download = pageURL() + "?download";
    const std::string frame = pageURL() + "?frame";
    const std::string stopped = pageURL() + "?stopped";
    scripted->setFailure(download, platform::Error(platform::kWebKitErrorDomain, platform::kWebKitErrorFrameLoadInterrupted,
                                                   "Frame load interrupted: the answer is a download"));
    scripted->setFailure(frame, platform::makeURLError(platform::kURLErrorCannotConnectToHost, "down", frame));
    scripted->setFailure(stopped, platform::makeURLError(platform::kURLErrorCancelled, "cancelled", stopped));
    platform::WebView::setFactory([scripted](platform::Rect frameRect) { return platform::HeadlessWebView::create(frameRect, scripted); });
    openBrowser("");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen().addressLabel()->text() == pageURL(); }));

    struct Link {
        std::string url;
        bool told; // an alert says why
    };
    for (const auto& [url, told] : {Link{download, true}, Link{stopped, false}}) {
        SCOPED_TRACE(url);
        m_log->answers.clear();
        browserWebView().pageNavigates(url);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !eventTypes().empty() && eventTypes().back() == "loaderror"; }));
        EXPECT_EQ(answers().front().message().dictionaryOrEmpty()["url"], platform::Value(url)) << "loadstart";
        EXPECT_EQ(answers().back().message().dictionaryOrEmpty()["url"], platform::Value(url)) << "loaderror: the link, not the page";
        settle();
        EXPECT_EQ(screen().addressLabel()->text(), pageURL()) << "the page still shown";
        EXPECT_FALSE(screen().webView()->isHidden());
        EXPECT_TRUE(screen().failureTitleLabel()->isHidden()) << "the page is not covered";
        ASSERT_EQ(screen().failureAlert() != nullptr, told);
        if (told) {
            EXPECT_EQ(screen().failureAlert()->title(), "Cannot Open Page");
            EXPECT_EQ(screen().failureAlert()->message(), "The browser cannot download files.");
            screen().failureAlert()->dismissWithClickedButtonIndex(0, false);
        }
    }
    // A frame's failure: the page goes on, and nothing is said.
    browserWebView().pageLoadsFrame(frame);
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    EXPECT_FALSE(screen().failureAlert());
    EXPECT_TRUE(screen().failureTitleLabel()->isHidden());
    EXPECT_EQ(screen().addressLabel()->text(), pageURL());

    // Closing the browser takes a shown alert with it; a hidden browser tells nobody.
    browserWebView().pageNavigates(download);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen().failureAlert() != nullptr; }));
    std::shared_ptr<platform::AlertView> alert = screen().failureAlert();
    call("close", {}, std::nullopt);
    EXPECT_FALSE(alert->isVisible());
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().pageNavigates(download);
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    EXPECT_EQ(screen().addressLabel()->text(), pageURL());
    EXPECT_FALSE(screen().failureAlert());
    platform::WebView::setFactory({});
}

TEST_F(InAppBrowserTest, EveryLoadTheBrowserReportsEndsWhereverTheServerLeadsIt) {
    testsupport::HTTPTestServer server;
    auto redirect = [&](const std::string& path, const std::string& target) {
        server.route(path, testsupport::Reply::text(302, "", "text/plain").withHeader("Location", target));
    };
    redirect("/file", pageURL());
    redirect("/passwd", "file:///etc/passwd");
    redirect("/loop", "/loop");
    redirect("/other-application", "nowhere-app://x");
    redirect("/answer", "hyb-iab://InAppBrowser5/%5B1%5D");
    redirect("/data", "data:text/html,hi");
    redirect("/blank", "about:blank");
    redirect("/store", "itms-apps://store/app");
    const std::vector<std::pair<std::string, std::int64_t>> loads = {
        {"/file", platform::kURLErrorUnsupportedURL},   {"/passwd", platform::kURLErrorUnsupportedURL},
        {"/loop", platform::kURLErrorHTTPTooManyRedirects}, {"/other-application", platform::kURLErrorCancelled},
        {"/answer", platform::kURLErrorCancelled},      {"/data", platform::kURLErrorUnsupportedURL},
        {"/blank", platform::kURLErrorUnsupportedURL},  {"/store", platform::kURLErrorCancelled},
    };
    for (const auto& [path, code] : loads) {
        SCOPED_TRACE(path);
        m_log->answers.clear();
        openBrowser("hidden=yes", "InAppBrowser1", server.url(path));
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !eventTypes().empty() && eventTypes().back() != "loadstart"; }));
        ASSERT_TRUE(browserWebView().waitUntilIdle());
        EXPECT_EQ(eventTypes().back(), "loaderror");
        EXPECT_EQ(answers().back().message().dictionaryOrEmpty()["code"], platform::Value(code));
        EXPECT_NE(browserWebView().location(), pageURL()) << "no file shown";
        call("close", {}, std::nullopt);
        settle();
    }

    // The page leading the browser to another application: handed over, no load reported.
    openBrowser("hidden=yes");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    m_log->answers.clear();
    browserWebView().pageNavigates("nowhere-app://y");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    settle();
    EXPECT_EQ(eventTypes(), std::vector<std::string>{}) << "no loadstart that nothing would end";
}

TEST_F(InAppBrowserTest, InjectedSourceStaysAStringLiteral) {
    openBrowser("");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().page().clearEvaluatedScripts();
    call("injectStyleCode", {"p{}'\"</script>\u2028x"}, "InAppBrowser2");
    const std::string script = browserWebView().page().evaluatedScripts().back();
    EXPECT_NE(script.find("c.innerHTML = \"p{}'\\\"<\\/script>\\u2028x\";"), std::string::npos) << script;
    EXPECT_TRUE(script.ends_with("})(document,\"InAppBrowser2\")")) << script;

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
    // The screen is 320 x 568 points; the status bar, 20 high, lies over its top with the navigation
    // controller's bar behind it: no bar covers any of the page, whichever are shown and wherever.
    struct Layout {
        const char* options;
        platform::Rect webView;
        double toolbarY;  // -1: hidden
        double locationY; // -1: hidden
    };
    const std::vector<Layout> layouts = {
        {"location=no,toolbar=no", {0, 20, 320, 548}, -1, -1},
        {"toolbar=no", {0, 20, 320, 527}, -1, 547},
        {"location=no", {0, 20, 320, 504}, 524, -1},
        {"", {0, 20, 320, 483}, 524, 503},
        {"toolbarposition=top,location=no", {0, 64, 320, 504}, 20, -1},
        {"toolbarposition=top", {0, 64, 320, 483}, 20, 547},
        {"toolbarposition=top,toolbar=no", {0, 20, 320, 527}, -1, 547},
    };
    const auto expectLayout = [&](const Layout& layout) {
        EXPECT_EQ(screen().webView()->frame(), layout.webView);
        EXPECT_EQ(screen().toolbar()->isHidden(), layout.toolbarY < 0);
        if (layout.toolbarY >= 0) {
            EXPECT_EQ(screen().toolbar()->frame().minY(), layout.toolbarY);
        }
        EXPECT_EQ(screen().addressLabel()->isHidden(), layout.locationY < 0);
        if (layout.locationY >= 0) {
            EXPECT_EQ(screen().addressLabel()->frame().minY(), layout.locationY);
        }
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.options);
        openBrowser(layout.options);
        expectLayout(layout);
        // The screen appearing again lays it out the same.
        screen().viewWillAppear(false);
        expectLayout(layout);
        call("close", {}, std::nullopt);
        settle();
    }

    // The bars shown and hidden on a screen already open, in turn.
    openBrowser("location=no,toolbar=no");
    screen().showToolBar(true, "bottom");
    expectLayout(layouts[2]);
    screen().showLocationBar(true);
    expectLayout(layouts[3]);
    screen().showToolBar(false, "bottom");
    expectLayout(layouts[1]);
    screen().showToolBar(true, "top");
    expectLayout(layouts[5]);
    screen().showLocationBar(false);
    expectLayout(layouts[4]);
    call("close", {}, std::nullopt);
    settle();

    // Without a status bar the page starts at the top.
    platform::Application::shared().setStatusBarHidden(true);
    openBrowser("toolbarposition=top");
    expectLayout({"toolbarposition=top", {0, 44, 320, 503}, 0, 547});
    platform::Application::shared().setStatusBarHidden(false);
}

TEST_F(InAppBrowserTest, ATopToolbarSitsBelowTheStatusBarEachTimeTheScreenShows) {
    openBrowser("toolbarposition=top");
    EXPECT_EQ(screen().toolbar()->frame().minY(), 20);
    EXPECT_EQ(screen().webView()->frame().minY(), 64);
    screen().toolbar()->setFrame(platform::Rect(0, 0, 320, 44));
    screen().webView()->setFrame(screen().view()->bounds());
    screen().viewWillAppear(false);
    EXPECT_EQ(screen().toolbar()->frame().minY(), 20);
    EXPECT_EQ(screen().webView()->frame().minY(), 64);
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

// Opened straight at an attachment: the ground says what happened, under the address that failed; then a
// link of a page shown that is a download: the page stays, and an alert says why.
TEST_F(InAppBrowserTest, ScreenOfALoadThatFailed) {
    auto scripted = std::make_shared<platform::ScriptedPage>();
    const std::string attachment = "http://example.invalid/notes.txt";
    scripted->setFailure(attachment, platform::Error(platform::kWebKitErrorDomain, platform::kWebKitErrorFrameLoadInterrupted,
                                                     "Frame load interrupted: the answer is an attachment"));
    platform::WebView::setFactory([scripted](platform::Rect frame) { return platform::HeadlessWebView::create(frame, scripted); });
    openBrowser("", "InAppBrowser1", attachment);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !screen().failureTitleLabel()->isHidden(); }));
    settle();
    expectScreen("in_app_browser_download");
    call("close", {}, std::nullopt);
    settle();

    openBrowser("toolbarposition=top", "InAppBrowser1", "about:blank");
    ASSERT_TRUE(browserWebView().waitUntilIdle());
    browserWebView().pageNavigates(attachment);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen().failureAlert() != nullptr; }));
    settle();
    expectScreen("in_app_browser_link_failed");
    platform::WebView::setFactory({});
}

} // namespace
