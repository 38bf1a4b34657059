// One payment per order, whatever the result poll does while the user moves about the road: a poll
// answer settles the one outstanding payment, read as what that payment was (the order paid, or only the
// card authorised), on whichever screen asked for it. Each road runs end to end on the loopback server
// with the sample order, the server failing the poll after a named command and healing; each counts the
// payment commands ("pay", "prepay") the server saw for the order.
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "platform/runloop/DispatchQueue.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"
#include "support/EventWait.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace cardpay;
using platform::Dictionary;
using platform::Value;
using Fault = testsupport::CardPayTestServer::Fault;

namespace {

constexpr const char* kTn = "201712010001";
constexpr const char* kNext = "下一步 Next";
constexpr const char* kAgreeAndPay = "同意并付款 Agree and pay";
constexpr const char* kPay = "确认付款 Pay";

class CardPayOnePayment : public cardpaytest::CardPayRoadFixture {
protected:
    static std::string text(int id) { return BCLocale::instance()->getStringById(id); }
    std::size_t count(const std::string& cmd) const { return m_server.commands(cmd).size(); }

    // Until `done`, the clock moving on whenever the road waits for its next poll.
    ::testing::AssertionResult pollUntil(const std::function<bool()>& done, const std::string& what) {
        return road().waitUntil([&] {
            if (done())
                return true;
            stepUnlessAsking();
            return false;
        }, what);
    }
    ::testing::AssertionResult resultBeingConfirmed() {
        return pollUntil([&] { return road().alertMessage() == text(12017) && !road().isLoading(); }, "the result being confirmed");
    }
    // The bar's left button of the screen on top (Back, or Cancel on the road's first screen).
    ::testing::AssertionResult tapBack() {
        const auto screen = std::dynamic_pointer_cast<BCBaseViewController>(road().topScreen());
        if (!screen || !screen->navigationBar() || !screen->navigationBar()->leftButton())
            return ::testing::AssertionFailure() << "no bar button on top";
        return road().tapOn(*screen->navigationBar()->leftButton(), "the bar's Back");
    }

    // The bound card's authorisation sent: order, Next, the CVN2, "Agree and pay".
    ::testing::AssertionResult sendTheAuthorisation() {
        m_nav = BCPayRoad::start(m_root, kTn, m_server.url(), m_host);
        for (auto step : {road().waitForScreen<BCOrderInfoViewController>(), road().tap(kNext), road().waitForScreen<BCEntrustViewController>(),
                          road().type("CVN2", "123"), road().pressDone(), road().tap(kAgreeAndPay)})
            if (!step)
                return step;
        return ::testing::AssertionSuccess();
    }
    // From the authorisation to "pay" sent with a PIN on the paying screen.
    ::testing::AssertionResult sendThePayment() {
        if (auto sent = sendTheAuthorisation(); !sent)
            return sent;
        if (auto paying = pollUntil([&] { return road().top<BCPayingViewController>() && !road().isLoading(); }, "the paying screen"); !paying)
            return paying;
        for (auto step : {road().type("密码 PIN", "123456"), road().pressDone(), road().tap(kPay)})
            if (!step)
                return step;
        return ::testing::AssertionSuccess();
    }
    // From the order screen (card pay) to the account road's user-information screen, its form filled.
    ::testing::AssertionResult logInAndFillTheAccountForm() {
        for (auto step : {road().waitForScreen<BCOrderInfoViewController>(), road().tap(text(17002))})
            if (!step)
                return step;
        if (auto account = road().waitForScreenWhere(
                [](platform::ViewController& screen) {
                    const auto* order = dynamic_cast<BCOrderInfoViewController*>(&screen);
                    return order && order->payMode() == BCOrderInfoViewController::kAccountPay;
                },
                typeid(BCOrderInfoViewController));
            !account)
            return account;
        for (auto step : {road().type(text(17006), "demo"), road().type(text(17007), "demo1234"), road().tap(kNext),
                          road().waitForScreen<BCUserInfoViewController>()})
            if (!step)
                return step;
        const auto user = road().top<BCUserInfoViewController>();
        scrollTo(*user, *user->paymentElementsView());
        if (auto sms = road().tap("SMS Code"); !sms)
            return sms;
        if (auto sent = road().waitUntil([&] { return count("sms") == 1 && !road().isLoading(); }, "the SMS code"); !sent)
            return sent;
        for (auto step : {road().type("验证码 Code", "123456"), road().pressDone(), road().settle(), road().type("密码 PIN", ""),
                          road().pressKeys("123456"), road().pressDone(), road().settle()})
            if (!step)
                return step;
        scrollTo(*user, *user->mBtnNext());
        return road().settle();
    }
    static void scrollTo(BCBaseViewController& screen, platform::View& view) {
        screen.mScrollView()->scrollRectToVisible(view.convertRectTo(view.bounds(), screen.mScrollView().get()), false);
    }
    // A server box ("Note", `message`, a button `label` naming `action`, and "Later") in the reply to `cmd`.
    void serverBoxIn(const std::string& cmd, const std::string& message, const std::string& label, const std::string& action) {
        Dictionary reply = sampleReplies()[cmd].dictionaryOrEmpty();
        reply.set("open_alert_box", Dictionary{{"title", "Note"},
                                               {"text", message},
                                               {"func", Dictionary{{"label", label}, {"action", action}}},
                                               {"cancel", Dictionary{{"label", "Later"}}}});
        m_server.setReply(cmd, reply);
    }
    ::testing::AssertionResult theServersBox(const std::string& message) {
        return pollUntil([&] { return road().alertMessage() == std::optional<std::string>(message); }, "the server's box");
    }
    // The account road logged in: its user-information screen with the server's box `message` up.
    ::testing::AssertionResult theAccountRoadsBox(const std::string& message) {
        m_nav = BCPayRoad::start(m_root, kTn, m_server.url(), m_host);
        for (auto step : {road().waitForScreen<BCOrderInfoViewController>(), road().tap(text(17002)), road().settle(),
                          road().type(text(17006), "demo"), road().type(text(17007), "demo1234"), road().tap(kNext),
                          road().waitForScreen<BCUserInfoViewController>()})
            if (!step)
                return step;
        return theServersBox(message);
    }
    // A while on, the user-information screen still up and free, nothing polled, held or paid.
    void expectNothingPaid() {
        m_clock.advance(BCMPService::kPollInterval * 3);
        ASSERT_TRUE(road().settle());
        EXPECT_FALSE(road().isLoading());
        EXPECT_TRUE(road().top<BCUserInfoViewController>());
        EXPECT_EQ(count("query"), 0u);
        EXPECT_EQ(m_server.malformed(), std::vector<std::string>{});
        EXPECT_FALSE(container()->paymentOutstanding());
        EXPECT_FALSE(container()->orderPaid());
        EXPECT_EQ(count("pay"), 0u);
        EXPECT_TRUE(m_host->results.empty());
    }
    // The box's payment command refused unsent: the screen says so; a while on nothing was paid or asked
    // (`polls`: the queries before the box's button was tapped).
    void expectTheBoxPaidNothing(const std::string& action, std::size_t polls) {
        ASSERT_TRUE(pollUntil([&] { return road().alertMessage() == text(12003) && !road().isLoading(); }, "the command's failure"));
        m_clock.advance(BCMPService::kPollInterval * 3);
        ASSERT_TRUE(road().settle());
        EXPECT_EQ(count(action), 0u);
        EXPECT_EQ(count("pay"), 0u);
        EXPECT_EQ(count("query"), polls);
        EXPECT_FALSE(container()->paymentOutstanding());
        EXPECT_FALSE(container()->orderPaid());
        EXPECT_FALSE(road().top<BCSucceedViewController>());
        EXPECT_TRUE(m_host->results.empty());
    }
    ::testing::AssertionResult backToTheMerchant() {
        if (auto success = pollUntil([&] { return road().top<BCSucceedViewController>() && !road().isInTransition(); }, "the success screen");
            !success)
            return success;
        if (auto tapped = road().tap(text(10005)); !tapped)
            return tapped;
        return road().waitUntil([&] { return !m_host->results.empty(); }, "the road's result");
    }
};

} // namespace

// The issue's card road: "pay" goes out, its poll is dropped three times, the box says the result is
// being confirmed; Cancel, Back to the authorisation, "Agree and pay" asks for the result only. The
// server's "00" is the payment's: the road ends in success from the authorisation screen, without
// "followrules" or a second paying screen.
TEST_F(CardPayOnePayment, APaymentConfirmedOnTheAuthorisationScreenEndsTheRoadInSuccess) {
    m_server.setPollFault({Fault::Drop, "pay", 3, ""});
    ASSERT_TRUE(sendThePayment());
    ASSERT_TRUE(resultBeingConfirmed());
    const std::size_t polls = count("query");
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(road().tap(kAgreeAndPay));

    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("prepay"), 1u);
    EXPECT_EQ(count("followrules"), 1u);
    EXPECT_EQ(count("pay"), 1u);
}

// The issue's account road: the authorisation's poll fails with HTTP 500 three times; Cancel, Back to
// the order, the account road with its SMS code and PIN, "Start Pay": the server's "00" is the
// authorisation's. Nothing was paid: no success, the screen says so, and the next "Start Pay" pays.
TEST_F(CardPayOnePayment, AnAuthorisationConfirmedOnTheAccountRoadIsNoPayment) {
    m_server.setPollFault({Fault::HTTP500, "prepay", 3, ""});
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(resultBeingConfirmed());
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(logInAndFillTheAccountForm());
    const std::size_t polls = count("query");
    ASSERT_TRUE(road().tap(text(10002)));

    ASSERT_TRUE(road().waitUntil([&] { return road().alertBox() && !road().isLoading(); }, "the answer"));
    EXPECT_EQ(road().alertMessage(), text(12019));
    EXPECT_EQ(road().alertBox()->titleLabel()->text(), text(12020));  // what happened, no failure
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 0u);
    EXPECT_TRUE(m_host->results.empty());
    EXPECT_TRUE(road().top<BCUserInfoViewController>());
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_FALSE(container()->orderPaid());

    // The user pays now: one "pay", its poll, success.
    ASSERT_TRUE(road().tap(text(10001)));
    ASSERT_TRUE(road().tap(text(10002)));
    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));
    EXPECT_EQ(count("pay"), 1u);
    EXPECT_EQ(m_server.commands("pay").at(0).params["bind"], Value("yes"));
}

// The authorisation's reply is lost after the server took it and its poll fails three times: the box
// says the result is being confirmed. Cancel, Back to the order (the authorisation screen and its poll
// go), Next to a new authorisation screen, "Agree and pay" asks for the result: the server's late "00"
// is the first "prepay"'s. The new screen goes on from it to the paying screen; back on it, "Agree and
// pay" goes on again: the order is authorised once.
TEST_F(CardPayOnePayment, ALateAuthorisationIsAppliedOnANewAuthorisationScreen) {
    m_server.setFault("prepay", Fault::NoReply);
    m_server.setPollFault({Fault::HTTP500, "prepay", 3, ""});
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(resultBeingConfirmed());
    const auto first = road().top<BCEntrustViewController>();
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().tap(kNext));
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_NE(road().top<BCEntrustViewController>(), first);
    const std::size_t polls = count("query");
    for (auto step : {road().type("CVN2", "123"), road().pressDone(), road().tap(kAgreeAndPay)})
        ASSERT_TRUE(step);
    ASSERT_TRUE(pollUntil([&] { return road().top<BCPayingViewController>() && !road().isLoading(); }, "the paying screen"));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("followrules"), 1u);
    EXPECT_TRUE(container()->orderAuthorised());

    // Back and forth: the authorisation screen's Next goes on without authorising again.
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    for (auto step : {road().type("CVN2", "123"), road().pressDone(), road().tap(kAgreeAndPay)})
        ASSERT_TRUE(step);
    ASSERT_TRUE(pollUntil([&] { return road().top<BCPayingViewController>() && !road().isLoading(); }, "the paying screen again"));
    EXPECT_EQ(count("prepay"), 1u);
    EXPECT_EQ(count("followrules"), 2u);
    EXPECT_EQ(count("pay"), 0u);
    EXPECT_TRUE(m_host->results.empty());

    // The order is paid once.
    for (auto step : {road().type("密码 PIN", "123456"), road().pressDone(), road().tap(kPay)})
        ASSERT_TRUE(step);
    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));
    EXPECT_EQ(count("prepay"), 1u);
    EXPECT_EQ(count("pay"), 1u);
}

// The bound card authorised, the user goes back to the order and takes another card, whose rules ask for
// its own authorisation: "Agree and pay" sends it (the first card's confirmed authorisation is not the
// new card's), and the order is paid once.
TEST_F(CardPayOnePayment, AnotherCardChosenAfterAnAuthorisationIsAuthorisedItself) {
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(pollUntil([&] { return road().top<BCPayingViewController>() && !road().isLoading(); }, "the paying screen"));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().tap("招商银行 China Merchants Bank **** 1234"));
    ASSERT_TRUE(road().tap("使用其他银行卡 Use another card"));
    ASSERT_TRUE(road().waitForScreen<BCInputCardViewController>());
    for (auto step : {road().type("银行卡号 Card number", "6222021234567894"), road().pressDone(), road().tap(kNext)})
        ASSERT_TRUE(step);
    ASSERT_TRUE(pollUntil([&] { return road().top<BCEntrustViewController>() && !road().isLoading(); }, "the new card's authorisation"));
    for (auto step : {road().type("CVN2", "321"), road().pressDone(), road().tap(kAgreeAndPay)})
        ASSERT_TRUE(step);
    ASSERT_TRUE(pollUntil([&] { return road().top<BCPayingViewController>() && !road().isLoading(); }, "the paying screen again"));
    ASSERT_EQ(count("prepay"), 2u);
    EXPECT_EQ(m_server.commands("prepay").at(1).params["cvn2"], Value("321"));
    EXPECT_EQ(count("followrules"), 2u);
    EXPECT_EQ(m_server.commands("followrules").at(1).params["cvn2"], Value("321"));
    for (auto step : {road().type("密码 PIN", "123456"), road().pressDone(), road().tap(kPay)})
        ASSERT_TRUE(step);
    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));
    EXPECT_EQ(count("prepay"), 2u);
    EXPECT_EQ(count("pay"), 1u);
}

// A "pay" whose result is being confirmed, the user gone back to the order and on to the account road:
// "Start Pay" asks for the result, and its "00" ends the road in success there, with the one payment.
TEST_F(CardPayOnePayment, APaymentConfirmedOnTheAccountRoadEndsTheRoadInSuccess) {
    m_server.setPollFault({Fault::Hold, "pay", 0, "getuserinfo"});
    ASSERT_TRUE(sendThePayment());
    const std::size_t authorisationPolls = count("query");
    for (int lost = 1; lost <= BCMPService::kMaxLostPolls; ++lost) {
        ASSERT_TRUE(road().waitUntil([&] { return count("query") == authorisationPolls + static_cast<std::size_t>(lost); }, "a held poll"));
        road().advance(BCHttpsConnect::kTimeout);
        if (lost < BCMPService::kMaxLostPolls)
            road().advance(BCMPService::kPollInterval);
    }
    ASSERT_TRUE(resultBeingConfirmed());
    m_server.releaseHeldReplies();
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(logInAndFillTheAccountForm());
    ASSERT_TRUE(road().tap(text(10002)));

    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));
    EXPECT_EQ(count("pay"), 1u);
    EXPECT_EQ(m_server.commands("pay").at(0).params["card"], Value("card-7001"));  // the card road's payment
}

// The payment's poll answers "03" when the authorisation screen asks: the payment failed, and the
// authorisation screen's "go on without it" (Retry / Skip, which would ask for "followrules") is not
// offered for it: the message, and the form to correct.
TEST_F(CardPayOnePayment, APaymentRefusedOnTheAuthorisationScreenOffersNoSkip) {
    // The payment form's answer allows going on after a refused authorisation, as the authorisation's did.
    Dictionary followRules = sampleReplies()["followrules"].dictionaryOrEmpty();
    followRules.set("fail_continue", "0");
    m_server.setReply("followrules", followRules);
    m_server.setPollFault({Fault::Drop, "pay", 3, ""});
    ASSERT_TRUE(sendThePayment());
    ASSERT_TRUE(resultBeingConfirmed());
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Card declined"}});
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(road().tap(kAgreeAndPay));

    ASSERT_TRUE(road().waitUntil([&] { return road().alertBox() && !road().isLoading(); }, "the answer"));
    EXPECT_EQ(road().alertMessage(), "Card declined");
    EXPECT_FALSE(road().top<BCEntrustViewController>()->canGetFollowRules());
    ASSERT_TRUE(road().tap(text(10001)));
    EXPECT_EQ(count("followrules"), 1u);
    EXPECT_EQ(count("pay"), 1u);
    EXPECT_FALSE(container()->paymentOutstanding());
    EXPECT_TRUE(m_host->results.empty());
}

namespace {

// Leaving the road from its screens while a payment is outstanding: the box says the result is being
// confirmed; Cancel, Back to the authorisation, Back to the order, the bar's Cancel and "quit now".
class CardPayLeavingUnsettled : public CardPayOnePayment {
protected:
    // From the order screen's Cancel to its "quit now?" box answered: the road asks or leaves.
    ::testing::AssertionResult quitFromTheOrderScreen() {
        for (auto step : {road().tap(text(10004)), tapBack(), road().waitForScreen<BCEntrustViewController>(), tapBack(),
                          road().waitForScreen<BCOrderInfoViewController>(), tapBack(), road().settle()})
            if (!step)
                return step;
        if (road().alertMessage() != text(13003))
            return ::testing::AssertionFailure() << "no \"quit now?\" box";
        return road().tap(text(10001));
    }
    ::testing::AssertionResult theResult() {
        return pollUntil([&] { return !m_host->results.empty(); }, "the road's result");
    }
    // The payment sent while the server holds its answer: the road waits, confirming the result.
    ::testing::AssertionResult aPaymentWhoseAnswerIsHeld() {
        m_server.setPollFault({Fault::Drop, "pay", 0, ""});
        if (auto sent = sendThePayment(); !sent)
            return sent;
        return resultBeingConfirmed();
    }
};

} // namespace

// The payment's poll is lost three times; the user leaves the road: its result is asked once more, and
// the answer decides: the server's "00" ends the road in success, its "03" in failure.
TEST_F(CardPayLeavingUnsettled, APaymentsResultIsAskedOnceAndTheAnswerReported) {
    m_server.setPollFault({Fault::Drop, "pay", BCMPService::kMaxLostPolls, ""});
    ASSERT_TRUE(sendThePayment());
    ASSERT_TRUE(resultBeingConfirmed());
    const std::size_t polls = count("query");
    ASSERT_TRUE(quitFromTheOrderScreen());
    ASSERT_TRUE(theResult());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

TEST_F(CardPayLeavingUnsettled, APaymentTheServerRefusedWhenAskedEndsInFailure) {
    m_server.setPollFault({Fault::Drop, "pay", BCMPService::kMaxLostPolls, ""});
    ASSERT_TRUE(sendThePayment());
    ASSERT_TRUE(resultBeingConfirmed());
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Card declined"}});
    const std::size_t polls = count("query");
    ASSERT_TRUE(quitFromTheOrderScreen());
    ASSERT_TRUE(theResult());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", ""}}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

// No answer (the poll lost again, or held past the limit): never "cancel" for a payment that may have
// been taken, but "fail" saying the result is unconfirmed, within BCPayRoad::kResultWaitOnExit seconds.
TEST_F(CardPayLeavingUnsettled, NoAnswerEndsInAnUnconfirmedFailure) {
    ASSERT_TRUE(aPaymentWhoseAnswerIsHeld());
    const std::size_t polls = count("query");
    ASSERT_TRUE(quitFromTheOrderScreen());
    ASSERT_TRUE(theResult());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", BCPayRoad::kUnconfirmed}}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

TEST_F(CardPayLeavingUnsettled, AHeldAnswerIsGivenUpAfterAFewSeconds) {
    ASSERT_TRUE(aPaymentWhoseAnswerIsHeld());
    m_server.setPollFault({});
    m_server.setFault("query", Fault::Hold);
    const std::size_t polls = count("query");
    ASSERT_TRUE(quitFromTheOrderScreen());
    ASSERT_TRUE(road().waitUntil([&] { return count("query") == polls + 1; }, "the question"));
    EXPECT_TRUE(road().isLoading());
    road().advance(BCPayRoad::kResultWaitOnExit - 0.1);
    EXPECT_TRUE(m_host->results.empty());
    road().advance(0.1);
    ASSERT_TRUE(road().waitUntil([&] { return !m_host->results.empty(); }, "the road's result"));
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", BCPayRoad::kUnconfirmed}}}));
    m_server.releaseHeldReplies();
    (void)road().settle();
    EXPECT_EQ(m_host->results.size(), 1u);
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

// Only the card's authorisation outstanding, its poll lost: leaving the road, or ending the
// application, pays nothing whatever the authorisation's result: "cancel", and nothing asked.
TEST_F(CardPayLeavingUnsettled, AnUnsettledAuthorisationEndsInCancelUnasked) {
    m_server.setPollFault({Fault::Drop, "prepay", 0, ""});
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(resultBeingConfirmed());
    const std::size_t polls = count("query");
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(tapBack());
    ASSERT_TRUE(road().settle());
    ASSERT_TRUE(road().tap(text(10001)));
    ASSERT_TRUE(theResult());
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "cancel"}, {"data", ""}}}));
    EXPECT_EQ(count("query"), polls);
    EXPECT_EQ(count("pay"), 0u);
}

TEST_F(CardPayLeavingUnsettled, AnUnsettledAuthorisationAtTheApplicationsEndIsCancelUnasked) {
    m_server.setPollFault({Fault::Drop, "prepay", 0, ""});
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(resultBeingConfirmed());
    const std::size_t polls = count("query");
    BCPayRoad::applicationWillTerminate();
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "cancel"}, {"data", ""}}}));
    EXPECT_EQ(count("query"), polls);
    EXPECT_EQ(count("pay"), 0u);
}

// The application ends while the road asks, on its way out, about the payment: the result is handed
// over once.
TEST_F(CardPayLeavingUnsettled, TheApplicationEndingWhileTheRoadAsksReportsOnce) {
    ASSERT_TRUE(aPaymentWhoseAnswerIsHeld());
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Card declined"}});
    m_server.setPollFault({});
    m_server.setFault("query", Fault::Hold);
    const std::size_t polls = count("query");
    ASSERT_TRUE(quitFromTheOrderScreen());
    ASSERT_TRUE(road().waitUntil([&] { return count("query") == polls + 1; }, "the question"));
    m_server.setFault("query", Fault::None);
    BCPayRoad::applicationWillTerminate();
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", ""}}}));
    m_server.releaseHeldReplies();
    road().advance(BCPayRoad::kResultWaitOnExit);
    (void)road().settle();
    EXPECT_EQ(m_host->results.size(), 1u);
    EXPECT_EQ(count("query"), polls + 2);
    EXPECT_EQ(count("pay"), 1u);
}

// The application asked to end again while it waits for the payment's result at its end (a second
// signal): the wait stops at once, the result handed over once as unconfirmed.
TEST_F(CardPayLeavingUnsettled, AskedToEndAgainTheApplicationStopsWaitingAtOnce) {
    ASSERT_TRUE(aPaymentWhoseAnswerIsHeld());
    m_server.setPollFault({});
    m_server.setFault("query", Fault::Hold);
    const std::size_t polls = count("query");
    std::thread again([&] {
        hybtest::pollUntil([&] { return count("query") != polls; });
        platform::DispatchQueue::main()->async([] { BCPayRoad::hurry(); });
    });
    const auto started = m_clock.now();
    BCPayRoad::applicationWillTerminate();
    again.join();
    EXPECT_EQ(m_clock.now(), started);  // no time-out was waited for
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", BCPayRoad::kUnconfirmed}}}));
    EXPECT_EQ(count("query"), polls + 1);
    EXPECT_EQ(count("pay"), 1u);
}

TEST_F(CardPayLeavingUnsettled, HurriedBeforeItEndsTheApplicationAsksNothing) {
    ASSERT_TRUE(aPaymentWhoseAnswerIsHeld());
    const std::size_t polls = count("query");
    BCPayRoad::hurry();
    BCPayRoad::applicationWillTerminate();
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", BCPayRoad::kUnconfirmed}}}));
    EXPECT_EQ(count("query"), polls);
    EXPECT_EQ(count("pay"), 1u);
}

// A server alert box whose button names "query", the result poll's command, with no payment outstanding
// (the account road's user information): nothing is sent, and above all not "query" as a payment whose
// "00" would show success with no "pay" ever sent.
TEST_F(CardPayOnePayment, AServerBoxAskingTheResultSendsNoPayment) {
    serverBoxIn("getuserinfo", "Check the result", "Check", "query");
    ASSERT_TRUE(theAccountRoadsBox("Check the result"));
    ASSERT_TRUE(road().tap("Check"));
    ASSERT_TRUE(road().settle());
    expectNothingPaid();
}

// A server box before the paying screen (in the authorisation's follow-up answer) names "pay", plain or
// in capitals with blanks around it as a server that reads names loosely takes it: a box carries no card,
// PIN or agreement, so its action sends no payment. The screen says the command failed; nothing is
// outstanding, polled or shown as success.
TEST_F(CardPayOnePayment, AServerBoxNamingPaySendsNoPayment) {
    serverBoxIn("followrules", "Pay at once?", "Pay now", "pay");
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(theServersBox("Pay at once?"));
    const std::size_t polls = count("query");
    ASSERT_TRUE(road().tap("Pay now"));
    expectTheBoxPaidNothing("pay", polls);
}

TEST_F(CardPayOnePayment, AServerBoxNamingPayInAnotherCaseSendsNoPayment) {
    serverBoxIn("followrules", "Pay at once?", "Pay now", " PAY ");
    m_server.setReply(" PAY ", Dictionary{});
    ASSERT_TRUE(sendTheAuthorisation());
    ASSERT_TRUE(theServersBox("Pay at once?"));
    const std::size_t polls = count("query");
    ASSERT_TRUE(road().tap("Pay now"));
    expectTheBoxPaidNothing(" PAY ", polls);
}

TEST_F(CardPayOnePayment, AServerBoxAskingTheResultInAnotherCaseSendsNothing) {
    serverBoxIn("getuserinfo", "Check the result", "Check", " Query");
    m_server.setReply(" Query", Dictionary{{"status", "00"}});
    ASSERT_TRUE(theAccountRoadsBox("Check the result"));
    ASSERT_TRUE(road().tap("Check"));
    ASSERT_TRUE(road().settle());
    expectNothingPaid();
    EXPECT_EQ(count(" Query"), 0u);
}

// A server box naming a command of its own that moves no money: sent once as that command, never polled,
// held or reported as a payment, whatever the server answers to a "query".
TEST_F(CardPayOnePayment, AServerBoxNamingAnotherCommandIsNoPayment) {
    serverBoxIn("getuserinfo", "A coupon for you", "Take it", "takecoupon");
    m_server.setReply("takecoupon", Dictionary{});
    ASSERT_TRUE(theAccountRoadsBox("A coupon for you"));
    ASSERT_TRUE(road().tap("Take it"));
    ASSERT_TRUE(pollUntil([&] { return count("takecoupon") == 1 && !road().isLoading(); }, "the box's command answered"));
    expectNothingPaid();
    EXPECT_EQ(count("takecoupon"), 1u);
}

// While the application waits for the payment's result at its end, its screens still show and take
// taps: a payment command posted then (its predecessor settled as refused meanwhile) is not sent.
TEST_F(CardPayLeavingUnsettled, NoPaymentIsSentWhileTheApplicationEnds) {
    ASSERT_TRUE(aPaymentWhoseAnswerIsHeld());
    m_server.setPollFault({});
    m_server.setFault("query", Fault::Hold);
    const auto paying = road().top<BCPayingViewController>();
    ASSERT_TRUE(paying && paying->service());
    const std::size_t polls = count("query");
    std::thread tap([&] {
        hybtest::pollUntil([&] { return count("query") != polls; });
        platform::DispatchQueue::main()->async([&] {
            container()->settleOutstandingPayment(false);
            paying->service()->postRequestWithCmd("pay", R"("pin":"000000")");
            BCPayRoad::hurry();
        });
    });
    BCPayRoad::applicationWillTerminate();
    tap.join();
    ASSERT_TRUE(road().settle());
    EXPECT_FALSE(m_server.waitForRequests(m_server.commands().size() + 1, std::chrono::milliseconds(300)));
    EXPECT_EQ(count("pay"), 1u);
    EXPECT_EQ(m_host->results.size(), 1u);
}
