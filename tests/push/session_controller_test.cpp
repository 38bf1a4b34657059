// The session against the loopback push server on the virtual clock: registration and login, request
// ids, queues, heartbeats and acknowledgements, the half-open peer, reconnection, the lookup result's
// reuse and UDP reports kept until login.
#include "SessionTest.h"

#include "push/PULSESessionRequests.h"
#include "push/PULSEThread.h"
#include "push/PULSEUDPReport.h"

#include "support/ClosedPort.h"

#include "platform/runloop/RunLoop.h"
#include "platform/system/UserDefaults.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using push::PULSESessionController;
using testsupport::PushReceivedPacket;
using testsupport::PushTestServer;

// A TCP listener that takes every connection and closes it at once, answering nothing.
class DroppingServer {
public:
    DroppingServer() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 16) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "cannot listen";
        m_port = ntohs(address.sin_port);
        m_wake = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] {
            for (;;) {
                pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                    return;
                if (const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0) {
                    ::close(fd);
                    ++m_accepted;
                }
            }
        });
    }
    ~DroppingServer() {
        const std::uint64_t one = 1;
        (void)::write(m_wake, &one, sizeof one);
        m_thread.join();
        ::close(m_wake);
        ::close(m_listen);
    }
    std::uint16_t port() const { return m_port; }
    int accepted() const { return m_accepted; }

private:
    int m_listen = -1;
    int m_wake = -1;
    std::uint16_t m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

class Session : public pushtest::SessionTest {
protected:
    std::vector<int> commandsOf(int connection) const {
        std::vector<int> commands;
        for (const auto& packet : m_server.packets())
            if (packet.connection == connection)
                commands.push_back(packet.command);
        return commands;
    }

    // Advances the clock and waits for the server to have accepted a number of connections.
    bool reconnectsAfter(double seconds, int connections) {
        m_clock.advance(seconds - 0.01);
        if (m_server.connectionsAccepted() >= connections)
            return false;
        m_clock.advance(0.01);
        return m_server.waitFor([&] { return m_server.connectionsAccepted() >= connections; });
    }

    // Turns the main run loop (where the session writes) until the server holds n packets of a command.
    bool serverGot(std::uint8_t command, std::size_t n) {
        return hybtest::runMainUntil([&] { return m_server.packets(command).size() == n; });
    }

    // How many reconnections were scheduled after 2, 5, 20 and 300 s.
    std::vector<int> scheduled() const {
        std::vector<int> counts;
        for (const char* delay : {"2.000000", "5.000000", "20.000000", "300.000000"})
            counts.push_back(countLines(std::string("interval: ") + delay));
        return counts;
    }

    void drainMain() {
        bool done = false;
        platform::RunLoop::main().perform([&] { done = true; });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }

    std::uint64_t storedCounter() {
        auto cache = push::PULSEFileCacheController::shareInstanceWithType(0);
        const auto stored = cache->objectForKey(PULSESessionController::kSessionIDKey);
        const auto* value = stored.getInteger();
        return value ? static_cast<std::uint64_t>(*value) : ~0ull;
    }
};

TEST_F(Session, AFirstRunRegistersThenLogsInAndARestartLogsInAtOnce) {
    startLoggedIn();
    EXPECT_EQ(commandsOf(1), (std::vector<int>{0, 1}));
    EXPECT_EQ(m_identity->uid(), 1001u);
    EXPECT_EQ(m_identity->password(), "pw1");
    EXPECT_EQ(m_identity->registrationID(), "reg1");
    EXPECT_EQ(m_session->sessionID(), 0x5E55u);
    EXPECT_EQ(m_session->serverVersion(), 1);
    EXPECT_TRUE(m_session->isConnected());

    // Connecting is told at once; the rest through the main queue, the registration with its id.
    ASSERT_TRUE(hybtest::runMainUntil([&] { return noteNames().size() == 4; }));
    EXPECT_EQ(noteNames(), (std::vector<std::string>{push::kPULSENetworkIsConnectingNotification, push::kPULSENetworkDidSetupNotification,
                                                     push::kPULSENetworkDidRegisterNotification, push::kPULSENetworkDidLoginNotification}));
    EXPECT_EQ(notes()[2].userInfo["RegistrationID"].stringOr(""), "reg1");

    // The login's times are kept; the server stamps whole seconds, so the offset is 0 or -1.
    auto& defaults = platform::UserDefaults::standard();
    EXPECT_NEAR(defaults.doubleValue(PULSESessionController::kLocalTimeKey), 1'700'000'000.0, 1.0);
    EXPECT_EQ(defaults.integer(PULSESessionController::kServerTimeKey), 1'700'000'000);
    EXPECT_LE(std::abs(push::PULSEClientController::sharedClient().proofTimeInterval()), 1);

    // A restart logs in with the stored identity (the server checks the MD5 of "pw1").
    restartSession();
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(commandsOf(2), (std::vector<int>{1}));
    EXPECT_EQ(m_session->sessionID(), 0x5E56u);
}

TEST_F(Session, ALoginFailureClearsTheIdentityAndTheNextConnectionRegisters) {
    startLoggedIn();
    m_server.scriptLoginStatuses({7});
    restartSession();
    m_session->setup();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(m_identity->uid(), 0u);
    EXPECT_FALSE(m_identity->password());
    EXPECT_FALSE(m_identity->registrationID());

    m_lookup.expect({"-1", 0, 0, pushtest::kSessionAppKey});
    ASSERT_TRUE(reconnectsAfter(2.0, 3));
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(commandsOf(3), (std::vector<int>{0, 1}));
    EXPECT_EQ(m_identity->uid(), 1001u); // the server knows the device
}

// A registration or login answer counts only as the answer of the request it names, sent on this
// connection: one nobody asked for (repeated, late, from another connection) neither logs the client in
// nor replaces its identity, nor sends a second login.
TEST_F(Session, AnswersToNoRequestOfThisConnectionAreIgnored) {
    startLoggedIn();
    const auto uid = m_identity->uid();
    const auto password = m_identity->password();
    const std::uint64_t loginRid = m_server.packets(1).back().rid;
    m_session->setIsConnectDisable(true);
    m_session->close();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));

    testsupport::PushBytes login;
    PushTestServer::appendU16(login, 0);
    PushTestServer::appendU32(login, 77);
    PushTestServer::appendU16(login, 1);
    PushTestServer::appendString(login, "key");
    PushTestServer::appendU32(login, 0);
    testsupport::PushBytes registration;
    PushTestServer::appendU16(registration, 0);
    PushTestServer::appendU64(registration, 4242);
    PushTestServer::appendString(registration, "other");
    PushTestServer::appendString(registration, "otherid");
    for (const std::uint64_t rid : {loginRid, loginRid + 2, std::uint64_t{1}}) {
        push::PULSEReceivedPacketController::packetWithBuffer(PushTestServer::packet(12, 1, rid, uid, login))->handleReceipt();
        push::PULSEReceivedPacketController::packetWithBuffer(PushTestServer::packet(8, 0, rid, 0, registration))->handleReceipt();
        EXPECT_FALSE(m_session->isLogin()) << rid;
        EXPECT_EQ(m_identity->uid(), uid) << rid;
        EXPECT_EQ(m_identity->password(), password) << rid;
    }
    EXPECT_EQ(countLines("answers no request of this connection"), 6);
    m_session->setIsConnectDisable(false);
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(m_server.packets(1).size(), 2u);
    EXPECT_EQ(m_server.packets(0).size(), 1u);
}

TEST_F(Session, RegistrationCodesThatStopTheClientLeaveItIdle) {
    const std::vector<std::pair<std::uint16_t, std::string>> codes = {
        {1002, "error code: 1002 注册缺少必要参数"},
        {1003, "error code: 1003 注册参数错误"},
        {1004, "error code: 1004, 注册参数校验失败"},
        {1005, "error code：1005，你配置的AppKey不存在"},
        {1008, "error code：1008，你配置的AppKey格式不正确"},
        {1009, "error code：1009，你配置的AppKey尚未配置iOS平台"},
    };
    int connections = 0;
    for (const auto& [code, line] : codes) {
        SCOPED_TRACE(code);
        m_server.scriptRegistrationStatuses({code});
        restartSession();
        m_session->setup();
        ++connections;
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
        EXPECT_TRUE(m_session->isConnectDisable());
        EXPECT_EQ(countLines(line), 1);
        m_clock.advance(1000.0);
        EXPECT_EQ(m_server.connectionsAccepted(), connections);
        EXPECT_FALSE(m_session->isSetup());
    }
    // Until the network controller enables it again, set-up does nothing.
    m_session->setup();
    EXPECT_FALSE(m_session->isSetup());
    EXPECT_EQ(m_identity->uid(), 0u);
}

TEST_F(Session, ReconnectionFollowsTheScheduleWhichOnlyALoginStartsAgain) {
    // 1006 does not stop the client, but a refused registration is a failure like any other: the tries
    // come 2, 5, 20, 300 and 300 s apart although every one of them connects.
    m_server.scriptRegistrationStatuses({1006, 1006, 1006, 1006, 1006, 1006});
    m_session = PULSESessionController::create();
    m_session->setup();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_FALSE(m_session->isConnectDisable());
    const auto delayLines = [&] { return countLines("session will setup delayed with time interval"); };
    EXPECT_EQ(delayLines(), 1);
    EXPECT_EQ(countLines("session will setup delayed with time interval: 2.000000"), 1);
    for (double delay : {2.0, 5.0, 20.0, 300.0, 300.0}) {
        SCOPED_TRACE(delay);
        const int before = delayLines();
        m_clock.advance(delay - 0.01);
        EXPECT_EQ(delayLines(), before); // not yet
        m_clock.advance(0.01);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return delayLines() == before + 1; }));
    }
    EXPECT_EQ(m_server.connectionsAccepted(), 6);
    EXPECT_EQ(m_server.packets(0).size(), 6u);
    EXPECT_EQ(scheduled(), (std::vector<int>{1, 1, 1, 3}));

    // The next registration succeeds, and a session that lasted a minute brings the schedule back to 2 s.
    m_clock.advance(300.0);
    ASSERT_TRUE(waitLoggedIn());
    m_clock.advance(PULSESessionController::kLastingSessionSeconds);
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("interval: 2.000000") == 2; }));
    ASSERT_TRUE(reconnectsAfter(2.0, 8));
    ASSERT_TRUE(waitLoggedIn());

    // While offline, the next try comes after 500 s, and then again after 500 s.
    m_clock.advance(PULSESessionController::kLastingSessionSeconds);
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("interval: 2.000000") == 3; }));
    m_networkStatus = 0;
    m_clock.advance(2.0);
    EXPECT_EQ(countLines("当前网络不可用"), 1);
    EXPECT_EQ(countLines("interval: 500.000000"), 1);
    m_clock.advance(499.0);
    EXPECT_EQ(countLines("当前网络不可用"), 1);
    m_clock.advance(1.0);
    EXPECT_EQ(countLines("interval: 500.000000"), 2);
}

// A server that takes every connection and closes it before answering: after two such sessions the
// client looks the addresses up again and tries the others first.
TEST_F(Session, AServerThatDropsEveryConnectionIsSetAsideForTheNextAddress) {
    DroppingServer dropping;
    const std::string bad = "127.0.0.1:" + std::to_string(dropping.port());
    const std::string good = "127.0.0.1:" + std::to_string(m_server.pushPort());
    m_lookup.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:1", {bad, bad, "127.0.0.1:1"},
                                                              "127.0.0.1:" + std::to_string(m_sink.port()), {good}));
    m_session = PULSESessionController::create();
    m_session->setup();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(dropping.accepted(), 1);
    EXPECT_EQ(countLines("interval: 2.000000"), 1);
    EXPECT_TRUE(m_session->setAsideAddresses().empty());

    // The second session there fails too: it is set aside, and the next set-up looks up again.
    m_clock.advance(2.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return dropping.accepted() == 2 && countLines("interval: 5.000000") == 1; }));
    EXPECT_EQ(m_lookup.queries(0), 1); // reused within its 180 s
    EXPECT_EQ(m_session->setAsideAddresses(), std::deque<std::string>{bad});
    EXPECT_EQ(countLines("2 sessions in a row with " + bad +
                         " ended before login or soon after it: trying the other addresses first and looking the addresses up again"),
              1);
    m_clock.advance(5.0);
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(m_lookup.queries(0), 2);
    EXPECT_EQ(dropping.accepted(), 2);
    EXPECT_EQ(m_session->connectedAddress(), good);
    EXPECT_EQ(m_identity->lastSucceedConnectionAddress(), platform::ArchiveValue(good));
    // A session that lasted forgives.
    EXPECT_EQ(m_session->setAsideAddresses(), std::deque<std::string>{bad});
    m_clock.advance(PULSESessionController::kLastingSessionSeconds);
    m_session->close();
    EXPECT_TRUE(m_session->setAsideAddresses().empty());
}

TEST_F(Session, WithNoOtherAddressADroppingServerIsAskedFourTimesIn205Seconds) {
    DroppingServer dropping;
    const std::string bad = "127.0.0.1:" + std::to_string(dropping.port());
    m_lookup.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:1", {bad, bad, "127.0.0.1:1"},
                                                              "127.0.0.1:" + std::to_string(m_sink.port()), {}));
    platform::HostResolver::setTestEntry("connect.test", platform::HostResolver::TestAnswer::Failure);
    m_session = PULSESessionController::create();
    m_session->setup();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    // 0, 2, 7 and 27 s; the next after 300 s more. Each set-aside round asks the lookup service again.
    for (int second = 1; second <= 205; ++second) {
        m_clock.advance(1.0);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    }
    EXPECT_EQ(dropping.accepted(), 4);
    EXPECT_EQ(m_lookup.queries(0), 2);
    EXPECT_EQ(countLines("interval: 300.000000"), 1);
    EXPECT_EQ(m_server.connectionsAccepted(), 0);
}

// Nobody answering is routine: every line of such a round is a debug line, for the log files, and the
// terminal shows none of them at its usual level.
TEST_F(Session, ARoundNobodyAnswersLogsDebugLinesOnly) {
    const std::string refused = "127.0.0.1:" + std::to_string(testsupport::closedPort());
    m_lookup.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:1", {refused, refused, "127.0.0.1:1"},
                                                              "127.0.0.1:" + std::to_string(m_sink.port()), {refused}));
    platform::HostResolver::setTestEntry("connect.test", platform::HostResolver::TestAnswer::Failure);
    m_session = PULSESessionController::create();
    const std::size_t before = logMessages().size();
    m_session->setup();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    m_clock.advance(2.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("interval: 5.000000") == 1; }));
    const auto messages = logMessages();
    ASSERT_GT(messages.size(), before + 10);
    for (std::size_t i = before; i < messages.size(); ++i)
        EXPECT_EQ(messages[i].flag(), pushlog::PULSELogFlagDebug) << messages[i].message();
    EXPECT_GE(countLines("DNS request failed"), 3);
    EXPECT_EQ(m_server.connectionsAccepted(), 0);
}

// A lookup reply naming many addresses that refuse: each round tries four of them, in turn, before the
// built-in ones.
TEST_F(Session, EachRoundTriesAtMostFourLookedUpAddressesInTurn) {
    const std::string closed = ":" + std::to_string(testsupport::closedPort());
    std::vector<std::string> options;
    for (int host = 3; host <= 22; ++host)
        options.push_back("127.0.0." + std::to_string(host) + closed);
    m_lookup.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:1", {"127.0.0.2" + closed, "127.0.0.1" + closed, "127.0.0.1:1"},
                                                              "127.0.0.1:" + std::to_string(m_sink.port()), options));
    const auto tried = [&] {
        std::vector<std::string> addresses;
        for (const auto& line : logLines())
            if (line.starts_with("tcp connect to "))
                addresses.push_back(line.substr(15));
        return addresses;
    };
    const std::string good = "127.0.0.1:" + std::to_string(m_server.pushPort()); // the connect host's
    startLoggedIn();
    EXPECT_EQ(tried(), (std::vector<std::string>{"127.0.0.2" + closed, "127.0.0.3" + closed, "127.0.0.4" + closed,
                                                 "127.0.0.5" + closed, "127.0.0.1" + closed, good}));
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    m_clock.advance(2.0);
    ASSERT_TRUE(waitLoggedIn());
    // The next round goes on with the next four, then the last good address (the connect host's).
    const auto second = tried();
    EXPECT_EQ(std::vector<std::string>(second.begin() + 6, second.end()),
              (std::vector<std::string>{"127.0.0.6" + closed, "127.0.0.7" + closed, "127.0.0.8" + closed,
                                        "127.0.0.9" + closed, good}));
}

// Twenty looked-up addresses that refuse and a good one last, with the built-in addresses refusing too.
// The lookup's 180 s of reuse are over before the fifth round, and the new lookup answers the same list:
// the round goes on where the last one stopped, so the 21st address gets its turn in the sixth round.
TEST_F(Session, EveryLookedUpAddressGetsItsTurnAlsoAcrossANewLookupOfTheSameList) {
    const std::string closed = ":" + std::to_string(testsupport::closedPort());
    const std::string good = "127.0.0.1:" + std::to_string(m_server.pushPort());
    std::vector<std::string> options;
    for (int host = 102; host <= 120; ++host)
        options.push_back("127.0.0." + std::to_string(host) + closed);
    options.push_back(good);
    m_lookup.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:1", {"127.0.0.101" + closed, "127.0.0.1:1", "127.0.0.1:1"},
                                                              "127.0.0.1:" + std::to_string(m_sink.port()), options));
    auto endpoints = push::PULSEEndpoints::shared();
    endpoints.defaultConnectAddress = {"127.0.0.1", testsupport::closedPort()};
    push::PULSEEndpoints::setShared(endpoints);
    platform::HostResolver::setTestEntry("connect.test", platform::HostResolver::TestAnswer::Failure);

    m_session = PULSESessionController::create();
    m_session->setup();
    for (int second = 0; second < 700 && !m_session->isLogin(); ++second) {
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup() || m_session->isLogin(); }));
        if (!m_session->isLogin())
            m_clock.advance(1.0);
    }
    ASSERT_TRUE(m_session->isLogin());
    EXPECT_EQ(m_session->connectedAddress(), good);
    // Rounds at 0, 2, 7, 27, 327 and 627 s; the lookup was asked again for the fifth.
    EXPECT_EQ(countLines("session will setup delayed with time interval"), 5);
    EXPECT_EQ(m_lookup.queries(0), 3);
    for (int host = 101; host <= 120; ++host)
        EXPECT_EQ(countLines("tcp connect to 127.0.0." + std::to_string(host) + closed), 1) << host;
}

// A server that lets the device in and closes at once: each such session is a failed one, so the
// schedule goes on (2, 5, 20, 300 s) and the address is set aside after two; a session that lasted a
// minute brings the schedule back to 2 s.
TEST_F(Session, AServerThatClosesRightAfterTheLoginIsAskedFourTimesIn205Seconds) {
    m_server.setCloseAfterLogin(true);
    const std::string address = "127.0.0.1:" + std::to_string(m_server.pushPort());
    m_session = PULSESessionController::create();
    m_session->setup();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    // Lookups from now on carry the registered uid's low byte.
    m_lookup.expect({"-1", 0, static_cast<std::uint8_t>(m_identity->uid()), pushtest::kSessionAppKey});
    for (int second = 1; second <= 205; ++second) {
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
        m_clock.advance(1.0);
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(m_server.connectionsAccepted(), 4);
    EXPECT_EQ(m_server.packets(1).size(), 4u);
    EXPECT_EQ(scheduled(), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_EQ(countLines("the session with " + address + " ended 0.0 s after its login: counted as a failed session"), 4);
    EXPECT_EQ(countLines("2 sessions in a row with " + address + " ended before login or soon after it"), 2);

    // The server keeps the device now: a session of a minute counts as a success.
    // (The fifth try comes at 327 s, 300 s after the fourth; the clock stops there, so that the login's
    // acknowledgement time runs only once the login went out.)
    m_server.setCloseAfterLogin(false);
    m_clock.advance(327.0 - 205.0);
    ASSERT_TRUE(waitLoggedIn());
    m_clock.advance(PULSESessionController::kLastingSessionSeconds);
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(countLines("interval: 2.000000"), 2);
    EXPECT_TRUE(m_session->setAsideAddresses().empty());
    ASSERT_TRUE(reconnectsAfter(2.0, 6));
    ASSERT_TRUE(waitLoggedIn());
}

TEST_F(Session, RequestIdsAreOddAndWrapAndTheCounterIsWrittenOnceASecond) {
    auto cache = push::PULSEFileCacheController::shareInstanceWithType(0);
    auto startFrom = [&](int counter) {
        m_session.reset();
        cache->setObject(counter, PULSESessionController::kSessionIDKey);
        m_session = PULSESessionController::create();
    };
    startFrom(0);
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 4093; ++i)
        ids.push_back(m_session->getRId(0));
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(ids[1], 3u);
    EXPECT_EQ(ids.back(), 8185u);
    EXPECT_EQ(m_session->getRId(0), 1u);
    // Nothing is written at once, nor while the second runs; then the last value.
    EXPECT_EQ(storedCounter(), 0u);
    m_clock.advance(0.99);
    drainMain();
    EXPECT_EQ(storedCounter(), 0u);
    m_clock.advance(0.01);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return storedCounter() == 2u; }));

    // 1,000 ids over half a second, in many turns: one write, of the last value, which a restart takes up.
    for (int i = 0; i < 1000; ++i) {
        (void)m_session->getRId(0);
        if (i % 100 == 0) {
            m_clock.advance(0.05);
            drainMain();
        }
    }
    EXPECT_EQ(storedCounter(), 2u);
    m_clock.advance(0.5);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return storedCounter() == 2002u; }));
    restartSession();
    EXPECT_EQ(m_session->getRId(0), 2003u);
    // A session that ends writes what it drew.
    restartSession();
    EXPECT_EQ(storedCounter(), 2004u);

    // A large even start gives its successor once, then 1; an odd one gives 1 twice.
    startFrom(40000);
    EXPECT_EQ(m_session->getRId(0), 40001u);
    EXPECT_EQ(m_session->getRId(0), 1u);
    EXPECT_EQ(m_session->getRId(0), 3u);
    startFrom(30001);
    EXPECT_EQ(m_session->getRId(0), 1u);
    EXPECT_EQ(m_session->getRId(0), 1u);
    EXPECT_EQ(m_session->getRId(0), 3u);
    // Closing writes at once.
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    (void)m_session->getRId(0);
    m_session->close();
    EXPECT_EQ(storedCounter(), m_session->rId());
}

TEST_F(Session, RequestsBeforeLoginAreQueuedOrDropped) {
    push::PULSEFileCacheController::shareInstanceWithType(0)->setObject(100, PULSESessionController::kSessionIDKey);
    m_session = PULSESessionController::create();
    // A device-token request waits for the login; a receipt is dropped without a word.
    auto token = std::make_shared<push::PULSEDeviceTokenReportRequest>();
    token->send();
    auto receipt = std::make_shared<push::PULSEReceipt>();
    receipt->send();
    EXPECT_EQ(m_session->tcpBlockedQueue().count(), 1);
    EXPECT_EQ(m_session->findBlockedRequest(token->rid()), token);
    EXPECT_EQ(m_session->findBlockedRequest(receipt->rid()), nullptr);
    EXPECT_EQ(countLines("未登录状态"), 0);

    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(serverGot(13, 1));
    EXPECT_EQ(m_server.packets(13)[0].rid, token->rid());
    EXPECT_EQ(commandsOf(1), (std::vector<int>{0, 1, 13}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->tcpBlockedQueue().count() == 0; }));

    // A heartbeat, which needs a login, is dropped while logged out.
    m_session->setIsConnectDisable(true);
    m_session->close();
    std::make_shared<push::PULSEHeartbeatRequest>()->send();
    EXPECT_EQ(countLines("未登录状态，请求被丢弃"), 1);

    // A 21st waiting request drops the oldest, with a warning.
    std::vector<std::shared_ptr<push::PULSERequest>> waiting;
    for (int i = 0; i < 21; ++i) {
        waiting.push_back(std::make_shared<push::PULSEDeviceTokenReportRequest>());
        waiting.back()->send();
    }
    EXPECT_EQ(m_session->tcpBlockedQueue().count(), 20);
    EXPECT_EQ(countLines("tcp队列消息过多,清理部分最初的消息"), 1);
    EXPECT_EQ(m_session->findBlockedRequest(waiting.front()->rid()), nullptr);
    EXPECT_EQ(m_session->findBlockedRequest(waiting.back()->rid()), waiting.back());
}

TEST_F(Session, HeartbeatsEvery290SecondsAtMostOneIn5Seconds) {
    startLoggedIn();
    m_clock.advance(289.9);
    EXPECT_TRUE(m_server.packets(2).empty());
    m_clock.advance(0.1);
    ASSERT_TRUE(serverGot(2, 1));
    ASSERT_TRUE(ackArrived());
    m_clock.advance(290.0);
    ASSERT_TRUE(serverGot(2, 2));
    ASSERT_TRUE(ackArrived());

    // The heartbeats were acknowledged (server version 1): nothing timed out.
    m_clock.advance(10.0);
    EXPECT_TRUE(m_session->isLogin());
    EXPECT_EQ(countLines("ack timeout"), 0);

    // Two firings within 5 s send one heartbeat; 5 s later one goes out again.
    m_session->fireHeartBeat();
    m_clock.advance(4.9);
    m_session->fireHeartBeat();
    ASSERT_TRUE(serverGot(2, 3));
    m_clock.advance(0.1);
    m_session->fireHeartBeat();
    ASSERT_TRUE(serverGot(2, 4));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->tcpSendingQueue().count() == 0; }));
    EXPECT_EQ(m_server.packets(2).size(), 4u);
}

TEST_F(Session, AWithheldAckClosesAndTheSessionLogsInAgain) {
    startLoggedIn();
    m_server.setWithholdHeartbeatAcks(true);
    m_clock.advance(290.0);
    ASSERT_TRUE(serverGot(2, 1));
    const auto rid = m_server.packets(2)[0].rid;
    m_clock.advance(9.9);
    EXPECT_TRUE(m_session->isLogin());
    m_clock.advance(0.1);
    EXPECT_EQ(countLines("ack timeout for request rid: " + std::to_string(rid)), 1);
    EXPECT_FALSE(m_session->isSetup());
    ASSERT_TRUE(reconnectsAfter(2.0, 2));
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(commandsOf(2), (std::vector<int>{1}));
}

TEST_F(Session, AHalfOpenPeerIsFoundByTheNextHeartbeat) {
    m_server.becomeBlackHoleAfterNextLogin();
    startLoggedIn();
    m_clock.advance(290.0);
    ASSERT_TRUE(serverGot(2, 1));
    m_clock.advance(10.0);
    EXPECT_FALSE(m_session->isLogin());
    ASSERT_TRUE(reconnectsAfter(2.0, 2));
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(commandsOf(2), (std::vector<int>{1}));
    // The lookup result was 302 s old: it was asked again.
    EXPECT_EQ(m_lookup.queries(0), 2);
}

TEST_F(Session, WithServerVersion0AHalfOpenPeerGoesUnnoticedAsDesigned) {
    // Heartbeats wait for no acknowledgement from a version-0 server, so nothing can tell a silent peer
    // from a quiet one: the session stays logged in on the dead connection.
    m_server.setServerVersion(0);
    m_server.becomeBlackHoleAfterNextLogin();
    startLoggedIn();
    m_clock.advance(290.0);
    ASSERT_TRUE(serverGot(2, 1));
    m_clock.advance(290.0);
    ASSERT_TRUE(serverGot(2, 2));
    EXPECT_TRUE(m_session->isLogin());
    EXPECT_EQ(m_server.connectionsAccepted(), 1);
    EXPECT_EQ(m_session->tcpSendingQueue().count(), 0);
}

TEST_F(Session, ACloseDuringConnectAnswersYesAndTheSetupEndsIdle) {
    m_session = PULSESessionController::create();
    bool answer = false;
    platform::RunLoop::main().perform([&] { answer = m_session->close(); });
    m_session->setup();
    EXPECT_TRUE(answer);
    EXPECT_FALSE(m_session->isSetup());
    EXPECT_EQ(m_server.connectionsAccepted(), 0);
    EXPECT_EQ(countLines("session will setup delayed with time interval: 2.000000"), 1);
    EXPECT_FALSE(m_session->close()); // not set up
    ASSERT_TRUE(reconnectsAfter(2.0, 1));
    ASSERT_TRUE(waitLoggedIn());
}

TEST_F(Session, TheLookupResultIsReusedFor180SecondsFromTheLookupOnTheSameNetwork) {
    startLoggedIn();
    EXPECT_EQ(m_lookup.queries(0), 1);
    auto again = [&](double after) {
        m_session->setIsConnectDisable(true);
        m_session->close();
        m_clock.advance(after);
        m_session->setIsConnectDisable(false);
        m_session->setup();
        return waitLoggedIn();
    };
    ASSERT_TRUE(again(180.0));
    EXPECT_EQ(m_lookup.queries(0), 1);
    ASSERT_TRUE(again(181.0));
    EXPECT_EQ(m_lookup.queries(0), 2);
    // A reuse does not make the result younger: 100 s and another 100 s after the lookup it is asked again.
    ASSERT_TRUE(again(100.0));
    EXPECT_EQ(m_lookup.queries(0), 2);
    ASSERT_TRUE(again(100.0));
    EXPECT_EQ(m_lookup.queries(0), 3);
    m_networkStatus = 3;
    ASSERT_TRUE(again(1.0));
    EXPECT_EQ(m_lookup.queries(0), 4);
    EXPECT_EQ(countLines("sis is not on protect"), 3 + 1); // the first set-up had none either
}

TEST_F(Session, UDPReportsMadeBeforeLoginAreSentInOrderAfterIt) {
    m_sink.expect({1001, pushtest::kSessionAppKey, {"apns_state", "n"}});
    m_session = PULSESessionController::create();
    for (int n = 1; n <= 9; ++n) {
        auto report = std::make_shared<push::PULSEAPNSStateReport>();
        report->reportBody().set("n", n);
        report->send();
    }
    EXPECT_EQ(m_session->keptUdpReportCount(), 8u);
    EXPECT_EQ(countLines("太多UDP上报,丢弃最早的上报"), 1);
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    EXPECT_EQ(m_session->keptUdpReportCount(), 0u);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_sink.datagrams().size() == 8; }));
    std::vector<int> order;
    for (const auto& datagram : m_sink.datagrams()) {
        const std::string text(datagram.begin() + 4, datagram.end());
        const auto at = text.find("\"n\":");
        order.push_back(at == std::string::npos ? 0 : std::stoi(text.substr(at + 4)));
    }
    EXPECT_EQ(order, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9}));

    // Once logged in, a report goes out at once.
    auto now = std::make_shared<push::PULSEAPNSStateReport>();
    now->reportBody().set("n", 10);
    now->send();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_sink.datagrams().size() == 9; }));
}

TEST_F(Session, ARequestRequeuedByTwoClosesInARowReachesTheServerOnce) {
    m_server.setWithholdTagAcks(true);
    m_server.scriptTagReplies({testsupport::PushTestServer::kNoReply, testsupport::PushTestServer::kNoReply});
    startLoggedIn();
    auto arg = push::PULSESetTagAliasArg::create();
    arg->setType(push::PULSESetTagAliasArg::kBlock);
    arg->setCompletionHandler([](int, const platform::ArchiveValue&, const platform::ArchiveValue&) {});
    arg->setAlias("first_alias");
    push::PULSEClientController::sharedClient().tagAliasMng()->setTagsAlias(arg);
    ASSERT_TRUE(serverGot(10, 1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->tcpSendingQueue().count() == 1; }));

    // The first close puts it back in the waiting queue; a second close, before the next login answer
    // arrives, must not put it there again.
    m_session->setIsConnectDisable(true);
    m_session->close();
    EXPECT_EQ(m_session->tcpBlockedQueue().count(), 1);
    EXPECT_EQ(m_session->tcpSendingQueue().count(), 0);
    m_session->setIsConnectDisable(false);
    m_session->setup();
    m_session->setIsConnectDisable(true);
    m_session->close();
    EXPECT_EQ(m_session->tcpBlockedQueue().count(), 1);
    m_session->setIsConnectDisable(false);
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(serverGot(10, 2));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->tcpBlockedQueue().count() == 0; }));
    EXPECT_EQ(m_server.packets(10).size(), 2u);
    EXPECT_EQ(m_server.packets(10)[1].connection, 3);
    EXPECT_EQ(m_server.packets(10)[1].rid, m_server.packets(10)[0].rid);
}

TEST_F(Session, ADroppedAnswerAndAResetAreFailuresLikeAnyOther) {
    startLoggedIn();
    // The server cuts its next answer (a heartbeat's acknowledgement) after 7 bytes.
    m_server.dropAfterBytes(7);
    m_clock.advance(290.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(countLines("conect close by remote"), 1);
    ASSERT_TRUE(reconnectsAfter(2.0, 2));
    ASSERT_TRUE(waitLoggedIn());
    // Sessions that lasted a minute: each reconnection comes after 2 s.
    m_clock.advance(PULSESessionController::kLastingSessionSeconds);
    m_server.resetConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    ASSERT_TRUE(reconnectsAfter(2.0, 3));
    ASSERT_TRUE(waitLoggedIn());
    m_clock.advance(PULSESessionController::kLastingSessionSeconds);
    m_server.restart();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    ASSERT_TRUE(reconnectsAfter(2.0, 4));
    ASSERT_TRUE(waitLoggedIn());
}

TEST_F(Session, RunsOnTheClientThread) {
    auto thread = push::PULSEThread::builder(push::PULSERunLoopMode::Alive)->setThreadName("pulse.test.session").build();
    std::atomic<bool> loggedIn{false};
    std::atomic<bool> done{false};
    thread->invokeMethodWithTarget([&] {
        m_session = PULSESessionController::create();
        m_session->setup();
    });
    ASSERT_TRUE(serverGot(1, 1));
    auto ask = [&](std::function<bool()> question) {
        std::atomic<int> answer{-1};
        thread->invokeMethodWithTarget([&] { answer = question() ? 1 : 0; });
        EXPECT_TRUE(hybtest::runMainUntil([&] { return answer != -1; }));
        return answer == 1;
    };
    ASSERT_TRUE(hybtest::runMainUntil([&] { return ask([&] { return m_session->isLogin(); }); }));
    loggedIn = true;
    // Notifications arrive on the main queue.
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        const auto names = noteNames();
        return std::find(names.begin(), names.end(), push::kPULSENetworkDidLoginNotification) != names.end();
    }));
    m_clock.advance(290.0);
    ASSERT_TRUE(serverGot(2, 1));
    thread->invokeMethodWithTarget([&] {
        m_session.reset();
        done = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return done.load(); }));
    thread->close();
    EXPECT_TRUE(loggedIn);
}

} // namespace
