// Evaluations nobody waits for, and synchronous waits that nothing else runs inside, in a real web view.
#include "EngineHarness.h"

#include "platform/RunLoop.h"
#include "webengine/EvaluationQueue.h"

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
    // They ran in one trip to the page: the microtask of the first came after all of them.
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

} // namespace
