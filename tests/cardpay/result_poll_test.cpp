// The result poll after a payment command, on the virtual clock, and the rule that a payment whose result
// is not known is never sent again (its result is asked for instead).
#include "CardPayFixture.h"

#include "cardpay/core/BCLocale.h"

using namespace cardpaytest;
using platform::Dictionary;

class ResultPollTest : public CardPayFixture {
protected:
    void pay() { m_service->postRequestWithCmd("pay", R"("pin":"123456")"); }
    std::size_t queries() const { return m_server.commands("query").size(); }
    bool waitForQueries(std::size_t n) {
        return hybtest::runMainUntil([&] { return queries() >= n; });
    }
    bool waitForPolls(int n) {
        return hybtest::runMainUntil([&] { return m_service->pollsAnswered() >= n; });
    }
    bool waitForLostPolls(int n) {
        return hybtest::runMainUntil([&] { return m_service->pollsLost() >= n; });
    }
};

TEST_F(ResultPollTest, PollsEverySecondUntilTheResultArrives) {
    m_server.setReply("query", platform::Array{Dictionary{{"status", "01"}}, Dictionary{{"status", "01"}},
                                               Dictionary{{"status", "00"}, {"title", "Paid"}, {"pay_msg", "Thanks"},
                                                          {"default_pay_mode", "2"}}});
    pay();
    ASSERT_TRUE(waitForPolls(1));
    EXPECT_EQ(queries(), 1u);
    m_clock.advance(0.9);
    EXPECT_EQ(queries(), 1u);
    m_clock.advance(0.1);
    ASSERT_TRUE(waitForPolls(2));
    EXPECT_EQ(queries(), 2u);
    EXPECT_TRUE(m_delegate->answers.empty());
    m_clock.advance(1.0);
    ASSERT_TRUE(waitForAnswers(1));
    ASSERT_EQ(queries(), 3u);
    EXPECT_FALSE(lastAnswer().failure);
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(m_server.commands("query")[0].params, (Dictionary{{"tn", "201712010001"}}));
    EXPECT_EQ(container()->viewControllerTitle(), "Paid");
    EXPECT_EQ(container()->paySuccessMessage(), platform::Value("Thanks"));
    EXPECT_EQ(container()->defaultPayMode(), "2");
    EXPECT_EQ(container()->queryTimeoutMessage(), "We could not confirm the payment yet.");
    // The poll keeps the payment command's code.
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdPay);
    EXPECT_FALSE(m_service->isBusy());
}

TEST_F(ResultPollTest, FailureAndReopen) {
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Card declined"}});
    pay();
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_TRUE(lastAnswer().failure);
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailurePayment);
    EXPECT_EQ(lastAnswer().error, "Card declined");

    m_server.setReply("query", Dictionary{{"status", "03"}, {"reopen_flag", "0"}, {"fail_msg", "Open again"}});
    m_service->postPreCmd("prepay", "");
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureReopen);
    EXPECT_EQ(lastAnswer().error, "Open again");
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdPre);
}

TEST_F(ResultPollTest, EndlessWaitingTimesOutAfterSixtyPolls) {
    m_server.setReply("pay", Dictionary{});
    m_server.setReply("query", Dictionary{{"status", "01"}});
    pay();
    for (int poll = 1; poll < cardpay::BCMPService::kMaxPolls; ++poll) {
        ASSERT_TRUE(waitForPolls(poll));
        m_clock.advance(1.0);
    }
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(queries(), 60u);
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailurePollTimeout);
    EXPECT_EQ(lastAnswer().error, cardpay::BCLocale::instance()->getStringById(12013));
    EXPECT_FALSE(m_service->isBusy());
    m_clock.advance(5.0);
    EXPECT_EQ(queries(), 60u);
}

TEST_F(ResultPollTest, AStatusAbsentNotTextOrUnknownIsALostPollNeverASuccess) {
    for (const platform::Value& status : {platform::Value(), platform::Value(0), platform::Value("07")}) {
        Dictionary params{{"title", "Paid"}};
        if (!status.isNull())
            params.set("status", status);
        m_server.setReply("query", params);
        const std::size_t before = m_delegate->answers.size();
        const std::size_t queriesBefore = queries();
        // The payment is sent once; later ones ask for its result again.
        pay();
        for (int lost = 1; lost < cardpay::BCMPService::kMaxLostPolls; ++lost) {
            ASSERT_TRUE(waitForLostPolls(lost));
            m_clock.advance(cardpay::BCMPService::kPollInterval);
        }
        ASSERT_TRUE(waitForAnswers(before + 1));
        EXPECT_TRUE(lastAnswer().failure);
        EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureResultUnknown);
        EXPECT_EQ(lastAnswer().error, cardpay::BCLocale::instance()->getStringById(12017));
        EXPECT_EQ(queries(), queriesBefore + cardpay::BCMPService::kMaxLostPolls);
        EXPECT_FALSE(container()->viewControllerTitle());
        EXPECT_TRUE(container()->paymentOutstanding());
    }
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
}

TEST_F(ResultPollTest, LostPollsAreAskedAgainAndThePaymentIsNeverSentTwice) {
    // The poll answers HTTP 500, then is dropped, then says paid.
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::HTTP500);
    pay();
    ASSERT_TRUE(waitForLostPolls(1));
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::Drop);
    m_clock.advance(cardpay::BCMPService::kPollInterval);
    ASSERT_TRUE(waitForLostPolls(2));
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::None);
    m_server.setReply("query", Dictionary{{"status", "00"}, {"title", "Paid"}});
    m_clock.advance(cardpay::BCMPService::kPollInterval);
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(queries(), 3u);
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
}

TEST_F(ResultPollTest, AHeldPollTimesOutIsAskedAgainAndAtLastLeavesTheResultToBeConfirmed) {
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::Hold);
    pay();
    for (int lost = 0; lost < cardpay::BCMPService::kMaxLostPolls; ++lost) {
        ASSERT_TRUE(waitForQueries(static_cast<std::size_t>(lost) + 1));
        m_clock.advance(cardpay::BCHttpsConnect::kTimeout);  // no reply in time
        if (lost + 1 < cardpay::BCMPService::kMaxLostPolls) {
            ASSERT_TRUE(waitForLostPolls(lost + 1));
            m_clock.advance(cardpay::BCMPService::kPollInterval);
        }
    }
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureResultUnknown);
    EXPECT_EQ(queries(), static_cast<std::size_t>(cardpay::BCMPService::kMaxLostPolls));
    EXPECT_FALSE(m_service->isBusy());

    // Another payment command, from this service or another, asks for the result instead.
    m_server.releaseHeldReplies();
    m_server.setFault("query", testsupport::CardPayTestServer::Fault::None);
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Declined"}});
    auto other = cardpay::BCMPServiceConsumption::create();
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    other->setDelegate(otherDelegate);
    other->postPreCmd("prepay", R"("cvn2":"123")");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !otherDelegate->answers.empty(); }));
    EXPECT_EQ(otherDelegate->answers.back().code, cardpay::kBCFailurePayment);
    EXPECT_EQ(otherDelegate->answers.back().error, "Declined");
    EXPECT_TRUE(m_server.commands("prepay").empty());
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
    // The result said it failed: the next payment goes out.
    EXPECT_FALSE(container()->paymentOutstanding());
    m_server.setReply("query", Dictionary{{"status", "00"}});
    pay();
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(m_server.commands("pay").size(), 2u);
}

// A redirect is such a loss too: the payment follows none (to its own path or any other), so the server
// that answered 307 gets it once and is asked for the result.
TEST_F(ResultPollTest, APaymentWhoseReplyIsLostIsPolledNotSentAgain) {
    for (const auto fault : {testsupport::CardPayTestServer::Fault::Drop, testsupport::CardPayTestServer::Fault::HTTP500,
                             testsupport::CardPayTestServer::Fault::NotJSON, testsupport::CardPayTestServer::Fault::Redirect}) {
        m_server.setFault("pay", fault);
        m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Not received"}});
        const std::size_t before = m_delegate->answers.size();
        const std::size_t paysBefore = m_server.commands("pay").size();
        pay();
        ASSERT_TRUE(waitForAnswers(before + 1));
        // The poll tells: the payment never arrived, so it failed and may be sent again.
        EXPECT_EQ(lastAnswer().code, cardpay::kBCFailurePayment);
        EXPECT_EQ(m_server.commands("pay").size(), paysBefore + 1);
        EXPECT_FALSE(container()->paymentOutstanding());
    }
}

TEST_F(ResultPollTest, ARefusedPaymentMayBeSentAgain) {
    m_server.setEnvelope("pay", Dictionary{{"resp", "12"}, {"msg", "Card frozen"}});
    pay();
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureMessage);
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_EQ(queries(), 0u);
    pay();
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(m_server.commands("pay").size(), 2u);
}

TEST_F(ResultPollTest, AGoneDelegateDropsTheReplyAndStopsThePoll) {
    m_server.setReply("query", Dictionary{{"status", "01"}});
    pay();
    ASSERT_TRUE(waitForPolls(1));
    m_delegate.reset();
    m_clock.advance(1.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_service->isBusy(); }));
    EXPECT_EQ(queries(), 2u);
    m_clock.advance(10.0);
    EXPECT_EQ(queries(), 2u);
}

TEST_F(ResultPollTest, ReleasingTheCommonCoreStopsEveryPoll) {
    m_server.setReply("query", Dictionary{{"status", "01"}});
    pay();
    ASSERT_TRUE(waitForPolls(1));
    cardpay::BCMPService::releaseCommon();
    EXPECT_FALSE(m_service->isBusy());
    m_clock.advance(10.0);
    EXPECT_EQ(queries(), 1u);
    EXPECT_TRUE(m_delegate->answers.empty());
}

// The outstanding payment is one record: its command, its order, what a "00" means and who sent it. A
// poll answer settles it whichever service asked; a "00" for the authorisation pays nothing.
TEST_F(ResultPollTest, APollAnswerSettlesTheOutstandingPaymentWhicheverServiceAsked) {
    m_server.setPollFault({testsupport::CardPayTestServer::Fault::HTTP500, "prepay", cardpay::BCMPService::kMaxLostPolls, ""});
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_service->postPreCmd("prepay", R"("cvn2":"123")");
    ASSERT_TRUE(waitForLostPolls(1));
    const auto outstanding = container()->outstandingPayment();
    ASSERT_TRUE(outstanding);
    EXPECT_NE(outstanding->number, 0u);
    EXPECT_EQ(*outstanding, (cardpay::BCPayment{"prepay", cardpay::kBCCmdPre, "201712010001", cardpay::BCPayment::Meaning::Authorised,
                                                m_service->serial(), outstanding->number}));
    for (int lost = 1; lost < cardpay::BCMPService::kMaxLostPolls; ++lost) {
        ASSERT_TRUE(waitForLostPolls(lost));
        m_clock.advance(cardpay::BCMPService::kPollInterval);
    }
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureResultUnknown);

    // Another screen's "pay" asks for the result instead; the "00" is the authorisation's.
    auto other = cardpay::BCMPServiceConsumption::create();
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    other->setDelegate(otherDelegate);
    EXPECT_NE(other->serial(), m_service->serial());
    other->postRequestWithCmd("pay", R"("pin":"123456")");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !otherDelegate->answers.empty(); }));
    EXPECT_EQ(otherDelegate->answers.back().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(m_server.commands("pay").size(), 0u);
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_EQ(container()->lastSettledPayment(), outstanding);
    EXPECT_TRUE(container()->lastSettlementSucceeded());
    EXPECT_FALSE(container()->orderPaid());

    // Now the "pay" goes out, and its "00" pays the order.
    other->postRequestWithCmd("pay", R"("pin":"123456")");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return otherDelegate->answers.size() == 2; }));
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
    EXPECT_EQ(container()->lastSettledPayment()->command, "pay");
    EXPECT_TRUE(container()->orderPaid());
}

// Once an authorisation of this order is confirmed, whichever service sent it, no authorisation goes out
// again, whoever names it (a screen's pre-command or a server box's "prepay"): the poster hears 3004 as
// for its own. A "pay" still goes out.
TEST_F(ResultPollTest, AnOrderAuthorisedIsNeverAuthorisedAgain) {
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_service->postPreCmd("prepay", R"("cvn2":"123")");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_TRUE(container()->orderAuthorised());
    EXPECT_FALSE(container()->orderPaid());
    container()->setMTN("201712010099");  // another order is not authorised by it
    EXPECT_FALSE(container()->orderAuthorised());
    container()->setMTN("201712010001");

    auto other = cardpay::BCMPServiceConsumption::create();
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    other->setDelegate(otherDelegate);
    const std::size_t queries = this->queries();
    other->postPreCmd("prepay", R"("cvn2":"123")");
    other->postTempRequestWithCmd("prepay", R"("cvn2":"123")");  // a box's action is never a payment
    ASSERT_TRUE(hybtest::runMainUntil([&] { return otherDelegate->answers.size() == 2; }));
    EXPECT_EQ(otherDelegate->answers[0].code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(otherDelegate->answers[1].code, cardpay::kBCFailureSystem);
    EXPECT_EQ(m_server.commands("prepay").size(), 1u);
    EXPECT_EQ(this->queries(), queries);

    other->postRequestWithCmd("pay", R"("pin":"123456")");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return otherDelegate->answers.size() == 3; }));
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
    EXPECT_TRUE(container()->orderPaid());
}

// An authorisation holds for the order and the card its step was for (the card the rules were asked
// for): another card is authorised on its own, and each card once; another order has none of them.
TEST_F(ResultPollTest, AnAuthorisationHoldsForItsCardOnly) {
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_service->postRulesRequestWithFlag("1", "card-7001", "1", "1");
    ASSERT_TRUE(waitForAnswers(1));
    m_service->postPreCmd("prepay", R"("cvn2":"123")");
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_TRUE(container()->orderAuthorised());
    m_service->postRulesRequestWithFlag("0", "6222021234567894", "1", "1");
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_FALSE(container()->orderAuthorised());
    m_service->postPreCmd("prepay", R"("cvn2":"321")");
    ASSERT_TRUE(waitForAnswers(4));
    EXPECT_TRUE(container()->orderAuthorised());
    ASSERT_EQ(m_server.commands("prepay").size(), 2u);
    m_service->postRulesRequestWithFlag("1", "card-7001", "1", "1");
    ASSERT_TRUE(waitForAnswers(5));
    EXPECT_TRUE(container()->orderAuthorised());
    m_service->postPreCmd("prepay", R"("cvn2":"123")");
    ASSERT_TRUE(waitForAnswers(6));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(m_server.commands("prepay").size(), 2u);
    container()->setMTN("201712010099");
    EXPECT_FALSE(container()->orderAuthorised());
}

// What moves money is decided from the command: "pay" and "prepay" are payments when a screen's pay or
// pre-command entry posts them (a pre-command named "pay" pays the order); a server-named box action,
// points or coupon command naming one is never sent, and a temporary command of another name is a plain
// command: sent once, answered, never polled or held.
TEST_F(ResultPollTest, WhatMovesMoneyIsDecidedFromTheCommand) {
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_server.setReply("takecoupon", Dictionary{});
    m_service->postTempRequestWithCmd("takecoupon", "");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventTempAnswered);
    EXPECT_EQ(m_server.commands("takecoupon").size(), 1u);
    EXPECT_EQ(queries(), 0u);
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_FALSE(m_service->isBusy());

    m_service->postPromotionScore("pay", std::nullopt);
    m_service->postPromotionCoupon("prepay", "");
    m_service->postGetInstalmentWithCmd("pay", "");
    m_service->postTempRequestWithCmd("pay", "");
    m_service->postTempRequestWithCmd("prepay", "");
    ASSERT_TRUE(waitForAnswers(6));
    for (std::size_t i = 1; i < 6; ++i)
        EXPECT_EQ(m_delegate->answers[i].code, cardpay::kBCFailureSystem);
    EXPECT_TRUE(m_server.commands("pay").empty());
    EXPECT_TRUE(m_server.commands("prepay").empty());
    EXPECT_FALSE(container()->paymentOutstanding());

    m_service->postPreCmd("pay", R"("pin":"123456")");
    ASSERT_TRUE(waitForAnswers(7));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(container()->lastSettledPayment()->meaning, cardpay::BCPayment::Meaning::Paid);
    EXPECT_TRUE(container()->orderPaid());
}

// A server may read command names without regard to case or surrounding blanks: a name that is "pay" or
// "prepay" but for those is a payment all the same. A server box's "PAY" or a points command " Pay " is
// refused unsent, as a box's "pay" is; an authorisation button naming "PAY" pays the order, so that
// nothing pays it again.
TEST_F(ResultPollTest, APaymentNameInAnotherCaseOrWithBlanksIsAPayment) {
    for (const char* name : {"PAY", "Pay", " pay\t", "PrePay", "prepay\n"})
        EXPECT_TRUE(cardpay::BCMPService::moneyMovingCommand(name)) << name;
    EXPECT_EQ(cardpay::BCMPService::moneyMovingCommand("PREPAY"), cardpay::BCPayment::Meaning::Authorised);
    for (const char* name : {"payx", "pa y", "repay", "query", ""})
        EXPECT_FALSE(cardpay::BCMPService::moneyMovingCommand(name)) << name;

    m_server.setReply("PAY", Dictionary{});
    m_server.setReply("Pay", Dictionary{});
    m_server.setReply("query", Dictionary{{"status", "01"}});
    m_service->postTempRequestWithCmd("PAY", R"("pin":"123456")");
    m_service->postTempRequestWithCmd("Pay", R"("pin":"123456")");
    m_service->postPromotionScore(" Pay ", std::nullopt);
    ASSERT_TRUE(waitForAnswers(3));
    for (const auto& answer : m_delegate->answers)
        EXPECT_EQ(answer.code, cardpay::kBCFailureSystem);
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_TRUE(m_server.commands("PAY").empty());
    EXPECT_TRUE(m_server.commands("Pay").empty());
    EXPECT_TRUE(m_server.commands(" Pay ").empty());
    EXPECT_EQ(queries(), 0u);
}

TEST_F(ResultPollTest, AnAuthorisationButtonNamingPayInCapitalsPaysTheOrder) {
    m_server.setReply("PAY", Dictionary{});
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_service->postPreCmd("PAY", R"("cvn2":"123")");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_TRUE(container()->orderPaid());
    pay();
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_TRUE(m_server.commands("pay").empty());
}

// The poll's own command is never a payment: an authorisation button naming "query" (in any case) sends
// nothing, and the poster hears a system failure; nothing is outstanding, nothing confirmed.
TEST_F(ResultPollTest, TheResultQueryIsNeverSentAsAPayment) {
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_server.setReply("Query", Dictionary{{"status", "00"}});
    m_service->postPreCmd("query", R"("cvn2":"123")");
    m_service->postPreCmd("Query", R"("cvn2":"123")");
    m_service->postTempRequestWithCmd(" QUERY", "");
    ASSERT_TRUE(waitForAnswers(3));
    for (const auto& answer : m_delegate->answers)
        EXPECT_EQ(answer.code, cardpay::kBCFailureSystem);
    EXPECT_TRUE(m_server.commands().empty());
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_FALSE(container()->orderAuthorised());
}

// A payment whose parameters make no command never goes out: it is not left outstanding (no result to
// ask for, nothing to report at the road's end), and the corrected payment goes out once.
TEST_F(ResultPollTest, APaymentThatMakesNoCommandIsNotLeftOutstanding) {
    m_server.setReply("query", Dictionary{{"status", "00"}});
    m_service->postRequestWithCmd("pay", R"("pin":)");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureSystem);
    EXPECT_FALSE(container()->paymentOutstanding());
    pay();
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
    EXPECT_TRUE(container()->orderPaid());
}

// The reply to an earlier payment that comes after a later one went out (the earlier one settled by
// another service's poll meanwhile) gives up only itself: the later one stays outstanding.
TEST_F(ResultPollTest, ALateRefusalOfAnEarlierPaymentLeavesTheLaterOneOutstanding) {
    m_server.setEnvelope("pay", Dictionary{{"resp", "12"}, {"msg", "Card frozen"}});
    m_server.setFault("pay", testsupport::CardPayTestServer::Fault::Hold);
    pay();
    ASSERT_TRUE(m_server.waitForRequests(1));
    container()->settleOutstandingPayment(false);  // as another screen's poll would
    auto other = cardpay::BCMPServiceConsumption::create();
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    other->setDelegate(otherDelegate);
    m_server.setReply("query", Dictionary{{"status", "01"}});  // the later one's poll goes on
    other->postPreCmd("prepay", R"("cvn2":"123")");
    ASSERT_TRUE(waitForQueries(1));
    const auto later = container()->outstandingPayment();
    ASSERT_TRUE(later && later->command == "prepay");
    m_server.setFault("pay", testsupport::CardPayTestServer::Fault::None);
    m_server.releaseHeldReplies();
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureMessage);
    EXPECT_EQ(container()->outstandingPayment(), later);
    m_service->postRequestWithCmd("pay", R"("pin":"123456")");
    hybtest::runMainUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
}

// A poll answer is about the payment that was outstanding when its "query" went out. One held back
// while that payment was settled elsewhere (another screen's poll) and a later payment went out says
// nothing about the later one: a late "00" does not pay the order, a late "03" does not give the later
// payment up (which would let a third payment go out while the second may have been taken); the poll
// that asked goes on asking about the payment now outstanding.
class LatePollAnswer : public ResultPollTest {
protected:
    void answerLate(const char* late) {
        m_server.setReply("query", Dictionary{{"status", late}, {"fail_msg", "Declined"}});
        m_server.setFault("query", testsupport::CardPayTestServer::Fault::Hold);
        m_service->postPreCmd("prepay", R"("cvn2":"123")");
        ASSERT_TRUE(waitForQueries(1));  // its answer held back
        container()->settleOutstandingPayment(std::string(late) == "00");  // as another screen's poll would
        auto other = cardpay::BCMPServiceConsumption::create();
        auto otherDelegate = std::make_shared<RecordingDelegate>();
        other->setDelegate(otherDelegate);
        m_server.setFault("query", testsupport::CardPayTestServer::Fault::None);
        m_server.setReply("query", Dictionary{{"status", "01"}});  // the later payment: not known yet
        other->postRequestWithCmd("pay", R"("pin":"123456")");
        ASSERT_TRUE(waitForQueries(2));
        ASSERT_TRUE(hybtest::runMainUntil([&] { return other->pollsAnswered() >= 1; }));
        const auto later = container()->outstandingPayment();
        ASSERT_TRUE(later && later->command == "pay");
        m_server.releaseHeldReplies();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_service->pollsAnswered() >= 1 || !m_delegate->answers.empty(); }));
        EXPECT_FALSE(container()->orderPaid());
        EXPECT_EQ(container()->outstandingPayment(), later);
        EXPECT_TRUE(m_delegate->answers.empty());
        // Both polls go on asking about the later payment; its own answer settles it once.
        m_server.setReply("query", Dictionary{{"status", "00"}});
        m_clock.advance(cardpay::BCMPService::kPollInterval);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_delegate->answers.empty() && !otherDelegate->answers.empty(); }));
        EXPECT_EQ(queries(), 4u);
        EXPECT_TRUE(container()->orderPaid());
        other->postRequestWithCmd("pay", R"("pin":"123456")");
        ASSERT_TRUE(hybtest::runMainUntil([&] { return otherDelegate->answers.size() == 2; }));
        EXPECT_EQ(m_server.commands("pay").size(), 1u);
        EXPECT_EQ(m_server.commands("prepay").size(), 1u);
    }
};

TEST_F(LatePollAnswer, ALateSuccessForAnEarlierPaymentDoesNotPayTheOrder) { answerLate("00"); }

TEST_F(LatePollAnswer, ALateFailureForAnEarlierPaymentDoesNotGiveUpTheLaterOne) { answerLate("03"); }

// A poll answer held back while its payment was settled elsewhere, nothing outstanding since: the
// asker hears how the payment was settled, not the late answer's contrary status (a late "00" for an
// authorisation the server declined does not let the screen go on as authorised, nor a late "03" give
// up a payment confirmed).
class LateAnswerAfterSettlement : public ResultPollTest {
protected:
    void answerAfterSettlement(bool confirmed) {
        m_server.setReply("query", Dictionary{{"status", confirmed ? "03" : "00"}, {"fail_msg", "Declined"}});
        m_server.setFault("query", testsupport::CardPayTestServer::Fault::Hold);
        m_service->postPreCmd("prepay", R"("cvn2":"123")");
        ASSERT_TRUE(waitForQueries(1));
        const auto sent = container()->outstandingPayment();
        ASSERT_TRUE(sent);
        container()->settleOutstandingPayment(confirmed);  // as another screen's poll would
        m_server.setFault("query", testsupport::CardPayTestServer::Fault::None);
        m_server.releaseHeldReplies();
        ASSERT_TRUE(waitForAnswers(1));
        EXPECT_EQ(lastAnswer().code, confirmed ? int(cardpay::kBCEventPaySucceeded) : int(cardpay::kBCFailurePayment));
        EXPECT_EQ(container()->lastSettledPayment(), sent);
        EXPECT_EQ(container()->lastSettlementSucceeded(), confirmed);
        EXPECT_EQ(container()->orderAuthorised(), confirmed);
        EXPECT_EQ(m_server.commands("prepay").size(), 1u);
    }
};

TEST_F(LateAnswerAfterSettlement, ALateSuccessForADeclinedAuthorisationIsNoSuccess) { answerAfterSettlement(false); }

TEST_F(LateAnswerAfterSettlement, ALateFailureForAConfirmedAuthorisationIsNoFailure) { answerAfterSettlement(true); }

// Once a "pay" of this order has succeeded, no payment command goes out at all: the poster hears that
// the order is paid. A "pay" for another order, or one that failed, does not pay this order.
TEST_F(ResultPollTest, AnOrderPaidSendsNoOtherPayment) {
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Declined"}});
    pay();
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_FALSE(container()->orderPaid());
    EXPECT_FALSE(container()->lastSettlementSucceeded());

    m_server.setReply("query", Dictionary{{"status", "00"}});
    pay();
    container()->setMTN("201712010099");  // the order changed under the payment: it pays the one it was sent for
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_FALSE(container()->orderPaid());
    container()->setMTN("201712010001");

    pay();
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_TRUE(container()->orderPaid());
    EXPECT_EQ(m_server.commands("pay").size(), 3u);
    const std::size_t queries = this->queries();
    pay();
    m_service->postPreCmd("prepay", "");
    m_service->postTempRequestWithCmd("pay", "");
    ASSERT_TRUE(waitForAnswers(6));
    for (std::size_t i = 3; i < 5; ++i)
        EXPECT_EQ(m_delegate->answers[i].code, cardpay::kBCEventPaySucceeded);
    EXPECT_EQ(m_delegate->answers[5].code, cardpay::kBCFailureSystem);  // a box's "pay" is never sent
    EXPECT_EQ(m_server.commands("pay").size(), 3u);
    EXPECT_TRUE(m_server.commands("prepay").empty());
    EXPECT_EQ(this->queries(), queries);
}

// The road's last question: one "query", no poll; "00" and "03" settle the payment, anything else leaves
// it outstanding; cancelled, it answers nothing.
TEST_F(ResultPollTest, AskingTheResultOnceSendsOneQuery) {
    using Fault = testsupport::CardPayTestServer::Fault;
    std::optional<std::optional<bool>> heard;
    const auto ask = [&] {
        heard.reset();
        return cardpay::BCMPService::askPaymentResultOnce([&](std::optional<bool> said) { heard = said; });
    };
    // Nothing outstanding: nothing asked.
    ask();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return heard.has_value(); }));
    EXPECT_EQ(*heard, std::nullopt);
    EXPECT_EQ(queries(), 0u);

    m_server.setFault("pay", Fault::Hold);
    pay();
    ASSERT_TRUE(m_server.waitForRequests(1));
    cardpay::BCMPService::releaseCommon();  // the road's own requests stop, the payment stays outstanding
    m_server.setFault("pay", Fault::None);
    struct Case {
        Fault fault;
        Dictionary reply;
        std::optional<bool> said;
    };
    for (const Case& c : {Case{Fault::Drop, {{"status", "00"}}, std::nullopt}, Case{Fault::None, {{"status", "01"}}, std::nullopt},
                          Case{Fault::NotJSON, {}, std::nullopt}, Case{Fault::None, {{"status", "03"}}, false}}) {
        m_server.setFault("query", c.fault);
        m_server.setReply("query", c.reply);
        const std::size_t before = queries();
        ask();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return heard.has_value(); }));
        EXPECT_EQ(*heard, c.said);
        EXPECT_EQ(queries(), before + 1);
        EXPECT_EQ(container()->paymentOutstanding(), !c.said.has_value());
    }
    EXPECT_FALSE(container()->orderPaid());

    // A cancelled question answers nothing; the next one's "00" pays the order.
    container()->setOutstandingPayment(cardpay::BCPayment{"pay", cardpay::kBCCmdPay, "201712010001", cardpay::BCPayment::Meaning::Paid, 1});
    m_server.setFault("query", Fault::Hold);
    ask()();
    m_server.releaseHeldReplies();
    m_server.setFault("query", Fault::None);
    m_server.setReply("query", Dictionary{{"status", "00"}});
    hybtest::runMainUntil([&] { return false; }, std::chrono::milliseconds(200));
    EXPECT_FALSE(heard.has_value());
    ask();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return heard.has_value(); }));
    EXPECT_EQ(*heard, true);
    EXPECT_TRUE(container()->orderPaid());
}
