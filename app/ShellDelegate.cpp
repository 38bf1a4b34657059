#include "app/ShellDelegate.h"

#include <utility>

namespace app {

bool ShellDelegate::shouldStartLoadWithRequest(platform::WebView&, const platform::URLRequest& request,
                                               platform::WebViewNavigationType)
{
    return request.scheme() != "hyb";
}

void ShellDelegate::webViewDidFinishLoad(platform::WebView&)
{
    if (auto onLoaded = std::exchange(m_onLoaded, nullptr))
        onLoaded(nullptr);
}

void ShellDelegate::didFailLoadWithError(platform::WebView&, const platform::Error& error)
{
    if (auto onLoaded = std::exchange(m_onLoaded, nullptr))
        onLoaded(&error);
}

} // namespace app
