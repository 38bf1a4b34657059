// The tracking facade, the analytics recorder and the host's result.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCReplyMapper.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/tracker/YLUniTracker.h"

#include <gtest/gtest.h>

using cardpay::BCDataContainer;
using cardpay::BCTrackerManager;
using cardpay::YLUniTracker;
using cardpay::YLUniTrackerCall;
using platform::Dictionary;

class CardPayTracking : public ::testing::Test {
protected:
    void SetUp() override {
        BCDataContainer::destory();
        YLUniTracker::resetRecord();
    }
    void TearDown() override { BCDataContainer::destory(); }
};

TEST_F(CardPayTracking, IsTrackFollowsTheServersFlag) {
    EXPECT_TRUE(BCTrackerManager::isTrack());
    BCDataContainer::instance()->apply(cardpay::BCReplyMapper::initReply(Dictionary{{"tracker_flag", "0"}}));
    EXPECT_TRUE(BCTrackerManager::isTrack());
    BCDataContainer::instance()->apply(cardpay::BCReplyMapper::initReply(Dictionary{{"tracker_flag", "1"}}));
    EXPECT_FALSE(BCTrackerManager::isTrack());
    BCDataContainer::instance()->apply(cardpay::BCReplyMapper::initReply(Dictionary{{"tracker_flag", 0}}));
    EXPECT_TRUE(BCTrackerManager::isTrack());
}

TEST_F(CardPayTracking, ForwardingRecordsEveryCallInOrderWhateverTheFlag) {
    BCDataContainer::instance()->apply(cardpay::BCReplyMapper::initReply(Dictionary{{"tracker_flag", "1"}}));
    YLUniTracker::setLogEnabled(false);
    YLUniTracker::setVersionWithCode("3.3.0", "BCPayPluginCheckeCode");
    YLUniTracker::sessionStarted("3F9B2C71E4D08A56B1C7E92D40F6A3B8", "898310048990001");
    BCTrackerManager::trackPageBegin("order_View");
    BCTrackerManager::trackEvent("open_bankpay");
    BCTrackerManager::trackEvent("tn", Dictionary{{"tn", "201712010001"}});
    BCTrackerManager::trackPageEnd("order_View");
    const std::vector<YLUniTrackerCall> expected{
        {"setLogEnabled", {false}},
        {"setVersionWithCode", {"3.3.0", "BCPayPluginCheckeCode"}},
        {"sessionStarted", {"3F9B2C71E4D08A56B1C7E92D40F6A3B8", "898310048990001"}},
        {"trackPageBegin", {"order_View"}},
        {"trackEvent", {"open_bankpay"}},
        {"trackEvent", {"tn", platform::Value(), Dictionary{{"tn", "201712010001"}}}},
        {"trackPageEnd", {"order_View"}},
    };
    EXPECT_EQ(YLUniTracker::recordedCalls(), expected);
    YLUniTracker::resetRecord();
    EXPECT_TRUE(YLUniTracker::recordedCalls().empty());
}

TEST_F(CardPayTracking, TheRecordKeepsTheLastCallsOnly) {
    for (std::size_t i = 0; i < 3 * YLUniTracker::kMaxRecordedCalls; ++i)
        BCTrackerManager::trackEvent("event " + std::to_string(i));
    const auto& calls = YLUniTracker::recordedCalls();
    ASSERT_EQ(calls.size(), YLUniTracker::kMaxRecordedCalls);
    EXPECT_EQ(calls.front().arguments[0], platform::Value("event " + std::to_string(2 * YLUniTracker::kMaxRecordedCalls)));
    EXPECT_EQ(calls.back().arguments[0], platform::Value("event " + std::to_string(3 * YLUniTracker::kMaxRecordedCalls - 1)));
}

TEST_F(CardPayTracking, TheHostHearsTheResultOnce) {
    struct Host : cardpay::BCPayResultDelegate {
        void bankCardPayDidFinish(const Dictionary& result) override { results.push_back(result); }
        std::vector<Dictionary> results;
    };
    auto host = std::make_shared<Host>();
    auto container = BCDataContainer::instance();
    container->setResultDelegate(host);
    container->didFinishedWithResult("cancel");
    container->didFinishedWithResult("success");
    ASSERT_EQ(host->results.size(), 1u);
    EXPECT_EQ(host->results[0], (Dictionary{{"code", "cancel"}, {"data", ""}}));

    // A new road: the reserved text travels back.
    BCDataContainer::destory();
    container = BCDataContainer::instance();
    container->setResultDelegate(host);
    container->setReserved("order-42");
    container->didFinishedWithResult("success");
    ASSERT_EQ(host->results.size(), 2u);
    EXPECT_EQ(host->results[1], (Dictionary{{"code", "success"}, {"data", "order-42"}}));
}

TEST_F(CardPayTracking, TransactionNumbersOfTheOtherService) {
    auto container = BCDataContainer::instance();
    EXPECT_FALSE(container->isBCMPService());
    container->setMTN("201712010002");
    EXPECT_TRUE(container->isBCMPService());
    container->setMTN("201712010001");
    EXPECT_FALSE(container->isBCMPService());
}
