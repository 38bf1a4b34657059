// The result poll after a payment command, on the virtual clock.
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
    EXPECT_EQ(queries(), 3u);
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

TEST_F(ResultPollTest, StatusAbsentNotTextOrUnknownIsABadReplyNotASuccess) {
    for (const platform::Value& status : {platform::Value(), platform::Value(0), platform::Value("07")}) {
        Dictionary params{{"title", "Paid"}};
        if (!status.isNull())
            params.set("status", status);
        m_server.setReply("query", params);
        const std::size_t before = m_delegate->answers.size();
        pay();
        ASSERT_TRUE(waitForAnswers(before + 1));
        EXPECT_TRUE(lastAnswer().failure);
        EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureBadReply);
        EXPECT_FALSE(container()->viewControllerTitle());
    }
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
