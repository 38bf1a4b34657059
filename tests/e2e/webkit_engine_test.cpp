// The WebKit engine in a real web view: navigation questions, load events, routed sub-resources, synchronous
// evaluation, user agent and website data.
#include "EngineHarness.h"

#include "support/HTTPTestServer.h"
#include "platform/net/URLProtocol.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using e2e::RecordingClient;
using e2e::TempFolder;
using e2e::waitUntil;
using webengine::WebKitEngine;

namespace {

// Answers with one canned HTTP reply, from the loading thread.
void answer(platform::URLProtocol& protocol, int status, const std::string& type, const std::string& body)
{
    platform::HTTPHeaderFields headers;
    (void)headers.setValue("Content-Type", type);
    protocol.client()->didReceiveResponse(protocol, platform::URLResponse::http(protocol.request().url(), status, headers),
                                          platform::URLCacheStoragePolicy::NotAllowed);
    protocol.client()->didLoadData(protocol, platform::Bytes(body.begin(), body.end()));
    protocol.client()->didFinishLoading(protocol);
}

// Refuses every load of the host "refused.example" with a 401 and a rejection text.
class RefusingProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const platform::URLRequest& request)
    {
        if (request.urlString().rfind("http://refused.example/", 0) != 0)
            return false;
        std::lock_guard lock(mutex());
        mainDocument() = request.mainDocumentURL() ? request.mainDocumentURL()->absoluteString() : "";
        return true;
    }
    static std::string lastMainDocumentURL()
    {
        std::lock_guard lock(mutex());
        return mainDocument();
    }
    void startLoading() override { answer(*this, 401, "text/plain", "ERROR whitelist rejection: url='" + request().urlString() + "'"); }
    void stopLoading() override {}

private:
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::string& mainDocument()
    {
        static std::string url;
        return url;
    }
};

// Serves every "hybfile:" URL with a 1x1 GIF.
class TestFileProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const platform::URLRequest& request) { return request.scheme() == "hybfile"; }
    void startLoading() override
    {
        answer(*this, 200, "image/gif",
               std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff\x21\xf9\x04\x01\x00\x00\x00"
                           "\x00\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b", 43));
    }
    void stopLoading() override {}
};

// Sends the response and a first part of the body at once; the test sends the rest (or a failure) later.
class SteppedProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static std::shared_ptr<platform::URLProtocol>& waiting()
    {
        static std::shared_ptr<platform::URLProtocol> protocol;
        return protocol;
    }
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static bool canInitWithRequest(const platform::URLRequest& request) { return request.scheme() == "stepped"; }
    void startLoading() override
    {
        platform::HTTPHeaderFields headers;
        (void)headers.setValue("Content-Type", "text/plain");
        client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 200, headers),
                                     platform::URLCacheStoragePolicy::NotAllowed);
        const std::string first = "first part;";
        client()->didLoadData(*this, platform::Bytes(first.begin(), first.end()));
        std::lock_guard lock(mutex());
        waiting() = shared_from_this();
    }
    void stopLoading() override {}
};

// Registers a protocol class for one test.
class ScopedProtocol {
public:
    explicit ScopedProtocol(platform::URLProtocol::Class protocolClass) : m_name(protocolClass.name)
    {
        platform::URLProtocol::registerClass(std::move(protocolClass));
    }
    ~ScopedProtocol() { platform::URLProtocol::unregisterClass(m_name); }

private:
    std::string m_name;
};

class WebKitEngineTest : public e2e::EngineFixture {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        startEngine(m_client);
    }

    void loadPage(const std::string& name, const std::string& html)
    {
        m_pages.write(name, html);
        const int before = m_client.finished;
        m_engine->load(m_pages.url(name));
        ASSERT_TRUE(waitUntil([&] { return m_client.finished > before || m_client.failed > 0; }));
        ASSERT_EQ(m_client.failed, 0) << m_client.lastError.localizedDescription();
    }

    RecordingClient m_client;
};

TEST_F(WebKitEngineTest, LoadAsksFirstThenStartsAndFinishesOnce)
{
    m_pages.write("frame.html", "<p>frame</p>");
    loadPage("index.html", "<html><body><iframe src='frame.html'></iframe>hello</body></html>");
    ASSERT_GE(m_client.events.size(), 3u);
    EXPECT_EQ(m_client.events[0], "should:" + m_pages.url("index.html"));
    EXPECT_EQ(m_client.events[1], "start");
    EXPECT_EQ(std::count(m_client.events.begin(), m_client.events.end(), "start"), 1);
    EXPECT_EQ(std::count(m_client.events.begin(), m_client.events.end(), "finish"), 1);
    EXPECT_EQ(m_engine->url(), m_pages.url("index.html"));
}

TEST_F(WebKitEngineTest, LoadEventsThatCameDuringEvaluationsReachTheClientOnceAndInOrder)
{
    // The page is polled while it loads: its start and finish come during the waits, and wait together.
    m_engine->loadHTML("<html><body><script>window.ready = true;</script></body></html>", "file:///");
    ASSERT_TRUE(waitUntil([&] {
        auto ready = m_engine->evaluate("window.ready === true");
        return ready.ok() && *ready == "true";
    }));
    ASSERT_TRUE(waitUntil([&] { return m_client.finished > 0; }));
    ASSERT_EQ(m_client.events.size(), 3u);
    EXPECT_EQ(m_client.events[1], "start");
    EXPECT_EQ(m_client.events[2], "finish");
}

TEST_F(WebKitEngineTest, EvaluationReturnsTheCompletionValueAsText)
{
    loadPage("index.html", "<html><body><script>var answer = {a: 1};</script></body></html>");
    EXPECT_EQ(eval("1+1"), "2");
    EXPECT_EQ(eval("'text'"), "text");
    EXPECT_EQ(eval("JSON.stringify(answer)"), "{\"a\":1}");
    EXPECT_EQ(eval("undefined"), "");
    EXPECT_EQ(eval("null"), "");
    EXPECT_EQ(eval("true"), "true");
    EXPECT_EQ(eval("throw new Error('x')"), "");
    EXPECT_EQ(eval("document.readyState"), "complete");
}

TEST_F(WebKitEngineTest, EvaluationTimesOutWhenThePageNeverAnswers)
{
    loadPage("index.html", "<html><body></body></html>");
    auto result = m_engine->evaluate("while (true) {}", 300ms);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.ok() ? 0 : result.error().code, webengine::kEvaluationTimedOut);
    // The page's process spins for ever and closing its view does not stop it: it would take a core
    // from every later test of the program (a load under which their waits time out). It is ended here,
    // and with it every web process this program had: the others' views are closed.
    const std::vector<pid_t> before = hybtest::childProcesses();
    webkit_web_view_terminate_web_process(m_engine->view());
    auto running = [](pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t close = text.rfind(')');
        const bool webProcess = text.find("(WebKitWebProces") != std::string::npos;
        return webProcess && close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
    };
    EXPECT_TRUE(waitUntil([&] { return std::none_of(before.begin(), before.end(), running); }));
}

TEST_F(WebKitEngineTest, RefusedNavigationsDoNotLoadAndHybSignalsReachTheClient)
{
    m_client.onNavigation = [](const webengine::NavigationRequest& r) { return r.url.rfind("hyb:", 0) != 0; };
    loadPage("index.html", "<html><body><script>"
                           "var f = document.createElement('iframe'); f.src = 'hyb://ready';"
                           "document.body.appendChild(f);</script></body></html>");
    ASSERT_TRUE(waitUntil([&] {
        for (auto& n : m_client.navigations)
            if (n.url.rfind("hyb://ready", 0) == 0)
                return true;
        return false;
    }));
    m_engine->evaluate("location.href = 'hyb://top'").value();
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.back().url.rfind("hyb://top", 0) == 0; }));
    EXPECT_EQ(m_engine->url(), m_pages.url("index.html"));
    EXPECT_EQ(m_client.failed, 0);
}

TEST_F(WebKitEngineTest, FragmentChangesAreReportedWithTheirText)
{
    loadPage("index.html", "<html><body></body></html>");
    const size_t before = m_client.navigations.size();
    eval("location.hash = '%01' + encodeURIComponent('[[\"a\",\"Cache\",\"clear\",[]]]')");
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > before; }));
    const auto& n = m_client.navigations.back();
    EXPECT_TRUE(n.isFragmentChange);
    const auto fragment = n.url.substr(n.url.find('#') + 1);
    EXPECT_EQ(fragment.substr(0, 3), "%01");
    eval("location.hash = '%02'");
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > before + 1; }));
    EXPECT_NE(m_client.navigations.back().url.find("#%02"), std::string::npos);
    // No page load for a fragment change.
    EXPECT_EQ(std::count(m_client.events.begin(), m_client.events.end(), "start"), 1);
}

TEST_F(WebKitEngineTest, BridgeXHRIsAnsweredAtOnceAndReachesTheClientWithItsHeaders)
{
    m_engine->setUserAgent("TestAgent/1.0 (12345)");
    loadPage("index.html", "<html><body><script>"
                           "var x = new XMLHttpRequest(); x.open('GET', '/!hyb_exec', true);"
                           "x.setRequestHeader('vc', '12345'); x.setRequestHeader('rc', '7');"
                           "x.setRequestHeader('cmds', '[[\"id1\",\"Cache\",\"clear\",[]]]');"
                           "x.onload = function() { window.status1 = x.status + ':' + x.getResponseHeader('Content-Type') + ':' + x.responseText; };"
                           "x.onerror = function() { window.status1 = 'error'; }; x.send();"
                           "</script></body></html>");
    ASSERT_TRUE(waitForPage("window.status1 !== undefined"));
    EXPECT_EQ(eval("window.status1"), "200:text/plain:");
    ASSERT_TRUE(waitUntil([&] { return !m_client.bridgeRequests.empty(); }));
    const auto& [url, headers] = m_client.bridgeRequests.front();
    EXPECT_EQ(url, "file:///!hyb_exec");
    auto header = [&](const std::string& name) { return e2e::headerValue(headers, name).value_or("<none>"); };
    EXPECT_EQ(header("vc"), "12345");
    EXPECT_EQ(header("rc"), "7");
    EXPECT_EQ(header("cmds"), "[[\"id1\",\"Cache\",\"clear\",[]]]");
    EXPECT_EQ(header("User-Agent"), "TestAgent/1.0 (12345)");
    // No routed load for it: the engine answered it without one.
    EXPECT_EQ(std::count_if(m_client.resourceURLs.begin(), m_client.resourceURLs.end(),
                            [](const std::string& u) { return u.find("!hyb_exec") != std::string::npos; }), 0);

    // The status a bridge request with commands to `url` (a script expression) ends with.
    auto statusOfBridgeXHR = [&](const std::string& url) {
        eval("window.ended = undefined; var y = new XMLHttpRequest(); y.open('GET', " + url + ", true);"
             "y.setRequestHeader('vc', '12345'); y.setRequestHeader('rc', '9');"
             "y.setRequestHeader('cmds', '[[\"id9\",\"Cache\",\"clear\",[]]]');"
             "y.onloadend = function() { window.ended = String(y.status); }; y.send(); 0");
        return waitForPage("window.ended !== undefined") ? eval("window.ended") : "<no end>";
    };
    // A bridge route the page writes itself hands nothing to the client (only the web process's module
    // writes them), and the page's request fails.
    EXPECT_EQ(statusOfBridgeXHR("'hybroute://exec/?' + encodeURIComponent('file:///!hyb_exec?9')"), "0");
    EXPECT_EQ(m_client.bridgeRequests.size(), 1u);

    // A view of foreign pages has no bridge: its page's request fails, and nothing is handed over.
    m_engine->setForeignPages(true);
    EXPECT_EQ(statusOfBridgeXHR("'/!hyb_exec?3'"), "0");
    EXPECT_EQ(m_client.bridgeRequests.size(), 1u);
}

TEST_F(WebKitEngineTest, SynchronousXHRGetsItsAnswerAndEvaluationIsRefusedInsideTheHandler)
{
    std::optional<platform::Result<std::string>> insideHandler;
    m_client.onResource = [&](const std::shared_ptr<webengine::RoutedRequest>& request) {
        if (request->url().find("/sync-answer") == std::string::npos)
            return false;
        insideHandler = m_engine->evaluate("1");
        request->respond(200, {{"Content-Type", "text/plain"}}, "sync-ok");
        return true;
    };
    loadPage("index.html", "<html><body></body></html>");
    eval("var s = new XMLHttpRequest(); s.open('GET', '/sync-answer', false);"
         "s.send(); window.syncAnswer = s.status + ':' + s.responseText;");
    EXPECT_EQ(eval("window.syncAnswer"), "200:sync-ok");
    ASSERT_TRUE(insideHandler.has_value());
    ASSERT_FALSE(insideHandler->ok());
    EXPECT_EQ(insideHandler->error().code, webengine::kEvaluationRefused);
}

TEST_F(WebKitEngineTest, RegisteredProtocolsAnswerSubResourcesAndTheRestLoadsThroughURLLoading)
{
    // A refused host gets the protocol's 401; the loopback server (an allowed host) and the page's own
    // files load through the built-in loaders; "hybfile:" is served by its protocol.
    testsupport::HTTPTestServer server;
    server.route("/data.json", testsupport::Reply::text(200, "{\"from\":\"server\"}", "application/json")
                                   .withHeader("Access-Control-Allow-Origin", "*"));
    ScopedProtocol refusing(platform::URLProtocol::classOf<RefusingProtocol>("RefusingProtocol"));
    ScopedProtocol files(platform::URLProtocol::classOf<TestFileProtocol>("TestFileProtocol"));
    m_pages.write("data.txt", "allowed-data");
    loadPage("index.html", "<html><body><script>"
                           "function get(url, key) { var x = new XMLHttpRequest(); x.open('GET', url, true);"
                           "x.onload = function() { window[key] = x.status + ':' + x.responseText; };"
                           "x.onerror = function() { window[key] = 'error'; }; x.send(); }"
                           "get('http://refused.example/a.json', 'refused'); get('data.txt', 'file');"
                           "get('" + server.url("/data.json") + "', 'server');"
                           "</script><img src='hybfile://localhost/persistent/a.gif'"
                           " onload='window.img = \"loaded\"' onerror='window.img = \"error\"'>"
                           "<img src='missing.png' onerror='window.missing = \"error\"'></body></html>");
    ASSERT_TRUE(waitForPage("window.refused !== undefined && window.file !== undefined && window.server !== undefined"
                            " && window.img !== undefined && window.missing !== undefined"));
    EXPECT_EQ(eval("window.refused"), "401:ERROR whitelist rejection: url='http://refused.example/a.json'");
    EXPECT_EQ(eval("window.file"), "200:allowed-data");
    EXPECT_EQ(eval("window.server"), "200:{\"from\":\"server\"}");
    EXPECT_EQ(eval("window.img"), "loaded");
    EXPECT_EQ(eval("window.missing"), "error");
    EXPECT_EQ(server.requests().size(), 1u);
    // The main document travels with the load.
    EXPECT_EQ(RefusingProtocol::lastMainDocumentURL(), m_pages.url("index.html"));
}

TEST_F(WebKitEngineTest, APagesPostWhoseReplyIsLostIsSentOnce)
{
    // A page's POST (a web sign-in's form, say) loads through URL loading. The server reads it, then closes
    // the connection it came on, kept alive by the page's GET before, without a reply: the page hears a
    // failure and the server got the POST once.
    testsupport::HTTPTestServer server;
    server.route("/lost", testsupport::Reply::closedWithoutReply());
    loadPage("index.html", "<html><body><script>"
                           "var k = new XMLHttpRequest(); k.open('GET', '" + server.url("/kept-alive") + "', true);"
                           "k.onloadend = function() {"
                           "  var p = new XMLHttpRequest(); p.open('POST', '" + server.url("/lost") + "', true);"
                           "  p.onloadend = function() { window.posted = p.status; }; p.send('sign-in=once'); };"
                           "k.send();"
                           "</script></body></html>");
    ASSERT_TRUE(waitForPage("window.posted !== undefined"));
    EXPECT_EQ(eval("window.posted"), "0");
    std::size_t arrivals = 0;
    for (const auto& request : server.requests())
        arrivals += request.path == "/lost";
    EXPECT_EQ(arrivals, 1u);
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(WebKitEngineTest, APagesFormPostWhoseReplyIsLostIsSentOnce)
{
    // A form's POST (the web sign-in's) is a navigation the engine loads itself, on a connection of its own.
    for (const char* target : {"/lost", "/moved"}) {
        testsupport::HTTPTestServer server;
        server.route("/lost", testsupport::Reply::closedWithoutReply());
        server.route("/moved", testsupport::Reply::text(307, "").withHeader("Location", "/lost"));
        server.route("/form", testsupport::Reply::text(200, std::string("<html><body><form method='post' action='") + target +
                                                                "'><input name='code' value='1234'></form>"
                                                                "<script>window.onload = function() { setTimeout(function() {"
                                                                " document.forms[0].submit(); }, 200); };</script></body></html>",
                                                            "text/html"));
        m_engine->load(server.url("/form"));
        ASSERT_TRUE(waitUntil([&] {
            for (const auto& request : server.requests())
                if (request.path == "/lost")
                    return true;
            return false;
        }));
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        (void)waitUntil([&] { return std::chrono::steady_clock::now() > until; });
        std::size_t arrivals = 0;
        for (const auto& request : server.requests())
            arrivals += request.path == "/lost";
        EXPECT_EQ(arrivals, 1u) << target;
    }
}

TEST_F(WebKitEngineTest, BodiesReachThePageAsTheyArriveAndMayBreakOff)
{
    ScopedProtocol stepped(platform::URLProtocol::classOf<SteppedProtocol>("SteppedProtocol"));
    webengine::WebContext::registerApplicationScheme("stepped");
    loadPage("index.html", "<html><body><script>"
                           "function get(url, key) { var x = new XMLHttpRequest(); x.open('GET', url, true); window[key] = [];"
                           "x.onprogress = function() { window[key].push('progress:' + x.responseText); };"
                           "x.onload = function() { window[key].push('load:' + x.responseText); };"
                           "x.onerror = function() { window[key].push('error'); }; x.send(); }"
                           "</script></body></html>");
    auto releaseWaiting = [](const std::function<void(platform::URLProtocol&)>& rest) {
        EXPECT_TRUE(waitUntil([&] {
            std::lock_guard lock(SteppedProtocol::mutex());
            return SteppedProtocol::waiting() != nullptr;
        }));
        std::shared_ptr<platform::URLProtocol> protocol;
        {
            std::lock_guard lock(SteppedProtocol::mutex());
            protocol = std::exchange(SteppedProtocol::waiting(), nullptr);
        }
        if (protocol)
            rest(*protocol);
    };
    eval("get('stepped://a/whole', 'whole')");
    // The first part is in the page while the rest has not been sent.
    ASSERT_TRUE(waitForPage("whole.indexOf('progress:first part;') >= 0"));
    releaseWaiting([](platform::URLProtocol& p) {
        const std::string rest = "second part";
        p.client()->didLoadData(p, platform::Bytes(rest.begin(), rest.end()));
        p.client()->didFinishLoading(p);
    });
    ASSERT_TRUE(waitForPage("whole[whole.length - 1].indexOf('load:') == 0"));
    EXPECT_EQ(eval("whole[whole.length - 1]"), "load:first part;second part");

    eval("get('stepped://a/broken', 'broken')");
    ASSERT_TRUE(waitForPage("broken.indexOf('progress:first part;') >= 0"));
    releaseWaiting([](platform::URLProtocol& p) {
        p.client()->didFailWithError(p, platform::Error(platform::kURLErrorDomain, -1005, "connection lost"));
    });
    ASSERT_TRUE(waitForPage("broken[broken.length - 1] == 'error'"));
}

TEST_F(WebKitEngineTest, FailedTopLevelLoadIsReportedOnce)
{
    m_engine->load(m_pages.url("absent.html"));
    ASSERT_TRUE(waitUntil([&] { return m_client.failed > 0; }));
    EXPECT_EQ(m_client.finished, 0);
    EXPECT_EQ(m_client.failed, 1);
}

TEST(WebKitEngineDataTest, WebsiteDataIsKeptInTheGivenFolder)
{
    REQUIRE_DISPLAY();
    TempFolder home;
    home.write("www/index.html", "<html><body><script>localStorage.setItem('k', 'v');</script></body></html>");
    RecordingClient client;
    {
        WebKitEngine engine(client, {home.path() + "/Library/WebKit", home.path() + "/Library/Caches/WebKit"});
        engine.load(home.url("www/index.html"));
        ASSERT_TRUE(waitUntil([&] { return client.finished > 0; }));
        EXPECT_EQ(engine.evaluate("localStorage.getItem('k')").valueOr(""), "v");
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(home.path() + "/Library/WebKit"); }));
    }
}

} // namespace

// A document the view is asked to load is the main frame's, even when a frame of the page it replaces waits
// for the same address (a frame whose load was refused shows nothing and keeps its address).
TEST_F(WebKitEngineTest, TheDocumentTheViewIsAskedToLoadIsAskedAsAPageLoad)
{
    m_pages.write("next.html", "<p>next</p>");
    loadPage("index.html", "<html><body></body></html>");
    m_client.onNavigation = [](const webengine::NavigationRequest& request) { return !request.isSubFrame; };
    const size_t before = m_client.navigations.size();
    eval("var f = document.createElement('iframe'); f.src = 'next.html'; document.body.appendChild(f); 1");
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > before; }));
    ASSERT_TRUE(m_client.navigations.back().isSubFrame);

    const size_t asked = m_client.navigations.size();
    m_engine->load(m_pages.url("next.html"));
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > asked; }));
    EXPECT_EQ(m_client.navigations.back().url, m_pages.url("next.html"));
    ASSERT_FALSE(m_client.navigations.back().isSubFrame);
    EXPECT_EQ(m_client.navigations.back().mainDocumentURL, m_pages.url("next.html"));
    ASSERT_TRUE(waitUntil([&] { return m_client.finished == 2 || m_client.failed > 0; }));
    EXPECT_EQ(eval("document.body.textContent"), "next");
    EXPECT_EQ(m_client.failed, 0);
}

// The same for a reload and a step back: a frame the page holds that refers to the page itself (WebKit never
// loads it) does not take over the view's own navigation.
TEST_F(WebKitEngineTest, AReloadAndAStepBackAreAskedAsPageLoads)
{
    loadPage("index.html", "<html><body><iframe src='index.html'></iframe></body></html>");
    loadPage("next.html", "<html><body><iframe src='next.html'></iframe></body></html>");
    m_client.onNavigation = [](const webengine::NavigationRequest& request) { return !request.isSubFrame; };
    const auto expectPageLoad = [&](const std::string& name, const std::function<void()>& navigate) {
        const size_t asked = m_client.navigations.size();
        const int finished = m_client.finished;
        navigate();
        ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > asked; }));
        EXPECT_EQ(m_client.navigations.back().url, m_pages.url(name));
        ASSERT_FALSE(m_client.navigations.back().isSubFrame) << name;
        EXPECT_EQ(m_client.navigations.back().mainDocumentURL, m_pages.url(name));
        ASSERT_TRUE(waitUntil([&] { return m_client.finished > finished || m_client.failed > 0; }));
    };
    expectPageLoad("next.html", [&] { m_engine->reload(); });
    expectPageLoad("index.html", [&] { m_engine->goBack(); });
    EXPECT_EQ(m_client.failed, 0);
}

// A frame of the page that asks for the document the view was just asked to load, ahead of the view's own
// navigation (the page was busy when the load was asked for), does not turn that navigation into a frame's
// that the client refuses. A load the client refuses is not waited for: a frame asking for it later is a frame.
TEST_F(WebKitEngineTest, AFrameAskingFirstForTheDocumentTheViewLoadsDoesNotTakeItOver)
{
    m_pages.write("next.html", "<p>next</p>");
    m_pages.write("refused.html", "<p>refused</p>");
    loadPage("index.html", "<html><body></body></html>");
    m_client.onNavigation = [&](const webengine::NavigationRequest& request) {
        return !request.isSubFrame && request.url != m_pages.url("refused.html");
    };
    size_t asked = m_client.navigations.size();
    m_engine->load(m_pages.url("refused.html"));
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > asked; }));
    ASSERT_FALSE(m_client.navigations.back().isSubFrame);
    asked = m_client.navigations.size();
    eval("var f = document.createElement('iframe'); f.src = 'refused.html'; document.body.appendChild(f); 1");
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > asked; }));
    EXPECT_TRUE(m_client.navigations.back().isSubFrame) << "a refused load is still taken for the view's own";

    const int finished = m_client.finished;
    // The page is busy when the load is asked for; the frame it adds then asks first.
    eval("setTimeout(function () { var t = Date.now(); while (Date.now() - t < 400) {}"
         " var f = document.createElement('iframe'); f.src = 'next.html'; document.body.appendChild(f); }, 0); 1");
    std::this_thread::sleep_for(150ms);
    m_engine->load(m_pages.url("next.html"));
    ASSERT_TRUE(waitUntil([&] { return m_client.finished > finished || m_client.failed > 0; })) << "the load was refused";
    EXPECT_EQ(eval("document.body.textContent"), "next");
    EXPECT_EQ(m_client.failed, 0);
}

// A reload asked for while the engine puts back a refused fragment change (the page exhausted the history's
// replacements, so the URL comes back by a fragment change of the engine's own, to the address the reload
// asks for) is put to the client as the page load it is, not taken for the engine's own change.
TEST_F(WebKitEngineTest, AReloadWhileARefusedFragmentChangeIsPutBackIsAskedAsAPageLoad)
{
    loadPage("index.html", "<html><body></body></html>");
    m_client.onNavigation = [](const webengine::NavigationRequest& request) { return request.url.find("#%01") == std::string::npos; };
    const size_t asked = m_client.navigations.size();
    const int finished = m_client.finished;
    // The page is still busy when the reload is asked for: the engine's change and the reload come together.
    eval("setTimeout(function () { for (var k = 0; k < 120; k++) { try { history.replaceState(null, '', location.href); } catch (e) {} }"
         " location.hash = '%01'; var t = Date.now(); while (Date.now() - t < 500) {} }, 0); 1");
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > asked; }));
    m_engine->reload();
    ASSERT_TRUE(waitUntil([&] { return m_client.finished > finished || m_client.failed > 0; }));
    const auto reload = std::find_if(m_client.navigations.begin() + asked, m_client.navigations.end(),
                                     [](const webengine::NavigationRequest& request) { return request.type == webengine::NavigationType::Reload; });
    ASSERT_NE(reload, m_client.navigations.end()) << "the client was not asked about the reload";
    EXPECT_FALSE(reload->isFragmentChange);
    EXPECT_FALSE(reload->isSubFrame);
    EXPECT_EQ(reload->mainDocumentURL, reload->url);
    EXPECT_EQ(m_client.failed, 0);
}

TEST_F(WebKitEngineTest, TheFirstLoadOfAFrameThePageAddsIsAskedAsTheFramesNotAsAPageLoad)
{
    m_pages.write("frame.html", "<p>frame</p>");
    m_pages.write("next.html", "<p>next</p>");
    loadPage("index.html", "<html><body></body></html>");
    const size_t before = m_client.navigations.size();
    eval("var f = document.createElement('iframe'); f.src = 'frame.html?added'; document.body.appendChild(f); 1");
    ASSERT_TRUE(waitUntil([&] { return m_client.navigations.size() > before; }));
    const auto frame = m_client.navigations.back();
    EXPECT_EQ(frame.url, m_pages.url("frame.html?added"));
    EXPECT_TRUE(frame.isSubFrame);
    EXPECT_EQ(frame.mainDocumentURL, m_pages.url("index.html"));
    ASSERT_TRUE(waitForPage("f.contentDocument.body.textContent === 'frame'"));

    // A page load to the same address is the main frame's.
    eval("location.href = 'frame.html?added'; 1");
    ASSERT_TRUE(waitUntil([&] { return m_client.finished == 2; }));
    EXPECT_FALSE(m_client.navigations.back().isSubFrame);
    EXPECT_EQ(m_client.navigations.back().mainDocumentURL, m_pages.url("frame.html?added"));
    EXPECT_EQ(std::count(m_client.events.begin(), m_client.events.end(), "start"), 2);
    EXPECT_EQ(m_client.failed, 0);
}

TEST_F(WebKitEngineTest, AWebPageReadsAnotherOriginOnlyAsThatOriginsAnswerAllows)
{
    // A page of one loopback server reads its own origin's resources, and another server's only when that
    // server's answer names it; the application's file page reads them all. In a view of foreign pages too.
    testsupport::HTTPTestServer own, other;
    own.route("/page.html", testsupport::Reply::text(200, "<html><body>page</body></html>", "text/html"));
    own.route("/own.txt", testsupport::Reply::text(200, "own-data", "text/plain"));
    other.route("/secret", testsupport::Reply::text(200, "secret-data", "text/plain"));
    other.route("/shared", testsupport::Reply::text(200, "shared-data", "text/plain")
                               .withHeader("Access-Control-Allow-Origin", own.url("/").substr(0, own.url("/").size() - 1)));
    const std::string read = "window.got = {}; function get(url, key) { var x = new XMLHttpRequest(); x.open('POST', url, true);"
                             " x.onloadend = function () { got[key] = x.status + ':' + x.responseText; }; x.send('b'); }"
                             "get('" + own.url("/own.txt") + "', 'own'); get('" + other.url("/secret") + "', 'secret');"
                             " get('" + other.url("/shared") + "', 'shared'); 1";
    const std::string done = "Object.keys(got).length == 3";
    for (bool foreign : {false, true}) {
        m_engine->setForeignPages(foreign);
        const int before = m_client.finished;
        m_engine->load(own.url("/page.html"));
        ASSERT_TRUE(waitUntil([&] { return m_client.finished > before; }));
        eval(read);
        ASSERT_TRUE(waitForPage(done));
        EXPECT_EQ(eval("got.own"), "200:own-data") << foreign;
        EXPECT_EQ(eval("got.secret"), "0:") << foreign;
        EXPECT_EQ(eval("got.shared"), "200:shared-data") << foreign;
    }
    m_engine->setForeignPages(false);
    loadPage("index.html", "<html><body></body></html>");
    eval(read);
    ASSERT_TRUE(waitForPage(done));
    EXPECT_EQ(eval("got.own + ' ' + got.secret"), "200:own-data 200:secret-data");
}

// A long poll of the application's file page is answered after a minute and a half: its load waits as the engine's
// own would (nothing of the application's cuts it at a minute).
TEST_F(WebKitEngineTest, ALongPollOfTheApplicationsPageIsAnsweredAfterAMinuteAndAHalf)
{
    testsupport::HTTPTestServer server;
    server.route("/poll", [](const testsupport::RecordedRequest&) {
        std::this_thread::sleep_for(std::chrono::seconds(90));
        return testsupport::Reply::text(200, "news");
    });
    loadPage("index.html", "<html><body><script>window.polled = ''; var x = new XMLHttpRequest(); x.open('GET', '" + server.url("/poll") +
                               "'); x.onloadend = function () { polled = x.status + ':' + x.responseText; }; x.send();</script></body></html>");
    ASSERT_TRUE(waitUntil([&] { return !eval("window.polled").empty(); }, std::chrono::seconds(150)));
    EXPECT_EQ(eval("window.polled"), "200:news");
}
