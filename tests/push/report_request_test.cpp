// HTTP statistics reports against the loopback statistics endpoints: the body and its size rules, the
// Authorization the server recomputes, what each status does to the items, the backup address, and
// that no item is lost when a request yields no body or cannot be sent.
#include "PushTest.h"

#include "push/PULSEMessageCenter.h"
#include "push/PULSEReportCacheController.h"
#include "push/PULSEReportRequest.h"

#include "support/ClosedPort.h"
#include "support/PushReportServer.h"
#include "support/KeptAlive.h"
#include "support/PushTestServer.h"
#include "support/RunLoopWait.h"

#include "platform/formats/JSON.h"

#include <algorithm>

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using push::PULSEReportRequest;

constexpr const char* kAppKey = "abcdef0123456789abcdef01";

Dictionary item(const std::string& type, std::int64_t itime, std::size_t padding = 0) {
    return Dictionary{{"type", type}, {"itime", itime}, {"pad", std::string(padding, 'p')}};
}

// A kind whose new item is given.
class TestReport : public PULSEReportRequest {
public:
    explicit TestReport(Dictionary newest, Array older = {}) : m_newest(std::move(newest)) {
        setReportType(2);
        reportContents() = std::move(older);
    }
    bool packData() override {
        if (!PULSEReportRequest::packData())
            return false;
        reportContents().push_back(m_newest);
        return true;
    }

private:
    Dictionary m_newest;
};

// The statistics session as far as these tests need it: numbers a request and sends it once.
class TestSession : public push::PULSEReportSession,
                    public push::PULSEHttpRequestDelegate,
                    public std::enable_shared_from_this<TestSession> {
public:
    void sendHttpReport(const std::shared_ptr<PULSEReportRequest>& request) override {
        const auto urlRequest = request->generateReportRequest();
        if (!urlRequest) {
            ++noBody;
            return;
        }
        request->setReportFlag(std::to_string(nextRid += 2) + ":1700000000");
        auto http = push::PULSEHttpRequest::create(weak_from_this(), request, primary, backup);
        exchanges.push_back(http);
        http->send(*urlRequest);
    }
    void didReceivedHttpFeedback(const std::shared_ptr<push::PULSEHttpResponse>& response) override {
        response->handleReceipt();
        statuses.push_back(static_cast<int>(response->statusCode()));
    }
    void didNotReceivedFromRequest(const std::shared_ptr<PULSEReportRequest>&, const std::string& flag, const platform::Error&) override {
        push::PULSEClientController::sharedClient().reportCache()->changeSendingObjectFailedForKey(flag);
        failures.push_back(flag);
    }

    std::string primary;
    std::string backup;
    std::uint64_t nextRid = 1;
    int noBody = 0;
    std::vector<int> statuses;
    std::vector<std::string> failures;
    std::vector<std::shared_ptr<push::PULSEHttpRequest>> exchanges;
};

class Reports : public pushtest::PushTest {
protected:
    Reports() {
        m_identity = installIdentity(kAppKey);
        m_identity->setUid(4242, "secret", "reg");
        auto& client = push::PULSEClientController::sharedClient();
        client.setReportCache(m_cache);
        client.setReportSession(m_session);
        client.setNetworkStatusSource([this] { return m_networkStatus; });
        m_primary.expect(4242, "secret", kAppKey);
        m_backup.expect(4242, "secret", kAppKey);
        auto endpoints = push::PULSEEndpoints::shared();
        endpoints.statisticsURL = m_primary.url();
        push::PULSEEndpoints::setShared(endpoints);
        m_session->primary = m_primary.url();
        m_session->backup = m_backup.url();
    }
    ~Reports() override {
        for (const auto& fault : m_primary.faults())
            ADD_FAILURE() << "primary report server fault: " << fault;
        for (const auto& fault : m_backup.faults())
            ADD_FAILURE() << "backup report server fault: " << fault;
    }

    // Sends a report and waits for its answer (or its failure).
    void sendAndWait(const std::shared_ptr<PULSEReportRequest>& report) {
        const std::size_t before = m_session->statuses.size() + m_session->failures.size();
        report->send();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->statuses.size() + m_session->failures.size() > before; }));
    }

    std::vector<std::string> types(const std::vector<std::string>& items) {
        std::vector<std::string> names;
        for (const auto& text : items) {
            auto parsed = platform::JSON::parse(text);
            names.push_back(parsed.ok() ? parsed.value()["type"].stringOr("?") : "?");
        }
        return names;
    }


    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
    int m_syncs = 0;
    std::shared_ptr<push::PULSEReportCacheController> m_cache =
        std::make_shared<push::PULSEReportCacheController>([this] { ++m_syncs; });
    std::shared_ptr<TestSession> m_session = std::make_shared<TestSession>();
    int m_networkStatus = 2;
    testsupport::PushReportServer m_primary;
    testsupport::PushReportServer m_backup;
};

TEST_F(Reports, TheNewestItemAlwaysGoesAndOlderOnesOver10240BytesAreDropped) {
    auto big = std::make_shared<TestReport>(item("newest", 1700000001, 20000),
                                            Array{item("old1", 1700000000), item("old2", 1700000000), item("old3", 1700000000)});
    sendAndWait(big);
    EXPECT_EQ(types(m_primary.items()), std::vector<std::string>{"newest"});
    EXPECT_EQ(countLines("content too large, drop the content"), 3);
    EXPECT_FALSE(big->hasSubpackage());

    // Items of 4000 bytes: the newest two fit, every older one goes (also one that would fit alone).
    auto fours = std::make_shared<TestReport>(item("e", 1700000005, 4000),
                                              Array{item("tiny", 1700000001), item("a", 1700000002, 4000), item("b", 1700000003, 4000),
                                                    item("d", 1700000004, 4000)});
    sendAndWait(fours);
    EXPECT_EQ(types(m_primary.items()), (std::vector<std::string>{"newest", "e", "d"}));
}

TEST_F(Reports, ContentListsTheNewestFirstAndOnlyTenDigitTimesWaitInTheSendingSet) {
    m_primary.scriptStatuses({503});
    auto report = std::make_shared<TestReport>(item("third", 1700000003), Array{item("first", 999999999), item("second", 1700000002)});
    sendAndWait(report);
    EXPECT_EQ(types(m_primary.items()), (std::vector<std::string>{"third", "second", "first"}));
    // 503 keeps what was cached for the next request: the two ten-digit items, not the nine-digit one.
    ASSERT_EQ(m_cache->count(), 1u);
    const auto flag = *report->reportFlag();
    const auto kept = m_cache->objectForKey(flag);
    ASSERT_TRUE(kept.getArray());
    EXPECT_EQ(kept.getArray()->size(), 2u);
    EXPECT_EQ(m_cache->description(), "0");

    // The next request carries them; 200 deletes them.
    sendAndWait(std::make_shared<TestReport>(item("fourth", 1700000004)));
    auto received = types(m_primary.items());
    ASSERT_EQ(received.size(), 6u);
    // The kept items are a set: they follow the new one in any order.
    std::sort(received.begin() + 4, received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"third", "second", "first", "fourth", "second", "third"}));
    EXPECT_EQ(m_cache->count(), 0u);
    EXPECT_EQ(m_cache->description(), "0");
    EXPECT_EQ(m_session->statuses, (std::vector<int>{503, 200}));
}

TEST_F(Reports, StatusesDecideWhatHappensToTheItems) {
    // 404 and the other client errors delete; 500 and 503 keep; 200 deletes.
    const std::vector<std::pair<int, bool>> cases = {{404, false}, {400, false}, {401, false}, {403, false},
                                                     {500, true}, {503, true}, {200, false}};
    std::int64_t time = 1700000100;
    for (const auto& [status, kept] : cases) {
        SCOPED_TRACE(status);
        m_cache->removeAllObjects();
        m_primary.scriptStatuses({status});
        auto report = std::make_shared<TestReport>(item("s" + std::to_string(status), ++time));
        sendAndWait(report);
        EXPECT_EQ(m_cache->count(), kept ? 1u : 0u);
        EXPECT_EQ(m_cache->description(), "0");
    }
    EXPECT_EQ(countLines("Parameter Error,error Code:400"), 1);
    EXPECT_EQ(countLines("Validate Error,error Code:401"), 1);
    EXPECT_EQ(countLines("log forbidden failed,error Code:403"), 1);
    EXPECT_EQ(countLines("log failed,error Code:404"), 1);
    EXPECT_EQ(countLines("inner Error"), 1);
    EXPECT_EQ(countLines("log failed,error Code:503"), 1);
}

TEST_F(Reports, TheAuthorizationFollowsTheBodyBytes) {
    auto one = std::make_shared<TestReport>(item("a", 1700000001));
    auto two = std::make_shared<TestReport>(item("b", 1700000001));
    ASSERT_TRUE(one->generateReportRequest());
    ASSERT_TRUE(two->generateReportRequest());
    EXPECT_NE(one->p_generateRequestHead(), two->p_generateRequestHead());
    EXPECT_EQ(one->p_generateRequestHead().rfind("Basic ", 0), 0u);
    // The body is built once.
    EXPECT_EQ(one->packetData(), one->packetData());
    // The server recomputes it (a mismatch is a fault).
    sendAndWait(std::make_shared<TestReport>(item("c", 1700000001)));
    EXPECT_EQ(m_session->statuses, std::vector<int>{200});
}

TEST_F(Reports, AFailedPrimarySendsToTheBackupAndAFailedBackupTellsTheSession) {
    m_primary.scriptStatuses({testsupport::PushReportServer::kDropConnection});
    sendAndWait(std::make_shared<TestReport>(item("retry", 1700000001)));
    EXPECT_EQ(types(m_backup.items()), std::vector<std::string>{"retry"});
    EXPECT_EQ(m_session->statuses, std::vector<int>{200});

    // A primary that refuses connections sends the report to the backup too.
    const std::string refused = "http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/v2/report";
    auto endpoints = push::PULSEEndpoints::shared();
    endpoints.statisticsURL = refused;
    push::PULSEEndpoints::setShared(endpoints);
    m_session->primary = refused;
    sendAndWait(std::make_shared<TestReport>(item("refused", 1700000003)));
    EXPECT_EQ(types(m_backup.items()), (std::vector<std::string>{"retry", "refused"}));
    endpoints.statisticsURL = m_primary.url();
    push::PULSEEndpoints::setShared(endpoints);
    m_session->primary = m_primary.url();

    // Both failing: the session is told and puts the items back.
    m_primary.scriptStatuses({testsupport::PushReportServer::kDropConnection});
    m_backup.scriptStatuses({testsupport::PushReportServer::kDropConnection});
    sendAndWait(std::make_shared<TestReport>(item("lost?", 1700000002)));
    EXPECT_EQ(m_session->failures.size(), 1u);
    EXPECT_EQ(m_cache->count(), 1u);
}

TEST_F(Reports, AReportWhoseReplyIsLostReachesThePrimaryOnce) {
    // The primary reads the report, then closes the kept-alive connection it came on: the transport does
    // not send it there again; the report goes on to the backup, as for any failure.
    m_primary.scriptStatuses({testsupport::PushReportServer::kCloseWithoutReply});
    ASSERT_TRUE(testsupport::keepAConnectionAlive(m_primary.url()));
    const std::size_t before = m_primary.requestCount();
    sendAndWait(std::make_shared<TestReport>(item("once", 1700000001)));
    EXPECT_EQ(m_primary.requestCount() - before, 1u);
    EXPECT_EQ(types(m_backup.items()), std::vector<std::string>{"once"});
}

TEST_F(Reports, NoItemIsLostWhenNothingCanBeSent) {
    // A request that yields no body puts the history it took back in the cache.
    m_cache->addCacheObject(Array{Value(item("history", 1700000000))}, "1:1");
    auto locked = std::make_shared<TestReport>(item("locked", 1700000001));
    locked->setIsSendLock(true);
    locked->send();
    EXPECT_EQ(m_session->noBody, 1);
    EXPECT_TRUE(m_cache->checkReportFlag("1:1"));

    // Offline: the items go back to the cached set, and the next report carries them.
    m_networkStatus = 0;
    m_cache->removeAllObjects();
    auto offline = std::make_shared<TestReport>(item("offline", 1700000002));
    offline->send();
    EXPECT_EQ(m_cache->description(), "0");
    EXPECT_EQ(m_cache->count(), 1u);
    EXPECT_EQ(m_primary.requestCount(), 0u);
    m_networkStatus = 2;
    sendAndWait(std::make_shared<TestReport>(item("online", 1700000003)));
    EXPECT_EQ(types(m_primary.items()), (std::vector<std::string>{"online", "offline"}));
    EXPECT_EQ(m_cache->count(), 0u);

    // A failed primary with no backup address: back to the cached set too, nobody is told.
    m_session->backup.clear();
    m_primary.scriptStatuses({testsupport::PushReportServer::kDropConnection});
    auto noBackup = std::make_shared<TestReport>(item("nobackup", 1700000004));
    noBackup->send();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_cache->count() == 1; }));
    EXPECT_EQ(m_cache->description(), "0");
    EXPECT_TRUE(m_session->failures.empty());
}

TEST_F(Reports, AnExchangeNobodyHoldsStillEnds) {
    auto report = std::make_shared<TestReport>(item("alone", 1700000001));
    report->setReportFlag("7:1700000000");
    const auto request = report->generateReportRequest();
    ASSERT_TRUE(request);
    std::weak_ptr<push::PULSEHttpRequest> weak;
    {
        auto http = push::PULSEHttpRequest::create(m_session, report, m_primary.url(), m_backup.url());
        weak = http;
        http->send(*request);
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->statuses.size() == 1; }));
    EXPECT_TRUE(hybtest::runMainUntil([&] { return weak.expired(); }));
    EXPECT_EQ(m_cache->description(), "0");
}

TEST_F(Reports, TheDelayedSendFollowsItsSteps) {
    auto report = std::make_shared<TestReport>(item("later", 1700000001));
    int sent = 0;
    struct Counter : push::PULSEReportSession {
        int* count;
        void sendHttpReport(const std::shared_ptr<PULSEReportRequest>&) override { ++*count; }
    };
    auto counter = std::make_shared<Counter>();
    counter->count = &sent;
    push::PULSEClientController::sharedClient().setReportSession(counter);
    const double delays[] = {40, 100, 200, 300};
    for (int step = 0; step < 4; ++step) {
        ASSERT_TRUE(report->startDelaySend());
        m_clock.advance(delays[step] - 0.1);
        EXPECT_EQ(sent, step);
        m_clock.advance(0.1);
        EXPECT_EQ(sent, step + 1);
    }
    EXPECT_FALSE(report->startDelaySend());
}

TEST_F(Reports, MessageStateReportsCarryTheirFourKeysAndAFlagWhenGiven) {
    auto withFlag = std::make_shared<push::PULSEMessageReportRequest>();
    withFlag->setActiveType(2, "123456789", 7);
    auto without = std::make_shared<push::PULSEMessageReportRequest>();
    without->setActiveType(1, "", push::PULSEMessageReportRequest::kNoFlag);
    sendAndWait(withFlag);
    sendAndWait(without);
    const auto items = m_primary.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], R"({"itime":1700000000,"type":"msg_status","result":2,"msg_id":"123456789","flag":7})");
    EXPECT_EQ(items[1], R"({"itime":1700000000,"type":"msg_status","result":1,"msg_id":""})");
    EXPECT_TRUE(std::dynamic_pointer_cast<push::PULSEMessageReportResponse>(m_session->exchanges[0]->reportResponse()));
}

} // namespace
