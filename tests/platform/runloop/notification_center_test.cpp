#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform;

namespace {

TEST(NotificationCenter, SenderFilterNameFilterAndOrder) {
    NotificationCenter center;
    int webView = 0, otherView = 0, observer = 0;
    std::vector<std::string> got;
    center.addObserver(&observer, "HYBPageDidLoadNotification", &webView,
                       [&](const Notification& n) { got.push_back("own:" + n.userInfo["url"].stringOr("")); });
    center.addObserver(&observer, "HYBPageDidLoadNotification", nullptr,
                       [&](const Notification&) { got.push_back("any"); });
    center.addObserver(&observer, "", nullptr, [&](const Notification& n) { got.push_back("all:" + n.name); });

    center.post("HYBPageDidLoadNotification", &otherView);
    EXPECT_EQ(got, (std::vector<std::string>{"any", "all:HYBPageDidLoadNotification"}));
    got.clear();
    center.post("HYBPageDidLoadNotification", &webView, Dictionary{{"url", "file:///a"}});
    EXPECT_EQ(got, (std::vector<std::string>{"own:file:///a", "any", "all:HYBPageDidLoadNotification"}));
    got.clear();
    center.post("HYBPluginResetNotification");
    EXPECT_EQ(got, (std::vector<std::string>{"all:HYBPluginResetNotification"}));
}

TEST(NotificationCenter, RemoveAllObservationsOfAnObserverAlsoDuringDelivery) {
    NotificationCenter center;
    int first = 0, second = 0;
    int calls = 0;
    center.addObserver(&first, kApplicationWillResignActiveNotification, nullptr, [&](const Notification&) {
        ++calls;
        center.removeObserver(&second); // removed before its turn in this very post
    });
    center.addObserver(&second, kApplicationWillResignActiveNotification, nullptr, [&](const Notification&) { calls += 100; });
    center.addObserver(&second, kApplicationDidBecomeActiveNotification, nullptr, [&](const Notification&) { calls += 100; });
    center.post(kApplicationWillResignActiveNotification);
    center.post(kApplicationDidBecomeActiveNotification);
    EXPECT_EQ(calls, 1);
    center.removeObserver(&first, kApplicationWillResignActiveNotification);
    center.post(kApplicationWillResignActiveNotification);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, PostIsSynchronousOnThePostingThreadAndBlockObserversUseTheirQueue) {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    std::thread::id deliveredOn;
    std::atomic<bool> onMain{false};
    int observer = 0;
    center.addObserver(&observer, "kNetworkReachabilityChangedNotification", nullptr,
                       [&](const Notification&) { deliveredOn = std::this_thread::get_id(); });
    auto token = center.addObserver(kKeyboardWillShowNotification, nullptr, DispatchQueue::main(),
                                    [&](const Notification&) { onMain = RunLoop::isMainThread(); });
    std::atomic<bool> posted{false};
    std::thread::id poster;
    std::thread worker([&] {
        poster = std::this_thread::get_id();
        center.post("kNetworkReachabilityChangedNotification");
        center.post(kKeyboardWillShowNotification); // waits for the main queue
        posted = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return posted.load(); }));
    worker.join();
    EXPECT_EQ(deliveredOn, poster);
    EXPECT_TRUE(onMain);
    onMain = false;
    center.post(kKeyboardWillShowNotification); // from main onto main: inline
    EXPECT_TRUE(onMain);
    center.removeObservation(token);
    center.removeObserver(&observer);
    onMain = false;
    center.post(kKeyboardWillShowNotification);
    EXPECT_FALSE(onMain);
}

TEST(NotificationCenter, LifecycleNamesAreThePlatformSpellings) {
    EXPECT_STREQ(kApplicationDidFinishLaunchingNotification, "UIApplicationDidFinishLaunchingNotification");
    EXPECT_STREQ(kApplicationDidReceiveMemoryWarningNotification, "UIApplicationDidReceiveMemoryWarningNotification");
    EXPECT_STREQ(kKeyboardWillChangeFrameNotification, "UIKeyboardWillChangeFrameNotification");
}

} // namespace
