// Evaluations nobody waits for, and synchronous waits that nothing else runs inside, in a real web view.
#include "EngineHarness.h"

#include "platform/RunLoop.h"
#include "webengine/EvaluationQueue.h"

using namespace std::chrono_literals;
using e2e::RecordingClient;
using e2e::waitUntil;
using webengine::EvaluationQueue;

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
        // Scripts are combined once a first result gave the process the script context to check them in.
        EXPECT_EQ(eval("window.log.length"), "0");
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
        "var declared = 4; declared * 2", // statements: alone, in its place
        "log.push('third') // a trailing comment",
        "notDefinedAnywhere",
        "({a: [1, 2]}).a",
        "'\\u2028 \"quoted\" \\u00e9'",
    });
    EXPECT_EQ(results, (std::vector<std::string>{"one", "", "", "", "8", "4", "", "1,2", "\xe2\x80\xa8 \"quoted\" \xc3\xa9"}));
    // The first three expressions ran in one evaluation: the microtask of the first came after them.
    EXPECT_EQ(eval("log.join(',')"), "first,second,microtask,third");
}

TEST_F(EvaluationQueueTest, AScriptThatIsNotAnExpressionAfterAllGoesAloneWithoutTakingTheOthersDown)
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

TEST(EvaluationQueueText, ResultsAreReadOnlyFromAnArrayOfTextsOfTheRightLength)
{
    EXPECT_EQ(EvaluationQueue::resultTexts("[\"a\",\"\"]", 2), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(EvaluationQueue::resultTexts("[\"a\"]", 2), std::nullopt);
    EXPECT_EQ(EvaluationQueue::resultTexts("[\"a\",1]", 2), std::nullopt);
    EXPECT_EQ(EvaluationQueue::resultTexts("", 0), std::nullopt);
    EXPECT_EQ(EvaluationQueue::resultTexts("{\"a\":\"b\"}", 1), std::nullopt);
    for (const char* statement : {"var a = 1", "let x", "{a: 1}", "function f() {}", "f();", "if (a) b()", "try{a()}catch(e){};"})
        EXPECT_FALSE(EvaluationQueue::mayBeExpression(statement)) << statement;
    for (const char* expression : {"hybrid.require('hybrid/exec').nativeCallback('a',1,null,0)", "letter", "(function(){})()", "functional()"})
        EXPECT_TRUE(EvaluationQueue::mayBeExpression(expression)) << expression;
}

} // namespace
