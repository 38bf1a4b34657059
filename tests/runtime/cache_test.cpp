#include "runtime/HYBCache.h"

#include "platform/web/HeadlessWebView.h"

#include "RecordingCommandDelegate.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

using namespace runtime;

namespace {

HYBInvokedUrlCommand clearCommand(const std::string& callbackId) {
    return HYBInvokedUrlCommand({}, callbackId, "Cache", "clear");
}

TEST(CacheTest, ClearAnswersEachCallAtOnceWithTheEscapedConfirmation) {
    HYBCache::registerClass();
    auto cache = std::dynamic_pointer_cast<HYBCache>(
        std::shared_ptr<HYBPlugin>(HYBPluginClassRegistry::shared().create("Cache", platform::HeadlessWebView::create())));
    ASSERT_TRUE(cache) << "the service's class name makes the plug-in";
    auto delegate = std::make_shared<runtime::testing::RecordingCommandDelegate>();
    cache->setCommandDelegate(delegate);
    hybtest::LogCapture log;

    ASSERT_TRUE(cache->performAction("clear", clearCommand("first")));
    ASSERT_TRUE(cache->performAction("clear", clearCommand("second")));
    ASSERT_EQ(delegate->results.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(delegate->results[i].first->status(), HYBCommandStatus::Ok);
        EXPECT_EQ(delegate->results[i].first->message().stringOr(""), "Hybrid%20iOS%20webview%20cache%20cleared.");
    }
    EXPECT_EQ(delegate->results[0].second.value_or(""), "first");
    EXPECT_EQ(delegate->results[1].second.value_or(""), "second");
    EXPECT_EQ(cache->command()->callbackId().value_or(""), "second") << "the plug-in keeps the last command";
    EXPECT_TRUE(log.contains("Hybrid iOS Cache.clear() called."));
    EXPECT_TRUE(log.contains("Hybrid iOS webview cache cleared."));

    cache->error("disk gone");
    ASSERT_EQ(delegate->results.size(), 3u);
    EXPECT_EQ(delegate->results[2].first->status(), HYBCommandStatus::Error);
    EXPECT_EQ(delegate->results[2].first->message().stringOr(""), "Error%20while%20clearing%20webview%20cache%20(disk%20gone).");
    EXPECT_TRUE(log.contains("Error while clearing webview cache (disk gone)."));
}

// Holds background blocks until the test runs them (at the latest when it goes: a purge left waiting would
// keep later clears in this program from posting theirs).
class HoldingCommandDelegate : public runtime::testing::RecordingCommandDelegate {
public:
    ~HoldingCommandDelegate() override { runHeld(); }
    void runInBackground(std::function<void()> block) override { held.push_back(std::move(block)); }
    void runHeld() {
        for (auto& block : std::exchange(held, {}))
            block();
    }
    std::vector<std::function<void()>> held;
};

TEST(CacheTest, ClearsMadeWhileAPurgeWaitsToStartShareIt) {
    auto cache = std::make_shared<HYBCache>(platform::HeadlessWebView::create());
    auto delegate = std::make_shared<HoldingCommandDelegate>();
    cache->setCommandDelegate(delegate);
    hybtest::LogCapture log;

    for (const char* id : {"a", "b", "c"})
        ASSERT_TRUE(cache->performAction("clear", clearCommand(id)));
    EXPECT_EQ(delegate->results.size(), 3u) << "each clear is answered at once";
    EXPECT_EQ(delegate->held.size(), 1u) << "one purge, still waiting, serves the three";

    delegate->runHeld();
    ASSERT_TRUE(cache->performAction("clear", clearCommand("d")));
    EXPECT_EQ(delegate->held.size(), 1u) << "a clear after the purge started gets a purge of its own";
}

} // namespace
