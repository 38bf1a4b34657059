// The web view factory: headless unless an engine is installed.
#include "platform/HeadlessWebView.h"
#include "platform/WebViewFactory.h"

#include <gtest/gtest.h>

using platform::HeadlessWebView;
using platform::Rect;
using platform::WebViewFactory;

TEST(WebViewFactoryTest, MakesHeadlessViewsUntilAnEngineIsInstalled)
{
    auto view = WebViewFactory::makeWebView(Rect{});
    EXPECT_NE(std::dynamic_pointer_cast<HeadlessWebView>(view), nullptr);

    int made = 0;
    WebViewFactory::setMaker([&](Rect frame) {
        ++made;
        return HeadlessWebView::create(frame);
    });
    (void)WebViewFactory::makeWebView(Rect{});
    EXPECT_EQ(made, 1);
    WebViewFactory::setMaker(nullptr);
    (void)WebViewFactory::makeWebView(Rect{});
    EXPECT_EQ(made, 1);
}
