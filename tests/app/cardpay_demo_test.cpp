// hybridhost --cardpay-demo: the road opened over the host, the order screen reported once it shows, and
// the result written as one JSON line when the road ends.
#include "app/CardPayDemo.h"

#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "platform/application/Application.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Window.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"
#include "support/EventWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The page's view controller, which the road opens over. Its view goes once the road's start screen has
// asked the server for the order: it notes whether a signal then would find nothing of the road to write.
class PageController : public platform::ViewController {
public:
    void viewWillDisappear(bool animated) override {
        platform::ViewController::viewWillDisappear(animated);
        nothingAwaitedAsTheRoadOpens = app::CardPayDemo::handOverIfCutShort();
    }
    std::optional<bool> nothingAwaitedAsTheRoadOpens;
};

class CardPayDemoTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_clock.install();
        auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
        ASSERT_TRUE(scenario.ok());
        m_server.setScenario(*scenario);
        cardpay::BCDataContainer::destory();
        m_window = platform::Window::create(platform::Rect(0, 0, 375, 667));
        m_host = std::make_shared<PageController>();
        m_window->setRootViewController(m_host);
        m_window->makeKeyAndVisible();
        m_output = std::tmpfile();
        ASSERT_TRUE(m_output);
    }
    void TearDown() override {
        if (m_output)
            std::fclose(m_output);
        m_server.releaseHeldReplies();
        cardpay::BCMPService::releaseCommon();
        cardpay::BCHttpsConnect::releaseInstance();
        cardpay::BCDataContainer::destory();
    }
    std::string output() const {
        std::rewind(m_output);
        std::string text;
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_output)) > 0)
            text.append(buffer, n);
        return text;
    }

    platform::VirtualClock m_clock;
    testsupport::CardPayTestServer m_server;
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<PageController> m_host;
    std::FILE* m_output = nullptr;
};

TEST_F(CardPayDemoTest, OrderScreenReportedThenTheResultWrittenOnce) {
    hybtest::CardPayRoadDriver road(m_window, &m_clock);
    auto demo = app::CardPayDemo::create(m_server.url(), m_output);
    ASSERT_TRUE(demo->open(m_host).ok());
    EXPECT_EQ(m_host->nothingAwaitedAsTheRoadOpens, false) << "a signal as the road opens waits for its result";
    int shown = 0;
    demo->whenOrderScreenShows([&] { ++shown; });
    ASSERT_TRUE(road.waitForScreen<cardpay::BCOrderInfoViewController>());
    ASSERT_TRUE(road.waitUntil([&] {
        m_clock.advance(app::CardPayDemo::kOrderScreenPollSeconds);
        return shown == 1;
    }, "the order screen's report"));
    EXPECT_TRUE(demo->isOrderScreenShown());
    EXPECT_EQ(m_server.commands("init").at(0).params["tn"], platform::Value(app::CardPayDemo::kTransactionNumber));
    road.advance(1);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(output(), "");

    // The user leaves: one line of JSON, and the page (the host) shows again.
    const auto bar = road.top<cardpay::BCOrderInfoViewController>()->navigationBar();
    ASSERT_TRUE(road.tapOn(*bar->leftButton(), "the bar's Cancel"));
    ASSERT_TRUE(road.tap(cardpay::BCLocale::instance()->getStringById(10001)));
    ASSERT_TRUE(road.waitUntil([&] { return demo->hasEnded(); }, "the end of the road"));
    ASSERT_TRUE(road.settle());
    EXPECT_EQ(road.topScreen(), m_host);
    const std::string line = output();
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    auto result = platform::JSON::parse(line);
    ASSERT_TRUE(result.ok()) << line;
    EXPECT_EQ((*result)["code"], platform::Value("cancel"));
    EXPECT_FALSE(demo->isOrderScreenShown());
}

// The application ends with the road open (Application::terminate, as after the window closes or
// SIGTERM): the road's result is written once, and a payment sent but not settled is never "cancel".
class CardPayDemoEnding : public CardPayDemoTest {
protected:
    void SetUp() override {
        CardPayDemoTest::SetUp();
        m_road = std::make_unique<hybtest::CardPayRoadDriver>(m_window, &m_clock);
        m_demo = app::CardPayDemo::create(m_server.url(), m_output);
        ASSERT_TRUE(m_demo->open(m_host).ok());
        ASSERT_TRUE(m_road->waitForScreen<cardpay::BCOrderInfoViewController>());
    }
    void TearDown() override {
        m_server.releaseHeldReplies();
        if (m_road)
            (void)m_road->settle();
        if (m_host->presentedViewController())
            m_host->dismissViewController(false, {});
        m_window->setHidden(true);
        CardPayDemoTest::TearDown();
    }
    std::size_t count(const std::string& cmd) const { return m_server.commands(cmd).size(); }
    // The bound card authorised, then "pay" sent from the paying screen and held by the server.
    ::testing::AssertionResult sendAHeldPayment() {
        m_server.setFault("pay", testsupport::CardPayTestServer::Fault::Hold);
        for (auto step : {m_road->tap("下一步 Next"), m_road->waitForScreen<cardpay::BCEntrustViewController>(), m_road->type("CVN2", "123"),
                          m_road->pressDone(), m_road->tap("同意并付款 Agree and pay")})
            if (!step)
                return step;
        if (auto paying = m_road->waitUntil([&] {
                m_clock.advance(0.25);
                return m_road->top<cardpay::BCPayingViewController>() && !m_road->isLoading();
            }, "the paying screen");
            !paying)
            return paying;
        for (auto step : {m_road->type("密码 PIN", "123456"), m_road->pressDone(), m_road->tap("确认付款 Pay")})
            if (!step)
                return step;
        return m_road->waitUntil([&] { return count("pay") == 1; }, "the payment");
    }
    // The line written, parsed.
    platform::Dictionary result() const {
        const std::string text = output();
        auto parsed = platform::JSON::parse(text);
        EXPECT_TRUE(parsed.ok() && parsed->isDictionary() && text.back() == '\n' && text.find('\n') == text.size() - 1) << text;
        return parsed.ok() ? parsed->dictionaryOrEmpty() : platform::Dictionary{};
    }

    std::unique_ptr<hybtest::CardPayRoadDriver> m_road;
    std::shared_ptr<app::CardPayDemo> m_demo;
};

TEST_F(CardPayDemoEnding, WithNoPaymentSentTheRoadEndsWithCancelOnce) {
    platform::Application::shared().terminate();
    EXPECT_EQ(output(), "{\"code\":\"cancel\",\"data\":\"\"}\n");
    EXPECT_TRUE(m_demo->hasEnded());
    platform::Application::shared().terminate();
    m_clock.advance(5);
    EXPECT_EQ(output(), "{\"code\":\"cancel\",\"data\":\"\"}\n");
    EXPECT_EQ(count("query"), 0u);
    EXPECT_EQ(count("pay"), 0u);
}

TEST_F(CardPayDemoEnding, AHeldPaymentsResultIsAskedOnceAndReported) {
    using Fault = testsupport::CardPayTestServer::Fault;
    struct Case {
        Fault fault;
        platform::Dictionary reply;
        platform::Dictionary written;
    };
    const Case cases[] = {
        {Fault::None, {{"status", "00"}}, {{"code", "success"}, {"data", ""}}},
        {Fault::None, {{"status", "03"}, {"fail_msg", "Declined"}}, {{"code", "fail"}, {"data", ""}}},
        {Fault::None, {{"status", "01"}}, {{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}},
        {Fault::Drop, {{"status", "00"}}, {{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}},
        {Fault::HTTP500, {{"status", "00"}}, {{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}},
    };
    ASSERT_TRUE(sendAHeldPayment());
    std::shared_ptr<app::CardPayDemo> host = m_demo;
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::JSON::writeCompact(platform::Value(c.written)).valueOr(""));
        if (&c != &cases[0]) {
            // The road's state as the held payment left it, with a host waiting again.
            cardpay::BCDataContainer::destory();
            const auto container = cardpay::BCDataContainer::instance();
            container->setMTN(std::string(app::CardPayDemo::kTransactionNumber));
            container->setOutstandingPayment(cardpay::BCPayment{"pay", cardpay::kBCCmdPay, app::CardPayDemo::kTransactionNumber,
                                                                cardpay::BCPayment::Meaning::Paid, 1});
            host = app::CardPayDemo::create(m_server.url(), m_output);
            container->setResultDelegate(host);
            std::rewind(m_output);
            ASSERT_EQ(ftruncate(fileno(m_output), 0), 0);
        }
        m_server.setFault("query", c.fault);
        m_server.setReply("query", c.reply);
        const std::size_t polls = count("query");
        platform::Application::shared().terminate();
        EXPECT_EQ(result(), c.written);
        EXPECT_EQ(count("query"), polls + 1);
        EXPECT_EQ(count("pay"), 1u);
    }
}

TEST_F(CardPayDemoEnding, ANeverAnsweredQuestionIsGivenUpAfterAFewSeconds) {
    ASSERT_TRUE(sendAHeldPayment());
    std::atomic<bool> stillWaiting = false;
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::Hold);
    const std::size_t polls = count("query");
    // The clock moves while the application waits for the answer (as the real clock would): just short
    // of the limit nothing is given up, at the limit it is.
    std::thread clock([&] {
        hybtest::pollUntil([&] { return count("query") != polls; });
        m_clock.advance(cardpay::BCPayRoad::kResultWaitOnExit - 0.1);
        stillWaiting = output().empty();
        m_clock.advance(0.1);
    });
    platform::Application::shared().terminate();
    clock.join();
    EXPECT_TRUE(stillWaiting);
    EXPECT_EQ(result(), (platform::Dictionary{{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

// Asked again to end while the question is held, the process may be ended from a signal handler before
// the main thread runs again: the line the road told for that case is written then, once, from that
// thread; the road's own hand-over writes nothing more. Before the wait nothing is ready (the road still
// awaits its result); once written, nothing is left.
TEST_F(CardPayDemoEnding, AWaitCutShortHasItsLineWrittenOnceFromAnyThread) {
    ASSERT_TRUE(sendAHeldPayment());
    EXPECT_FALSE(app::CardPayDemo::handOverIfCutShort());
    EXPECT_EQ(output(), "");
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::Hold);
    const std::size_t polls = count("query");
    std::atomic<bool> handedOver = false;
    std::thread signal([&] {
        hybtest::pollUntil([&] { return count("query") != polls; });
        handedOver = app::CardPayDemo::handOverIfCutShort();
        platform::DispatchQueue::main()->async([] { cardpay::BCPayRoad::hurry(); });
    });
    platform::Application::shared().terminate();
    signal.join();
    EXPECT_TRUE(handedOver);
    EXPECT_EQ(result(), (platform::Dictionary{{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}));
    EXPECT_TRUE(app::CardPayDemo::handOverIfCutShort());
    EXPECT_EQ(result(), (platform::Dictionary{{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

// The line kept ready may go into a pipe nobody reads yet: while one signal's handler is held writing it,
// another signal (on another thread) neither writes it again nor takes it as written, which would end the
// process under the first; nor does the road's own hand-over write one.
TEST_F(CardPayDemoEnding, AHandOverHeldWritingTheLineLeavesTheEndToIt) {
    ASSERT_TRUE(sendAHeldPayment());
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::FILE* piped = ::fdopen(fds[1], "w");
    ASSERT_TRUE(piped);
    const auto host = app::CardPayDemo::create(m_server.url(), piped);
    cardpay::BCDataContainer::instance()->setResultDelegate(host);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    for (char full[4096] = {}; ::write(fds[1], full, sizeof full) > 0;) {
    }
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::Hold);
    const std::size_t polls = count("query");
    std::atomic<pid_t> writer = 0;
    std::atomic<bool> firstHandedOver = false, secondHandedOver = true, firstHeld = false;
    std::thread first;
    std::thread second([&] {
        hybtest::pollUntil([&] { return count("query") != polls; });
        first = std::thread([&] {
            writer = static_cast<pid_t>(::syscall(SYS_gettid));
            firstHandedOver = app::CardPayDemo::handOverIfCutShort();
        });
        // Once the first is held in its write, the second asks.
        firstHeld = hybtest::pollUntil([&] { return writer.load() != 0 && hybtest::inSystemCall(writer.load(), SYS_write, fds[1]); });
        if (firstHeld)
            secondHandedOver = app::CardPayDemo::handOverIfCutShort();
        platform::DispatchQueue::main()->async([] { cardpay::BCPayRoad::hurry(); });
    });
    platform::Application::shared().terminate();
    second.join();
    ASSERT_TRUE(firstHeld) << "the first hand-over was not seen in its write";
    EXPECT_FALSE(secondHandedOver) << "the line is still being written";
    // Read on: the held write ends, with the line once.
    std::string out;
    char buffer[4096];
    for (ssize_t n; out.find('\n') == std::string::npos && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            if (buffer[i] != '\0')
                out += buffer[i];
    first.join();
    EXPECT_TRUE(firstHandedOver);
    EXPECT_TRUE(app::CardPayDemo::handOverIfCutShort());
    std::fclose(piped);
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    EXPECT_EQ(out, "{\"code\":\"fail\",\"data\":\"" + std::string(cardpay::BCPayRoad::kUnconfirmed) + "\"}\n");
    EXPECT_EQ(count("pay"), 1u);
}

TEST_F(CardPayDemoEnding, OnTheSuccessScreenTheRoadEndsWithSuccessUnasked) {
    ASSERT_TRUE(sendAHeldPayment());
    m_server.releaseHeldReplies();
    ASSERT_TRUE(m_road->waitUntil([&] {
        m_clock.advance(0.25);
        return m_road->top<cardpay::BCSucceedViewController>() && !m_road->isInTransition();
    }, "the success screen"));
    const std::size_t polls = count("query");
    platform::Application::shared().terminate();
    EXPECT_EQ(result(), (platform::Dictionary{{"code", "success"}, {"data", ""}}));
    EXPECT_EQ(count("query"), polls);
    EXPECT_EQ(count("pay"), 1u);
}

TEST_F(CardPayDemoTest, AHostOutsideAWindowIsRefused) {
    auto demo = app::CardPayDemo::create(m_server.url(), m_output);
    auto opened = demo->open(std::make_shared<platform::ViewController>());
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().localizedDescription().find("not in a window"), std::string::npos);
    EXPECT_TRUE(app::CardPayDemo::handOverIfCutShort()) << "no road open: nothing for a signal to wait for";
    bool shown = false;
    demo->whenOrderScreenShows([&] { shown = true; });
    m_clock.advance(1);
    EXPECT_FALSE(shown);
    EXPECT_TRUE(m_server.commands().empty());
}

} // namespace
