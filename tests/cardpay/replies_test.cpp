// Replies: events, what they fill in the state object, and every kind of bad reply.
#include "CardPayFixture.h"

#include "cardpay/core/BCTrackerManager.h"
#include "support/ClosedPort.h"
#include "support/KeptAlive.h"

using namespace cardpaytest;
using Fault = testsupport::CardPayTestServer::Fault;
using platform::Array;
using platform::Dictionary;
using platform::Value;

class RepliesTest : public CardPayFixture {
protected:
    // Posts the user-information command and waits for its answer.
    const Answer& getUserInfo() {
        const std::size_t before = m_delegate->answers.size();
        m_service->postGetUserInfoRequestWithParams(R"("user_id":"u-10086")");
        EXPECT_TRUE(waitForAnswers(before + 1));
        return lastAnswer();
    }
};

TEST_F(RepliesTest, InitFillsTheOrderFields) {
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventInitDone);
    auto c = container();
    EXPECT_EQ(c->merID(), "898310048990001");
    EXPECT_EQ(c->mOrderInfoArray()->size(), 4u);
    EXPECT_EQ((*c->mAccount_info())["label"], Value("登录卡付账户付款 Pay with account"));
    EXPECT_EQ(c->limitPayMethod(), "11");
    EXPECT_EQ(c->mediumTypes(), "0001");
    ASSERT_TRUE(c->mBindCardArray());
    EXPECT_EQ(c->mBindCardArray()->size(), 2u);
    ASSERT_TRUE(c->mInputInfoItem() && !c->mInputInfoItem()->empty());
    EXPECT_EQ((*c->mInputInfoItem())[0]["type"], Value("pan"));
    EXPECT_EQ(c->mBankUrl(), m_server.url("/pages/banks.html"));
    EXPECT_EQ((*c->findPwdUrl())["href"], Value(m_server.url("/pages/find-password.html")));
    EXPECT_EQ(c->warningInfo(), "Please check the amount before paying.");
    EXPECT_FALSE(c->mUser_id());
    EXPECT_FALSE(c->mUpdateInfo());
    EXPECT_TRUE(cardpay::BCTrackerManager::isTrack());
}

TEST_F(RepliesTest, UpgradeOfferedOrRequired) {
    auto init = *testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
    Dictionary params = init["replies"]["init"].dictionaryOrEmpty();
    params.set("update_info", Dictionary{{"url", "http://127.0.0.1/new"}, {"desc", "A new version"}});
    m_server.setReply("init", params);
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventUpgradeOffered);
    EXPECT_EQ((*container()->mUpdateInfo())["url"], Value("http://127.0.0.1/new"));

    params.set("update_info", Dictionary{{"url", "http://127.0.0.1/new"}, {"desc", "Required"}, {"force", "1"}});
    m_server.setReply("init", params);
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventUpgradeRequired);
}

TEST_F(RepliesTest, RulesWithAnEntrustStepTrackAndSetThePrefix) {
    m_delegate->onEvent = [&](int) {};
    m_service->postRulesRequestWithFlag("1", "card-7001", "1", "1");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventRulesWithEntrust);
    EXPECT_EQ(container()->bcPayPrefix(), "entrust_phoneNO_change_");
    EXPECT_EQ(cardpay::YLUniTracker::recordedCalls(),
              (std::vector<cardpay::YLUniTrackerCall>{{"trackEvent", {"entrust_phoneNO_change"}}}));
    EXPECT_EQ(container()->mEntrustElementArray()->size(), 1u);
    EXPECT_EQ((*container()->actionButton())["action"], Value("prepay"));
    EXPECT_EQ(container()->viewControllerTitle(), "授权 Authorise");
    EXPECT_EQ(container()->mFailContinue(), "0");

    // An empty "entrust_rules", and the other rules-type commands.
    container()->setBcPayPrefix(std::nullopt);
    m_server.setReply("bindcardrules", Dictionary{{"rules", Array{}}, {"entrust_rules", Array{}}});
    m_service->postBindCardRulesRequestWithParams(R"("pan":"6222020200112233445")");
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventRules);
    EXPECT_FALSE(container()->bcPayPrefix());
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdBindCardRules);
    m_service->postFollowRulesRequestWithParams("");
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventFollowRules);
    m_service->postUnBindCardRequestWithCardId("card-7002");
    ASSERT_TRUE(waitForAnswers(4));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventCardUnbound);
}

TEST_F(RepliesTest, ACardsFormMayBringItsOwnOffers) {
    const Dictionary offer{{"label", "Promotions"}, {"name", "promotion"}};
    container()->setInstalment(Dictionary{{"label", "Held"}});
    m_server.setReply("rules", Dictionary{{"rules", Array{}}, {"promotion", offer}, {"instalment", "12"}});
    m_service->postRulesRequestWithFlag("0", "6222021234567894", "1", "1");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(container()->promotion(), offer);
    EXPECT_EQ(container()->instalment(), (Dictionary{{"label", "Held"}}));  // not a dictionary: the held one stays

    m_server.setReply("rules", Dictionary{{"rules", Array{}}});
    m_service->postRulesRequestWithFlag("0", "6222021234567894", "1", "1");
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(container()->promotion(), offer);
}

TEST_F(RepliesTest, LuckyDrawIsSetBeforeItsEvent) {
    std::optional<platform::Dictionary> seen;
    m_delegate->onEvent = [&](int event) {
        if (event == cardpay::kBCEventLuckyDraw)
            seen = container()->luckPromotions();
    };
    m_service->postBingoPromotionRequest();
    ASSERT_TRUE(waitForAnswers(1));
    ASSERT_TRUE(seen);
    EXPECT_EQ((*seen)["label"], Value("幸运抽奖 Lucky draw"));
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdBingoPromotion);

    // Without "options" the draw counts as absent.
    m_server.setReply("bingopromotion", Dictionary{{"luck_draw", Dictionary{{"label", "Draw"}}}});
    m_service->postBingoPromotionRequest();
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_FALSE(container()->luckPromotions());
}

TEST_F(RepliesTest, UserInformationAndInstalment) {
    EXPECT_EQ(getUserInfo().code, cardpay::kBCEventUserInfo);
    auto c = container();
    EXPECT_EQ(c->mUser_id(), "u-10086");
    EXPECT_EQ(c->mUserCards()->size(), 1u);
    EXPECT_EQ(c->addCardTip(), "Add a card");
    EXPECT_TRUE(c->promotion());
    EXPECT_TRUE(c->UserBindUrl());
    c->makeUserInfoClean();
    EXPECT_FALSE(c->UserBindUrl());
    EXPECT_FALSE(c->UserServiceUrl());
    EXPECT_TRUE(c->promotion());

    m_service->postGetInstalmentWithCmd("instalment", R"("promotion":"d-5")");
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventInstalment);
    EXPECT_EQ((*c->updatedInstalment())["options"][0]["value"], Value("12"));
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdInstalment);

    // Neither plans nor the text saying there are none: 2006, and the plans held stay.
    for (const Value& reply : {Value(Dictionary{}), Value(Dictionary{{"instalment", "12"}, {"instalment_empty_info", 0}})}) {
        m_server.setReply("instalment", reply);
        const std::size_t before = m_delegate->answers.size();
        m_service->postGetInstalmentWithCmd("instalment", "");
        ASSERT_TRUE(waitForAnswers(before + 1));
        EXPECT_TRUE(lastAnswer().failure);
        EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureBadReply);
        EXPECT_EQ((*c->updatedInstalment())["options"][0]["value"], Value("12"));
    }
    m_server.setReply("instalment", Dictionary{{"instalment_empty_info", "No plans for this card."}});
    m_service->postGetInstalmentWithCmd("instalment", "");
    ASSERT_TRUE(waitForAnswers(m_delegate->answers.size() + 1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventInstalment);
    EXPECT_EQ(c->instalmentEmptyInfo(), "No plans for this card.");

    m_service->postPromotionCoupon("coupon", R"("coupon":"A1")");
    ASSERT_TRUE(waitForAnswers(m_delegate->answers.size() + 1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventCoupon);
    EXPECT_EQ(lastAnswer().data["resp"], Value("00"));
    EXPECT_TRUE(lastAnswer().data["params"].isDictionary());
}

TEST_F(RepliesTest, FieldsOfTheWrongTypeCountAsAbsent) {
    m_server.setReply("init", Dictionary{
        {"cards", "card-7001"},
        {"sup_pay_method", 1},
        {"input_info", Array{"pan", Dictionary{{"type", "pan"}}, 3}},
        {"account_info", "label"},
        {"title", Dictionary{}},
    });
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventInitDone);
    auto c = container();
    EXPECT_FALSE(c->mBindCardArray());
    EXPECT_FALSE(c->limitPayMethod());
    EXPECT_EQ(c->mInputInfoItem(), (Array{Dictionary{{"type", "pan"}}}));
    EXPECT_FALSE(c->mAccount_info());
    EXPECT_FALSE(c->orderViewTitle());

    // Cards that are not arrays of at least three texts are left out.
    m_server.setReply("init", Dictionary{{"cards", Array{Array{"id", "a"}, Array{"id", "a", "b"}, Array{"id", 2, "b"}, "id",
                                                         Array{"id2", "a", "b", "c"}}}});
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(c->mBindCardArray(), (Array{Array{"id", "a", "b"}, Array{"id2", "a", "b", "c"}}));

    // The server's own fault: every member of another type.
    m_server.setFault("init", Fault::FieldsWrongType);
    auto scenario = *testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
    m_server.setReply("init", scenario["replies"]["init"]);
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventInitDone);
    EXPECT_FALSE(c->mBindCardArray());
    EXPECT_FALSE(c->merID());
    EXPECT_FALSE(c->mOrderInfoArray());
    EXPECT_FALSE(c->findPwdUrl());
}

TEST_F(RepliesTest, EveryBadReplyGivesItsFailureAndChangesNothing) {
    ASSERT_EQ(getUserInfo().code, cardpay::kBCEventUserInfo);
    const platform::Dictionary before = container()->storedFields();
    const struct {
        Fault fault;
        int type;
    } cases[] = {
        {Fault::NotJSON, cardpay::kBCFailureBadReply},     {Fault::ParamsMissing, cardpay::kBCFailureBadReply},
        {Fault::ParamsWrongType, cardpay::kBCFailureBadReply}, {Fault::HTTP500, cardpay::kBCFailureNetwork},
        {Fault::Drop, cardpay::kBCFailureNetwork},         {Fault::NotObject, cardpay::kBCFailureBadReply},
    };
    for (const auto& c : cases) {
        m_server.setFault("getuserinfo", c.fault);
        const Answer& answer = getUserInfo();
        EXPECT_TRUE(answer.failure);
        EXPECT_EQ(answer.code, c.type) << static_cast<int>(c.fault);
        EXPECT_EQ(container()->storedFields(), before) << static_cast<int>(c.fault);
    }
    m_server.setFault("getuserinfo", Fault::None);

    // Beyond the size cap, and "resp" of the wrong type.
    m_server.setEnvelope("getuserinfo", Dictionary{{"resp", "00"}, {"params", Dictionary{{"pad", std::string(1 << 20, 'x')}}}});
    EXPECT_EQ(getUserInfo().code, cardpay::kBCFailureBadReply);
    m_server.setEnvelope("getuserinfo", Dictionary{{"resp", 0}, {"params", Dictionary{}}});
    EXPECT_EQ(getUserInfo().code, cardpay::kBCFailureBadReply);
    EXPECT_EQ(container()->storedFields(), before);
}

TEST_F(RepliesTest, EnvelopeCodesAndTheirMessages) {
    const struct {
        Dictionary envelope;
        int type;
        std::optional<std::string> error;
    } cases[] = {
        {{{"resp", "12"}, {"msg", "Card frozen"}}, cardpay::kBCFailureMessage, "Card frozen"},
        {{{"resp", "12"}}, cardpay::kBCFailureSystem, std::nullopt},
        {{{"resp", "12"}, {"msg", 5}}, cardpay::kBCFailureSystem, std::nullopt},
        {{{"resp", "98"}}, cardpay::kBCFailureSessionOver, std::nullopt},
        {{{"resp", "99"}, {"msg", "Stop"}}, cardpay::kBCFailureFatal, "Stop"},
    };
    for (const auto& c : cases) {
        m_server.setEnvelope("getuserinfo", c.envelope);
        const Answer& answer = getUserInfo();
        EXPECT_TRUE(answer.failure);
        EXPECT_EQ(answer.code, c.type);
        EXPECT_EQ(answer.error, c.error);
    }
    EXPECT_FALSE(container()->mUserInfo());
}

TEST_F(RepliesTest, NetworkFailures) {
    // A path the server does not serve answers 404.
    cardpay::BCHttpsConnect::instance()->setServerURL(m_server.url("/elsewhere"));
    EXPECT_EQ(getUserInfo().code, cardpay::kBCFailureNetwork);
    // A refused connection.
    cardpay::BCHttpsConnect::instance()->setServerURL("http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/gateway");
    EXPECT_EQ(getUserInfo().code, cardpay::kBCFailureNetwork);
    // A road opened without a usable server URL.
    cardpay::BCHttpsConnect::instance()->setServerURL("");
    EXPECT_EQ(getUserInfo().code, cardpay::kBCFailureNetwork);
    // A reply held past the time-out of the clock.
    cardpay::BCHttpsConnect::instance()->setServerURL(m_server.url());
    m_server.setFault("getuserinfo", Fault::Hold);
    m_service->postGetUserInfoRequestWithParams("");
    ASSERT_TRUE(m_server.waitForRequests(2));
    m_clock.advance(cardpay::BCHttpsConnect::kTimeout - 1);
    EXPECT_EQ(m_delegate->answers.size(), 3u);
    m_clock.advance(1.0);
    ASSERT_TRUE(waitForAnswers(4));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureNetwork);
    EXPECT_FALSE(container()->mUserInfo());
    // The released reply finds nobody waiting.
    m_server.releaseHeldReplies();
    EXPECT_FALSE(m_service->isBusy());
}

TEST_F(RepliesTest, APaymentCommandWhoseReplyIsLostIsSentOnce) {
    // The server reads the command, then closes the kept-alive connection it came on without a reply:
    // the command fails as a network failure (the road asks the result) and is never sent again.
    for (const std::string cmd : {"pay", "prepay"}) {
        m_server.setFault(cmd, Fault::NoReply);
        ASSERT_TRUE(testsupport::keepAConnectionAlive(m_server.url()));
        std::optional<cardpay::BCTransportOutcome> outcome;
        cardpay::BCHttpsConnect::instance()->send(R"({"v":"1.4","cmd":")" + cmd + R"(","params":{}})",
                                                  [&](cardpay::BCTransportOutcome o) { outcome = std::move(o); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return outcome.has_value(); }));
        EXPECT_EQ(outcome->kind, cardpay::BCTransportOutcome::Kind::NetworkFailure) << cmd;
        EXPECT_EQ(m_server.commands(cmd).size(), 1u) << cmd;
    }
}

TEST_F(RepliesTest, AServiceThatGoesAwayHearsNothing) {
    m_server.setFault("getuserinfo", Fault::Hold);
    m_service->postGetUserInfoRequestWithParams("");
    ASSERT_TRUE(m_server.waitForRequests(1));
    m_service.reset();
    m_server.releaseHeldReplies();
    // A second service on the same road still gets its answer.
    m_server.setFault("getuserinfo", Fault::None);
    auto other = cardpay::BCMPServiceConsumption::create();
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    other->setDelegate(otherDelegate);
    other->postGetUserInfoRequestWithParams("");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !otherDelegate->answers.empty(); }));
    EXPECT_TRUE(m_delegate->answers.empty());
}

TEST_F(RepliesTest, PointsValuesThatAreNotPlainNumbersAreRefused) {
    ASSERT_EQ(getUserInfo().code, cardpay::kBCEventUserInfo);
    const platform::Dictionary before = container()->storedFields();
    const Dictionary points{{"type", "POINT"}, {"name", "points"}, {"max_use_point", "500"}, {"ordr_amnt", "1.00"},
                            {"point", "1200"}, {"ratio", "0.01"}};
    auto scenario = *testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
    Dictionary user = *scenario["replies"]["getuserinfo"].getDictionary();
    // Negative, not a number, not finite, exponents, signs, blanks, empty, not a text, too long: each
    // value of each key makes the reply malformed, whichever form holds the element.
    for (const char* key : {"max_use_point", "ordr_amnt", "point", "ratio"}) {
        for (const Value& bad : {Value("-500"), Value("NaN"), Value("inf"), Value("1e400"), Value("+1"), Value(" 1"),
                                 Value(""), Value("1.2.3"), Value(500), Value("12345678901234567")}) {
            Dictionary element = points;
            element.set(key, bad);
            user.set("rules", Array{element});
            m_server.setReply("getuserinfo", user);
            const Answer& answer = getUserInfo();
            EXPECT_TRUE(answer.failure) << key << " " << bad.description();
            EXPECT_EQ(answer.code, cardpay::kBCFailureBadReply) << key << " " << bad.description();
            EXPECT_EQ(container()->storedFields(), before) << key << " " << bad.description();
        }
    }
    // In the other forms too; an element of another type is not checked.
    user.set("rules", Array{});
    user.set("user_info", Array{Dictionary{{"type", "point"}, {"ratio", "-1"}}});
    m_server.setReply("getuserinfo", user);
    EXPECT_EQ(getUserInfo().code, cardpay::kBCFailureBadReply);
    m_server.setReply("rules", Dictionary{{"entrust_rules", Array{Dictionary{{"type", "point"}, {"point", "x"}}}}});
    m_service->postRulesRequestWithFlag("1", "card-7001", "1", "1");
    ASSERT_TRUE(waitForAnswers(m_delegate->answers.size() + 1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureBadReply);
    user.set("user_info", Array{Dictionary{{"type", "text"}, {"ratio", "-1"}}});
    // Plain numbers pass: integers, decimals, a leading or trailing point.
    user.set("rules", Array{Dictionary{{"type", "point"}, {"max_use_point", "500"}, {"ordr_amnt", "100.00"}, {"point", ".5"}, {"ratio", "1."}}});
    m_server.setReply("getuserinfo", user);
    EXPECT_EQ(getUserInfo().code, cardpay::kBCEventUserInfo);
}
