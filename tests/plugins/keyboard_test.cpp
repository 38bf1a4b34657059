#include "InterfaceFixture.h"

#include "plugins/HYBKeyboard.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace platform;
using plugins::HYBKeyboard;

namespace {

const std::vector<std::string> kShowScripts(const std::string& height) {
    return {"hybrid.plugins.Keyboard.isVisible = true; hybrid.fireWindowEvent('native.keyboardshow', { 'keyboardHeight': " + height +
                " }); ",
            "hybrid.fireWindowEvent('native.showkeyboard', { 'keyboardHeight': " + height + " }); "};
}
const std::vector<std::string> kHideScripts = {
    "hybrid.plugins.Keyboard.isVisible = false; hybrid.fireWindowEvent('native.keyboardhide'); ",
    "hybrid.fireWindowEvent('native.hidekeyboard'); ",
};

class KeyboardTest : public pluginstest::InterfaceTest<HYBKeyboard> {
protected:
    KeyboardTest() { WebView::setInputAccessoryBarHidden(false); }
    ~KeyboardTest() override { WebView::setInputAccessoryBarHidden(false); }
};

} // namespace

TEST_F(KeyboardTest, TheAccessoryBarIsHiddenFromStartUpAndFollowsThePage) {
    start();
    EXPECT_TRUE(plugin().hideKeyboardAccessoryBar());
    EXPECT_TRUE(WebView::isInputAccessoryBarHidden()) << "without any call from the page";

    // Another setter of the process-wide flag: the current value changes nothing.
    WebView::setInputAccessoryBarHidden(false);
    call("hideKeyboardAccessoryBar", {true});
    EXPECT_FALSE(WebView::isInputAccessoryBarHidden());
    WebView::setInputAccessoryBarHidden(true);

    call("hideKeyboardAccessoryBar", {false});
    EXPECT_FALSE(WebView::isInputAccessoryBarHidden());
    // Null or missing arguments change nothing; other values read as the platform's boolean.
    call("hideKeyboardAccessoryBar", {nullptr});
    call("hideKeyboardAccessoryBar", {});
    EXPECT_FALSE(plugin().hideKeyboardAccessoryBar());
    call("hideKeyboardAccessoryBar", {"yes"});
    EXPECT_TRUE(WebView::isInputAccessoryBarHidden());
    call("hideKeyboardAccessoryBar", {0});
    EXPECT_FALSE(WebView::isInputAccessoryBarHidden());
    EXPECT_TRUE(answers().empty()) << "the actions never answer";
}

TEST_F(KeyboardTest, DisableScrollKeepsTheOffsetAtZero) {
    start();
    ScrollView& scrollView = m_webView->scrollView();
    scrollView.setContentSize(Size{320, 2000});
    call("disableScroll", {nullptr});
    EXPECT_TRUE(scrollView.isScrollEnabled());

    call("disableScroll", {true});
    EXPECT_FALSE(scrollView.isScrollEnabled());
    EXPECT_EQ(scrollView.delegate().get(), &plugin());
    scrollView.userScroll(Point{0, 300});
    EXPECT_EQ(scrollView.contentOffset(), Point());
    scrollView.setContentOffset(Point{0, 120});  // the page moved itself
    EXPECT_EQ(scrollView.contentOffset(), Point());
    EXPECT_FALSE(scrollView.drag(Point{0, 50}));
    EXPECT_EQ(scrollView.contentOffset(), Point());

    call("disableScroll", {false});
    EXPECT_TRUE(scrollView.isScrollEnabled());
    EXPECT_EQ(scrollView.delegate(), nullptr);
    scrollView.userScroll(Point{0, 300});
    EXPECT_EQ(scrollView.contentOffset(), Point(0, 300));
}

TEST_F(KeyboardTest, EachShowAndHideFiresBothEventsWithTheHeight) {
    start();
    m_webView->pageEditingChanged(true);  // the page's input took the focus
    EXPECT_TRUE(m_webView->isFirstResponder());
    EXPECT_EQ(scripts(), kShowScripts("216"));
    settle();
    m_webView->pageEditingChanged(false);
    std::vector<std::string> expected = kShowScripts("216");
    expected.insert(expected.end(), kHideScripts.begin(), kHideScripts.end());
    EXPECT_EQ(scripts(), expected);
    EXPECT_FALSE(KeyboardManager::shared().isVisible());
    settle();

    // The page's focus moving between inputs keeps the keyboard: nothing new.
    m_webView->pageEditingChanged(true);
    m_webView->pageEditingChanged(true);
    EXPECT_EQ(scripts().size(), 6u);

    // close ends the editing natively: the page's element is blurred and the hide pair fires.
    call("close");
    EXPECT_FALSE(m_webView->isPageEditing());
    EXPECT_FALSE(KeyboardManager::shared().isVisible());
    ASSERT_EQ(scripts().size(), 8u);
    EXPECT_EQ(std::vector<std::string>(scripts().end() - 2, scripts().end()), kHideScripts);
    settle();

    // A pad's keyboard is taller.
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    m_webView->pageEditingChanged(true);
    EXPECT_EQ(std::vector<std::string>(scripts().end() - 2, scripts().end()), kShowScripts("264"));
}

TEST_F(KeyboardTest, ThePagesReportOfItsEditingMovesTheKeyboard) {
    start();
    call("editingChanged", {nullptr});
    call("editingChanged", {});
    EXPECT_TRUE(scripts().empty());
    call("editingChanged", {true});
    EXPECT_TRUE(m_webView->isPageEditing());
    EXPECT_EQ(scripts(), kShowScripts("216"));
    settle();
    call("editingChanged", {false});
    EXPECT_FALSE(m_webView->isFirstResponder());
    EXPECT_EQ(std::vector<std::string>(scripts().end() - 2, scripts().end()), kHideScripts);
    EXPECT_TRUE(answers().empty());
}

TEST_F(KeyboardTest, HeightsAreWrittenAsPlainDecimalText) {
    EXPECT_EQ(HYBKeyboard::heightText(216), "216");
    EXPECT_EQ(HYBKeyboard::heightText(260.5), "260.5");
    EXPECT_EQ(HYBKeyboard::heightText(0), "0");
}

TEST_F(KeyboardTest, ShowOnlyLogsAndTheObserversGoWithThePlugin) {
    hybtest::LogCapture log;
    start();
    call("show");
    EXPECT_TRUE(log.contains("Showing keyboard not supported in iOS due to platform limitations."));
    EXPECT_FALSE(KeyboardManager::shared().isVisible());

    m_plugin.reset();
    m_webView->pageEditingChanged(true);
    EXPECT_TRUE(scripts().empty());
}
