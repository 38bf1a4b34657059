#include "runtime/HYBHandleOpenURL.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/web/HeadlessWebView.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace runtime;

namespace {

class HYBHandleOpenURLTest : public ::testing::Test {
protected:
    HYBHandleOpenURLTest() {
        plugin->pluginInitialize();
        view->page().setScriptHandler([this](std::string_view script) -> std::optional<std::string> {
            if (script == "document.readyState")
                return readyState;
            return std::nullopt;
        });
    }
    void openURL(const std::string& url) {
        platform::NotificationCenter::defaultCenter().post(kHYBPluginHandleOpenURLNotification, nullptr,
                                                           platform::Dictionary{{kHYBPluginHandleOpenURLKey, url}});
    }
    void pageLoaded() { platform::NotificationCenter::defaultCenter().post(kHYBPageDidLoadNotification, view.get()); }
    // The hand-over scripts evaluated so far.
    std::vector<std::string> handOvers() const {
        std::vector<std::string> out;
        for (const auto& script : view->page().evaluatedScripts())
            if (script.rfind("document.addEventListener", 0) == 0)
                out.push_back(script);
        return out;
    }

    std::string readyState = "loading";
    std::shared_ptr<platform::HeadlessWebView> view = platform::HeadlessWebView::create();
    std::shared_ptr<HYBHandleOpenURL> plugin = std::make_shared<HYBHandleOpenURL>(view);
};

std::string expectedScript(const std::string& literal) {
    return "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === 'function') { handleOpenURL(" +
           literal + ");}});";
}

} // namespace

TEST_F(HYBHandleOpenURLTest, URLsBeforeThePageLoadedWaitAndOnlyTheLastIsDelivered) {
    openURL("app://first");
    openURL("app://second");
    EXPECT_TRUE(handOvers().empty());
    pageLoaded();
    EXPECT_EQ(handOvers(), std::vector<std::string>{expectedScript("\"app:\\/\\/second\"")});
    EXPECT_FALSE(plugin->url().has_value());

    pageLoaded(); // nothing waits any more
    EXPECT_EQ(handOvers().size(), 1u);
    openURL("app://third"); // after the first load: at once
    EXPECT_EQ(handOvers().back(), expectedScript("\"app:\\/\\/third\""));
}

TEST_F(HYBHandleOpenURLTest, TheURLIsAnEscapedStringLiteralInTheScript) {
    pageLoaded();
    openURL("app://x/\");alert(1);(\"\\\n\xE2\x80\xA8");
    ASSERT_EQ(handOvers().size(), 1u);
    EXPECT_EQ(handOvers()[0], expectedScript("\"app:\\/\\/x\\/\\\");alert(1);(\\\"\\\\\\n\\u2028\""));
}

TEST_F(HYBHandleOpenURLTest, WithoutKnowingThePageLoadedItAsksThePageFirst) {
    plugin->processOpenUrl("app://a", false);
    EXPECT_TRUE(handOvers().empty());
    EXPECT_EQ(plugin->url(), "app://a");
    readyState = "complete";
    plugin->processOpenUrl("app://b", false);
    EXPECT_EQ(handOvers(), std::vector<std::string>{expectedScript("\"app:\\/\\/b\"")});
}
