// The push client end to end through its public entry points only: set-up from the bundle's facts, the
// platform's token, login against the loopback servers, the registration notification on the main run
// loop, a second token and a second set-up ignored.
#include "NetworkGateTest.h"

#include "push/PULSEService.h"

#include "platform/application/Application.h"

#include <atomic>
#include <thread>

namespace {

using namespace pushtest;
using platform::Dictionary;
using push::PULSEClientController;
using push::PULSEService;

class ServiceClient : public NetworkGate {
protected:
    ServiceClient() : NetworkGate(false) {
        m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                             "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                                             "<string>org.test.pulse</string><key>CFBundleVersion</key>"
                                             "<string>7</string></dict></plist>\n");
        platform::Application::shared().resetForTesting();
        PULSEService::resetForTesting(platform::RunLoop::currentShared());
    }
    ~ServiceClient() override {
        PULSEClientController::sharedClient().close();
        PULSEService::resetForTesting(nullptr);
        platform::Application::shared().resetForTesting();
    }
    void expectFirstDevice() {
        m_reports.expect(1001, "pw1", kSessionAppKey);
        m_reports.expectDevice(m_identity->sharedUdid());
        m_sink.expect({1001, kSessionAppKey, {"apns_state"}});
    }
    bool loggedIn() {
        auto network = PULSEClientController::sharedClient().networkService();
        auto session = network ? network->clientSession() : nullptr;
        return session && session->isLogin();
    }
};

TEST_F(ServiceClient, SetUpTokenLoginAndRegistrationThroughTheEntryPoints) {
    expectFirstDevice();
    EXPECT_EQ(PULSEService::registrationID(), "");
    // Debug mode chosen before set-up gives way to the set-up's info level: the token upload is logged
    // without the token.
    PULSEService::setDebugMode();
    PULSEService::setupWithOption(Dictionary{}, kSessionAppKey, "test", false);
    PULSEService::setupWithOption(Dictionary{}, "fedcba9876543210fedcba98", "other", true);
    PULSEService::registerDeviceToken(platform::Bytes{0x0a, 0xff});
    PULSEService::registerDeviceToken(platform::Bytes{0x01});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return loggedIn() && count(push::kPULSENetworkDidRegisterNotification) == 1; }));
    drainPosted();

    auto& client = PULSEClientController::sharedClient();
    EXPECT_EQ(client.bundleIdentifier(), "org.test.pulse");
    EXPECT_EQ(client.bundleVersion(), platform::Value(7.0));
    ASSERT_TRUE(client.userDefaults());
    EXPECT_EQ(client.userDefaults()->appKey(), kSessionAppKey);
    EXPECT_EQ(client.userDefaults()->currentDeviceToken(), std::optional<std::string>("0aff"));
    EXPECT_EQ(countLines("Pulse WARN device token should NOT be updated for multi times"), 1);
    EXPECT_EQ(countLines("Pulse SDK Version"), 1);
    EXPECT_FALSE(PULSEService::registrationID().empty());
    // From another thread the id is read on the client thread (here the main loop, which this test turns).
    std::string fromAnotherThread;
    std::atomic<bool> read{false};
    std::thread reader([&] {
        fromAnotherThread = PULSEService::registrationID();
        read = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return read.load(); }));
    reader.join();
    EXPECT_EQ(fromAnotherThread, PULSEService::registrationID());
    // The badge: 99999 reaches the user endpoint; out-of-range values send nothing.
    EXPECT_FALSE(PULSEService::setBadge(100000));
    EXPECT_FALSE(PULSEService::setBadge(-1));
    EXPECT_TRUE(PULSEService::setBadge(PULSEService::kMaxBadge));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_reports.badges().empty(); }));
    drainPosted();
    EXPECT_EQ(m_reports.badges(), std::vector<std::int64_t>{PULSEService::kMaxBadge});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("upload device token success") == 1; }));
    EXPECT_EQ(countLines("upload device token success, token is"), 0);
    EXPECT_EQ(PULSEService::currentLogLevel(), 7u);
    // Page views without a name are refused by the client.
    PULSEService::startLogPageView(std::nullopt);
    PULSEService::stopLogPageView(std::nullopt);
    PULSEService::startLogPageView(std::string("home"));
    drainPosted();
    EXPECT_EQ(countLines("参数错误，pageName不能为空"), 2);
    // With a token taken, the missing-token warnings never come.
    m_clock.advance(12.0);
    drainPosted();
    EXPECT_EQ(countLines("Not get deviceToken yet."), 0);
}

} // namespace
