// The hub's own work: the push environment from the provisioning profile, the device token (hex text,
// taken once, the missing-token check), the registration id, remote-notification reports, and set-up
// against the loopback servers through to login.
#include "NetworkGateTest.h"

#include "push/PULSEHttpSessionController.h"
#include "push/PULSEReportKinds.h"

#include <fstream>
#include <map>

namespace {

using namespace pushtest;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using push::PULSEClientController;

class ClientProfile : public PushTest {
protected:
    int environmentOf(const std::optional<std::string>& profileText) {
        auto& client = PULSEClientController::sharedClient();
        if (profileText) {
            const std::string path = m_home.root() + "/embedded.mobileprovision";
            std::ofstream(path, std::ios::binary) << *profileText;
            client.setEmProvisionUrl(path);
        } else {
            client.setEmProvisionUrl(std::nullopt);
        }
        client.loadApsEnvironment();
        return client.apsEvironment();
    }
};

TEST_F(ClientProfile, TheEnvironmentEntryGivesThePushEnvironment) {
    const std::string key = "<key>aps-environment</key>\n\t<string>";
    EXPECT_EQ(environmentOf("\xe9\xff" + key + "production</string>"), 2);
    EXPECT_EQ(environmentOf("<KEY>APS-ENVIRONMENT</KEY><string>DEVELOPMENT</STRING>"), 1);
    EXPECT_EQ(environmentOf(key + "staging</string>"), -4);
    EXPECT_EQ(environmentOf("<key>other</key><string>production</string>"), -3);
    // Only the entry counts: a word after its "</string>" is not read.
    EXPECT_EQ(environmentOf(key + "x</string><string>development</string>"), -4);
    // Without "</string>" within 100 characters the entry is the next 50.
    EXPECT_EQ(environmentOf(key + "production" + std::string(120, ' ')), 2);
    EXPECT_EQ(environmentOf(key + std::string(40, ' ') + "production" + std::string(120, ' ')), -4);
    EXPECT_EQ(environmentOf(key + "devel"), -4); // the text ends inside the entry

    EXPECT_EQ(environmentOf(std::nullopt), -1);
    EXPECT_EQ(countLines("load aps evi error, no em provision url"), 1);
    PULSEClientController::sharedClient().setEmProvisionUrl(m_home.root() + "/missing.mobileprovision");
    PULSEClientController::sharedClient().loadApsEnvironment();
    EXPECT_EQ(PULSEClientController::sharedClient().apsEvironment(), -2);
}

TEST(ClientToken, BytesReadAsLowerCaseHex) {
    EXPECT_EQ(PULSEClientController::stringWithDeviceToken(std::string("\x0a\xff", 2)), "0aff");
    EXPECT_EQ(PULSEClientController::stringWithDeviceToken(std::string("\x00\x10", 2)), "0010");
    EXPECT_EQ(PULSEClientController::stringWithDeviceToken(""), "");
}

class ClientSetup : public NetworkGate {
protected:
    ClientSetup() : NetworkGate(false) {}
    ~ClientSetup() override { PULSEClientController::sharedClient().close(); }
    void setup() {
        auto& client = PULSEClientController::sharedClient();
        client.setup();
        m_network = client.networkService();
        m_session = m_network ? m_network->clientSession() : nullptr;
        m_identity = client.userDefaults();
    }
    // The test server grants the first device uid 1001 with password "pw1".
    void expectFirstDevice() {
        m_reports.expect(1001, "pw1", kSessionAppKey);
        m_reports.expectDevice(m_identity->sharedUdid());
        m_sink.expect({1001, kSessionAppKey, {"apns_state"}});
    }
    int tokenWarnings() { return countLines("Not get deviceToken yet. Maybe: your certificate not configured APNs?"); }
};

TEST_F(ClientSetup, WithoutATokenFiveWarningsTwoSecondsApartAndNoSession) {
    setup();
    ASSERT_TRUE(m_network);
    for (int second = 1; second <= 30; ++second) {
        m_clock.advance(1.0);
        drainPosted();
        EXPECT_EQ(tokenWarnings(), std::min(second / 2, 5)) << second;
    }
    EXPECT_FALSE(m_session->isSetup());
    EXPECT_EQ(PULSEClientController::sharedClient().deviceTokenStatusCheckTimes(), 0);
}

TEST_F(ClientSetup, NoBundleIdentifierStartsNothing) {
    PULSEClientController::sharedClient().setBundleIdentifier("");
    setup();
    EXPECT_EQ(countLines("no bundle id set"), 1);
    EXPECT_FALSE(m_network);
}

TEST_F(ClientSetup, TheTokenLogsInOnceAndASecondTokenIsIgnored) {
    auto& client = PULSEClientController::sharedClient();
    expectFirstDevice();
    setup();
    client.updateDeviceToken(std::string("\x0a\xff", 2));
    EXPECT_EQ(m_identity->currentDeviceToken(), std::optional<std::string>("0aff"));
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(13).size() == 1; }));

    client.updateDeviceToken(std::string("\x01", 1));
    EXPECT_EQ(countLines("Pulse WARN device token should NOT be updated for multi times"), 1);
    EXPECT_EQ(m_identity->currentDeviceToken(), std::optional<std::string>("0aff"));
    m_clock.advance(12.0);
    drainPosted();
    EXPECT_EQ(tokenWarnings(), 0);

    // The registration id: a non-empty stored "kRegistrationId" first, else the identity's.
    ASSERT_TRUE(client.readRegistrationID());
    EXPECT_FALSE(client.readRegistrationID()->empty());
}

TEST_F(ClientSetup, RemoteNotificationsAreReportedWithTheirIdAndFlag) {
    expectFirstDevice();
    setup();
    auto& client = PULSEClientController::sharedClient();
    client.updateDeviceToken(std::string("\x0a\xff", 2));
    ASSERT_TRUE(waitLoggedIn());

    client.handleRemoteNotification(Value(Array{}));
    client.handleRemoteNotification(Value("2001"));
    client.handleRemoteNotification(Value(Array{Value(2001), Value(Dictionary{{"_p_msgid", Value("123")}})}));
    client.handleRemoteNotification(Value(Array{Value(2002), Value(Dictionary{{"_p_msgid", Value(7)}, {"_p_flag", Value("5")}})}));
    client.handleRemoteNotification(Value(Array{Value(2004), Value(Dictionary{{"_p_msgid", Value("x")}, {"_p_flag", Value("y")}})}));
    client.handleRemoteNotification(Value(Array{Value(2003)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_reports.itemsOfType("msg_status").size() >= 4; }));
    drainPosted();
    const auto items = m_reports.itemsOfType("msg_status");
    ASSERT_EQ(items.size(), 4u);
    std::map<std::int64_t, Value> byResult;
    for (const auto& item : items)
        byResult[*item["result"].getInteger()] = item;
    ASSERT_EQ(byResult.size(), 4u);
    EXPECT_EQ(byResult[2001]["msg_id"], Value("123"));
    EXPECT_EQ(byResult[2001].getDictionary()->find("flag"), nullptr); // -10000: left out
    EXPECT_EQ(byResult[2002]["msg_id"], Value("7"));
    EXPECT_EQ(byResult[2002]["flag"], Value(5));
    EXPECT_EQ(byResult[2004]["flag"], Value(0)); // a flag that is not a number counts as 0
    EXPECT_EQ(byResult[2003].getDictionary()->find("flag"), nullptr);
}

} // namespace
