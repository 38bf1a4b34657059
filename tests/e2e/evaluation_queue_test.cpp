// Evaluations nobody waits for, and synchronous waits that nothing else runs inside, in a real web view.
#include "EngineHarness.h"

#include "platform/runloop/RunLoop.h"
#include "webengine/EvaluationQueue.h"
#include "webengine/ScriptEvaluator.h"

using namespace std::chrono_literals;
using e2e::RecordingClient;
using e2e::waitUntil;

namespace {

class EvaluationQueueTest : public e2e::EngineFixture {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        startEngine(m_client);
        m_pages.write("index.html", "<html><body><script>window.log = [];</script></body></html>");
        m_engine->load(m_pages.url("index.html"));
        ASSERT_TRUE(waitUntil([&] { return m_client.finished > 0; }));
    }

    // Asks for each script without waiting and collects the results in the order they come.
    std::vector<std::string> evaluateAllLater(const std::vector<std::string>& scripts)
    {
        std::vector<std::string> results;
        for (const std::string& script : scripts)
            m_engine->evaluateLater(script, [&results](std::string result) { results.push_back(std::move(result)); });
        EXPECT_TRUE(results.empty()); // never inline
        EXPECT_TRUE(waitUntil([&] { return results.size() == scripts.size(); }));
        return results;
    }

    RecordingClient m_client;
};

TEST_F(EvaluationQueueTest, ScriptsAskedForInOneTurnRunTogetherInOrderEachWithItsOwnResult)
{
    const auto results = evaluateAllLater({
        "Promise.resolve().then(function () { log.push('microtask'); }), log.push('first'), 'one'",
        "(function () { throw new Error('only this one fails'); })()",
        "log.push('second'), undefined",
        "null",
        "var declared = 4; declared * 2", // statements
        "log.push('third') // a trailing comment",
        "notDefinedAnywhere",
        "({a: [1, 2]}).a",
        "'\\u2028 \"quoted\" \\u00e9'",
    });
    EXPECT_EQ(results, (std::vector<std::string>{"one", "", "", "", "8", "3", "", "1,2", "\xe2\x80\xa8 \"quoted\" \xc3\xa9"}));
    // They ran in one trip to the page: the microtask of the first came after all of them, and before
    // anything asked for next.
    EXPECT_EQ(eval("log.join(',')"), "first,second,third,microtask");
}

TEST_F(EvaluationQueueTest, StatementsAndBadScriptsTakeNoOtherScriptDown)
{
    EXPECT_EQ(evaluateAllLater({"log.push('a')", "1; log.push('b'); 'statements'", "log.push('c')", "syntax error here ("}),
              (std::vector<std::string>{"1", "statements", "3", ""}));
    EXPECT_EQ(eval("log.join(',')"), "a,b,c");
}

TEST_F(EvaluationQueueTest, ASynchronousEvaluationRunsAfterTheScriptsAskedForBeforeIt)
{
    std::string later;
    m_engine->evaluateLater("log.push('later'); 'done'", [&](std::string result) { later = result; });
    EXPECT_EQ(eval("log.join(',')"), "later");
    ASSERT_TRUE(waitUntil([&] { return !later.empty(); }));
    EXPECT_EQ(later, "done");
}

// The page's next step waits for a prompt evaluation (the fetch of its queued commands): it goes before the
// main loop turns again, behind what was asked before it; what is asked after it goes as usual.
TEST_F(EvaluationQueueTest, APromptEvaluationGoesBeforeTheLoopTurnsAfterWhatWasAskedBeforeIt)
{
    std::vector<std::string> results;
    auto collect = [&](std::string result) { results.push_back(std::move(result)); };
    m_engine->evaluateLater("log.push('earlier'); 'a'", collect);
    m_engine->evaluatePromptly("log.push('prompt'); window.promptRanAt = Date.now(); 'b'", collect);
    m_engine->evaluateLater("log.push('after'); window.afterRanAt = Date.now(); 'c'", collect);
    // The loop does not turn for a second: only what was sent already runs in the page meanwhile.
    g_usleep(1000 * 1000);
    const std::int64_t waitedUntil = g_get_real_time() / 1000;
    EXPECT_TRUE(results.empty()); // never inline
    ASSERT_TRUE(waitUntil([&] { return results.size() == 3; }));
    EXPECT_EQ(results, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(eval("log.join(',')"), "earlier,prompt,after");
    EXPECT_LE(std::stoll(eval("String(window.promptRanAt)")), waitedUntil);
    EXPECT_GE(std::stoll(eval("String(window.afterRanAt)")), waitedUntil);
}

TEST_F(EvaluationQueueTest, APromptEvaluationAskedInsideASynchronousWaitRunsAfterIt)
{
    g_timeout_add(10, [](gpointer data) -> gboolean {
        static_cast<webengine::WebKitEngine*>(data)->evaluatePromptly("log.push('asked inside the wait')", nullptr);
        return G_SOURCE_REMOVE;
    }, m_engine.get());
    EXPECT_EQ(eval("var until = Date.now() + 300; while (Date.now() < until) {} log.push('waited'); 'busy'"), "busy");
    ASSERT_TRUE(waitUntil([&] { return eval("log.length") == "2"; }));
    EXPECT_EQ(eval("log.join(',')"), "waited,asked inside the wait");
}

TEST_F(EvaluationQueueTest, NothingStartsInsideASynchronousWait)
{
    // Work of the program that becomes due while the page is busy: a perform request, a timer, an
    // evaluation asked for without waiting, a synchronous one, and the page's own navigation question.
    std::vector<std::string> order;
    platform::RunLoop::main().perform([&] { order.push_back("perform"); });
    g_timeout_add(10, [](gpointer data) -> gboolean {
        auto* engine = static_cast<webengine::WebKitEngine*>(data);
        auto refused = engine->evaluate("1");
        EXPECT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().code, webengine::kEvaluationRefused);
        engine->evaluateLater("log.push('asked inside the wait')", nullptr);
        return G_SOURCE_REMOVE;
    }, m_engine.get());
    m_client.onNavigation = [&](const webengine::NavigationRequest& request) {
        // Asked after the wait: the client may evaluate.
        order.push_back("question " + request.url.substr(0, 4) + " " + m_engine->evaluate("'answered'").valueOr("refused"));
        return false;
    };
    const std::string busy = "location.href = 'hyb://signal'; var until = Date.now() + 300; while (Date.now() < until) {}"
                             "log.push('waited'); 'busy'";
    EXPECT_EQ(eval(busy), "busy");
    order.push_back("wait ended");
    ASSERT_TRUE(waitUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"wait ended", "perform", "question hyb: answered"}));
    ASSERT_TRUE(waitUntil([&] { return eval("log.length") == "2"; }));
    EXPECT_EQ(eval("log.join(',')"), "waited,asked inside the wait");
}

// Scripts of the engine's world (the engine's own, which the page cannot reach) go with the next trip, ahead
// of the page's scripts waiting there, even those asked for before them; each keeps its own result.
TEST_F(EvaluationQueueTest, ScriptsOfTheEnginesWorldGoAheadOfThePagesInTheSameTrip)
{
    webengine::EvaluationQueue queue(m_engine->view(), {[] { return false; }, [](std::function<void()> event) { event(); }});
    std::vector<std::string> results;
    auto collect = [&results](std::string result) { results.push_back(std::move(result)); };
    const std::string mark = "document.documentElement.dataset.seen = (document.documentElement.dataset.seen || '') + ";
    queue.add(mark + "'A'; Promise.resolve().then(function () { log.push(document.documentElement.dataset.seen); }); 'a'", collect);
    queue.addAhead(mark + "'E'; typeof window.log", collect);
    queue.add(mark + "'B'; 'b'", collect);
    queue.addAhead(mark + "'F'; 'f'", collect);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 4; }));
    EXPECT_EQ(results, (std::vector<std::string>{"undefined", "f", "a", "b"})) << "the page's globals are not the engine's";
    // One trip: the microtask the first page script queued ran once every script had.
    EXPECT_EQ(eval("log.join(',')"), "EFAB");

    // Alone, and behind a script long enough to go in a trip of its own.
    results.clear();
    queue.addAhead(mark + "'G'; 'g'", collect);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    queue.add("'" + std::string(70 * 1024, 'x') + "'.length", collect);
    queue.addAhead(mark + "'H'; 'h'", collect);
    queue.add(mark + "'I'; 'i'", collect);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 4; }));
    EXPECT_EQ(results, (std::vector<std::string>{"g", "h", "71680", "i"}));
    EXPECT_EQ(eval("document.documentElement.dataset.seen"), "EFABGHI");
}

// Scripts posted without waiting for results run in their place among the others: what is sent to the page
// after them finds them done.
TEST_F(EvaluationQueueTest, PostedScriptsRunBeforeWhatIsSentAfterThem)
{
    const std::string mark = "document.documentElement.dataset.seen = (document.documentElement.dataset.seen || '') + ";
    webengine::ScriptEvaluator::post(m_engine->view(), {mark + "'E'; log.push('unseen')"}, {mark + "'P'; log.push('p')"});
    webengine::ScriptEvaluator::post(m_engine->view(), {}, {mark + "'Q'"});
    EXPECT_EQ(eval("document.documentElement.dataset.seen + ' ' + log.join(',')"), "EPQ p")
        << "the engine's world has no log of the page's";
}

TEST_F(EvaluationQueueTest, ResultsArriveInTheirOrderAndNothingComesOnceTheEngineIsGone)
{
    int answered = 0;
    for (int i = 0; i < 3; ++i)
        m_engine->evaluateLater("1", [&](std::string) { ++answered; });
    m_engine.reset();
    // Give the engine's answers, were any still on their way, every chance to arrive.
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(answered, 0);
}

// Results travel as text from the page's process; what cannot be text there is "". The page's own
// replacement of the globals a wrapper would use changes nothing.
TEST_F(EvaluationQueueTest, ResultsAreTextMadeInThePageAndThePagesGlobalsDoNotMatter)
{
    eval("JSON.stringify = function () { throw new Error('the page replaced it'); }; Array.prototype.map = null; 0");
    const std::string longText(100 * 1024, 'x');
    const auto results = evaluateAllLater({
        "(function () {})",
        "({ toString: function () { throw new Error('no text'); } })",
        "'" + longText + "'",
        "'\\ud800 lone'",
        "[1, [2, 3]]",
    });
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[0], "");
    EXPECT_EQ(results[1], "");
    EXPECT_EQ(results[2], longText) << "a long script goes alone and its result comes back whole";
    EXPECT_EQ(results[3], "\xef\xbf\xbd lone") << "a lone surrogate reads as the replacement character";
    EXPECT_EQ(results[4], "1,2,3");
}

// Answers to the page's calls take a shorter way in the page's process; what the page sees is what the
// script itself would do: the same names read when it runs, the same values, results and exceptions.
// Each answer goes twice, as the UI process writes it and with a trailing space, a script the page's
// process evaluates as it stands: both must reach the page alike.
TEST_F(EvaluationQueueTest, AnswersToCallsDoWhatTheirScriptsDo)
{
    eval(R"(
        window.calls = [];
        window.describe = function (v, depth) {
            depth = depth || 0;
            if (typeof v === 'number') { return Object.is(v, -0) ? '-0' : String(v); }
            if (v === null || typeof v !== 'object') { return typeof v + ':' + JSON.stringify(String(v)); }
            if (depth === 3) { var levels = 0; while (Array.isArray(v)) { v = v[0]; levels++; } return levels + ' levels more'; }
            var proto = Object.getPrototypeOf(v);
            var kind = Array.isArray(v) ? 'array' : proto === Object.prototype ? 'object' : 'inherits ' + Object.keys(proto);
            return kind + '{' + Object.keys(v).map(function (k) { return k + '=' + describe(v[k], depth + 1); }).join(',') + '}';
        };
        window.hybrid = { require: function (id) {
            var self = this;
            return { nativeCallback: function (callbackId, status, message, keep) {
                if (callbackId === 'Throws') { throw new Error('a callback failed'); }
                calls.push([self === hybrid, id, callbackId, typeof status, status, typeof keep, keep, describe(message)].join('|'));
                window.lastStack = new Error().stack;
                return 'queued after ' + callbackId;
            } };
        } };
        0)");
    auto answer = [](const std::string& id, const std::string& status, const std::string& message, const std::string& keep) {
        return "hybrid.require('hybrid/exec').nativeCallback('" + id + "'," + status + "," + message + "," + keep + ")";
    };
    std::string deep = "0", deeper = "0";
    for (int i = 0; i < 999; ++i)
        deep = "[" + deep + "]"; // read as JSON: the limit is 1,000 levels
    for (int i = 0; i < 30000; ++i)
        deeper = "[" + deeper + "]"; // too deep for the script parser: nothing is called

    const std::vector<std::vector<std::string>> answers = {
        {"Cache1", "1", R"("Hybrid%20iOS%20webview%20cache%20cleared.")", "0"},
        {"Device.2-x_", "9", R"({"b":[1,2.5e3,-0.5,null,true,-0],"a":{"c":"d"},"1":"key order"})", "1"},
        {"Numbers3", "0", R"([9007199254740993,1e400,-1e-400,5e-324,1E+2])", "0"},
        {"Duplicate4", "1", R"({"a":1,"a":2})", "0"},
        {"None5", "0", "null", "0"},
        {"Escaped6", "1", R"(" café \"quoted\" \\ \n \/ ")", "0"},
        {"Unicode7", "1", R"("\u0041")", "0"},
        {"Proto8", "1", R"({"__proto__":{"inherited":1}})", "0"}, // a literal sets the prototype here
        {"Single9", "1", "'not JSON, still a script'", "0"},
        {"Throws", "1", "null", "0"},
        {"Lead10", "01", "null", "0"}, // an old-style octal literal
        {"Trailing11", "1", "1,0) + (1", "0"},
        {"Deep12", "1", deep, "0"},
        {"Deeper13", "1", deeper, "0"},
    };
    std::vector<std::string> scripts;
    for (const auto& a : answers) {
        scripts.push_back(answer(a[0], a[1], a[2], a[3]));
        scripts.push_back(answer(a[0], a[1], a[2], a[3]) + " ");
    }
    const auto results = evaluateAllLater(scripts);
    ASSERT_EQ(results.size(), scripts.size());
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(results[2 * i], results[2 * i + 1]) << answers[i][0];
    EXPECT_EQ(results[0], "queued after Cache1");
    EXPECT_EQ(results[18], "") << "a callback that throws";
    EXPECT_EQ(results[22], "queued after Trailing110");
    EXPECT_EQ(results[26], "");
    const std::string calls = eval("calls.join('\\n')");
    std::vector<std::string> lines;
    for (std::size_t from = 0, to; from <= calls.size(); from = to + 1) {
        to = std::min(calls.find('\n', from), calls.size());
        lines.push_back(calls.substr(from, to - from));
    }
    ASSERT_EQ(lines.size(), 2 * (answers.size() - 2)); // the throwing one and the deepest record nothing
    for (std::size_t i = 0; i < lines.size(); i += 2)
        EXPECT_EQ(lines[i], lines[i + 1]);
    EXPECT_EQ(lines[0], "true|hybrid/exec|Cache1|number|1|number|0|string:\"Hybrid%20iOS%20webview%20cache%20cleared.\"");
    EXPECT_EQ(lines[2], "true|hybrid/exec|Device.2-x_|number|9|number|1|"
                        "object{1=string:\"key order\",b=array{0=1,1=2500,2=-0.5,3=object:\"null\",4=boolean:\"true\",5=-0},a=object{c=string:\"d\"}}");
    EXPECT_EQ(lines[4], "true|hybrid/exec|Numbers3|number|0|number|0|array{0=9007199254740992,1=Infinity,2=-0,3=5e-324,4=100}");
    EXPECT_EQ(lines[10], "true|hybrid/exec|Escaped6|number|1|number|0|string:\" caf\u00e9 \\\"quoted\\\" \\\\ \\n / \"");
    EXPECT_EQ(lines[14], "true|hybrid/exec|Proto8|number|1|number|0|inherits inherited{}");
    EXPECT_EQ(lines[22], "true|hybrid/exec|Deep12|number|1|number|0|array{0=array{0=array{0=996 levels more}}}");

    // The short way is taken: its call has no frame of global code under it.
    eval("lastStack = ''; 0");
    evaluateAllLater({answer("Stack14", "1", "null", "0")});
    EXPECT_EQ(eval("lastStack.indexOf('global code') < 0"), "true") << eval("lastStack");

    // The names are read when an answer runs: a page that replaces them, or loads a new document, is answered
    // by what it has then.
    eval("hybrid = { require: function () { return { nativeCallback: function (id) { return 'replaced ' + id; } }; } }; 0");
    EXPECT_EQ(evaluateAllLater({answer("Again15", "1", "null", "0")}), (std::vector<std::string>{"replaced Again15"}));
    m_pages.write("other.html", "<html><body><script>window.hybrid = { require: function () { return { nativeCallback: "
                                "function (id, status, message) { return 'other page ' + id + ' ' + message; } }; } };</script></body></html>");
    const int loads = m_client.finished;
    m_engine->load(m_pages.url("other.html"));
    ASSERT_TRUE(waitUntil([&] { return m_client.finished > loads; }));
    EXPECT_EQ(evaluateAllLater({answer("Next16", "1", R"("hello")", "0")}), (std::vector<std::string>{"other page Next16 hello"}));
    eval("delete window.hybrid; 0");
    EXPECT_EQ(evaluateAllLater({answer("Gone17", "1", "null", "0")}), (std::vector<std::string>{""}));
}
// A script that is not UTF-8 (native code may build one from bytes of its own) reads its bad bytes as the
// replacement character; it no longer takes the page down with it.
TEST_F(EvaluationQueueTest, AScriptThatIsNotUTF8ReadsItsBadBytesAsReplacementCharacters)
{
    eval("window.hybrid = { require: function () { return { nativeCallback: function (id, status, message) { return message; } }; } }; 0");
    const auto results = evaluateAllLater({
        "'a\xff b'",
        "hybrid.require('hybrid/exec').nativeCallback('Bytes1',1,\"c\xc3\x28\",0)",
        std::string("'x\0y'.length", 12), // a NUL character is UTF-8
        "1 + 1",
    });
    EXPECT_EQ(results, (std::vector<std::string>{"a\xef\xbf\xbd b", "c\xef\xbf\xbd(", "3", "2"}));
    EXPECT_EQ(eval("typeof window.log"), "object") << "the page is still there";
}

// Microtasks that scripts queue (a promise's reactions) run once the scripts have run, before the next
// message of scripts: here a long script asked for in the same turn, which goes to the page alone, right after.
TEST_F(EvaluationQueueTest, MicrotasksQueuedByScriptsRunBeforeTheNextScript)
{
    const std::string readAfter = "String(window.ran) // " + std::string(70 * 1024, 'x');
    for (int i = 0; i < 20; ++i) {
        const auto results = evaluateAllLater({"window.ran = false; Promise.resolve().then(function () { window.ran = true; }); 0",
                                               readAfter});
        ASSERT_EQ(results.size(), 2u);
        EXPECT_EQ(results[1], "true") << "round " << i;
    }
}
} // namespace
