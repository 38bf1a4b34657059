// The page's half of the bridge (app/bundle/www/hybrid.js) in the real engine, against a small native
// stand-in that follows the runtime's protocol: the three signal paths, fetching queued commands, callbacks,
// document events, deviceready and handleOpenURL.
#include "support/SourceTree.h"
#include "EngineHarness.h"

#include "platform/formats/JSON.h"
#include "platform/text/PercentEscaping.h"


using namespace std::chrono_literals;
using e2e::RecordingClient;
using e2e::TempFolder;
using e2e::waitUntil;
using webengine::WebKitEngine;

namespace {

const char* const kFetchScript = "hybrid.require('hybrid/exec').nativeFetchMessages()";
const char* const kClearedMessage = "\"Hybrid%20iOS%20webview%20cache%20cleared.\"";

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Plays the native side: takes batches from the three signal paths, answers every command with the
// message its test sets (OK with the cache text by default), and runs what the page queues meanwhile.
class NativeStandIn : public RecordingClient {
public:
    struct Call {
        std::string callbackId, service, action, arguments, path;
    };
    std::vector<Call> calls;
    std::vector<int> pokes;
    std::vector<std::string> bridgeURLs, agents;
    int fragmentSignals = 0;
    int bareFragments = 0; // fragment signals without a batch: the native side fetched
    // The answer script's status, message and keep flag for a command (default: 1, the cache text, 0).
    std::function<std::string(const Call&)> answer = [](const Call& call) {
        return "hybrid.require('hybrid/exec').nativeCallback('" + call.callbackId + "',1," + kClearedMessage + ",0)";
    };
    WebKitEngine* engine = nullptr;

    NativeStandIn()
    {
        onNavigation = [this](const webengine::NavigationRequest& request) {
            if (request.url.rfind("hyb:", 0) == 0) {
                fetchAndRun("iframe");
                return false;
            }
            const auto hash = request.url.find('#');
            if (hash != std::string::npos && (request.url.compare(hash + 1, 3, "%01") == 0
                                              || request.url.compare(hash + 1, 3, "%02") == 0)) {
                ++fragmentSignals;
                const std::string batch = platform::removePercentEscapes(request.url.substr(hash + 4)).value_or("");
                if (batch.empty()) {
                    ++bareFragments;
                    fetchAndRun("hash");
                }
                else
                    run(batch, "hash");
                return false;
            }
            return true;
        };
    }

    // The XHR path: the web process answered the request already and hands over its headers.
    // Pokes to ignore, as if they never came (the commands stay in the page's queue).
    int pokesToLose = 0;

    void handleBridgeRequest(const std::string& url, const webengine::HeaderList& headers, const std::string&) override
    {
        bridgeURLs.push_back(url);
        auto header = [&](const std::string& name) { return e2e::headerValue(headers, name); };
        const auto rc = header("rc");
        if (!rc)
            return;
        agents.push_back(header("User-Agent").value_or(""));
        const auto cmds = header("cmds").value_or("");
        if (!cmds.empty()) {
            run(cmds, "xhr");
            return;
        }
        pokes.push_back(std::stoi(*rc));
        if (pokesToLose > 0) {
            --pokesToLose;
            return;
        }
        fetchAndRun("xhr");
    }

private:
    // As the runtime does: nothing waits for the page; what an evaluation returns runs when it comes back.
    void fetchAndRun(const std::string& path)
    {
        engine->evaluateLater(kFetchScript, [this, path](std::string batch) { run(batch, path); });
    }

    void run(const std::string& batch, const std::string& path)
    {
        if (batch.empty())
            return;
        auto parsed = platform::JSON::parse(batch);
        ASSERT_TRUE(parsed.ok()) << batch;
        for (const auto& entry : *parsed->getArray()) {
            Call call{*entry[0].getString(), *entry[1].getString(), *entry[2].getString(),
                      platform::JSON::writeCompact(entry[3]).valueOr(""), path};
            calls.push_back(call);
            engine->evaluateLater(answer(call), [this, path](std::string more) { run(more, path); });
        }
    }
};

class BridgePageTest : public e2e::EngineFixture {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        m_pages.write("hybrid.js", readFile(hybtest::sourcePath("app/bundle/www/hybrid.js")));
        startEngine(m_native);
        m_native.engine = m_engine.get();
        m_engine->setUserAgent("Mozilla/5.0 Test (4242)");
    }

    // Loads a page with hybrid.js, a recorder of answers and events, and `script`.
    void loadPage(const std::string& script = {})
    {
        m_pages.write("index.html",
                      "<html><head><script src='hybrid.js'></script><script>"
                      "var exec = hybrid.require('hybrid/exec'); window.answers = []; window.events = [];"
                      "function ok(m) { answers.push('ok:' + JSON.stringify(m)); }"
                      "function ko(m) { answers.push('fail:' + JSON.stringify(m)); }"
                      "['pause','resume','resign','active','deviceready'].forEach(function(t) {"
                      "  document.addEventListener(t, function() { events.push(t); }, false); });"
                      "function handleOpenURL(url) { events.push('open:' + url); }"
                      + script + "</script></head><body></body></html>");
        m_engine->load(m_pages.url("index.html"));
        ASSERT_TRUE(waitUntil([&] { return m_native.finished > 0; }));
        ASSERT_TRUE(waitForPage("events.indexOf('deviceready') >= 0"));
    }

    NativeStandIn m_native;
};

TEST_F(BridgePageTest, CacheClearGetsItsCallbackThroughEachSignalPath)
{
    loadPage();
    for (const std::string path : {"xhr", "iframe", "hash"}) {
        SCOPED_TRACE(path);
        const size_t before = m_native.calls.size();
        eval("exec.setJsToNativeBridgeMode('" + path + "'); answers = []; exec(ok, ko, 'Cache', 'clear', []);");
        ASSERT_TRUE(waitForPage("answers.length == 1"));
        EXPECT_EQ(eval("answers[0]"), std::string("ok:") + kClearedMessage);
        ASSERT_EQ(m_native.calls.size(), before + 1);
        EXPECT_EQ(m_native.calls.back().service, "Cache");
        EXPECT_EQ(m_native.calls.back().action, "clear");
        EXPECT_EQ(m_native.calls.back().arguments, "[]");
        EXPECT_EQ(m_native.calls.back().path, path);
        EXPECT_EQ(eval("exec.pendingCallbackCount()"), "0");
    }
}

TEST_F(BridgePageTest, CallsMadeTogetherTravelAsOneBatchAndLongBatchesAreFetched)
{
    loadPage();
    // Ten calls in one script: one signal with the whole batch in the "cmds" header.
    eval("for (var i = 0; i < 10; i++) exec(ok, ko, 'Cache', 'clear', [i]);");
    ASSERT_TRUE(waitForPage("answers.length == 10"));
    EXPECT_TRUE(m_native.pokes.empty());
    // A batch too long for a header: a poke, then a fetch. Pokes are numbered from 1 after the page load
    // (the native side takes a first poke only when it is 1); requests that carried commands do not count.
    const std::string longCalls = "answers = []; for (var i = 0; i < 200; i++) exec(ok, ko, 'Cache', 'clear', ['" + std::string(40, 'x') + "']);";
    eval(longCalls);
    ASSERT_TRUE(waitForPage("answers.length == 200"));
    eval(longCalls);
    ASSERT_TRUE(waitForPage("answers.length == 200"));
    // One poke a batch; a loaded machine may answer one later than the page waits before signalling again.
    EXPECT_GE(m_native.pokes.size(), 2u);
    EXPECT_EQ(m_native.calls.size(), 410u);

    // On the fragment path, a short batch travels in the fragment and a long one is fetched.
    eval("exec.setJsToNativeBridgeMode('hash'); answers = []; for (var i = 0; i < 10; i++) exec(ok, ko, 'Cache', 'clear', [i]);");
    ASSERT_TRUE(waitForPage("answers.length == 10"));
    EXPECT_EQ(m_native.bareFragments, 0);
    eval(longCalls);
    ASSERT_TRUE(waitForPage("answers.length == 200"));
    EXPECT_EQ(m_native.bareFragments, 1);
    EXPECT_EQ(m_native.calls.size(), 620u);
}

TEST_F(BridgePageTest, BridgeRequestsAreAnsweredAtOnceAndHandedOverWithTheirHeaders)
{
    loadPage();
    // As hybrid.js sends them, asynchronous and synchronous: 200, "text/plain", no body, at once.
    eval("window.seen = [];"
         "function poke(rc, async) { var x = new XMLHttpRequest(); x.open('GET', '/!hyb_exec?' + rc, async);"
         "  x.setRequestHeader('vc', '4242'); x.setRequestHeader('rc', String(rc));"
         "  x.onloadend = function () { seen.push(x.status + ' ' + x.getResponseHeader('Content-Type') + ' [' + x.responseText + ']'); };"
         "  x.send(null); }"
         "poke(1, true); poke(2, false); 0");
    ASSERT_TRUE(waitForPage("seen.length == 2"));
    EXPECT_EQ(eval("seen.join(',')"), "200 text/plain [],200 text/plain []");
    ASSERT_TRUE(waitUntil([&] { return m_native.pokes.size() == 2; }));
    EXPECT_EQ(m_native.pokes, std::vector<int>({1, 2}));
    ASSERT_EQ(m_native.bridgeURLs.size(), 2u);
    EXPECT_EQ(m_native.bridgeURLs[0], "file:///!hyb_exec?1");
    EXPECT_EQ(m_native.agents, std::vector<std::string>(2, "Mozilla/5.0 Test (4242)"));
    // Nothing of the bridge went through the routed loads.
    for (const auto& url : m_native.resourceURLs)
        EXPECT_EQ(url.find("!hyb_exec"), std::string::npos) << url;
}

TEST_F(BridgePageTest, CallsMadeInsideACallbackComeBackWithTheAnswer)
{
    loadPage();
    eval("exec(function() { exec(ok, ko, 'Cache', 'clear', ['second']); }, ko, 'Cache', 'clear', ['first']);");
    ASSERT_TRUE(waitForPage("answers.length == 1"));
    ASSERT_EQ(m_native.calls.size(), 2u);
    EXPECT_EQ(m_native.calls[1].arguments, "[\"second\"]");
    // The second call rode on the first answer's return value: one signal only.
    EXPECT_EQ(m_native.calls[1].path, "xhr");

    // A native script whose page part fails still hands over the calls made meanwhile: the native side
    // fetches nothing after a script that could have taken them.
    const std::string batch = eval("exec.nativeEvalAndFetch(function () { exec(ok, ko, 'Cache', 'clear', ['inside']);"
                                   " throw new Error('the page failed'); })");
    EXPECT_NE(batch.find("\"inside\""), std::string::npos) << batch;
}

TEST_F(BridgePageTest, FailuresKeptCallbacksAndBinaryMessages)
{
    loadPage();
    m_native.answer = [](const NativeStandIn::Call& call) {
        const std::string head = "hybrid.require('hybrid/exec').nativeCallback('" + call.callbackId + "',";
        if (call.action == "fail")
            return head + "9,\"broken\",0)";
        if (call.action == "watch")
            return head + "1,1,1);" + head + "1,2,0)";
        return head + "1,{\"HYBType\":\"MultiPart\",\"messages\":[{\"HYBType\":\"ArrayBuffer\",\"data\":\"AAEC\"},\"x\",5]},0)";
    };
    eval("exec(ok, ko, 'S', 'fail', []); exec(ok, ko, 'S', 'watch', []);"
         "exec(function(a, b, c) { answers.push('multi:' + new Uint8Array(a).join(',') + ':' + b + ':' + c); }, ko, 'S', 'multi', []);");
    ASSERT_TRUE(waitForPage("answers.length == 4"));
    EXPECT_EQ(eval("answers.join(' ')"), "fail:\"broken\" ok:1 ok:2 multi:0,1,2:x:5");
    EXPECT_EQ(eval("exec.pendingCallbackCount()"), "0");
}

TEST_F(BridgePageTest, ArrayBufferArgumentsTravelAsBase64)
{
    loadPage();
    eval("exec(ok, ko, 'S', 'bytes', [new Uint8Array([0, 1, 2]).buffer, 'text']);");
    ASSERT_TRUE(waitForPage("answers.length == 1"));
    EXPECT_EQ(m_native.calls.back().arguments, "[{\"HYBType\":\"ArrayBuffer\",\"data\":\"AAEC\"},\"text\"]");
}

TEST_F(BridgePageTest, DocumentEventsDevicereadyAndOpenedURLsReachThePage)
{
    loadPage();
    eval("hybrid.fireDocumentEvent('pause', null, true);");
    EXPECT_EQ(eval("events[events.length - 1]"), "pause"); // at once
    eval("hybrid.fireDocumentEvent('resume');");
    ASSERT_TRUE(waitForPage("events[events.length - 1] == 'resume'"));
    eval("hybrid.fireDocumentEvent('resign');");
    eval("hybrid.fireDocumentEvent('active');");
    ASSERT_TRUE(waitForPage("events.join(',') == 'deviceready,pause,resume,resign,active'"));
    // A deviceready handler added late still runs, once.
    eval("document.addEventListener('deviceready', function() { events.push('late'); }, false);");
    ASSERT_TRUE(waitForPage("events[events.length - 1] == 'late'"));
    eval("if (typeof handleOpenURL === 'function') { handleOpenURL(\"app://paid?order=1\");}");
    EXPECT_EQ(eval("events[events.length - 1]"), "open:app://paid?order=1");
}

// Data from outside (a notification's payload) may hold names the event itself keeps read-only: the
// event still fires, with every other entry, on the document and on the window.
TEST_F(BridgePageTest, EventDataNamingTheEventsOwnPropertiesStillFiresTheEvent)
{
    loadPage("['news'].forEach(function(t) {"
             "  document.addEventListener(t, function(e) { events.push('doc:' + e.type + ':' + e.content); }, false);"
             "  window.addEventListener(t, function(e) { events.push('win:' + e.type + ':' + e.content); }, false); });");
    eval("hybrid.fireDocumentEvent('news', {type: 'promo', isTrusted: false, target: 1, content: 'c'}, true);");
    EXPECT_EQ(eval("events[events.length - 1]"), "doc:news:c");
    eval("hybrid.fireWindowEvent('news', {type: 'promo', isTrusted: false, content: 'w'});");
    EXPECT_EQ(eval("events[events.length - 1]"), "win:news:w");
}

TEST_F(BridgePageTest, NonASCIIArgumentsSurviveTheHeaderPath)
{
    loadPage();
    eval("exec(ok, ko, 'S', 'text', ['\\u4e2d\\u6587 \\u2028 \"q\"']);");
    ASSERT_TRUE(waitForPage("answers.length == 1"));
    EXPECT_EQ(m_native.calls.back().path, "xhr");
    auto arguments = platform::JSON::parse(m_native.calls.back().arguments);
    ASSERT_TRUE(arguments.ok());
    EXPECT_EQ(*(*arguments)[0].getString(), "\xe4\xb8\xad\xe6\x96\x87 \xe2\x80\xa8 \"q\"");
}

TEST_F(BridgePageTest, TheBenchPageMeasuresEverySignalPathAndItsBurst)
{
    m_pages.write("bench.html", readFile(hybtest::sourcePath("app/bundle/www/bench.html")));
    m_engine->load(m_pages.url("bench.html") + "?calls=10&burst=300&warmup=2");
    // About fifty round trips and seven bursts: a generous bound for a loaded machine.
    ASSERT_TRUE(waitUntil([&] { return eval("!!window.benchResults") == "true"; }, std::chrono::seconds(60)));
    EXPECT_EQ(eval("window.benchResults.error === undefined"), "true") << eval("window.benchResults.error");
    EXPECT_EQ(eval("['xhr', 'xhr-poke', 'iframe', 'hash'].every(function(m) {"
                   " return benchResults[m].median > 0 && benchResults['burst-' + m].callsPerSecond > 0; })"), "true");
    EXPECT_EQ(eval("benchResults['hash-fetch'].median > 0"), "true");
    EXPECT_EQ(eval("['xhr', 'iframe', 'hash'].every(function(m) { return benchResults['burst-' + m + '-each'].callsPerSecond > 0; })"),
              "true");
    // Every sequential call came by its own signal; the poke path's calls and its burst were fetched, and so
    // were the long fragment path's calls, each after a bare fragment; each path's second burst made one
    // call per task.
    for (const std::string path : {"xhr", "iframe", "hash"}) {
        EXPECT_EQ(std::count_if(m_native.calls.begin(), m_native.calls.end(), [&](const auto& c) { return c.path == path; }),
                  path == "xhr" ? 2 * 12 + 3 * 300 : path == "hash" ? 2 * 12 + 2 * 300 : 12 + 2 * 300);
    }
    EXPECT_GE(m_native.pokes.size(), 12u + 1u) << "one poke a call (more where a loaded machine answered late)";
    EXPECT_GE(m_native.bareFragments, 12);

    // burst=0: the sequential calls only.
    eval("window.benchResults = null");
    m_engine->load(m_pages.url("bench.html") + "?calls=2&burst=0&warmup=1");
    ASSERT_TRUE(waitUntil([&] { return eval("!!window.benchResults") == "true"; }, std::chrono::seconds(60)));
    EXPECT_EQ(eval("Object.keys(benchResults).sort().join()"), "hash,hash-fetch,iframe,xhr,xhr-poke");
}

// Calls made one per task while the native side owes the page an answer wait in the queue and come back
// with it: far fewer signals than calls, every call answered once, in order.
TEST_F(BridgePageTest, CallsMadeWhileTheNativeSideIsComingBackTravelWithoutSignalsOfTheirOwn)
{
    loadPage("window.addEventListener('message', function (e) { if (e.data === 'next') next(); });"
             "var made = 0, order = [];"
             "function next() {"
             "  var i = made++;"
             "  exec(function () { order.push(i); }, ko, 'Cache', 'clear', [i]);"
             "  if (made < 200) { window.postMessage('next', '*'); }"
             "}");
    for (const std::string path : {"xhr", "iframe", "hash"}) {
        SCOPED_TRACE(path);
        const size_t calls = m_native.calls.size();
        const size_t signals = m_native.bridgeURLs.size();
        const int fragments = m_native.fragmentSignals;
        eval("exec.setJsToNativeBridgeMode('" + path + "'); made = 0; order = []; next(); 0");
        ASSERT_TRUE(waitForPage("order.length == 200"));
        EXPECT_EQ(eval("order.every(function (v, i) { return v === i; })"), "true");
        EXPECT_EQ(eval("exec.pendingCallbackCount()"), "0");
        EXPECT_EQ(m_native.calls.size(), calls + 200);
        // One signal in most runs: the page learns that the native side comes back from the commands it takes
        // in a visit, even when a later answer of the same visit finds the queue empty.
        if (path == "xhr") {
            EXPECT_LT(m_native.bridgeURLs.size() - signals, 10u) << "most calls rode back on an answer";
        }
        if (path == "hash") {
            EXPECT_LT(m_native.fragmentSignals - fragments, 10) << "most calls rode back on an answer";
        }
    }
}

// A signal lost on its way (a stale poke, a frame that did not navigate) costs a moment, not the calls:
// the page signals again when the native side has not come back.
TEST_F(BridgePageTest, ASignalThatNeverArrivesIsSentAgain)
{
    loadPage("var pad = new Array(5000).join('x');");
    m_native.pokesToLose = 1;
    eval("answers = []; exec(ok, ko, 'Cache', 'clear', ['first', pad]); 0");
    ASSERT_TRUE(waitForPage("answers.length == 1"));
    ASSERT_EQ(m_native.calls.size(), 1u);
    // The lost poke and the one sent again (on a loaded machine the answer may take longer than the wait
    // before a signal is sent again, so more may follow; the call still runs once).
    EXPECT_GE(m_native.pokes.size(), 2u) << "the lost poke is sent again";
    // A call made while the page waited for the lost poke's answer goes with the one sent again.
    m_native.pokesToLose = 1;
    eval("answers = []; exec(ok, ko, 'Cache', 'clear', [1, pad]);"
         " setTimeout(function () { exec(ok, ko, 'Cache', 'clear', [2]); }, 10); 0");
    ASSERT_TRUE(waitForPage("answers.length == 2"));
    EXPECT_EQ(m_native.calls.size(), 3u) << "each call runs once, however often it was signalled";
    EXPECT_GE(m_native.pokes.size(), 4u);
}

} // namespace
