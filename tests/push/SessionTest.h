// The fixture of the session tests: a client with identity, configuration, device facts and a device
// token, talking to the loopback push server, lookup service and report sink through endpoints that name
// them; the network status is the test's to set. The session runs on the main thread's run loop (its
// waits turn it), except where a test starts a client thread of its own.
#pragma once

#include "PushTest.h"

#include "push/PULSEMessageCenter.h"
#include "push/PULSEPushConfigController.h"
#include "push/PULSESessionController.h"
#include "push/PULSETagAlias.h"

#include "support/PushLookupServer.h"
#include "support/PushReportServer.h"
#include "support/PushReportSink.h"
#include "support/RunLoopWait.h"

#include "platform/net/HostResolver.h"
#include "platform/runloop/NotificationCenter.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pushtest {

inline constexpr const char* kSessionAppKey = "abcdef0123456789abcdef01";

class SessionTest : public PushServerTest {
protected:
    // Without `deviceToken` the client has not been given its device token yet.
    explicit SessionTest(bool deviceToken = true) {
        m_identity = installIdentity(kSessionAppKey);
        auto& client = push::PULSEClientController::sharedClient();
        auto config = std::make_shared<push::PULSEPushConfigController>();
        config->setAppKey("ABCDEF0123456789ABCDEF01", std::nullopt, true);
        client.setPushConfig(config);
        client.setBundleVersion(platform::Value(42));
        client.setSystemVersion("9.0");
        client.setModelName("iPhone7,2");
        if (deviceToken) {
            m_identity->setCurrentDeviceToken("0a1b2c3d");
            client.setDeviceTokenUpdated();
        }
        client.setTagAliasMng(std::make_shared<push::PULSETagAlias>());
        client.setMessageCenter(std::make_shared<push::PULSEMessageCenter>());
        client.setNetworkStatusSource([this] { return m_networkStatus.load(); });

        m_server.setSessionAnswers(kSessionAppKey);
        m_lookup.expect({"-1", 0, 0, kSessionAppKey});
        const std::string push = "127.0.0.1:" + std::to_string(m_server.pushPort());
        m_lookup.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:1", {push, push, "127.0.0.1:1"},
                                                                  "127.0.0.1:" + std::to_string(m_sink.port()), {}));
        auto endpoints = push::PULSEEndpoints::shared();
        endpoints.lookupPorts = {m_lookup.port(0), m_lookup.port(1)};
        endpoints.lookupAddress = "127.0.0.1";
        endpoints.connectHost = {"connect.test", m_server.pushPort()};
        endpoints.defaultConnectAddress = {"127.0.0.1", m_server.pushPort()};
        endpoints.defaultReportAddress = {"127.0.0.1", m_sink.port()};
        push::PULSEEndpoints::setShared(endpoints);
        for (const auto& host : endpoints.lookupHosts)
            platform::HostResolver::setTestEntry(host, platform::HostResolver::TestAnswer::Failure);
        platform::HostResolver::setTestEntry("connect.test", platform::HostResolver::TestAnswer::Address, "127.0.0.1");

        for (const char* name : {push::kPULSENetworkIsConnectingNotification, push::kPULSENetworkDidSetupNotification,
                                 push::kPULSENetworkDidRegisterNotification, push::kPULSENetworkDidLoginNotification,
                                 push::kPULSENetworkDidCloseNotification})
            platform::NotificationCenter::defaultCenter().addObserver(this, name, nullptr, [this](const platform::Notification& note) {
                std::lock_guard lock(m_notesMutex);
                m_notes.push_back(note);
            });
    }

    ~SessionTest() override {
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        m_session.reset();
        platform::HostResolver::clearTestTable();
        for (const auto& fault : m_lookup.faults())
            ADD_FAILURE() << "lookup server fault: " << fault;
        for (const auto& fault : m_sink.faults())
            ADD_FAILURE() << "report sink fault: " << fault;
    }

    // A session made and set up on the main thread, logged in when this returns.
    void startLoggedIn() {
        m_session = push::PULSESessionController::create();
        m_session->setup();
        ASSERT_TRUE(waitLoggedIn());
    }

    // Registers and logs in once, so that the report server knows the uid and the device.
    void registerDeviceWith(testsupport::PushReportServer& reports) {
        startLoggedIn();
        reports.expect(m_identity->uid(), m_identity->password().value_or(""), kSessionAppKey);
        reports.expectDevice(m_identity->sharedUdid());
    }

    bool waitLoggedIn() {
        const bool loggedIn = hybtest::runMainUntil([&] { return m_session->isLogin(); });
        // Lookups from now on carry the registered uid's low byte.
        m_lookup.expect({"-1", 0, static_cast<std::uint8_t>(m_identity->uid()), kSessionAppKey});
        return loggedIn;
    }

    // Turns the main run loop until no request waits for its acknowledgement: the clock may then move
    // past the acknowledgement time-outs (an acknowledgement still on its way would lose the race).
    bool ackArrived() {
        return hybtest::runMainUntil([&] { return m_session->tcpSendingQueue().count() == 0; });
    }

    // Lets go of the session and makes a new one over the same stores (a restart of the application).
    void restartSession() {
        m_session.reset();
        m_session = push::PULSESessionController::create();
    }

    std::vector<std::string> noteNames() {
        std::lock_guard lock(m_notesMutex);
        std::vector<std::string> names;
        for (const auto& note : m_notes)
            names.push_back(note.name);
        return names;
    }
    std::vector<platform::Notification> notes() {
        std::lock_guard lock(m_notesMutex);
        return m_notes;
    }


    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
    std::shared_ptr<push::PULSESessionController> m_session;
    testsupport::PushLookupServer m_lookup;
    testsupport::PushReportSink m_sink;
    std::atomic<int> m_networkStatus{2};

    std::mutex m_notesMutex;
    std::vector<platform::Notification> m_notes;
};

} // namespace pushtest
