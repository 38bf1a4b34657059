// What the service tests share: a fresh home, a virtual clock, the loopback payment server with the
// sample scenario, a state object holding a transaction number, and a delegate that records answers. The
// simulated device is on Wi-Fi whatever this machine's own interfaces are (the server is on loopback,
// which alone counts as no network): a case that wants another network says so.
#pragma once

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "cardpay/views/BCNavController.h"
#include "platform/device/Reachability.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Window.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardpaytest {

struct Answer {
    int code = 0;             // event or failure type
    bool failure = false;
    std::optional<std::string> error;
    platform::Value data;
};

class RecordingDelegate : public cardpay::BCMPServiceDelegate {
public:
    void comunicateToBCMPDidSucceedWithEvent(int event) override {
        if (onEvent)
            onEvent(event);
        answers.push_back({event, false, std::nullopt, {}});
    }
    void comunicateToBCMPDidSucceedWithEvent(int event, const platform::Value& data) override {
        answers.push_back({event, false, std::nullopt, data});
    }
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override {
        answers.push_back({type, true, error, {}});
    }
    std::vector<Answer> answers;
    std::function<void(int)> onEvent;
};

// The host of a payment road: records the result dictionaries it is handed.
class HostRecorder : public cardpay::BCPayResultDelegate {
public:
    void bankCardPayDidFinish(const platform::Dictionary& result) override { results.push_back(result); }
    std::vector<platform::Dictionary> results;
};

class CardPayFixture : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_clock.install();
        platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable);
        auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
        ASSERT_TRUE(scenario.ok()) << scenario.error().localizedDescription();
        m_server.setScenario(*scenario);
        cardpay::BCDataContainer::destory();
        container()->setMTN("201712010001");
        cardpay::BCHttpsConnect::instance()->setServerURL(m_server.url());
        cardpay::YLUniTracker::resetRecord();
        m_service = cardpay::BCMPServiceConsumption::create();
        m_service->setDelegate(m_delegate);
    }

    void TearDown() override {
        m_server.releaseHeldReplies();
        cardpay::BCMPService::releaseCommon();
        cardpay::BCHttpsConnect::releaseInstance();
        cardpay::BCDataContainer::destory();
        platform::Reachability::setOverrideFlags(std::nullopt);
    }

    static std::shared_ptr<cardpay::BCDataContainer> container() { return cardpay::BCDataContainer::instance(); }
    // The sample scenario's replies, with this server's address where they name "{server}".
    platform::Dictionary sampleReplies() const {
        auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
        EXPECT_TRUE(scenario.ok());
        return m_server.withServerAddress((scenario.ok() ? *scenario : platform::Dictionary{})["replies"]).dictionaryOrEmpty();
    }

    // Turns the main loop until the delegate heard `count` answers in all.
    bool waitForAnswers(std::size_t count) {
        return hybtest::runMainUntil([&] { return m_delegate->answers.size() >= count; });
    }
    const Answer& lastAnswer() const { return m_delegate->answers.back(); }

    platform::VirtualClock m_clock;
    testsupport::CardPayTestServer m_server;
    std::shared_ptr<RecordingDelegate> m_delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<cardpay::BCMPServiceConsumption> m_service;
};

// The road's commands, sent by its usual connection and known while they are in flight.
class InFlightTransport final : public cardpay::BCCommandTransport, public std::enable_shared_from_this<InFlightTransport> {
public:
    RequestID send(const std::string& body, Completion completion) override {
        const RequestID id = m_nextID++;
        const auto connection = cardpay::BCHttpsConnect::instance();
        m_inFlight[id] = {connection, 0};
        const auto answered = [weak = weak_from_this(), id, completion = std::move(completion)](cardpay::BCTransportOutcome outcome) {
            if (const auto self = weak.lock())
                self->m_inFlight.erase(id);
            completion(std::move(outcome));
        };
        const RequestID sent = connection->send(body, answered);
        if (const auto it = m_inFlight.find(id); it != m_inFlight.end())
            it->second.request = sent;
        return id;
    }
    void cancel(RequestID id) override {
        const auto node = m_inFlight.extract(id);
        if (!node.empty())
            if (const auto connection = node.mapped().connection.lock())
                connection->cancel(node.mapped().request);
    }
    // None in flight (a connection released drops its requests unanswered).
    bool idle() {
        std::erase_if(m_inFlight, [](const auto& entry) { return entry.second.connection.expired(); });
        return m_inFlight.empty();
    }

private:
    struct Sent {
        std::weak_ptr<cardpay::BCHttpsConnect> connection;
        RequestID request;
    };
    RequestID m_nextID = 1;
    std::map<RequestID, Sent> m_inFlight;
};

// Screens of the road: the service fixture plus a key window whose root stands for the host, a
// navigation controller presented over it, and a driver that works the screens as a user would. The
// road's commands go through an InFlightTransport, so that a wait can move the clock on for the road's
// timers only while no command is in flight.
class CardPayRoadFixture : public CardPayFixture {
protected:
    void SetUp() override {
        CardPayFixture::SetUp();
        cardpay::BCMPService::setTransport(m_transport);
        m_window = platform::Window::create(platform::Rect(0, 0, 375, 667));
        m_root = std::make_shared<platform::ViewController>();
        m_window->setRootViewController(m_root);
        m_window->makeKeyAndVisible();
        container()->setResultDelegate(m_host);
        container()->setRootViewController(m_root);
        m_road = std::make_unique<hybtest::CardPayRoadDriver>(m_window, &m_clock);
    }

    // What a case set moving ends within it: its transitions finish (on its own clock), the road is
    // taken off the host without animation and the window is hidden, so that no screen of the case
    // appears or disappears while a later case of the same program runs.
    void TearDown() override {
        m_server.releaseHeldReplies();
        cardpay::BCMPService::releaseCommon();
        if (m_road)
            (void)m_road->settle();
        if (m_root && m_root->presentedViewController())
            m_root->dismissViewController(false, {});
        turns(2);
        if (m_road)
            (void)m_road->settle();
        if (m_window)
            m_window->setHidden(true);
        CardPayFixture::TearDown();
        cardpay::BCMPService::setTransport(nullptr);
    }

    hybtest::CardPayRoadDriver& road() { return *m_road; }

    // `screen` as the root of a navigation controller presented over the host; its view is loaded.
    void present(const std::shared_ptr<platform::ViewController>& screen, bool barHidden = false) {
        m_nav = cardpay::BCNavController::initWithRootViewController(screen);
        m_nav->setNavigationBarHidden(barHidden);
        m_root->presentViewController(m_nav, false);
        hybtest::runMainUntil([&] { return !m_nav->isBeingTransitioned(); });
        screen->view();
    }

    // The road opened over the host as the application opens it, the server answering init with `init`;
    // on to the order screen.
    ::testing::AssertionResult openRoadOnOrderScreen(const platform::Dictionary& init, const std::string& tn) {
        m_server.setReply("init", init);
        m_nav = cardpay::BCPayRoad::start(m_root, tn, m_server.url(), m_host);
        if (!m_nav)
            return ::testing::AssertionFailure() << "the road did not open";
        return m_road->waitForScreen<cardpay::BCOrderInfoViewController>();
    }

    // A step of a wait for the road's timers (its next result poll, say): the clock moves a quarter
    // second on, unless a command is in flight. However long a loaded machine takes to carry the
    // server's answer, the road's own time limits (a request's, the last question's on leaving) do not
    // run out first.
    void stepUnlessAsking() {
        if (m_transport->idle())
            m_clock.advance(0.25);
    }

    // A few turns of the main loop (work posted for a later turn runs).
    static void turns(int count) {
        int done = 0;
        hybtest::runMainUntil([&] { return ++done > count; });
    }

    std::shared_ptr<HostRecorder> m_host = std::make_shared<HostRecorder>();
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<platform::ViewController> m_root;
    std::shared_ptr<cardpay::BCNavController> m_nav;
    std::unique_ptr<hybtest::CardPayRoadDriver> m_road;
    std::shared_ptr<InFlightTransport> m_transport = std::make_shared<InFlightTransport>();
};

} // namespace cardpaytest
