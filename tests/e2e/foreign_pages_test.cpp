// Pages the application does not vouch for, on the real engine with the sample bundle's plug-ins: a remote
// page in the in-app browser, a page of the payment road's web view (a lucky draw the payment server
// redirects to) and a sign-in page know the application's view number and try every signal of the bridge
// with it (the XHR with commands, the bare poke, fetch, the routed form of the XHR, the "hyb:" frame, the
// "%01"/"%02" fragments) and forge the in-app browser's answers: no plug-in runs and no call of the
// application's page is answered for them, while the browser's own answers and every signal of the
// application's page still work. Files read through the in-app browser follow the application's rule.
#include "SampleBundleOnEngine.h"
#include "HostInput.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "messenger/MXUIWebViewControll.h"
#include "platform/core/Log.h"
#include "platform/net/URLError.h"
#include "plugins/HYBInAppBrowser.h"
#include "support/HTTPTestServer.h"
#include "support/LogCapture.h"
#include "webengine/RouteURL.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The application's page: call(name, service, action, args) records the answer as results[name];
// browse(url) opens the hidden browser and records its events; the native side's fetches and the ids it
// answers (but the browser's load starts) are recorded.
const char* const kPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><script src="hybrid.js"></script><script>
var results = {}, events = [], fetches = 0, answered = [];
function call(name, service, action, args) {
  hybrid.exec(function (m) { results[name] = 'ok:' + JSON.stringify(m); },
              function (e) { results[name] = 'fail:' + (typeof e === 'string' ? e : JSON.stringify(e)); },
              service, action, args);
}
function browse(url) {
  hybrid.exec(function (e) { events.push(e.type + (e.type === 'loadstart' || e.type === 'exit' || e.type === 'loadstop' ? '' : ':' + JSON.stringify(e))); },
              function (e) { events.push(e.type + ':' + e.code); window.lastError = JSON.stringify(e); },
              'InAppBrowser', 'open', [url, '_blank', 'hidden=yes']);
}
document.addEventListener('deviceready', function () {
  var exec = hybrid.require('hybrid/exec'), fetch = exec.nativeFetchMessages, callback = exec.nativeCallback;
  exec.nativeFetchMessages = function () { fetches++; return fetch.apply(exec, arguments); };
  exec.nativeCallback = function (id, status, message) {
    // (The browser reports the start of any navigation it is asked about as top-level: not an answer of the page's.)
    if (!(message && message.type === 'loadstart')) { answered.push(id); }
    return callback.apply(exec, arguments);
  };
  document.getElementById('ready').textContent = 'deviceready';
}, false);
</script></head><body><span id="ready">waiting</span></body></html>
)";

// What a hostile page runs with the view's number: every signal, each carrying a keychain write of its own
// key, and forged browser answers to every id the application's page may have given (the open's kept
// callback among them).
std::string attackScript(std::int64_t number, const std::string& tag)
{
    const std::string vc = std::to_string(number);
    auto batch = [&](const std::string& path) {
        return "'[[\"Keychain90\",\"Keychain\",\"setForKey\",[\"" + tag + "-" + path + "\",\"pwned\"]]]'";
    };
    return "(function () {"
           " function xhr(url, headers) { var x = new XMLHttpRequest(); x.open('GET', url, true);"
           "   for (var k in headers) { x.setRequestHeader(k, headers[k]); } x.send(null); }"
           " xhr('/!hyb_exec?1', {vc: '" + vc + "', rc: '1', cmds: " + batch("xhr") + "});"
           " xhr('/!hyb_exec?2', {vc: '" + vc + "', rc: '1'});"
           " xhr('/!hyb_exec?3', {rc: '2', cmds: " + batch("agent") + "});"
           " try { fetch('/!hyb_exec?4', {headers: {vc: '" + vc + "', rc: '3', cmds: " + batch("fetch") + "}}); } catch (e) {}"
           " xhr('hybroute://load/?' + encodeURIComponent(location.href.split('#')[0].replace(/[^\\/]*$/, '') + '!hyb_exec?5'),"
           "     {vc: '" + vc + "', rc: '4', cmds: " + batch("routed") + "});"
           " function frame(src) { var f = document.createElement('iframe'); f.style.display = 'none'; f.src = src;"
           "   (document.body || document.documentElement).appendChild(f); }"
           " frame('hyb://ready');"
           " for (var i = 1; i <= 40; i++) { frame('hyb-iab://InAppBrowser' + i + '/' + encodeURIComponent('[\"forged\"]')); }"
           " location.hash = '%01' + encodeURIComponent(" + batch("hash") + ");"
           " setTimeout(function () { location.hash = '%02'; }, 50);"
           " return 'sent'; })()";
}

// Reads every URL by each road a page has, noting each outcome: "<asker> <road> <url> read:<text>" or "...
// error". The roads: fetch and XHR as they send cookies by default (to the page's own origin only), fetch
// with every cookie the site has ("include") and with none ("omit"), and XHR with credentials.
const char* const kProbe =
    "function probe(asker, urls, note) { urls.forEach(function (u) {"
    " [['fetch', {}], ['fetch-include', {credentials: 'include'}], ['fetch-omit', {credentials: 'omit'}]].forEach(function (road) {"
    "   try { fetch(u, road[1]).then(function (r) { return r.text(); }).then(function (t) { note(asker + ' ' + road[0] + ' ' + u + ' read:' + t); },"
    "     function () { note(asker + ' ' + road[0] + ' ' + u + ' error'); }); } catch (e) { note(asker + ' ' + road[0] + ' ' + u + ' error'); } });"
    " [['xhr', false], ['xhr-credentials', true]].forEach(function (road) {"
    "   try { var x = new XMLHttpRequest(); x.open('GET', u, true); x.withCredentials = road[1];"
    "     x.onload = function () { note(asker + ' ' + road[0] + ' ' + u + ' read:' + x.responseText); };"
    "     x.onerror = function () { note(asker + ' ' + road[0] + ' ' + u + ' error'); }; x.send(); } catch (e) { note(asker + ' ' + road[0] + ' ' + u + ' error'); } });"
    " }); }";
constexpr std::size_t kProbeRoads = 5;

class ForeignPagesTest : public e2e::SampleBundleOnEngine {
protected:
    ForeignPagesTest() : SampleBundleOnEngine({.extraFiles = {"www/iab.html"}}) {}

    void SetUp() override
    {
        SampleBundleOnEngine::SetUp();
        if (IsSkipped())
            return;
        m_home.writeBundleFile("www/index.html", kPage);
        const std::string hostile = "<!DOCTYPE html><html><body><p id='hostile'>a page of somebody else</p></body></html>";
        m_server.route("/hostile.html", testsupport::Reply::text(200, hostile, "text/html"));
        m_server.route("/draw", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", m_server.url("/hostile.html")));
    }

    std::string answer(const std::string& name)
    {
        const std::string lookup = "results['" + name + "'] === undefined ? '' : results['" + name + "']";
        e2e::waitUntil([&] { return !eval(lookup).empty(); });
        return eval(lookup);
    }
    std::string events() { return eval("events.join(',')"); }
    std::shared_ptr<plugins::HYBInAppBrowser> browser()
    {
        return std::dynamic_pointer_cast<plugins::HYBInAppBrowser>(controller().getCommandInstance("InAppBrowser"));
    }
    std::shared_ptr<platform::WebView> browserView()
    {
        std::shared_ptr<plugins::HYBInAppBrowser> plugin = browser();
        return plugin && plugin->inAppBrowserViewController() ? plugin->inAppBrowserViewController()->webView() : nullptr;
    }
    // Opens `url` in the hidden browser and waits for its load's end.
    void browse(const std::string& url)
    {
        eval("events = []; browse('" + url + "'); 1");
        ASSERT_TRUE(e2e::waitUntil([&] {
            const std::string last = eval("events.length ? events[events.length - 1] : ''");
            return !last.empty() && last != "loadstart";
        })) << events();
    }
    std::string lastError() { return eval("window.lastError || ''"); }
    // Runs the attack in `view`'s page (once it shows the hostile page) and gives it time to land.
    void attackFrom(platform::WebView& view, const std::string& tag)
    {
        ASSERT_TRUE(e2e::waitUntil([&] { return view.stringByEvaluatingJavaScriptFromString("document.getElementById('hostile') ? 1 : 0") == "1"; }));
        e2e::waitUntil([] { return false; }, std::chrono::milliseconds(300));
        m_fetchesBefore = eval("fetches");
        m_answersBefore = eval("answered.length");
        ASSERT_EQ(view.stringByEvaluatingJavaScriptFromString(attackScript(controller().registryNumber(), tag)), "sent");
        e2e::waitUntil([] { return false; }, std::chrono::milliseconds(800));
    }
    // Nothing the attack tried reached a plug-in or the application's page.
    void expectNothingReached(const std::string& tag, const std::string& eventsBefore)
    {
        EXPECT_EQ(eval("fetches"), m_fetchesBefore) << "no signal of another view makes the application fetch";
        EXPECT_EQ(eval("answered.length"), m_answersBefore)
            << "no forged answer reached the application's page: " << eval("answered.join(',')");
        // (The "hyb:" frame's navigation is asked as a top-level one: the browser reports its start.)
        EXPECT_EQ(eval("events.filter(function (e) { return e !== 'loadstart'; }).join(',')"), eventsBefore)
            << "no forged answer reached the browser's kept callback: " << events();
        for (const char* path : {"xhr", "agent", "fetch", "routed", "hash"}) {
            const std::string name = tag + "-" + path;
            eval("call('" + name + "', 'Keychain', 'getForKey', ['" + name + "']); 1");
            EXPECT_EQ(answer(name).rfind("fail:", 0), 0u) << name << ": " << answer(name);
        }
    }
    // Every signal of the application's own page works.
    void expectEveryOwnPathWorks()
    {
        for (const char* mode : {"xhr", "iframe", "hash"}) {
            const std::string name = std::string("own-") + mode;
            eval("hybrid.exec.setJsToNativeBridgeMode('" + std::string(mode) + "');"
                 "call('" + name + "', 'Keychain', 'setForKey', ['" + name + "', 'mine']); 1");
            EXPECT_EQ(answer(name), "ok:null") << mode;
            eval("call('" + name + "-get', 'Keychain', 'getForKey', ['" + name + "']); 1");
            EXPECT_EQ(answer(name + "-get"), "ok:\"mine\"") << mode;
        }
    }

    // A view made by a screen of foreign pages: its page attacks, reaches nothing, and the application's
    // page still reaches its plug-ins.
    void expectAViewOfForeignPagesReachesNothing(const std::shared_ptr<platform::WebView>& view, const std::string& tag)
    {
        ASSERT_TRUE(view);
        EXPECT_TRUE(view->showsForeignPages());
        attackFrom(*view, tag);
        expectNothingReached(tag, "");
        expectEveryOwnPathWorks();
    }

    // The same loopback server by another name: another site.
    std::string otherSite(const std::string& path)
    {
        std::string url = m_server.url(path);
        return url.replace(url.find("127.0.0.1"), 9, "localhost");
    }
    // A page of another site (served at `path` of otherSite()) that reads `urls` with fetch and XHR from
    // itself, from a dedicated worker of a blob: URL and one of its own script, from a sandboxed srcdoc frame
    // and from a data: frame (which some views do not load). Each read's outcome reaches the top document's
    // `heard` as "<asker> <road> <url> read:<text>" or "... error".
    void routeProbe(const std::string& path, const std::vector<std::string>& urls)
    {
        std::string list = "[";
        for (const std::string& url : urls)
            list += (list.size() > 1 ? ",'" : "'") + url + "'";
        list += "]";
        const std::string worker = "onmessage = function (e) { probe(e.data, urls, function (s) { postMessage(s); }); };";
        m_server.route(path + ".js", testsupport::Reply::text(200, "var urls = " + list + "; " + kProbe + worker, "application/javascript"));
        m_server.route(path, testsupport::Reply::text(200,
            "<html><body><p id='hostile'>a page of somebody else</p><script>"
            "if (top === window) { window.heard = []; addEventListener('message', function (e) { heard.push(String(e.data)); }); }"
            "var urls = " + list + "; " + kProbe + " function note(s) { top.postMessage(s, '*'); } probe('page', urls, note);"
            "function start(w, asker) { w.onmessage = function (e) { note(e.data); }; w.postMessage(asker); }"
            "var own = 'var urls = ' + JSON.stringify(urls) + '; ' + probe.toString();"
            "start(new Worker(URL.createObjectURL(new Blob([own + '" + worker + "']))), 'blob-worker');"
            "start(new Worker('" + path + ".js'), 'script-worker');"
            "function framed(asker) { return '<scr' + 'ipt>' + own + ' probe(\"' + asker + '\", urls, function (s) { top.postMessage(s, \"*\"); });</scr' + 'ipt>'; }"
            "var s = document.createElement('iframe'); s.sandbox = 'allow-scripts'; s.srcdoc = framed('srcdoc'); document.body.appendChild(s);"
            "var d = document.createElement('iframe'); d.src = 'data:text/html,' + encodeURIComponent(framed('data')); document.body.appendChild(d);"
            "</script></body></html>", "text/html"));
    }
    // Waits for every outcome of the `askers` of a routeProbe of `urls` in `view`'s top document (the others
    // may not run: a view may refuse their frames); no outcome read what `secrets` hold.
    void expectNothingRead(platform::WebView& view, const std::vector<std::string>& urls, const std::vector<std::string>& secrets,
                           const std::string& where, const std::vector<std::string>& askers)
    {
        std::string list;
        for (const std::string& asker : askers)
            list += (list.empty() ? "'" : ",'") + asker + "'";
        const std::string ended = "window.heard ? heard.filter(function (l) { return [" + list + "].indexOf(l.split(' ')[0]) >= 0; }).length : 0";
        const bool all = e2e::waitUntil([&] { return view.stringByEvaluatingJavaScriptFromString(ended) == std::to_string(kProbeRoads * askers.size() * urls.size()); });
        e2e::waitUntil([] { return false; }, std::chrono::milliseconds(300));
        const std::string heard = view.stringByEvaluatingJavaScriptFromString("heard.join('\\n')");
        EXPECT_TRUE(all) << where << ": every asker's every read ends\n" << heard;
        for (const std::string& secret : secrets)
            EXPECT_EQ(heard.find(secret), std::string::npos) << where << ": " << secret << " was read\n" << heard;
    }

    testsupport::HTTPTestServer m_server;
    std::string m_fetchesBefore;
    std::string m_answersBefore;
};

} // namespace

TEST_F(ForeignPagesTest, ARemotePageInTheInAppBrowserReachesNoPluginOnAnyPath)
{
    launch();
    browse(m_server.url("/hostile.html"));
    EXPECT_EQ(events(), "loadstart,loadstop");
    std::shared_ptr<platform::WebView> page = browserView();
    ASSERT_TRUE(page);
    attackFrom(*page, "browser");
    expectNothingReached("browser", "loadstop");
    // The browser's own answers still come.
    eval("call('sum', 'InAppBrowser', 'injectScriptCode', ['1+1']); 1");
    EXPECT_EQ(answer("sum"), "ok:[2]");
    eval("call('text', 'InAppBrowser', 'injectScriptCode', ['document.getElementById(\"hostile\").textContent']); 1");
    EXPECT_EQ(answer("text"), "ok:[\"a page of somebody else\"]");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    expectEveryOwnPathWorks();
}

TEST_F(ForeignPagesTest, APageThePaymentServerRedirectsToReachesNoPlugin)
{
    launch();
    // The payment road's web page, led by the server to a page of its choice, loads under the process's
    // agent, which ends with the application's view number.
    auto screen = cardpay::BCWebViewController::initWithUrl(m_server.url("/draw"), "Lucky draw");
    screen->view();
    expectAViewOfForeignPagesReachesNothing(screen->webView(), "road");

    // Led by the server where no web view goes (another application's address), at its first load and from a page
    // it showed (whose redirect the engine asks about first as a frame's): the road's page says so each time.
    m_server.route("/wallet", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", "some-wallet://pay?order=1"));
    m_server.route("/checkout", testsupport::Reply::text(200, "<html><body><script>location.href = '/wallet';</script></body></html>", "text/html"));
    for (const char* path : {"/wallet", "/checkout"}) {
        auto wallet = cardpay::BCWebViewController::initWithUrl(m_server.url(path), "Wallet");
        wallet->view();
        EXPECT_TRUE(e2e::waitUntil([&] {
            return wallet->mAlertView() && wallet->mAlertView()->messageLabel()->text() == cardpay::BCLocale::instance()->getStringById(12022);
        })) << path;
    }
}

// A page of the payment road that asks for a confirmation: the alert shows above the road's screen, titled
// with the page's host, and the page gets the answer.
TEST_F(ForeignPagesTest, APaymentPagesDialogShowsAboveTheRoadsScreen)
{
    m_server.route("/terms", testsupport::Reply::text(200,
                                                      "<html><body><h1>Terms</h1>"
                                                      "<script>window.agreed = String(confirm('Do you accept the terms?'));</script></body></html>",
                                                      "text/html"));
    launch();
    auto screen = cardpay::BCWebViewController::initWithUrl(m_server.url("/terms"), "Terms");
    screen->view()->setFrame((*m_launched)->window()->bounds());
    (*m_launched)->window()->addSubview(screen->view());
    auto alert = e2e::shownDialogAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "127.0.0.1");
    EXPECT_EQ(alert->message(), "Do you accept the terms?");
    EXPECT_GT(alert->window()->windowLevel(), (*m_launched)->window()->windowLevel());
    // The click reaches the alert, not the screen under it.
    e2e::clickButton(*m_host, *alert, "Cancel");
    ASSERT_TRUE(e2e::waitUntil([&] { return screen->webView()->stringByEvaluatingJavaScriptFromString("window.agreed") == "false"; }));
    screen->view()->removeFromSuperview();
}

TEST_F(ForeignPagesTest, ASignInPageReachesNoPlugin)
{
    launch();
    auto signIn = messenger::MXUIWebViewControll::initWithDelegate(nullptr);
    signIn->refresh(m_server.url("/hostile.html"));
    expectAViewOfForeignPagesReachesNothing(signIn->webView(), "signin");
}

TEST_F(ForeignPagesTest, NoFileOutsideTheApplicationsFoldersIsReadThroughTheInAppBrowser)
{
    launch();
    // A file the browser is told to open outside the application's folders does not load.
    browse("file:///etc/passwd");
    EXPECT_EQ(events(), "loadstart,loaderror:" + std::to_string(platform::kURLErrorNoPermissionsToReadFile));
    eval("call('passwd', 'InAppBrowser', 'injectScriptCode', ['document.body ? document.body.innerText : \"\"']); 1");
    EXPECT_EQ(answer("passwd").find("root:"), std::string::npos) << answer("passwd");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !browserView(); }));

    // A page of the bundle in the browser reads the application's files, and no other.
    const std::string documents = m_home.folders().documents();
    std::ofstream(documents + "/own.txt") << "own notes";
    browse("iab.html");
    EXPECT_EQ(events(), "loadstart,loadstop") << lastError();
    const std::string read = "(function (u) { var x = new XMLHttpRequest(); x.open('GET', u, false);"
                             " try { x.send(null); return x.status + ':' + x.responseText; } catch (e) { return 'refused'; } })";
    std::shared_ptr<platform::WebView> page = browserView();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString(read + "('file://" + documents + "/own.txt')"), "200:own notes");
    for (const char* outside : {"file:///etc/group", "file:///etc/passwd", "file:///etc/hostname"}) {
        const std::string got = page->stringByEvaluatingJavaScriptFromString(read + "('" + outside + "')");
        EXPECT_EQ(got.find("root"), std::string::npos) << outside << ": " << got;
    }
    // Nor by leading the browser's page there, or a frame of it.
    page->stringByEvaluatingJavaScriptFromString("var f = document.createElement('iframe'); f.src = 'file:///etc/passwd';"
                                                 " document.body.appendChild(f); location.href = 'file:///etc/group'; 1");
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(1000));
    EXPECT_TRUE(page->stringByEvaluatingJavaScriptFromString("location.href").ends_with("/www/iab.html"));
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("document.documentElement.innerHTML").find("root:"), std::string::npos);
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");

    // Nor by opening it in the application's own view: the page's choice opens no folder there either.
    eval("hybrid.exec(null, null, 'InAppBrowser', 'open', ['file:///etc/passwd', '_self']); 1");
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(1000));
    EXPECT_TRUE(eval("location.href").ends_with("/www/index.html")) << eval("location.href");
    EXPECT_EQ(eval("document.getElementById('ready') ? 'page' : ''"), "page");

    // The application's own view reads its files as before.
    eval("var x = new XMLHttpRequest(); x.open('GET', 'file://" + documents + "/own.txt', false); x.send(null); window.own = x.responseText; 1");
    EXPECT_EQ(eval("window.own"), "own notes");
}

TEST_F(ForeignPagesTest, ARemotePageOfAForeignViewReadsNoFileThroughTheRoute)
{
    launch();
    const std::string documents = m_home.folders().documents();
    std::ofstream(documents + "/own.txt") << "own notes";
    // What a remote page tries: the route of the web process asked directly for a file and a file system
    // URL of the application's home (answers the route gives are readable from any origin).
    const std::string own = "file://" + documents + "/own.txt";
    const std::string attack =
        "window.got = {};"
        "function rd(name, url) { var x = new XMLHttpRequest(); x.open('GET', 'hybroute://load/?' + encodeURIComponent(url), true);"
        "  x.onload = function () { got[name] = x.status + ':' + x.responseText; }; x.onerror = function () { got[name] = 'error'; };"
        "  x.send(null); }"
        "rd('file', '" + own + "'); rd('filesystem', 'hybfile://localhost/persistent/own.txt');"
        "var w = new XMLHttpRequest(); w.open('GET', '" + m_server.url("/hostile.html") + "', true);"
        "w.onload = function () { got.web = w.status + ':'; }; w.onerror = function () { got.web = 'error'; }; w.send(null);"
        "fetch('hybroute://load/?' + encodeURIComponent('" + own + "')).then(function (r) { return r.text(); })"
        "  .then(function (t) { got.fetch = t; }, function () { got.fetch = 'error'; }); 1";
    auto expectNoFileRead = [&](platform::WebView& view) {
        ASSERT_TRUE(e2e::waitUntil([&] { return view.stringByEvaluatingJavaScriptFromString("document.getElementById('hostile') ? 1 : 0") == "1"; }));
        view.stringByEvaluatingJavaScriptFromString(attack);
        ASSERT_TRUE(e2e::waitUntil([&] { return view.stringByEvaluatingJavaScriptFromString("Object.keys(got).length") == "4"; }))
            << view.stringByEvaluatingJavaScriptFromString("JSON.stringify(got)");
        const std::string got = view.stringByEvaluatingJavaScriptFromString("JSON.stringify(got)");
        EXPECT_EQ(got.find("own notes"), std::string::npos) << got;
        // The web still loads through the route.
        EXPECT_EQ(view.stringByEvaluatingJavaScriptFromString("got.web.slice(0, 4)"), "200:") << got;
    };
    browse(m_server.url("/hostile.html"));
    std::shared_ptr<platform::WebView> page = browserView();
    ASSERT_TRUE(page);
    expectNoFileRead(*page);
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");

    auto screen = cardpay::BCWebViewController::initWithUrl(m_server.url("/draw"), "Lucky draw");
    screen->view();
    ASSERT_TRUE(screen->webView());
    expectNoFileRead(*screen->webView());

    // The application's own page reads its files as before, but not by writing the route's URL itself.
    eval("var x = new XMLHttpRequest(); x.open('GET', '" + own + "', false); x.send(null); window.own = x.responseText; 1");
    EXPECT_EQ(eval("window.own"), "own notes");
    for (const char* route : {"hybroute://load/?", "hybroute-local://load/?"}) {
        eval("window.routed = ''; var y = new XMLHttpRequest(); y.open('GET', '" + std::string(route) + "' + encodeURIComponent('" + own + "'), true);"
             " y.onload = function () { routed = y.status + ':' + y.responseText; }; y.onerror = function () { routed = 'error'; }; y.send(null); 1");
        ASSERT_TRUE(e2e::waitUntil([&] { return !eval("window.routed").empty(); }));
        EXPECT_EQ(eval("window.routed"), "error") << route;
    }
}

TEST_F(ForeignPagesTest, ARemoteFrameOfTheApplicationsPageInTheInAppBrowserReadsNoFile)
{
    launch();
    const std::string documents = m_home.folders().documents();
    std::ofstream(documents + "/own.txt") << "own notes";
    // A remote frame of a page of the bundle shown in the browser (whose file document lets the browser's
    // pages read the application's files) asks the route for one.
    m_server.route("/framed.html", testsupport::Reply::text(200,
        "<html><body><script>var y = new XMLHttpRequest();"
        " y.open('GET', 'hybroute://load/?' + encodeURIComponent('file://" + documents + "/own.txt'), true);"
        " y.onload = function () { parent.postMessage('read:' + y.responseText, '*'); };"
        " y.onerror = function () { parent.postMessage('error', '*'); }; y.send(null);</script></body></html>", "text/html"));
    browse("iab.html");
    std::shared_ptr<platform::WebView> page = browserView();
    ASSERT_TRUE(page);
    page->stringByEvaluatingJavaScriptFromString("window.heard = ''; addEventListener('message', function (e) { heard = e.data; });"
                                                 " var f = document.createElement('iframe'); f.src = '" + m_server.url("/framed.html") + "';"
                                                 " document.body.appendChild(f); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !page->stringByEvaluatingJavaScriptFromString("heard").empty(); }));
    EXPECT_EQ(page->stringByEvaluatingJavaScriptFromString("heard"), "error");
}

TEST_F(ForeignPagesTest, AFrameOfAnotherOriginInTheApplicationsViewReachesNoPlugin)
{
    launch();
    // A page of another site, framed by the application's page (or a frame the page led there), knows the
    // view's number and tries every signal; it also asks the bridge path of the application's own origin.
    const std::string vc = std::to_string(controller().registryNumber());
    m_server.route("/framed-attack.html", testsupport::Reply::text(200,
        "<html><body><p id='hostile'>another site</p><script>"
        "var x = new XMLHttpRequest(); x.open('GET', 'file:///!hyb_exec?6', true); x.setRequestHeader('vc', '" + vc + "');"
        " x.setRequestHeader('rc', '5'); x.setRequestHeader('cmds', '[[\"Keychain90\",\"Keychain\",\"setForKey\",[\"frame-file\",\"pwned\"]]]');"
        " try { x.send(null); } catch (e) {}"
        " try { top.location.href = location.href.replace(/^.*$/, '" + eval("location.href") + "#%01' + encodeURIComponent("
        "'[[\"Keychain90\",\"Keychain\",\"setForKey\",[\"frame-top\",\"pwned\"]]]')); } catch (e) {}"
        "parent.postMessage(" + attackScript(controller().registryNumber(), "frame") + ", '*');</script></body></html>", "text/html"));
    eval("window.heard = ''; addEventListener('message', function (e) { heard = e.data; });"
         " var f = document.createElement('iframe'); f.src = '" + m_server.url("/framed-attack.html") + "';"
         " document.body.appendChild(f); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard") == "sent"; }));
    e2e::waitUntil([] { return false; }, std::chrono::milliseconds(800));
    for (const char* path : {"xhr", "agent", "fetch", "routed", "hash", "file", "top"}) {
        const std::string name = std::string("frame-") + path;
        eval("call('" + name + "', 'Keychain', 'getForKey', ['" + name + "']); 1");
        EXPECT_EQ(answer(name).rfind("fail:", 0), 0u) << name << ": " << answer(name);
    }
    EXPECT_TRUE(eval("location.href").ends_with("/www/index.html")) << eval("location.href");
    expectEveryOwnPathWorks();

    // A frame of the application's own files still reaches the bridge, as the page does.
    eval("window.sameOrigin = ''; var g = document.createElement('iframe'); g.src = 'index.html?framed';"
         " g.onload = function () { var y = new g.contentWindow.XMLHttpRequest(); y.open('GET', '/!hyb_exec?7', true);"
         " y.setRequestHeader('vc', '" + vc + "'); y.setRequestHeader('rc', '6');"
         " y.setRequestHeader('cmds', '[[\"Keychain91\",\"Keychain\",\"setForKey\",[\"same-origin\",\"framed\"]]]');"
         " y.onload = function () { sameOrigin = 'sent'; }; y.onerror = function () { sameOrigin = 'error'; }; y.send(null); };"
         " document.body.appendChild(g); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !eval("window.sameOrigin").empty(); }));
    eval("call('same', 'Keychain', 'getForKey', ['same-origin']); 1");
    EXPECT_EQ(answer("same"), "ok:\"framed\"");

    // Clicked in the frame of another site: new windows of script (a link's, window.open's) and of the
    // application's own file run and open nothing in the application's page, which then hears the frame.
    const std::string page = eval("location.href");
    m_server.route("/opener.html", testsupport::Reply::text(200, R"P(<html><head><style>body { margin: 0; }
body > * { display: block; margin: 0; border: 0; padding: 0; width: 100%; height: 24px; }</style></head><body>
<a onclick="parent.postMessage('row0', '*')" href="javascript:document.documentElement.setAttribute('data-ran', 'link')" target="_blank">link</a>
<button onclick="parent.postMessage('row1', '*'); window.open('javascript:document.documentElement.setAttribute(\'data-ran\', \'open\')')">open</button>
<button onclick="parent.postMessage('row2', '*'); window.open(')P" + page + R"P(?opened')">file</button>
<button onclick="parent.postMessage('clicked', '*')">done</button></body></html>)P", "text/html"));
    eval("heard = ''; var o = document.createElement('iframe'); o.id = 'opener'; o.src = '" + otherSite("/opener.html") + "';"
         " o.style.cssText = 'position: fixed; top: 0; left: 0; width: 200px; height: 96px; border: 0; z-index: 10000';"
         " o.onload = function () { heard = 'loaded'; }; document.body.appendChild(o); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard") == "loaded"; }));
    m_host->update();
    const platform::Rect frame = m_webView->convertRectTo(m_webView->bounds(), nullptr);
    // One at a time: what a click asks for reaches the page before the next click does.
    for (int row = 0; row < 4; ++row) {
        const platform::Point point{frame.origin.x + 100, frame.origin.y + 12 + 24 * row};
        e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, point, 1);
        e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, point, 1, GDK_BUTTON1_MASK);
        EXPECT_TRUE(e2e::waitUntil([&] { return eval("heard") == (row < 3 ? "row" + std::to_string(row) : "clicked"); })) << row;
    }
    EXPECT_EQ(eval("String(document.documentElement.getAttribute('data-ran'))"), "null");
    EXPECT_EQ(eval("location.href"), page);
}

TEST_F(ForeignPagesTest, AWebPageOfTheApplicationsViewReachesTheBridgeOnlyByItsPathAndOnlyFromItsOwnOrigin)
{
    launch();
    const std::string vc = std::to_string(controller().registryNumber());
    const std::string home = eval("location.href");
    const std::string xhr = "function xhr(url, key) { var x = new XMLHttpRequest(); x.open('GET', url, true);"
                            " x.setRequestHeader('vc', '" + vc + "'); x.setRequestHeader('rc', '1');"
                            " x.setRequestHeader('cmds', '[[\"Keychain92\",\"Keychain\",\"setForKey\",[\"' + key + '\",\"set\"]]]');"
                            " x.onloadend = function () { window.ended = (window.ended || 0) + 1; if (window.onEnded) onEnded(); };"
                            " try { x.send(null); } catch (e) { x.onloadend(); } }";
    // The application's view shows a page of the web; a frame of another origin (the same server by another
    // name) asks the page's own origin for the bridge, and its own (and says so once they have ended).
    std::string other = m_server.url("/other-frame.html");
    other.replace(other.find("127.0.0.1"), 9, "localhost");
    std::string hidden = m_server.url("/other-frame-hidden.html");
    hidden.replace(hidden.find("127.0.0.1"), 9, "localhost");
    const std::string page = m_server.url("/");
    m_server.route("/other-frame.html", testsupport::Reply::text(200,
        "<html><body><script>" + xhr + " window.onEnded = function () { if (ended === 3) parent.postMessage('sent', '*'); };"
        " xhr('" + page + "!hyb_exec?1', 'web-cross-explicit'); xhr('/!hyb_exec?2', 'web-cross-own'); xhr('/to-bridge', 'web-cross-redirect');"
        " try { top.location.href = '" + m_server.url("/app.html") + "#%01' + encodeURIComponent("
        "'[[\"Keychain94\",\"Keychain\",\"setForKey\",[\"web-cross-top\",\"set\"]]]'); } catch (e) {}"
        "</script></body></html>", "text/html"));
    m_server.route("/to-bridge", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", page + "!hyb_exec?4"));
    // One that hides its origin from the page's navigation.
    m_server.route("/other-frame-hidden.html", testsupport::Reply::text(200,
        "<html><head><meta name='referrer' content='no-referrer'></head><body><script>"
        " setTimeout(function () { try { top.location.href = '" + m_server.url("/app.html") + "#%01' + encodeURIComponent("
        "'[[\"Keychain94\",\"Keychain\",\"setForKey\",[\"web-cross-hidden\",\"set\"]]]'); } catch (e) {} parent.postMessage('hidden', '*'); }, 300);"
        "</script></body></html>", "text/html"));
    // A document of the page's own server that has no origin (sandboxed) asks it too.
    m_server.route("/sandboxed.html", testsupport::Reply::text(200,
        "<html><body><script>" + xhr + " xhr('/!hyb_exec?3', 'web-sandboxed');</script></body></html>", "text/html")
        .withHeader("Content-Security-Policy", "sandbox allow-scripts"));
    m_server.route("/app.html", testsupport::Reply::text(200, "<html><body><p id='web'>web page</p><script>" + xhr +
        "</script></body></html>", "text/html"));
    eval("location.href = '" + m_server.url("/app.html") + "'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('web') ? 1 : 0") == "1"; }));
    // Spellings the web process loads as ordinary requests are no bridge request for the runtime either.
    eval("xhr('/%21hyb_exec', 'web-escaped'); xhr('/!hyb_exec/', 'web-slash'); xhr('/!hyb_ex%65c', 'web-escaped-letter');"
         " xhr('/!hyb_exec', 'web-own'); location.hash = '%01' + encodeURIComponent("
         "'[[\"Keychain95\",\"Keychain\",\"setForKey\",[\"web-own-hash\",\"set\"]]]'); 1");
    eval("window.heard = []; addEventListener('message', function (e) { heard.push(String(e.data)); });"
         " var f = document.createElement('iframe'); f.src = '" + other + "'; document.body.appendChild(f);"
         " var s = document.createElement('iframe'); s.src = '/sandboxed.html'; document.body.appendChild(s);"
         " var h = document.createElement('iframe'); h.src = '" + hidden + "'; document.body.appendChild(h); 1");
    // The page's own requests and the frame's have ended (their calls were taken or refused), and the frame
    // that hides its origin has tried.
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard.slice().sort().join() + ' ' + window.ended") == "hidden,sent 4"; }))
        << eval("heard.join() + ' ' + window.ended");

    controller().webView()->loadRequest(platform::URLRequest(home));
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
    for (const char* key : {"web-cross-explicit", "web-cross-own", "web-cross-redirect", "web-cross-top", "web-cross-hidden", "web-sandboxed", "web-escaped", "web-slash", "web-escaped-letter"}) {
        eval("call('" + std::string(key) + "', 'Keychain', 'getForKey', ['" + key + "']); 1");
        EXPECT_EQ(answer(key).rfind("fail:", 0), 0u) << key << ": " << answer(key);
    }
    // The page itself reached the bridge, by its request and by its fragment.
    eval("call('own', 'Keychain', 'getForKey', ['web-own']); 1");
    EXPECT_EQ(answer("own"), "ok:\"set\"");
    eval("call('own-hash', 'Keychain', 'getForKey', ['web-own-hash']); 1");
    EXPECT_EQ(answer("own-hash"), "ok:\"set\"");
}

TEST_F(ForeignPagesTest, AFragmentAFrameOfAnotherSitePutsOnThePageRunsNothingAndAReloadIsNoSignal)
{
    launch();
    const std::string home = eval("location.href");
    // A page of the web, reached from another page of its site (its reload names that page as referrer),
    // frames another site, which puts a fragment with a batch on the page's own URL.
    std::string other = m_server.url("/planter.html");
    other.replace(other.find("127.0.0.1"), 9, "localhost");
    m_server.route("/planter.html", testsupport::Reply::text(200,
        "<html><body><script>try { top.location.href = '" + m_server.url("/app.html") + "#%01' + encodeURIComponent("
        "'[[\"Keychain96\",\"Keychain\",\"setForKey\",[\"planted\",\"set\"]]]'); } catch (e) {}"
        " parent.postMessage('sent', '*');</script></body></html>", "text/html"));
    m_server.route("/start.html", testsupport::Reply::text(200, "<html><body><p id='start'>start</p></body></html>", "text/html"));
    m_server.route("/app.html", testsupport::Reply::text(200, "<html><body><p id='web'>web page</p></body></html>", "text/html"));
    eval("location.href = '" + m_server.url("/start.html") + "'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('start') ? 1 : 0") == "1"; }));
    eval("location.href = '/app.html'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('web') ? 1 : 0") == "1"; }));
    eval("window.heard = ''; addEventListener('message', function (e) { heard = e.data; });"
         " var f = document.createElement('iframe'); f.src = '" + other + "'; document.body.appendChild(f); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard") == "sent"; }));
    // The refused change does not stay in the page's URL.
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("location.hash").empty(); })) << eval("location.href");

    // A reload of a URL that shows a batch (put there by the page's history, without a navigation) loads the
    // page again and signals nothing.
    eval("history.pushState(null, '', '#%01' + encodeURIComponent('[[\"Keychain97\",\"Keychain\",\"setForKey\",[\"reloaded\",\"set\"]]]'));"
         " window.before = 'reload'; 1");
    controller().webView()->reload();
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("window.before === undefined && document.getElementById('web') ? 1 : 0") == "1"; }))
        << "the application's reload loads the page again: " << eval("location.href");

    controller().webView()->loadRequest(platform::URLRequest(home));
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
    for (const char* key : {"planted", "reloaded"}) {
        eval("call('" + std::string(key) + "', 'Keychain', 'getForKey', ['" + key + "']); 1");
        EXPECT_EQ(answer(key).rfind("fail:", 0), 0u) << key << ": " << answer(key);
    }
}

TEST_F(ForeignPagesTest, APageThatSendsNoReferrerIsToldItsFragmentSignalsAreRefusedAndSignalsByRequest)
{
    launch();
    const std::string vc = std::to_string(controller().registryNumber());
    const std::string home = eval("location.href");
    std::mutex mutex;
    std::vector<std::string> lines;
    platform::Log::Hook previous = platform::Log::setCaptureHook([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    // Its fragment names no referrer, as a frame of another site that hides its own: refused, and said once.
    m_server.route("/quiet.html", testsupport::Reply::text(200, "<html><body><p id='web'>web page</p></body></html>", "text/html")
                                      .withHeader("Referrer-Policy", "no-referrer"));
    eval("location.href = '" + m_server.url("/quiet.html") + "'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('web') ? 1 : 0") == "1"; }));
    eval("function batch(key) { return encodeURIComponent('[[\"Keychain98\",\"Keychain\",\"setForKey\",[\"' + key + '\",\"set\"]]]'); }"
         " location.hash = '%01' + batch('quiet-hash'); location.hash = '%02' + batch('quiet-hash-2');"
         " var x = new XMLHttpRequest(); x.open('GET', '/!hyb_exec?1', true); x.setRequestHeader('vc', '" + vc + "');"
         " x.setRequestHeader('rc', '1'); x.setRequestHeader('cmds', '[[\"Keychain99\",\"Keychain\",\"setForKey\",[\"quiet-xhr\",\"set\"]]]');"
         " window.ended = false; x.onloadend = function () { ended = true; }; x.send(null); 1");
    // (The fragment changes were answered while the script waited.) The request's call was taken once it ended.
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("window.ended") == "true"; }));
    platform::Log::setCaptureHook(previous);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                      return line.find("refused a fragment signal on the page that names no referrer") != std::string::npos;
                  }), 1);
    }
    controller().webView()->loadRequest(platform::URLRequest(home));
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
    for (const char* key : {"quiet-hash", "quiet-hash-2"}) {
        eval("call('" + std::string(key) + "', 'Keychain', 'getForKey', ['" + key + "']); 1");
        EXPECT_EQ(answer(key).rfind("fail:", 0), 0u) << key << ": " << answer(key);
    }
    eval("call('quiet-xhr', 'Keychain', 'getForKey', ['quiet-xhr']); 1");
    EXPECT_EQ(answer("quiet-xhr"), "ok:\"set\"");
}

TEST_F(ForeignPagesTest, NoDocumentOrWorkerOfAnotherOriginReadsTheApplicationsFilesOrAnotherSitesAnswers)
{
    launch();
    const std::string documents = m_home.folders().documents();
    std::ofstream(documents + "/own.txt") << "own notes";
    std::ofstream(m_home.folders().tmp() + "/own.txt") << "own temporary notes";
    m_server.route("/secret", testsupport::Reply::text(200, "top secret"));
    // Another site's answer that any origin may read.
    m_server.route("/open", testsupport::Reply::text(200, "open to all").withHeader("Access-Control-Allow-Origin", "*"));
    // A site the user signed in to, whose account answer any origin may read, made with the session's cookie;
    // and its cookies kept to its own site, which go with no request another site makes.
    m_server.route("/sign-in", testsupport::Reply::text(200, "<p id='signed'>signed in</p>", "text/html")
                                   .withHeader("Set-Cookie", "session=s3cret; Path=/")
                                   .withHeader("Set-Cookie", "strict=kept; Path=/; SameSite=Strict")
                                   .withHeader("Set-Cookie", "lax=kept; Path=/; SameSite=Lax"));
    m_server.route("/account", [](const testsupport::RecordedRequest& request) {
        const bool signedIn = request.header("Cookie").value_or("").find("session=s3cret") != std::string::npos;
        return testsupport::Reply::text(200, signedIn ? "account of the signed-in user" : "nobody signed in")
            .withHeader("Access-Control-Allow-Origin", "*");
    });
    m_server.route("/cookies", testsupport::Reply::text(200, "seen").withHeader("Access-Control-Allow-Origin", "*"));
    // The probing site's own address, which leads to the other site's answer, to the application's files by
    // every spelling of them and to the bridge.
    for (const char* code : {"301", "302", "303", "307", "308"}) {
        const int status = std::stoi(code);
        m_server.route(std::string("/bounce-") + code, testsupport::Reply::text(status, "", "text/plain").withHeader("Location", m_server.url("/secret")));
        m_server.route(std::string("/to-file-") + code, testsupport::Reply::text(status, "", "text/plain").withHeader("Location", "file://" + documents + "/own.txt"));
        m_server.route(std::string("/to-files-") + code,
                       testsupport::Reply::text(status, "", "text/plain").withHeader("Location", "hybfile://localhost/persistent/own.txt"));
        m_server.route(std::string("/to-local-route-") + code,
                       testsupport::Reply::text(status, "", "text/plain").withHeader("Location", "hybroute-local://load" + documents + "/own.txt"));
        m_server.route(std::string("/to-route-") + code,
                       testsupport::Reply::text(status, "", "text/plain").withHeader("Location", webengine::routeURLForOriginal("file://" + documents + "/own.txt")));
        m_server.route(std::string("/to-bridge-") + code, testsupport::Reply::text(status, "", "text/plain").withHeader("Location", otherSite("/!hyb_exec")));
    }
    std::vector<std::string> urls = {"hybfile://localhost/persistent/own.txt", "hybfile://localhost/temporary/own.txt",
                                     "hybfile://localhost/root/etc/passwd", "file://" + documents + "/own.txt",
                                     "hybroute-local://load" + documents + "/own.txt", m_server.url("/secret"), otherSite("/open"),
                                     m_server.url("/account"), m_server.url("/cookies")};
    for (const char* code : {"301", "302", "303", "307", "308"})
        for (const char* road : {"/bounce-", "/to-file-", "/to-files-", "/to-local-route-", "/to-route-", "/to-bridge-"})
            urls.push_back(otherSite(road + std::string(code)));
    const std::vector<std::string> secrets = {"own notes", "own temporary notes", "root:", "top secret", "account of the signed-in user"};
    routeProbe("/probe.html", urls);

    // The user signs in to the site: through the application's page (whose loads the application makes, with
    // the platform's cookie store) and in the in-app browser (whose loads the engine makes, with its own).
    eval("window.signed = ''; var x = new XMLHttpRequest(); x.open('GET', '" + m_server.url("/sign-in") + "');"
         " x.onload = function () { signed = 'status:' + x.status; }; x.onerror = function () { signed = 'error'; }; x.send(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !eval("window.signed").empty(); }));
    ASSERT_EQ(eval("window.signed"), "status:200");
    browse(m_server.url("/sign-in"));
    ASSERT_TRUE(browserView());
    ASSERT_TRUE(e2e::waitUntil([&] { return browserView()->stringByEvaluatingJavaScriptFromString("document.cookie").find("session=s3cret") != std::string::npos; }));
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !browserView(); }));

    // A frame of another site in the application's own page, and what it starts.
    eval("window.heard = []; addEventListener('message', function (e) { heard.push(String(e.data)); });"
         " var f = document.createElement('iframe'); f.src = '" + otherSite("/probe.html") + "'; document.body.appendChild(f); 1");
    // (The application's view refuses the sandboxed frame's document; it loads the data: frame.)
    expectNothingRead(*m_webView, urls, secrets, "a frame of the application's page", {"page", "blob-worker", "script-worker", "data"});
    // (Under the application's page, a file of no site, the engine sends a site's cookies kept to it with the
    // requests of every frame: the views of foreign pages and the application's view led to a web page are
    // where its own rules for them hold.)
    const std::size_t requestsOfFrame = m_server.requests().size();

    // The same page in the in-app browser, the payment road's page and the sign-in page.
    // (The in-app browser loads the data: frame too; the payment road's page refuses it.)
    browse(otherSite("/probe.html"));
    ASSERT_TRUE(browserView());
    expectNothingRead(*browserView(), urls, secrets, "the in-app browser", {"page", "blob-worker", "script-worker", "srcdoc", "data"});
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    m_server.route("/draw", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", otherSite("/probe.html")));
    auto screen = cardpay::BCWebViewController::initWithUrl(m_server.url("/draw"), "Lucky draw");
    screen->view();
    ASSERT_TRUE(screen->webView());
    expectNothingRead(*screen->webView(), urls, secrets, "the payment road's page", {"page", "blob-worker", "script-worker", "srcdoc"});
    auto signIn = messenger::MXUIWebViewControll::initWithDelegate(nullptr);
    signIn->refresh(otherSite("/probe.html"));
    ASSERT_TRUE(signIn->webView());
    expectNothingRead(*signIn->webView(), urls, secrets, "the sign-in page", {"page", "blob-worker", "script-worker", "srcdoc"});

    // The application's view led to that page.
    const std::string home = eval("location.href");
    eval("location.href = '" + otherSite("/probe.html") + "'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('hostile') ? 1 : 0") == "1"; }));
    expectNothingRead(*m_webView, urls, secrets, "the application's view", {"page", "blob-worker", "script-worker"});
    controller().webView()->loadRequest(platform::URLRequest(home));
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
    // The site's cookies kept to it went with none of those requests of another site's.
    std::size_t cookieRequests = 0;
    const std::vector<testsupport::RecordedRequest> requests = m_server.requests();
    for (std::size_t i = requestsOfFrame; i < requests.size(); ++i) {
        const testsupport::RecordedRequest& request = requests[i];
        if (request.path != "/cookies")
            continue;
        ++cookieRequests;
        const std::string cookies = request.header("Cookie").value_or("");
        EXPECT_EQ(cookies.find("strict="), std::string::npos) << cookies << " asked by " << request.header("Origin").value_or("no origin");
        EXPECT_EQ(cookies.find("lax="), std::string::npos) << cookies;
    }
    EXPECT_GT(cookieRequests, 0u);

    // The application's page and its workers read its files (a worker of its file script by URLs relative to
    // it too); a site's own page and its workers read that site's answer.
    const std::string readAll =
        "window.own = []; function keep(s) { own.push(s); }"
        " function ask(u) { fetch(u).then(function (r) { return r.text(); }).then(function (t) { keep('page ' + t); }, function () { keep('page error'); }); }"
        " ask('hybfile://localhost/persistent/own.txt'); ask('file://" + m_home.folders().documents() + "/own.txt');"
        " var w = new Worker(URL.createObjectURL(new Blob([\"fetch('hybfile://localhost/temporary/own.txt').then(function (r) { return r.text(); })"
        ".then(function (t) { postMessage('worker ' + t); }, function () { postMessage('worker error'); });\"])));"
        " w.onmessage = function (e) { keep(e.data); };"
        " var v = new Worker('own-worker.js'); v.onmessage = function (e) { keep(e.data); };"
        " v.onerror = function (e) { keep('script-worker error ' + e.message); }; 1";
    m_home.writeBundleFile("www/own-worker.js",
        "importScripts('own-helper.js');"
        "function ask(u) { return fetch(u).then(function (r) { return r.text(); }).then(function (t) { return t; }, function () { return 'error'; }); }"
        "Promise.all([ask('hybfile://localhost/persistent/own.txt'), ask('" + m_server.url("/secret") + "'), ask('own-data.txt')])"
        ".then(function (a) { postMessage('script-worker ' + helped + ' ' + a.join(' + ')); });");
    m_home.writeBundleFile("www/own-helper.js", "var helped = 'helped';");
    m_home.writeBundleFile("www/own-data.txt", "data beside it");
    eval(readAll);
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("own.length") == "4"; })) << eval("own.join()");
    EXPECT_EQ(eval("own.sort().join()"),
              "page own notes,page own notes,script-worker helped own notes + top secret + data beside it,worker own temporary notes");
    browse(m_server.url("/probe.html"));
    ASSERT_TRUE(browserView());
    EXPECT_TRUE(e2e::waitUntil([&] { return browserView()->stringByEvaluatingJavaScriptFromString(
                                               "heard.filter(function (l) { return /\\/secret read:top secret$/.test(l); }).map(function (l) { return l.split(' ').slice(0, 2).join(' '); }).sort().join()")
                                           == "blob-worker fetch,blob-worker fetch-include,blob-worker fetch-omit,blob-worker xhr,blob-worker xhr-credentials,"
                                              "page fetch,page fetch-include,page fetch-omit,page xhr,page xhr-credentials,"
                                              "script-worker fetch,script-worker fetch-include,script-worker fetch-omit,script-worker xhr,script-worker xhr-credentials"; }))
        << browserView()->stringByEvaluatingJavaScriptFromString("heard.join('\\n')");
    // ... and every asker, the sandboxed one included, reads another site's answer that lets any origin read it,
    // when it sends no cookies with it.
    EXPECT_TRUE(e2e::waitUntil([&] { return browserView()->stringByEvaluatingJavaScriptFromString(
                                               "heard.filter(function (l) { return / read:open to all$/.test(l); }).map(function (l) { return l.split(' ').slice(0, 2).join(' '); }).sort().join()")
                                           == "blob-worker fetch,blob-worker fetch-omit,blob-worker xhr,data fetch,data fetch-omit,data xhr,"
                                              "page fetch,page fetch-omit,page xhr,"
                                              "script-worker fetch,script-worker fetch-omit,script-worker xhr,srcdoc fetch,srcdoc fetch-omit,srcdoc xhr"; }))
        << browserView()->stringByEvaluatingJavaScriptFromString("heard.join('\\n')");
    // The site's own page reads its account with the cookies its sign-in set in the browser.
    EXPECT_TRUE(e2e::waitUntil([&] { return browserView()->stringByEvaluatingJavaScriptFromString(
                                               "heard.indexOf('page fetch " + m_server.url("/account") + " read:account of the signed-in user') >= 0 ? 1 : 0") == "1"; }))
        << browserView()->stringByEvaluatingJavaScriptFromString("heard.join('\\n')");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
}

TEST_F(ForeignPagesTest, OnlyWebPagesStartWorkersThatLoadApartFromThem)
{
    launch();
    // Shared and service workers load apart from any page, where none of the application's rules would hold:
    // the application's files (in its view or the browser's) get none. A page of the web makes its loads
    // through the engine anyway: its workers are a browser's.
    const std::string check = "typeof SharedWorker + ' ' + ('serviceWorker' in navigator)";
    EXPECT_EQ(eval(check), "undefined false");
    browse("iab.html");
    ASSERT_TRUE(browserView());
    EXPECT_EQ(browserView()->stringByEvaluatingJavaScriptFromString(check), "undefined false");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !browserView(); }));
    browse(m_server.url("/hostile.html"));
    ASSERT_TRUE(browserView());
    EXPECT_EQ(browserView()->stringByEvaluatingJavaScriptFromString(check), "function true");
    eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
    // The application's view led to a web page: once it shows no file of the application's (WebKit asks a
    // later navigation inside a frame as a top-level one, so a file's navigations never switch them on).
    const std::string home = eval("location.href");
    eval("location.href = '" + m_server.url("/hostile.html") + "'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('hostile') ? 1 : 0") == "1"; }));
    EXPECT_EQ(eval(check), "undefined false");
    eval("window.before = 1; location.href = '" + m_server.url("/hostile.html?again") + "'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("window.before === undefined && document.getElementById('hostile') ? 1 : 0") == "1"; }));
    EXPECT_EQ(eval(check), "function true");

    // Such a worker's loads never pass the web-process module, which alone writes route URLs: one the worker
    // writes itself (a bridge request with a call, a load of the application's file) reaches nothing.
    const std::string documents = m_home.folders().documents();
    std::ofstream(documents + "/own.txt") << "own notes";
    const std::string vc = std::to_string(controller().registryNumber());
    const std::string own = "file://" + documents + "/own.txt";
    m_server.route("/forger.js", testsupport::Reply::text(200,
        "var got = [];"
        "function tell(port) { if (got.length === 4) { port.postMessage(got.sort().join()); } }"
        "onconnect = function (e) { var port = e.ports[0];"
        " function ask(name, url, headers) { fetch(url, {headers: headers || {}}).then(function (r) { return r.text(); })"
        "   .then(function (t) { got.push(name + ' read:' + t); tell(port); }, function () { got.push(name + ' error'); tell(port); }); }"
        " ask('bridge', 'hybroute://exec/?' + encodeURIComponent(location.origin + '/!hyb_exec'),"
        "     {vc: '" + vc + "', rc: '1', cmds: '[[\"Keychain95\",\"Keychain\",\"setForKey\",[\"worker-forged\",\"set\"]]]'});"
        " ask('route', 'hybroute://load/?' + encodeURIComponent('" + own + "'));"
        " ask('local', 'hybroute-local://load" + documents + "/own.txt');"
        " ask('file', '" + own + "'); };", "application/javascript"));
    eval("window.forged = ''; var forger = new SharedWorker('/forger.js'); forger.port.onmessage = function (e) { forged = e.data; }; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !eval("window.forged").empty(); }));
    EXPECT_EQ(eval("window.forged").find("read:"), std::string::npos) << eval("window.forged");
    controller().webView()->loadRequest(platform::URLRequest(home));
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
    EXPECT_EQ(eval(check), "undefined false");
    eval("call('forged', 'Keychain', 'getForKey', ['worker-forged']); 1");
    EXPECT_EQ(answer("forged").rfind("fail:", 0), 0u) << answer("forged");
}

// A web page's own navigation is asked about as a frame's, and again as the page's once its load starts, which
// tells the web process the new document's rules and whether it has workers. That start may come while the view
// waits for an evaluation (it is held until the wait ends), and the answer of the new document with it: the
// document still comes only after what its start tells. Here the page is asked all the while with a busy script,
// and this process is slowed as on a loaded machine, so what the web process says comes in heaps.
TEST_F(ForeignPagesTest, AWebPagesOwnNavigationGetsItsRulesBeforeItsDocumentComesHoweverBusyTheView)
{
    launch();
    const std::string home = eval("location.href");
    const std::string busyAsk = "(function () { var t = Date.now(); while (Date.now() - t < 30) {}"
                                " return window.before === undefined && document.getElementById('hostile') ? typeof SharedWorker : ''; })()";
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        controller().webView()->loadRequest(platform::URLRequest(home));
        ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
        // From the application's file the web page gets no workers; from there, its next page does.
        eval("location.href = '" + m_server.url("/hostile.html") + "'; 1");
        ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('hostile') ? 1 : 0") == "1"; }));
        EXPECT_EQ(eval("typeof SharedWorker"), "undefined");
        // Sleeps whenever nothing else is due.
        const guint slow = g_timeout_add_full(G_PRIORITY_LOW, 1, [](gpointer) -> gboolean {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return G_SOURCE_CONTINUE;
        }, nullptr, nullptr);
        eval("window.before = 1; location.href = '" + m_server.url("/hostile.html?" + std::to_string(round)) + "'; 1");
        std::string workers;
        const bool came = e2e::waitUntil([&] { return !(workers = eval(busyAsk)).empty(); });
        g_source_remove(slow);
        ASSERT_TRUE(came);
        EXPECT_EQ(workers, "function") << "the new document came before the view told the web process its rules";
    }
}

TEST_F(ForeignPagesTest, AFrameOfAnotherSiteGetsTheUsersCookiesOnlyAsABrowserSendsThemAndLeavesTheApplicationItsSession)
{
    // The application's server signs it in (a session cookie) and answers an account made with the cookie to
    // any origin ("*"); another site, framed by the application's page, reads it every way it can and plants
    // 4,000 cookies of its own.
    m_server.route("/signin", testsupport::Reply::text(200, "in").withHeader("Set-Cookie", "session=app; Path=/"));
    m_server.route("/account", [](const testsupport::RecordedRequest& request) {
        const bool signedIn = request.header("Cookie").value_or("").find("session=app") != std::string::npos;
        return testsupport::Reply::text(200, signedIn ? "secret-account" : "anonymous").withHeader("Access-Control-Allow-Origin", "*");
    });
    m_server.route("/plant", [](const testsupport::RecordedRequest& request) {
        testsupport::Reply reply = testsupport::Reply::text(200, "planted");
        for (int i = 0; i < 100; ++i)
            reply.withHeader("Set-Cookie", "p" + request.query + "-" + std::to_string(i) + "=1; Path=/");
        return reply;
    });
    const std::string account = m_server.url("/account");
    m_server.route("/reader.html", testsupport::Reply::text(200,
        "<html><body><p id='hostile'>another site</p><script>"
        "function note(s) { parent.postMessage(s, '*'); }"
        "function read(road, promise) { promise.then(function (t) { note(road + ' read:' + t); }, function () { note(road + ' error'); }); }"
        "function get(credentials) { return fetch('" + account + "', credentials ? {credentials: credentials} : {}).then(function (r) { return r.text(); }); }"
        "function xhr(withCredentials) { return new Promise(function (ok, fail) { var x = new XMLHttpRequest(); x.open('GET', '" + account + "');"
        "  x.withCredentials = withCredentials; x.onload = function () { ok(x.responseText); }; x.onerror = fail; x.send(); }); }"
        "read('omit', get('omit')); read('default', get('')); read('include', get('include')); read('xhr', xhr(false)); read('xhr-credentials', xhr(true));"
        "var planted = 0; for (var i = 0; i < 40; i++) fetch('/plant?' + i).then(function () { if (++planted === 40) note('planted'); }, function () { note('plant error'); });"
        "</script></body></html>", "text/html"));
    launch();
    eval("window.heard = []; addEventListener('message', function (e) { heard.push(String(e.data)); });"
         "window.signed = ''; var x = new XMLHttpRequest(); x.open('GET', '" + m_server.url("/signin") + "');"
         " x.onload = function () { signed = x.responseText; }; x.send(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("signed") == "in"; }));

    eval("var f = document.createElement('iframe'); f.src = '" + otherSite("/reader.html") + "'; document.body.appendChild(f); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard.length") == "6"; }, std::chrono::seconds(60))) << eval("heard.join('\\n')");
    const std::string heard = eval("heard.join('\\n')");
    EXPECT_EQ(heard.find("secret-account"), std::string::npos) << "another site read an answer made with the user's cookie:\n" << heard;
    EXPECT_NE(heard.find("planted"), std::string::npos) << heard;
    // What the other site asked of the application's server carried no cookie of the user's.
    for (const testsupport::RecordedRequest& request : m_server.requests()) {
        if (request.path == "/account" && request.header("Origin").value_or("").find("localhost") != std::string::npos) {
            EXPECT_EQ(request.header("Cookie").value_or("").find("session=app"), std::string::npos) << "a credentials-omitting read carried the session";
        }
    }
    // The application is still signed in, and reads its own account.
    eval("window.mine = ''; var y = new XMLHttpRequest(); y.open('GET', '" + account + "'); y.onload = function () { mine = y.responseText; }; y.send(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !eval("mine").empty(); }));
    EXPECT_EQ(eval("mine"), "secret-account") << "the other site's 4,000 cookies signed the application out";
}

TEST_F(ForeignPagesTest, NoRedirectLeadsALoadOfTheApplicationsViewToWhatTheWhitelistRefuses)
{
    // The whitelist allows the server by one name and refuses it by another ("localhost"). A load the route
    // makes for the application's view (the application's own, a frame of another site that hides its
    // referrer, or one that names the view with "vc") is led there by a redirect of every kind: none may
    // reach it, as none that asks for it directly does.
    std::string config = hybtest::readSourceFile("app/bundle/config.xml");
    config.replace(config.find("<access origin=\"*\" />"), 21, "<access origin=\"http://127.0.0.1\" />");
    m_home.writeBundleFile("config.xml", config);
    const std::vector<int> statuses = {301, 302, 303, 307, 308};
    for (int status : statuses)
        m_server.route("/to-refused-" + std::to_string(status),
                       testsupport::Reply::text(status, "", "text/plain").withHeader("Location", otherSite("/refused?" + std::to_string(status))));
    m_server.route("/to-allowed", testsupport::Reply::text(302, "", "text/plain").withHeader("Location", m_server.url("/allowed")));
    m_server.route("/allowed", testsupport::Reply::text(200, "allowed", "text/plain").withHeader("Access-Control-Allow-Origin", "*"));
    // Each load by every road; `done(n)` once all have ended.
    const std::string loads =
        "function leadAll(done) { var roads = [], ended = 0, vc = (/\\((\\d+)\\)\\s*$/.exec(navigator.userAgent) || [])[1] || '0';"
        " [301, 302, 303, 307, 308].forEach(function (s) { var u = '" + m_server.url("/to-refused-") + "' + s;"
        "  roads.push(function (end) { var i = new Image(); i.onload = i.onerror = end; i.src = u; });"
        "  roads.push(function (end) { fetch(u, {mode: 'no-cors'}).then(end, end); });"
        "  roads.push(function (end) { fetch(u, {headers: {vc: vc}}).then(end, end); });"
        "  roads.push(function (end) { var x = new XMLHttpRequest(); x.open('POST', u); x.onloadend = end; x.send('x'); }); });"
        " roads.forEach(function (road) { road(function () { if (++ended === roads.length) done(ended); }); }); }";
    m_server.route("/leader.html", testsupport::Reply::text(200,
        "<html><head><meta name='referrer' content='no-referrer'></head><body><script>" + loads +
        " leadAll(function (n) { parent.postMessage('frame ' + n, '*'); });</script></body></html>", "text/html"));
    m_server.route("/leader-named.html", testsupport::Reply::text(200, "<html><body><script>" + loads +
        " leadAll(function (n) { parent.postMessage('frame ' + n, '*'); });</script></body></html>", "text/html"));
    launch();
    eval("window.heard = []; addEventListener('message', function (e) { heard.push(String(e.data)); });"
         + loads + " leadAll(function (n) { heard.push('page ' + n); });"
         " var f = document.createElement('iframe'); f.src = '" + m_server.url("/leader.html") + "'; document.body.appendChild(f);"
         " var g = document.createElement('iframe'); g.referrerPolicy = 'no-referrer'; g.src = '" + m_server.url("/leader.html") + "';"
         " document.body.appendChild(g); var h = document.createElement('iframe'); h.src = '" + m_server.url("/leader-named.html") + "';"
         " document.body.appendChild(h); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard.slice().sort().join()") == "frame 20,frame 20,frame 20,page 20"; }, std::chrono::seconds(60)))
        << eval("heard.join()") << [&] { std::string s; for (const auto& r : m_server.requests()) s += r.path + "?" + r.query + " " + r.header("Host").value_or("") + "\n"; return s; }();
    for (const testsupport::RecordedRequest& request : m_server.requests())
        EXPECT_EQ(request.header("Host").value_or("").rfind("localhost", 0), std::string::npos) << "a redirect reached " << request.path << "?" << request.query;
    // A redirect to what the whitelist allows is followed as before.
    eval("window.allowed = ''; fetch('" + m_server.url("/to-allowed") + "').then(function (r) { return r.text(); })"
         ".then(function (t) { allowed = t; }, function () { allowed = 'error'; }); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !eval("window.allowed").empty(); }));
    EXPECT_EQ(eval("window.allowed"), "allowed");
}

// No page writes to the user's disk, in any view: an answer that is an attachment, or of a type no view
// shows, fails the page's load (its delegate hears why) and leaves a frame empty; a download the engine
// starts anyway (a link's "download", a blob: URL) is cancelled before it makes a file. The user's own
// files, in HOME and in the download folder user-dirs.dirs names, stay as they were, and none is added.
TEST_F(ForeignPagesTest, NoPageWritesToTheUsersDisk)
{
    const std::string downloads = e2e::nameDownloadFolder();
    std::ofstream(std::string(std::getenv("HOME")) + "/notes.txt") << "the user's notes";
    std::ofstream(downloads + "/notes.txt") << "the user's downloaded notes";
    const auto attachment = [](const std::string& name) {
        return testsupport::Reply::text(200, "a page's notes", "text/plain").withHeader("Content-Disposition", "attachment; filename=\"" + name + "\"");
    };
    for (const char* path : {"/notes", "/linked", "/top", "/led", "/road"})
        m_server.route(path, attachment("notes.txt"));
    // 64 MiB of a type no view shows.
    testsupport::Reply big = testsupport::Reply::text(200, std::string(1 << 20, 'b'), "application/octet-stream");
    big.bodyRepeat = 64;
    m_server.route("/big.bin", big);
    m_server.route("/signin.bin", big);
    m_server.route("/clicker.html", testsupport::Reply::text(200,
        "<html><body><a id='a' href='/linked'>notes</a><script>document.getElementById('a').click();</script></body></html>", "text/html"));
    // A frame that compiles WebGL programs (the graphics driver caches them on disk), then leads itself on.
    m_server.route("/shaders.html", testsupport::Reply::text(200,
        "<html><body><canvas id='c'></canvas><script>var gl = document.getElementById('c').getContext('webgl');"
        " for (var i = 0; gl && i < 40; i++) { var p = gl.createProgram();"
        "  [[gl.VERTEX_SHADER, 'void main() { gl_Position = vec4(' + i + '.0); }'],"
        "   [gl.FRAGMENT_SHADER, 'precision mediump float; void main() { gl_FragColor = vec4(' + i + '.0 / 40.0); }']].forEach(function (s) {"
        "   var shader = gl.createShader(s[0]); gl.shaderSource(shader, s[1]); gl.compileShader(shader); gl.attachShader(p, shader); });"
        "  gl.linkProgram(p); gl.useProgram(p); gl.drawArrays(gl.POINTS, 0, 1); }"
        " if (gl) gl.finish(); location.href = gl ? '/shaders-done' : '/no-webgl';</script></body></html>", "text/html"));
    m_server.route("/shaders-done", testsupport::Reply::text(200, "done", "text/plain"));
    m_server.route("/no-webgl", testsupport::Reply::text(200, "none", "text/plain"));
    launch();
    hybtest::LogCapture log;
    e2e::LoadWatch watch(m_webView->engine().view());
    const auto before = e2e::userFiles();

    // Frames of another site in the application's page: an attachment and an unshowable body as their source,
    // and a link the frame's page clicks.
    eval("['" + otherSite("/notes") + "', '" + otherSite("/big.bin") + "', '" + otherSite("/clicker.html") + "'].forEach(function (u) {"
         " var f = document.createElement('iframe'); f.src = u; document.body.appendChild(f); }); 1");
    EXPECT_TRUE(e2e::waitUntil([&] {
        return watch.ended(otherSite("/notes")) && watch.ended(otherSite("/big.bin")) && watch.ended(otherSite("/linked")) && watch.downloadsOver();
    }));
    // The page's own links: with "download" to another origin, which navigates the page (its load fails and
    // the delegate hears why: the page stays), to a blob: and to a data: URL (downloads the engine starts,
    // cancelled without a word to the delegate: the engine does not say whose link made one, and a frame's
    // download ends no load of the page's).
    const std::string page = eval("location.href");
    const auto clickLink = [&](const std::string& href) {
        log.clear();
        eval("var a = document.createElement('a'); a.href = " + href + "; a.download = 'notes.txt'; document.body.appendChild(a); a.click(); 1");
    };
    const auto heardFailure = [&] {
        std::string lines;
        for (const std::string& line : log.lines())
            lines += line.rfind("Failed to load webpage with error: Frame load interrupted: ", 0) == 0 ? line + "\n" : "";
        return lines;
    };
    clickLink("'" + m_server.url("/top") + "'");
    EXPECT_TRUE(e2e::waitUntil([&] { return !heardFailure().empty() && watch.downloadsOver(); }));
    EXPECT_NE(heardFailure().find("the answer is an attachment"), std::string::npos) << heardFailure();
    const int started = watch.downloads();
    clickLink("URL.createObjectURL(new Blob(['a page\\'s notes'], {type: 'text/plain'}))");
    EXPECT_TRUE(e2e::waitUntil([&] { return watch.downloads() == started + 1 && watch.downloadsOver(); }));
    EXPECT_EQ(heardFailure(), "");
    clickLink("'data:text/plain,notes'");
    EXPECT_TRUE(e2e::waitUntil([&] { return watch.downloads() == started + 2 && watch.downloadsOver(); }));
    EXPECT_EQ(heardFailure(), "");
    // And the page itself led to an attachment.
    log.clear();
    eval("location.href = '" + m_server.url("/led") + "'; 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return !heardFailure().empty(); }));
    EXPECT_EQ(eval("location.href"), page);

    // The driver's shader cache is the engine's own, in the application's caches (the XDG cache home of the
    // engine's libraries, which this program shares), never the user's cache folder: written there, and
    // nothing under HOME (its .cache included) below.
    eval("var f = document.createElement('iframe'); f.src = '" + otherSite("/shaders.html") + "'; document.body.appendChild(f); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return watch.ended(otherSite("/shaders-done")) || watch.ended(otherSite("/no-webgl")); }));
    if (watch.ended(otherSite("/shaders-done"))) {
        const std::string shaderCache = std::string(std::getenv("XDG_CACHE_HOME")) + "/mesa_shader_cache";
        EXPECT_NE(shaderCache.rfind(std::string(std::getenv("HOME")) + "/", 0), 0u) << shaderCache;
        EXPECT_TRUE(e2e::waitUntil([&] { std::error_code error; return !std::filesystem::is_empty(shaderCache, error) && !error; }))
            << shaderCache;
    }

    // The payment road's web screen says the page is a download, and offers no retry that would fail the
    // same way; the sign-in page stays empty.
    auto screen = cardpay::BCWebViewController::initWithUrl(m_server.url("/road"), "Notes");
    screen->view();
    EXPECT_TRUE(e2e::waitUntil([&] { return screen->mAlertView() != nullptr; }));
    EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), cardpay::BCLocale::instance()->getStringById(12021));
    auto signIn = messenger::MXUIWebViewControll::initWithDelegate(nullptr);
    signIn->view();
    e2e::LoadWatch signInWatch(std::static_pointer_cast<webengine::WebKitGtkWebView>(signIn->webView())->engine().view());
    signIn->refresh(m_server.url("/signin.bin"));
    EXPECT_TRUE(e2e::waitUntil([&] { return signInWatch.ended(m_server.url("/signin.bin")) && watch.downloadsOver(); }));
    EXPECT_TRUE(signIn->webView()->isHidden());

    EXPECT_EQ(e2e::filesWritten(before, e2e::userFiles()), "");
}

// An advertisement of another site in the application's page that points itself somewhere new every so often
// (as ad frames do), while the in-app browser is open (hidden): no plug-in is reset, and every later call of the
// page is answered, the browser's own included.
TEST_F(ForeignPagesTest, AnAdFrameThatNavigatesItselfWhileTheBrowserIsOpenLeavesEveryCallAnswered)
{
    m_server.route("/ad.html", testsupport::Reply::text(200,
        "<html><body><p>an advertisement</p><script>var n = +(location.search.slice(1) || 0);"
        " if (n < 5) setTimeout(function () { location.href = '/ad.html?' + (n + 1); }, 700);"
        " else parent.postMessage('rotated', '*');</script></body></html>", "text/html"));
    launch();
    browse(m_server.url("/hostile.html"));
    hybtest::LogCapture log;
    eval("window.heard = ''; addEventListener('message', function (e) { heard = e.data; });"
         " var f = document.createElement('iframe'); f.src = '" + otherSite("/ad.html") + "'; document.body.appendChild(f); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("heard") == "rotated"; }, std::chrono::seconds(30)));
    eval("call('device', 'Device', 'getDeviceInfo', []); call('network', 'NetworkStatus', 'getConnectionInfo', []);"
         " call('inject', 'InAppBrowser', 'injectScriptCode', ['1+1']); 1");
    EXPECT_EQ(answer("device").rfind("ok:", 0), 0u) << answer("device");
    EXPECT_EQ(answer("network").rfind("ok:", 0), 0u) << answer("network");
    EXPECT_EQ(answer("inject"), "ok:[2]");
    for (const std::string& line : log.lines()) {
        EXPECT_EQ(line.find("Resetting plugins"), std::string::npos) << line;
        EXPECT_EQ(line.find("Navigation started when state"), std::string::npos) << line;
    }
}

// The application's page goes on to a second page of its own, which frames an advertisement of another site. The
// advertisement tries to send the page back without the person: history.back(), go(-1) (also as a text, and as an
// object read once), with the engine's own calls of a fresh about:blank frame of its own (on that frame and on
// itself), from a data: and a blob: frame's own scripts, also after trying to take the wrapped calls away, and leads
// the page elsewhere (top.location, a link, window.open and a form aimed at "_top"); a sandboxed copy of it tries
// the same (its about:blank frame is of another origin). None of it moves the page or resets its plug-ins. Tapped, the advertisement steps back through its own entry, and the page's own
// history.back() still takes the page back.
TEST_F(ForeignPagesTest, AFrameOfAnotherSiteStepsTheViewsHistoryOnlyWhenTapped)
{
    m_server.route("/ad.html", testsupport::Reply::text(200, R"P(<html><head><style>body { margin: 0; }
button { display: block; width: 100%; height: 96px; }</style></head><body><script>
var sandboxed = self.origin === 'null', tag = sandboxed ? 'sandboxed' : 'ad';
function tell(m) { top.postMessage(tag + ':' + m, '*'); }
function again() { try { return sessionStorage.getItem('tried') === '1'; } catch (e) { return false; } }
if (location.search === '?own') {
  var b = document.createElement('button'); b.textContent = 'back'; b.onclick = function () { history.back(); };
  document.body.appendChild(b); tell('own');
} else if (again()) {
  tell('returned');
} else {
  var outcomes = [];
  function attempt(name, run) { try { var r = run(); outcomes.push(name + '=' + (r === undefined ? 'ok' : r)); } catch (e) { outcomes.push(name + '!' + e.name); } }
  function child(attributes) { var f = document.createElement('iframe'); for (var k in attributes) f.setAttribute(k, attributes[k]); document.body.appendChild(f); return f; }
  function sentBack(asker) { return '<scr' + 'ipt>try { history.back(); history.go(-1); parent.postMessage("' + asker + '", "*"); } catch (e) { parent.postMessage("' + asker + ' threw", "*"); }</scr' + 'ipt>'; }
  attempt('back', function () { return history.back(); });
  attempt('go', function () { return history.go(-1); });
  attempt('go-text', function () { return history.go('-1'); });
  var reads = 0;
  attempt('go-object', function () { return history.go({ valueOf: function () { reads++; return -1; } }) || 'read ' + reads; });
  attempt('delete', function () { return Reflect.deleteProperty(History.prototype, 'back') ? 'deleted' : undefined; });
  attempt('redefine', function () { return Reflect.defineProperty(History.prototype, 'go', { value: function () {} }) ? 'redefined' : undefined; });
  attempt('own-property', function () { history.back = function () { return 'mine'; }; return History.prototype.back.call(history); });
  // Nor does it lead the page elsewhere of its own accord.
  var landed = location.origin + '/landed.html';
  attempt('top-location', function () { top.location = landed; });
  attempt('top-link', function () { var a = document.createElement('a'); a.href = landed; a.target = '_top'; document.body.appendChild(a); a.click(); });
  attempt('top-open', function () { return window.open(landed, '_top') ? 'opened' : undefined; });
  attempt('top-form', function () { var f = document.createElement('form'); f.action = landed; f.target = '_top'; document.body.appendChild(f); f.submit(); });
  var blank = child({}).contentWindow;
  attempt('blank-own', function () { return blank.history.back(); });
  attempt('blank-go', function () { return blank.history.go(-1); });
  attempt('blank-on-frame', function () { return blank.History.prototype.back.call(history); });
  attempt('blank-go-on-frame', function () { return blank.History.prototype.go.call(history, -1); });
  // Once its data: and blob: frames have tried too and it has loaded, the advertisement leads itself on to an entry
  // of its own.
  var children = 0;
  function onwards() { if (children === 2 && document.readyState === 'complete' && !sandboxed) setTimeout(function () { location.href = '?own'; }, 0); }
  addEventListener('message', function (e) { tell(e.data); ++children; onwards(); });
  addEventListener('load', onwards);
  child({ src: URL.createObjectURL(new Blob([sentBack('blob')], { type: 'text/html' })) });
  child({ src: 'data:text/html,' + encodeURIComponent(sentBack('data')) });
  try { sessionStorage.setItem('tried', '1'); } catch (e) {}
  tell('tried ' + outcomes.join(' '));
}
</script></body></html>)P", "text/html"));
    m_server.route("/landed.html", testsupport::Reply::text(200, "<html><body>landed</body></html>", "text/html"));
    m_home.writeBundleFile("www/page2.html", kPage);
    launchAndWaitForThePage();
    eval("location.href = 'page2.html'; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('ready') && location.pathname.endsWith('/page2.html') ? document.getElementById('ready').textContent : ''") == "deviceready"; }));
    const std::string page = eval("location.href");
    hybtest::LogCapture log;
    eval("window.heard = []; addEventListener('message', function (e) { heard.push(String(e.data)); });"
         " function frame(sandbox) { var f = document.createElement('iframe'); if (sandbox) f.sandbox = sandbox;"
         "  f.src = '" + otherSite("/ad.html") + "';"
         "  f.style.cssText = 'position: fixed; top: 0; left: 0; width: 200px; height: 96px; border: 0; z-index: 10000';"
         "  document.body.appendChild(f); return f; }"
         " frame('allow-scripts').style.top = '200px'; frame(''); 1");
    const auto heard = [&](const std::string& what) { return eval("heard.indexOf('" + what + "') >= 0 ? 1 : 0") == "1"; };
    ASSERT_TRUE(e2e::waitUntil([&] { return heard("ad:own") && heard("sandboxed:data") && heard("ad:data") && heard("sandboxed:blob") && heard("ad:blob")
        && eval("heard.filter(function (m) { return m.indexOf(':tried ') > 0; }).length") == "2"; }, std::chrono::seconds(30))) << eval("heard.join('\\n')");
    const std::string tried = eval("heard.filter(function (m) { return m.indexOf(':tried ') > 0; }).sort().join('\\n')");
    const std::string common = "tried back=ok go=ok go-text=ok go-object=read 1 delete=ok redefine=ok own-property=ok"
                               " top-location!SecurityError top-link=ok top-open=ok top-form=ok";
    EXPECT_EQ(tried, "ad:" + common + " blank-own=ok blank-go=ok blank-on-frame=ok blank-go-on-frame=ok\n"
                     "sandboxed:" + common + " blank-own!SecurityError blank-go!SecurityError blank-on-frame!SecurityError"
                     " blank-go-on-frame!SecurityError");
    EXPECT_EQ(eval("location.href"), page);

    // Tapped, the advertisement's own step back goes: to its own earlier entry, the page staying.
    m_host->update();
    const platform::Rect view = m_webView->convertRectTo(m_webView->bounds(), nullptr);
    const platform::Point point{view.origin.x + 100, view.origin.y + 48};
    e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, point, 1);
    e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, point, 1, GDK_BUTTON1_MASK);
    EXPECT_TRUE(e2e::waitUntil([&] { return heard("ad:returned"); })) << eval("heard.join('\\n')");
    EXPECT_EQ(eval("location.href"), page);
    eval("call('device', 'Device', 'getDeviceInfo', []); 1");
    EXPECT_EQ(answer("device").rfind("ok:", 0), 0u) << answer("device");
    for (const std::string& line : log.lines()) {
        EXPECT_EQ(line.find("Resetting plugins"), std::string::npos) << line;
        EXPECT_EQ(line.find("Navigation started when state"), std::string::npos) << line;
    }

    // A frame of the application's own file steps as the page does: its calls are the engine's own.
    eval("window.own = ''; var o = document.createElement('iframe'); o.src = 'index.html?framed';"
         " o.onload = function () { own = String(o.contentWindow.History.prototype.back); }; document.body.appendChild(o); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !eval("own").empty(); }));
    EXPECT_NE(eval("own").find("[native code]"), std::string::npos) << eval("own");

    // The page's own step back still goes.
    eval("history.back(); 1");
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("location.pathname").ends_with("/www/index.html"); })) << eval("location.href");
}

// A site in the in-app browser puts 1 GiB of Blobs into IndexedDB: it hears QuotaExceededError once its origin's
// 256 MiB are stored; again at once in a web process started anew (what it keeps on disk counts, as in a later run);
// and what its worker stored counts with what its window stores. What the engine writes for them lies in the
// application's folder and the engine's temporary folder (which the program settled in its own), none of it
// anywhere else in the program's folder.
TEST_F(ForeignPagesTest, ASiteStoringBlobsInTheBrowserHearsQuotaExceededErrorAndWritesOnlyInTheApplicationsFolder)
{
    m_server.route("/filler.html", testsupport::Reply::text(200, e2e::kBlobFiller, "text/html"));
    launch();
    const std::optional<std::string> engine = webengine::WebContext::temporaryFolder();
    ASSERT_TRUE(engine);
    const std::string program = std::getenv(hybtest::kPrivateRootVariable);
    // The bytes of the files outside the engine's temporary folder and the application's home (which lies in the
    // program's temporary folder, the engine's): none of a Blob's size more.
    const auto outside = [&] { return e2e::filesNamed(program, "", *engine).second; };
    const std::uintmax_t before = outside();
    const struct {
        std::string url;
        bool anew; // its web process ended first
        std::string heard;
    } cases[] = {
        {otherSite("/filler.html"), false, "QuotaExceededError-16"},
        {otherSite("/filler.html"), true, "QuotaExceededError-0"},
        // Another origin: its worker's 176 MiB, then the window's 80 MiB, its 256 MiB.
        {m_server.url("/filler.html#11"), false, "QuotaExceededError-5"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.url + (c.anew ? " anew" : ""));
        eval("events = []; browse('" + c.url + "'); 1");
        ASSERT_TRUE(e2e::waitUntil([&] { return browserView() && !browserView()->stringByEvaluatingJavaScriptFromString("window.filled || ''").empty(); },
                                   std::chrono::seconds(300)));
        EXPECT_EQ(browserView()->stringByEvaluatingJavaScriptFromString("window.filled"), c.heard);
        EXPECT_LT(outside(), before + (16u << 20));
        if (i == 0) {
            EXPECT_GE(e2e::filesNamed(m_home.root(), "").second, 256u << 20) << "what it stored is in the application's folder";
        }
        // The next site is shown by a web process that has counted nothing.
        if (i + 1 < std::size(cases) && cases[i + 1].anew)
            webkit_web_view_terminate_web_process(std::static_pointer_cast<webengine::WebKitGtkWebView>(browserView())->engine().view());
        eval("hybrid.exec(null, null, 'InAppBrowser', 'close', []); 1");
        ASSERT_TRUE(e2e::waitUntil([&] { return !browserView(); }));
    }
}

// A PDF shows in the engine's own viewer in every view, as the phone's web view shows one: the application's
// view led to a PDF of the web, a PDF of the bundle in a frame of the application's page, the payment road's
// web screen (no failure shown) and the sign-in page. Each picture shows the PDF's page drawn (its red block
// and its text), where a blank page has neither.
TEST_F(ForeignPagesTest, APDFShowsInEveryView)
{
    const std::string pdf = e2e::redBlockPDF();
    m_server.route("/statement.pdf", testsupport::Reply::text(200, pdf, "application/pdf"));
    m_home.writeBundleFile("www/statement.pdf", pdf);
    launch();
    std::shared_ptr<platform::Window> window = (*m_launched)->window();
    // Shows a screen's view over the application's, as a presented screen is.
    const auto present = [&](const std::shared_ptr<platform::View>& view) {
        view->setFrame(window->bounds());
        window->addSubview(view);
        m_host->update();
    };
    std::shared_ptr<cardpay::BCWebViewController> road;
    std::shared_ptr<messenger::MXUIWebViewControll> signIn;
    struct Case {
        const char* name;
        std::function<std::shared_ptr<platform::WebView>()> show;
    };
    const Case cases[] = {
        {"frame_of_the_application_page", [&] {
             eval("var f = document.createElement('iframe'); f.src = 'statement.pdf';"
                  " f.style.cssText = 'position: fixed; left: 0; top: 0; width: 100%; height: 100%; border: 0'; document.body.appendChild(f); 1");
             return std::static_pointer_cast<platform::WebView>(m_webView);
         }},
        {"application_view", [&] {
             eval("location.href = '" + m_server.url("/statement.pdf") + "'; 1");
             return std::static_pointer_cast<platform::WebView>(m_webView);
         }},
        {"payment_road_screen", [&] {
             road = cardpay::BCWebViewController::initWithUrl(m_server.url("/statement.pdf"), "Statement");
             present(road->view());
             return road->webView();
         }},
        {"sign_in_page", [&] {
             signIn = messenger::MXUIWebViewControll::initWithDelegate(nullptr);
             present(signIn->view());
             signIn->refresh(m_server.url("/statement.pdf"));
             return signIn->webView();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto view = std::static_pointer_cast<webengine::WebKitGtkWebView>(c.show());
        ASSERT_TRUE(view);
        EXPECT_TRUE(e2e::waitUntil([&] { return !view->isHidden(); })) << "the screen shows its page";
        EXPECT_TRUE(e2e::showsRedBlockPDF(view->engine(), std::string("pdf_in_") + c.name));
    }
    EXPECT_FALSE(road->mAlertView()) << "the road's screen shows no failure";
    road->view()->removeFromSuperview();
    signIn->view()->removeFromSuperview();
}
