// The address lookup against the loopback lookup service, on the client thread, with names from the
// resolver's test table and time from the virtual clock.
#include "PushTest.h"

#include "push/PULSEAddressController.h"
#include "push/PULSEDelegateSynchronize.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEThread.h"

#include "support/PushLookupServer.h"
#include "support/RunLoopWait.h"

#include "platform/net/HostResolver.h"

#include <atomic>

namespace {

using platform::HostResolver;
using push::PULSEAddressController;
using push::PULSEDelegateSynchronize;
using push::PULSELookupResult;

class Lookup : public pushtest::PushTest {
protected:
    Lookup() {
        m_identity = installIdentity("0123456789abcdef01234567");
        m_server.expect({"-1", 0, 0, "0123456789abcdef01234567"});
        auto endpoints = push::PULSEEndpoints::shared();
        endpoints.lookupPorts = {m_server.port(0), m_server.port(1)};
        endpoints.lookupAddress = "127.0.0.1";
        push::PULSEEndpoints::setShared(endpoints);
        for (const auto& host : endpoints.lookupHosts)
            HostResolver::setTestEntry(host, HostResolver::TestAnswer::Failure);
    }
    ~Lookup() override {
        HostResolver::clearTestTable();
        for (const auto& fault : m_server.faults())
            ADD_FAILURE() << "lookup server fault: " << fault;
    }

    // Runs the lookup on the client thread and answers the result and the virtual seconds it took.
    // Time moves only while the client is known to be blocked: 0.1 s steps through the wait of a query
    // the server received on a silent port (4 s on the first port, 2 s on the second), and through
    // the 2 s of each name that never answers.
    std::optional<PULSELookupResult> lookUp(double* seconds = nullptr, int namesNeverAnswering = 0) {
        auto thread = push::PULSEThread::builder(push::PULSERunLoopMode::Alive)->setThreadName("pulse.test.lookup").build();
        std::atomic<bool> done{false};
        std::optional<PULSELookupResult> result;
        auto controller = PULSEAddressController::create();
        thread->invokeMethodWithTarget([&] {
            result = controller->getAddressFromSis();
            controller.reset();
            done = true;
        });
        auto state = [](const char* identifier) { return PULSEDelegateSynchronize::stateForIdentifier(identifier); };
        int steps = 0;
        int dnsBudget = namesNeverAnswering * 20;
        int stepsForQuery = 0;
        int queriesSeen = 0;
        auto stepDue = [&] {
            const int total = m_server.queries(0) + m_server.queries(1);
            if (total != queriesSeen) {
                queriesSeen = total;
                stepsForQuery = 0;
            }
            if (dnsBudget > 0 && total == 0 && state(PULSEAddressController::kDNSIdentifier) == PULSEDelegateSynchronize::kWaiting)
                return true;
            const int port = m_server.lastPort();
            return total > 0 && !m_server.hasReply(port) && stepsForQuery < (port == 0 ? 40 : 20) &&
                   state(PULSEAddressController::kSisIdentifier) == PULSEDelegateSynchronize::kWaiting;
        };
        while (!done) {
            if (!hybtest::runMainUntil([&] { return done.load() || stepDue(); }))
                break;
            if (done)
                break;
            if (dnsBudget > 0 && queriesSeen == 0)
                --dnsBudget;
            else
                ++stepsForQuery;
            m_clock.advance(platform::seconds(0.1));
            ++steps;
        }
        EXPECT_TRUE(hybtest::runMainUntil([&] { return done.load(); }));
        thread->close();
        if (seconds)
            *seconds = steps / 10.0;
        return result;
    }

    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
    testsupport::PushLookupServer m_server;
};

TEST_F(Lookup, TheFirstPortAnswers) {
    m_server.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:8081", {"127.0.0.1:7001", "127.0.0.1:7002", "127.0.0.1:8080"},
                                                              "127.0.0.1:9001", {"127.0.0.1:7003"}));
    double seconds = -1;
    auto result = lookUp(&seconds);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (PULSELookupResult{"127.0.0.1:7001", "127.0.0.1:9001", {"127.0.0.1:7003"}}));
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(m_server.queries(0), 1);
    EXPECT_EQ(m_server.queries(1), 0);
    EXPECT_EQ(m_identity->defaultConAddress(), "127.0.0.1:7002");
    EXPECT_EQ(m_identity->backupHttpReportAddress(), "http://127.0.0.1:8080/v2/report");
}

TEST_F(Lookup, ASilentFirstPortSendsOneQueryToTheSecond) {
    m_server.setReply(1, testsupport::PushLookupServer::reply("127.0.0.1:8081", {"127.0.0.1:7001", "127.0.0.1:7002", "127.0.0.1:8080"},
                                                              "127.0.0.1:9001", {}));
    double seconds = -1;
    auto result = lookUp(&seconds);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->connectAddress, "127.0.0.1:7001");
    EXPECT_NEAR(seconds, 4.0, 0.05);
    EXPECT_EQ(m_server.queries(0), 1);
    EXPECT_EQ(m_server.queries(1), 1);
}

TEST_F(Lookup, NothingAnsweringGivesUpAfterEveryAddressAndPort) {
    const auto endpoints = push::PULSEEndpoints::shared();
    for (const auto& host : endpoints.lookupHosts)
        HostResolver::setTestEntry(host, HostResolver::TestAnswer::Address, "127.0.0.1");
    double seconds = -1;
    EXPECT_FALSE(lookUp(&seconds));
    EXPECT_EQ(m_server.queries(0), 4);
    EXPECT_EQ(m_server.queries(1), 4);
    EXPECT_NEAR(seconds, 24.0, 0.05);
}

TEST_F(Lookup, NamesThatNeverAnswerAreSkippedAfterTwoSeconds) {
    const auto endpoints = push::PULSEEndpoints::shared();
    HostResolver::setTestEntry(endpoints.lookupHosts[0], HostResolver::TestAnswer::NoAnswer);
    m_server.setReply(0, R"({"ips":["1.1.1.1:1","2.2.2.2:2","3.3.3.3:3"],"udp_report":["4.4.4.4:4"],"op_conns":[]})");
    double seconds = -1;
    auto result = lookUp(&seconds, 1);
    ASSERT_TRUE(result);
    EXPECT_NEAR(seconds, 2.0, 0.05);
    EXPECT_EQ(m_server.queries(0), 1); // the built-in address only
}

TEST_F(Lookup, ABadReplyFallsBackToTheSecondPort) {
    m_server.setReply(0, "[1,2,3]");
    m_server.setReply(1, "not json");
    double seconds = -1;
    EXPECT_FALSE(lookUp(&seconds));
    EXPECT_EQ(m_server.queries(0), 1);
    EXPECT_EQ(m_server.queries(1), 1);
    EXPECT_NEAR(seconds, 0, 0.05);
}

// Anyone who sees the query can answer it: a reply that comes from another port than the one asked, or
// from the same port of another host, is not taken (the client would log in wherever it names), and the
// lookup goes on as if nothing came.
TEST_F(Lookup, AReplyFromAPortThatWasNotAskedIsDropped) {
    for (const bool otherHost : {false, true}) {
        m_server.setReply(0, testsupport::PushLookupServer::reply("127.0.0.1:8081", {"10.0.0.1:1", "10.0.0.1:2", "10.0.0.1:3"},
                                                                  "10.0.0.1:4", {}));
        m_server.setReplyFromElsewhere(0, !otherHost);
        m_server.setReplyFromOtherHost(0, otherHost);
        m_server.setReply(1, testsupport::PushLookupServer::reply("127.0.0.1:8081", {"127.0.0.1:7001", "127.0.0.1:7002", "127.0.0.1:8080"},
                                                                  "127.0.0.1:9001", {}));
        double seconds = -1;
        auto result = lookUp(&seconds);
        ASSERT_TRUE(result) << otherHost;
        EXPECT_EQ(result->connectAddress, "127.0.0.1:7001") << otherHost;
        EXPECT_NEAR(seconds, 4.0, 0.05) << otherHost;
        EXPECT_EQ(countLines("which was not asked, dropped"), otherHost ? 2 : 1);
        EXPECT_NE(m_identity->defaultConAddress(), "10.0.0.1:2") << otherHost;
    }
    EXPECT_EQ(countLines("from 127.0.0.2:" + std::to_string(m_server.port(0)) + ", which was not asked"), 1);
}

TEST(HostResolverTest, ResolvesLoopbackAndCancels) {
    HostResolver::clearTestTable();
    std::optional<std::string> answer;
    bool answered = false;
    HostResolver::resolve("127.0.0.1", [&](std::optional<std::string> address, int) { answer = address; answered = true; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answered; }));
    EXPECT_EQ(answer, "127.0.0.1");

    HostResolver::setTestEntry("a.test", HostResolver::TestAnswer::Address, "10.1.2.3");
    int calls = 0;
    auto cancelled = HostResolver::resolve("a.test", [&](std::optional<std::string>, int) { ++calls; });
    cancelled->cancel();
    HostResolver::resolve("missing.test", [&](std::optional<std::string> address, int error) {
        EXPECT_FALSE(address);
        EXPECT_NE(error, 0);
        ++calls;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return calls == 1; }));
    HostResolver::clearTestTable();
}

} // namespace
