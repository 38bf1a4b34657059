#include "StatsTest.h"
#include "stats/MXStatConfig.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatEvent.h"
#include "stats/MXStatHelper.h"
#include "support/Deflate.h"
#include "support/KeptAlive.h"
#include "support/RunLoopWait.h"
#include "support/StatsCollector.h"

#include "platform/core/Crypto.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace stats;
using testsupport::StatsCollector;

namespace {

std::string hexOf(const std::string& bytes) {
    return platform::Crypto::hexString(platform::bytesOf(bytes));
}

std::string keystream(std::string_view key, std::size_t offset, std::size_t length) {
    return testsupport::rc4(key, std::string(offset + length, '\0')).substr(offset);
}

// One stored row whose array text "[" + row + "]" is exactly `arrayLength` bytes.
MXStatStoreEvent rowOfArrayLength(std::size_t arrayLength) {
    const std::string head = R"({"idx":1,"ts":1700000000,"si":7,"mid":"none","et":1000,"ei":"e","pad":")";
    const std::string tail = "\"}";
    MXStatStoreEvent row;
    row.eventId = 1;
    row.content = head + std::string(arrayLength - 2 - head.size() - tail.size(), 'x') + tail;
    return row;
}

class RecordingHolder : public MXStatDataConfigHolderProtocol {
public:
    void encode(platform::Dictionary&) const override {}
    void updateOnlineConfig(const platform::Dictionary& reply) override {
        std::lock_guard lock(mutex);
        replies.push_back(reply);
    }
    std::mutex mutex;
    std::vector<platform::Dictionary> replies;
};

class DispatcherTest : public statstest::StatsTest {
protected:
    DispatcherTest() {
        MXStatConfig::getInstance().setStatReportURL(m_collector.url());
        MXStatHelper::getInstance().setConfigHolder(m_holder);
    }
    ~DispatcherTest() override { MXStatHelper::getInstance().setConfigHolder({}); }

    // Sends the rows as one batch and waits for the completion.
    bool sendRows(std::vector<MXStatStoreEvent> rows) { return outcomeOf(std::move(rows)) == MXStatUploadOutcome::Sent; }
    MXStatUploadOutcome outcomeOf(std::vector<MXStatStoreEvent> rows, MXStatDispatcher* dispatcher = nullptr) {
        std::atomic<int> result{-1};
        (dispatcher ? dispatcher : m_dispatcher.get())
            ->send(std::move(rows), [&](MXStatUploadOutcome outcome, const std::vector<MXStatStoreEvent>&) {
                result = static_cast<int>(outcome);
            });
        EXPECT_TRUE(hybtest::runMainUntil([&] { return result != -1; }, std::chrono::seconds(30)));
        return static_cast<MXStatUploadOutcome>(result.load());
    }

    StatsCollector m_collector;
    std::shared_ptr<RecordingHolder> m_holder = std::make_shared<RecordingHolder>();
    std::shared_ptr<MXStatDispatcher> m_dispatcher = MXStatDispatcher::create();
};

} // namespace

TEST(StatsRC4, BothImplementationsGiveThePublishedKeystreams) {
    // Keystream bytes for 40-bit and 256-bit keys from RFC 6229.
    const std::string key40("\x01\x02\x03\x04\x05", 5);
    std::string key256;
    for (int i = 1; i <= 32; ++i)
        key256 += static_cast<char>(i);
    EXPECT_EQ(hexOf(keystream(key40, 0, 16)), "b2396305f03dc027ccc3524a0a1118a8");
    EXPECT_EQ(hexOf(keystream(key40, 4096, 16)), "ff25b58995996707e51fbdf08b34d875");
    EXPECT_EQ(hexOf(keystream(key256, 0, 16)), "eaa6bd25880bf93d3f5d1e4ca2611d91");

    for (const auto& key : {key40, key256}) {
        platform::Bytes data(4112, 0);
        ASSERT_TRUE(platform::Crypto::rc4(platform::bytesOf(key), data));
        EXPECT_EQ(std::string(data.begin(), data.end()), keystream(key, 0, 4112));
    }
    platform::Bytes untouched{1, 2, 3};
    EXPECT_FALSE(platform::Crypto::rc4({}, untouched));
    EXPECT_EQ(untouched, (platform::Bytes{1, 2, 3}));

    // The client's cipher is keyed with the key text's own characters, fresh on every call.
    const std::string plain = "[{\"et\":0}]";
    platform::Bytes once(plain.begin(), plain.end());
    MXStatHelper::ChiperRC4(once);
    EXPECT_EQ(std::string(once.begin(), once.end()), testsupport::rc4(StatsCollector::kKey, plain));
    MXStatHelper::ChiperRC4(once);
    EXPECT_EQ(std::string(once.begin(), once.end()), plain);
}

TEST(StatsGZip, RoundTripsAndRefusesWhatIsNotAWholeStream) {
    const std::string text(100000, 'a');
    platform::Bytes packed;
    ASSERT_EQ(MXStatHelper::GZip(platform::bytesOf(text), &packed), 0);
    ASSERT_GE(packed.size(), 2u);
    EXPECT_EQ(packed[0], 0x1f); // the gzip wrapper
    EXPECT_EQ(packed[1], 0x8b);
    platform::Bytes unpacked;
    ASSERT_EQ(MXStatHelper::GUnzip(packed, &unpacked), 0);
    EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), text);

    // A zlib stream is also taken back; a cut or tiny input fails (and a one-byte input ends).
    const std::string zlibStream = testsupport::deflated("hello", 15);
    ASSERT_EQ(MXStatHelper::GUnzip(platform::bytesOf(zlibStream), &unpacked), 0);
    EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), "hello");
    platform::Bytes cut(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
    EXPECT_EQ(MXStatHelper::GUnzip(cut, &unpacked), -1);
    EXPECT_EQ(MXStatHelper::GUnzip(platform::Bytes{0x1f}, &unpacked), -1);
    EXPECT_EQ(MXStatHelper::GUnzip(platform::Bytes{}, &unpacked), -1);
    EXPECT_EQ(MXStatHelper::GZip(platform::Bytes{}, &packed), -1);
    EXPECT_EQ(MXStatHelper::GZip(platform::bytesOf(text), nullptr), -1);
    // The output is bounded: a bomb beyond the limit fails.
    EXPECT_EQ(MXStatHelper::GUnzip(packed, &unpacked, 1000), -1);
}

TEST_F(DispatcherTest, BodiesBelow256BytesGoPlainAndLargerOnesBehindTheirLength) {
    ASSERT_TRUE(sendRows({rowOfArrayLength(255)}));
    ASSERT_TRUE(sendRows({rowOfArrayLength(256)}));
    ASSERT_TRUE(sendRows({rowOfArrayLength(256), rowOfArrayLength(5000)}));
    EXPECT_EQ(m_collector.problems(), std::vector<std::string>{});

    const auto uploads = m_collector.uploads();
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(uploads[0].contentEncoding, "rc4");
    EXPECT_EQ(uploads[0].sent.size(), 255u);
    EXPECT_EQ(uploads[0].framed, "[" + rowOfArrayLength(255).content + "]");
    EXPECT_EQ(uploads[1].contentEncoding, "rc4,gzip");
    EXPECT_EQ(hexOf(uploads[1].framed.substr(0, 4)), "00000100");
    EXPECT_EQ(uploads[1].framed.substr(4, 2), "\x1f\x8b");
    EXPECT_EQ(uploads[1].json, "[" + rowOfArrayLength(256).content + "]");
    // Deciphering the sent body with the key gives back the framed body.
    EXPECT_EQ(testsupport::rc4(StatsCollector::kKey, uploads[1].sent), uploads[1].framed);
    EXPECT_EQ(uploads[2].events.size(), 2u);
    const auto requests = m_collector.server().requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/mstat/report");
}

TEST_F(DispatcherTest, RepliesAreJudgedByTheTextOfRet) {
    struct Case {
        const char* name;
        StatsCollector::ScriptedReply reply;
        bool success;
        const char* logged;
    };
    auto plain = [](std::string body, int status = 200) {
        StatsCollector::ScriptedReply reply;
        reply.status = status;
        reply.body = std::move(body);
        return reply;
    };
    auto rc4Header = plain(R"({"ret":0})");
    rc4Header.contentEncoding = "RC4, gzip"; // case-insensitive; the gzip mark is not acted on
    rc4Header.body = testsupport::rc4(StatsCollector::kKey, rc4Header.body);
    auto notDeciphered = plain(R"({"ret":0})");
    notDeciphered.contentEncoding = "rc4";
    const std::vector<Case> cases = {
        {"number 0, enciphered", StatsCollector::jsonReply(platform::Dictionary{{"ret", 0}}), true, nullptr},
        {"text 0, no Content-Encoding", plain(R"({"ret":"0"})"), true, nullptr},
        {"header in other case", rc4Header, true, nullptr},
        {"text 1", StatsCollector::jsonReply(platform::Dictionary{{"ret", "1"}}), false, nullptr},
        {"no ret", plain(R"({"cfg":{}})"), false, nullptr},
        {"ret true", plain(R"({"ret":true})"), false, nullptr},
        {"ret an object", plain(R"({"ret":{"a":0}})"), false, nullptr},
        {"status 500", plain("collector down", 500), false, "[ERROR]collector down"},
        {"empty 200", plain(""), false, nullptr},
        {"garbage", plain("\x01\x02 not json"), false, "Decode JSON error :"},
        {"header says rc4, body plain", notDeciphered, false, "Decode JSON error :"},
        {"an array", plain("[0]"), false, "Not NSDictionary for decoded object:NSArray"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        m_collector.setReply(c.reply);
        // Every answer but success refuses the batch.
        EXPECT_EQ(outcomeOf({rowOfArrayLength(100)}), c.success ? MXStatUploadOutcome::Sent : MXStatUploadOutcome::Refused);
        if (c.logged) {
            EXPECT_TRUE(m_log.contains(c.logged));
        }
    }
    // Only successful replies reach the configuration holder.
    std::lock_guard lock(m_holder->mutex);
    EXPECT_EQ(m_holder->replies.size(), 3u);
}

TEST_F(DispatcherTest, EventsGoOutAloneAndOverLongOnesAreDroppedUnlessErrors) {
    auto custom = std::make_shared<MXStatCustomEvent>();
    custom->eventID = "open";
    std::atomic<int> result{-1};
    std::shared_ptr<MXStatEvent> echoed;
    m_dispatcher->sendEvent(custom, [&](bool success, const std::shared_ptr<MXStatEvent>& sent) {
        echoed = sent;
        result = success;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return result != -1; }));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(echoed, custom);
    ASSERT_EQ(m_collector.events().size(), 1u);
    EXPECT_EQ(m_collector.events()[0]["ei"], platform::Value("open"));
    EXPECT_TRUE(m_log.contains("Sending event {"));

    MXStatConfig::getInstance().setMaxReportEventLength(20);
    result = -1;
    m_dispatcher->sendEvent(custom, [&](bool success, const std::shared_ptr<MXStatEvent>& sent) {
        echoed = sent;
        result = success;
    });
    EXPECT_EQ(result, 1); // at once, on the caller's thread
    EXPECT_EQ(echoed, nullptr);
    EXPECT_TRUE(m_log.contains("[ERROR]Too large event content length to report:"));

    auto error = std::make_shared<MXStatErrorEvent>();
    error->error = "boom";
    result = -1;
    m_dispatcher->sendEvent(error, [&](bool success, const std::shared_ptr<MXStatEvent>&) { result = success; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return result != -1; }));
    EXPECT_EQ(result, 1);
    ASSERT_EQ(m_collector.uploads().size(), 2u);
    EXPECT_EQ(m_collector.events()[1]["et"], platform::Value(3));
    EXPECT_EQ(m_collector.problems(), std::vector<std::string>{});

    // Nothing to send: no completion.
    m_dispatcher->send(std::shared_ptr<MXStatEvent>(), [&](bool, const std::shared_ptr<MXStatEvent>&) { ADD_FAILURE(); });
}

TEST_F(DispatcherTest, ACollectorThatIsNotReachedDoesNotRefuseTheBatch) {
    // Held past the time-out, or trickling in for longer than it: the time-out bounds the whole upload.
    auto quick = MXStatDispatcher::create(0.5);
    testsupport::Reply trickle = testsupport::Reply::text(200, R"({"ret":0})", "json");
    trickle.pieceSize = 1;
    trickle.pauseBetweenPieces = std::chrono::milliseconds(150);
    m_collector.server().route(StatsCollector::kPath, trickle);
    EXPECT_EQ(outcomeOf({rowOfArrayLength(100)}, quick.get()), MXStatUploadOutcome::Unreached);
    testsupport::Reply held = testsupport::Reply::text(200, R"({"ret":0})", "json");
    held.hold = true;
    m_collector.server().route(StatsCollector::kPath, held);
    EXPECT_EQ(outcomeOf({rowOfArrayLength(100)}, quick.get()), MXStatUploadOutcome::Unreached);
    // A reply too large to take is an answer, and refuses.
    testsupport::Reply huge = testsupport::Reply::text(200, std::string(1 << 20, ' '), "json");
    huge.bodyRepeat = 4;
    m_collector.server().route(StatsCollector::kPath, huge);
    EXPECT_EQ(outcomeOf({rowOfArrayLength(100)}), MXStatUploadOutcome::Refused);
    // No collector at all.
    m_collector.server().stop();
    EXPECT_EQ(outcomeOf({rowOfArrayLength(100)}), MXStatUploadOutcome::Unreached);
    EXPECT_TRUE(m_log.contains("Failed to send request for reason:"));
}

TEST_F(DispatcherTest, EveryUploadGoesOutOnAConnectionOfItsOwn) {
    // A dropped kept-alive connection could otherwise make the transport send a batch twice.
    ASSERT_TRUE(sendRows({rowOfArrayLength(100)}));
    ASSERT_TRUE(sendRows({rowOfArrayLength(100)}));
    EXPECT_EQ(m_collector.uploads().size(), 2u);
    EXPECT_EQ(m_collector.server().connectionCount(), 2u);
}

TEST_F(DispatcherTest, AnUploadWhoseReplyIsLostArrivesOnce) {
    // The collector reads the batch, then closes the kept-alive connection it came on without a reply.
    m_collector.server().route(StatsCollector::kPath, testsupport::Reply::closedWithoutReply());
    ASSERT_TRUE(testsupport::keepAConnectionAlive(m_collector.server().url()));
    EXPECT_EQ(outcomeOf({rowOfArrayLength(100)}), MXStatUploadOutcome::Unreached);
    std::size_t arrivals = 0;
    for (const auto& request : m_collector.server().requests())
        arrivals += request.path == StatsCollector::kPath;
    EXPECT_EQ(arrivals, 1u);
}

TEST_F(DispatcherTest, ARealTimeEventIsMeasuredInUTF16UnitsAsTheStoreMeasuresIt) {
    // 1,500 CJK characters: 4,500 bytes of UTF-8 but well within 4,096 UTF-16 units.
    std::string text;
    for (int i = 0; i < 1500; ++i)
        text += "\xe6\xb1\x89"; // U+6C49
    auto custom = std::make_shared<MXStatCustomEvent>();
    custom->eventID = text;
    ASSERT_GT(custom->toJsonString().size(), 4096u);
    std::atomic<int> result{-1};
    m_dispatcher->sendEvent(custom, [&](bool success, const std::shared_ptr<MXStatEvent>&) { result = success; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return result != -1; }));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m_collector.problems(), std::vector<std::string>{});
    EXPECT_FALSE(m_log.contains("Too large event content length")) << ::testing::PrintToString(m_log.lines());
    ASSERT_EQ(m_collector.events().size(), 1u);
    EXPECT_EQ(m_collector.events()[0]["ei"], platform::Value(text));
}
