// Tags and alias: the checks of every rule, the request's bytes, and the three ways of hearing the
// server's answer, against the loopback push server on the virtual clock.
#include "SessionTest.h"

#include "push/PULSESessionRequests.h"
#include "push/PULSETagAlias.h"

#include "RecordingSession.h"

#include <atomic>

namespace {

using platform::ArchiveArray;
using platform::ArchiveSet;
using platform::ArchiveValue;
using push::PULSESetTagAliasArg;
using push::PULSETagAliasValidation;

ArchiveSet tagSet(int count, std::size_t length = 4, const std::string& prefix = "t") {
    ArchiveSet set;
    for (int i = 0; set.size() < static_cast<std::size_t>(count); ++i) {
        std::string tag = prefix + std::to_string(i);
        tag.resize(std::max(length, tag.size()), 'x');
        set.insert(tag);
    }
    return set;
}

std::string repeatText(const std::string& unit, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
        text += unit;
    return text;
}

TEST(TagAliasValidation, EachRuleGivesItsCode) {
    const ArchiveValue none;
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, none), 6001);

    // Aliases.
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, "abc_DEF_123"), 0);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, ""), 0);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, "abc-def"), 6003);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, std::string(41, 'a')), 6004);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, std::string(40, 'a')), 0);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, repeatText("\xE4\xB8\x80", 14)), 6004); // 42 bytes
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, repeatText("\xE4\xB8\x80", 13)), 0);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(none, 5), 6003);

    // Tags.
    EXPECT_EQ(PULSETagAliasValidation::validateTags(tagSet(100)), 0);
    EXPECT_EQ(PULSETagAliasValidation::validateTags(tagSet(101)), 6007);
    ArchiveSet longOne = tagSet(5);
    longOne.insert(std::string(41, 'b'));
    EXPECT_EQ(PULSETagAliasValidation::validateTags(longOne), 6006);
    EXPECT_EQ(PULSETagAliasValidation::validateTags(tagSet(26, 40)), 6008); // 1040 bytes
    EXPECT_EQ(PULSETagAliasValidation::validateTags(tagSet(25, 40)), 0);    // 1000 bytes
    EXPECT_EQ(PULSETagAliasValidation::validateTags(ArchiveArray{"a", "b"}), 6005);
    EXPECT_EQ(PULSETagAliasValidation::validateTags(ArchiveSet{"\xE4\xB8\xAD\xE6\x96\x87", "plain"}), 0);
    EXPECT_EQ(PULSETagAliasValidation::validateTags(ArchiveSet{"smile\xF0\x9F\x98\x80"}), 6005);
    EXPECT_EQ(PULSETagAliasValidation::validateTags(ArchiveSet{"a", 7}), 6005);
    EXPECT_EQ(PULSETagAliasValidation::validateTags(ArchiveSet{}), 0);

    // Tags decide first; valid tags let the alias decide.
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(tagSet(101), "a-b"), 6007);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(tagSet(3), "a-b"), 6003);
    EXPECT_EQ(PULSETagAliasValidation::validateTagsAlias(tagSet(3), none), 0);
}

TEST(TagAliasValidation, CharactersAreCheckedByUTF16Unit) {
    EXPECT_TRUE(push::isValidTagAlias(""));
    EXPECT_TRUE(push::isValidTagAlias("Az09_\xE4\xB8\x80\xE9\xBF\xBF")); // U+4E00, U+9FFF
    EXPECT_FALSE(push::isValidTagAlias("\xE4\xB7\xBF"));                  // U+4DFF
    EXPECT_FALSE(push::isValidTagAlias("\xEA\x80\x80"));                  // U+A000
    EXPECT_FALSE(push::isValidTagAlias("a b"));
    EXPECT_FALSE(push::isValidTagAlias("\xF0\x9F\x98\x80")); // a surrogate pair
    EXPECT_FALSE(push::isValidTagAlias("\xFF\xFE"));         // not UTF-8
    EXPECT_FALSE(push::isValidTagAlias("\xE4\xB8"));         // cut short
    EXPECT_FALSE(push::isValidTagAlias(std::string("a\0b", 3)));
}

TEST(TagAliasValidation, FilteringKeepsAtMost100ValidTags) {
    ArchiveSet mixed = tagSet(150);
    mixed.insert("bad-tag");
    mixed.insert(3);
    mixed.insert(std::string(41, 'c'));
    auto kept = PULSETagAliasValidation::filterValidTags(mixed);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 100u);
    EXPECT_TRUE(kept->contains("t0xx"));
    EXPECT_FALSE(kept->contains("bad-tag"));

    ArchiveSet someBad{"bad-tag", "good", 9, "fine"};
    EXPECT_EQ(PULSETagAliasValidation::filterValidTags(someBad), (ArchiveSet{"good", "fine"}));
    EXPECT_FALSE(PULSETagAliasValidation::filterValidTags(ArchiveArray{"a"}));
}

class TagAliasRequest : public pushtest::PushTest {
protected:
    TagAliasRequest() {
        push::PULSENetElement::registerArchiveClasses();
        installIdentity("abcdef0123456789abcdef01");
        push::PULSEClientController::sharedClient().setTagAliasMng(m_manager);
        push::PULSEClientController::sharedClient().setRequestSession(m_session);
    }
    std::shared_ptr<push::PULSETagAlias> m_manager = std::make_shared<push::PULSETagAlias>();
    std::shared_ptr<pushtest::RecordingSession> m_session = std::make_shared<pushtest::RecordingSession>();
};

TEST_F(TagAliasRequest, PacketEqualityAndArchive) {
    push::PULSESetTagAlias request;
    EXPECT_EQ(request.version(), 4);
    EXPECT_EQ(request.protocolType(), 10);
    EXPECT_EQ(request.controlFlag(), 53);
    request.setTags(push::PULSESetTagAlias::Tags{"a", "b"});
    request.setAlias("x");
    auto packet = request.packetData();
    ASSERT_TRUE(packet);
    const std::string json = R"({"platform":"i","tags":"a,b","alias":"x"})";
    std::string body(packet->begin() + 24, packet->end());
    EXPECT_EQ(body, std::string("\x00\x18", 2) + "abcdef0123456789abcdef01" + std::string(1, '\0') +
                        std::string(1, static_cast<char>(json.size())) + json);

    // Equal: both or neither carry tags; with tags on one side only, exactly one carries an alias.
    push::PULSESetTagAlias tagsOnly, aliasOnly, both, neither;
    tagsOnly.setTags(push::PULSESetTagAlias::Tags{"t"});
    aliasOnly.setAlias("a");
    both.setTags(push::PULSESetTagAlias::Tags{"u"});
    both.setAlias("b");
    EXPECT_TRUE(tagsOnly.isEqualToRequest(both));
    EXPECT_TRUE(aliasOnly.isEqualToRequest(neither));
    EXPECT_TRUE(tagsOnly.isEqualToRequest(aliasOnly));
    EXPECT_FALSE(both.isEqualToRequest(aliasOnly));
    EXPECT_FALSE(tagsOnly.isEqualToRequest(push::PULSEHeartbeatRequest()));

    // Archived in the document store and read back whole.
    auto stored = std::make_shared<push::PULSESetTagAlias>();
    stored->setTags(push::PULSESetTagAlias::Tags{"one", "two"});
    stored->setAlias("al");
    auto store = push::PULSEFileCacheController::shareInstanceWithType(1);
    ASSERT_TRUE(store->setObject(ArchiveValue(stored), push::PULSETagAlias::kFailedTagAliasKey));
    push::PULSEFileCacheController::resetForTesting();
    push::PULSEFileCacheController::startShareInstance("PULSEDocument", 1, true);
    auto back = push::PULSETagAlias::storedRequest();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->rid(), stored->rid());
    EXPECT_EQ(back->tags(), stored->tags());
    EXPECT_EQ(back->alias(), "al");
    EXPECT_EQ(back->controlFlag(), 53);
}

TEST_F(TagAliasRequest, APacketOf7168BytesIsNotSentAndAnswers6008) {
    installIdentity(std::string(7120, 'k'));
    std::vector<int> codes;
    auto arg = PULSESetTagAliasArg::create();
    arg->setType(PULSESetTagAliasArg::kBlock);
    arg->setCompletionHandler([&](int code, const ArchiveValue&, const ArchiveValue& alias) {
        codes.push_back(code);
        EXPECT_EQ(alias, ArchiveValue("alias"));
    });
    arg->setAlias("alias");
    m_manager->setTagsAlias(arg);
    ASSERT_EQ(m_session->sent.size(), 1u);
    EXPECT_FALSE(m_session->sent[0]->packetData());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !codes.empty(); }));
    EXPECT_EQ(codes, std::vector<int>{6008});
    EXPECT_EQ(m_manager->waitingCount(), 0u);
}

TEST_F(TagAliasRequest, InvalidCallsAreAnsweredAtOnceAndNotSent) {
    std::vector<int> codes;
    const push::PULSETagAliasCallback record = [&](int code, const ArchiveValue&, const ArchiveValue&) { codes.push_back(code); };
    auto arg = PULSESetTagAliasArg::create();
    arg->setType(PULSESetTagAliasArg::kBlock);
    arg->setCompletionHandler(record);
    m_manager->setTagsAlias(arg);
    EXPECT_FALSE(arg->completionHandler()); // answered: let go
    auto second = PULSESetTagAliasArg::create();
    second->setType(PULSESetTagAliasArg::kBlock);
    second->setCompletionHandler(record);
    second->setTags(ArchiveArray{"a"});
    m_manager->setTagsAlias(second);
    // A background call with bad input is logged as a failure.
    auto background = PULSESetTagAliasArg::create();
    background->setAlias("no-hyphens");
    m_manager->setTagsAlias(background);
    // Unknown types are ignored.
    auto unknown = PULSESetTagAliasArg::create();
    unknown->setType(7);
    unknown->setAlias("x");
    m_manager->setTagsAlias(unknown);

    ASSERT_TRUE(hybtest::runMainUntil([&] { return codes.size() == 2; }));
    EXPECT_EQ(codes, (std::vector<int>{6001, 6005}));
    EXPECT_TRUE(m_session->sent.empty());
    EXPECT_EQ(m_manager->waitingCount(), 0u);
    bool logged = false;
    for (const auto& line : logLines())
        logged |= line.find("setTagsWithAlias (background): failed with Code:6003") != std::string::npos;
    EXPECT_TRUE(logged);
}

// The manager against the server.
class TagAlias : public pushtest::SessionTest {
protected:
    push::PULSETagAlias& manager() { return *push::PULSEClientController::sharedClient().tagAliasMng(); }

    std::shared_ptr<PULSESetTagAliasArg> blockCall(ArchiveValue tags, ArchiveValue alias) {
        auto arg = PULSESetTagAliasArg::create();
        arg->setType(PULSESetTagAliasArg::kBlock);
        arg->setTags(std::move(tags));
        arg->setAlias(std::move(alias));
        arg->setCompletionHandler([this](int code, const ArchiveValue&, const ArchiveValue&) { m_codes.push_back(code); });
        manager().setTagsAlias(arg);
        return arg;
    }

    std::shared_ptr<PULSESetTagAliasArg> backgroundCall(ArchiveValue tags, ArchiveValue alias) {
        auto arg = PULSESetTagAliasArg::create();
        arg->setTags(std::move(tags));
        arg->setAlias(std::move(alias));
        manager().setTagsAlias(arg);
        return arg;
    }

    std::string replyText(std::uint64_t sequence, int code) {
        return "{\"sequence\":" + std::to_string(sequence) + ",\"code\":" + std::to_string(code) + "}";
    }

    bool serverGot(std::size_t tagRequests) {
        return hybtest::runMainUntil([&] { return m_server.packets(10).size() == tagRequests; });
    }

    std::vector<int> m_codes;
};

TEST_F(TagAlias, ABlockHearsTheServerOnceAndLaterRepliesAreIgnored) {
    startLoggedIn();
    m_server.setHoldTagReplies(true);
    auto arg = blockCall(ArchiveSet{"news", "sport"}, "reader_1");
    ASSERT_TRUE(serverGot(1));
    const auto json = testsupport::PushTestServer::tagRequestJson(m_server.packets(10)[0]);
    EXPECT_TRUE(json == R"({"platform":"i","tags":"news,sport","alias":"reader_1"})") << json;
    EXPECT_EQ(m_server.packets(10)[0].rid, arg->sequence());
    m_server.releaseHeldTagReplies();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_codes.size() == 1; }));
    EXPECT_EQ(m_codes, std::vector<int>{0});
    EXPECT_EQ(manager().waitingCount(), 0u);

    // The same reply again, one that is not JSON, one for nobody and one that is an array: nothing.
    m_server.pushMessage(20, 900, replyText(arg->sequence(), 0));
    m_server.pushMessage(20, 901, "not json");
    m_server.pushMessage(20, 902, replyText(999999, 0));
    m_server.pushMessage(20, 903, "[1,2]");
    m_server.pushMessage(20, 904, "{\"code\":3}");
    m_clock.advance(30.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("trans data to obj with error") == 1; }));
    EXPECT_EQ(m_codes, std::vector<int>{0});

    // The server's own codes reach the block as they are.
    m_server.setHoldTagReplies(false);
    m_server.scriptTagReplies({6011});
    blockCall(ArchiveValue(), "other");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_codes.size() == 2; }));
    EXPECT_EQ(m_codes[1], 6011);
}

class Listener : public push::PULSETagAliasCallbackTarget {
public:
    push::PULSETagAliasCallback tagAliasCallbackNamed(const std::string& name) override {
        if (name != "tagsAliasCallback:tags:alias:")
            return nullptr;
        return [this](int code, const ArchiveValue& tags, const ArchiveValue& alias) { heard.push_back({code, tags, alias}); };
    }
    struct Heard {
        int code;
        ArchiveValue tags;
        ArchiveValue alias;
    };
    std::vector<Heard> heard;
};

TEST_F(TagAlias, ATargetHeldWeaklyHearsThroughItsNamedCallback) {
    startLoggedIn();
    auto listener = std::make_shared<Listener>();
    auto arg = PULSESetTagAliasArg::create();
    arg->setType(PULSESetTagAliasArg::kCallback);
    arg->setTags(ArchiveSet{"x"});
    arg->setCallback(listener, "tagsAliasCallback:tags:alias:");
    manager().setTagsAlias(arg);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return listener->heard.size() == 1; }));
    EXPECT_EQ(listener->heard[0].code, 0);
    EXPECT_EQ(listener->heard[0].tags, ArchiveValue(ArchiveSet{"x"}));
    EXPECT_TRUE(listener->heard[0].alias.isNull());
    EXPECT_FALSE(arg->target());

    // A name the target does not have: the call is sent and its reply goes nowhere.
    auto unknown = PULSESetTagAliasArg::create();
    unknown->setType(PULSESetTagAliasArg::kCallback);
    unknown->setAlias("a");
    unknown->setCallback(listener, "noSuchCallback");
    manager().setTagsAlias(unknown);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(10).size() == 2; }));
    EXPECT_EQ(manager().waitingCount(), 0u);

    // A target gone before the reply hears nothing, and nothing breaks.
    m_server.setHoldTagReplies(true);
    auto late = PULSESetTagAliasArg::create();
    late->setType(PULSESetTagAliasArg::kCallback);
    late->setAlias("b");
    late->setCallback(listener, "tagsAliasCallback:tags:alias:");
    manager().setTagsAlias(late);
    ASSERT_TRUE(serverGot(3));
    std::weak_ptr<Listener> weak = listener;
    listener.reset();
    EXPECT_TRUE(weak.expired());
    m_server.releaseHeldTagReplies();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return manager().waitingCount() == 0; }));
}

TEST_F(TagAlias, NoReplyIn20SecondsGives6002AndLeavesTheWaitingQueue) {
    m_session = push::PULSESessionController::create();
    auto arg = blockCall(ArchiveSet{"a"}, ArchiveValue());
    EXPECT_TRUE(m_session->findBlockedRequest(arg->sequence()));
    m_clock.advance(19.9);
    EXPECT_TRUE(manager().isWaiting(arg->sequence()));
    m_clock.advance(0.1);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_codes.size() == 1; }));
    EXPECT_EQ(m_codes, std::vector<int>{6002});
    EXPECT_FALSE(m_session->findBlockedRequest(arg->sequence()));
    EXPECT_FALSE(manager().isWaiting(arg->sequence()));

    // Logged in, a reply that comes after the time-out finds nobody.
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    m_server.setHoldTagReplies(true);
    blockCall(ArchiveSet{"b"}, ArchiveValue());
    ASSERT_TRUE(serverGot(1));
    ASSERT_TRUE(ackArrived());
    m_clock.advance(20.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_codes.size() == 2; }));
    m_server.releaseHeldTagReplies();
    m_clock.advance(1.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->tcpSendingQueue().count() == 0; }));
    EXPECT_EQ(m_codes, (std::vector<int>{6002, 6002}));
}

TEST_F(TagAlias, BackgroundCallsMergeAreStoredAndSentAgainUntilAnswered) {
    // Calls come from registered applications (a registration of a new uid clears the stores).
    startLoggedIn();
    m_session->setIsConnectDisable(true);
    m_session->close();
    m_session->setIsConnectDisable(false);
    auto first = backgroundCall(ArchiveSet{"red", "blue"}, ArchiveValue());
    auto second = backgroundCall(ArchiveValue(), "painter");
    // One request waits: the second call's, carrying the first call's tags; the first call no longer
    // waits for a reply.
    EXPECT_EQ(m_session->tcpBlockedQueue().count(), 1);
    EXPECT_FALSE(manager().isWaiting(first->sequence()));
    EXPECT_TRUE(manager().isWaiting(second->sequence()));
    auto stored = push::PULSETagAlias::storedRequest();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->rid(), second->sequence());
    EXPECT_EQ(stored->tags(), (push::PULSESetTagAlias::Tags{"red", "blue"}));
    EXPECT_EQ(stored->alias(), "painter");

    // The login sends it again as a new request: the server gets one, with both; no answer comes.
    m_server.scriptTagReplies({testsupport::PushTestServer::kNoReply});
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(serverGot(1));
    EXPECT_EQ(m_server.packets(10)[0].connection, 2);
    EXPECT_EQ(testsupport::PushTestServer::tagRequestJson(m_server.packets(10)[0]),
              R"({"platform":"i","tags":"red,blue","alias":"painter"})");
    EXPECT_FALSE(manager().isWaiting(second->sequence()));
    EXPECT_EQ(manager().waitingCount(), 1u);
    ASSERT_TRUE(push::PULSETagAlias::storedRequest());

    // The next login sends it once more; a failure answer still ends it.
    ASSERT_TRUE(ackArrived());
    m_server.scriptTagReplies({6012});
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    m_clock.advance(2.0);
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(serverGot(2));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return manager().waitingCount() == 0; }));
    EXPECT_FALSE(push::PULSETagAlias::storedRequest());
    EXPECT_EQ(countLines("setTagsWithAlias (background): failed with Code:6012"), 1);

    // Nothing is stored, so the next login sends nothing. (The sessions here end right after their
    // logins: the reconnection comes after 5 s this time.)
    ASSERT_TRUE(ackArrived());
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    m_clock.advance(5.0);
    ASSERT_TRUE(waitLoggedIn());
    m_clock.advance(1.0);
    EXPECT_EQ(m_server.packets(10).size(), 2u);
}

} // namespace
