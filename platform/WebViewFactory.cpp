#include "platform/WebViewFactory.h"

#include "platform/HeadlessWebView.h"

namespace platform {

namespace {

WebViewFactory::Maker& installedMaker()
{
    static WebViewFactory::Maker maker;
    return maker;
}

} // namespace

std::shared_ptr<WebView> WebViewFactory::makeWebView(Rect frame)
{
    if (const auto& maker = installedMaker())
        return maker(frame);
    return HeadlessWebView::create(frame);
}

void WebViewFactory::setMaker(Maker maker)
{
    installedMaker() = std::move(maker);
}

} // namespace platform
