// The application's web-view delegate until the runtime's view controller drives the web view: every
// navigation loads except the bridge's "hyb:" signals (nothing answers them yet), and the end of the first
// page load is reported.
#pragma once

#include "platform/WebViewDelegate.h"

#include <functional>

namespace app {

class ShellDelegate : public platform::WebViewDelegate {
public:
    // `onLoaded` runs once, after the first page load ends (with the error when it failed).
    explicit ShellDelegate(std::function<void(const platform::Error*)> onLoaded) : m_onLoaded(std::move(onLoaded)) {}

    bool shouldStartLoadWithRequest(platform::WebView&, const platform::URLRequest& request,
                                    platform::WebViewNavigationType) override;
    void webViewDidFinishLoad(platform::WebView&) override;
    void didFailLoadWithError(platform::WebView&, const platform::Error& error) override;

private:
    std::function<void(const platform::Error*)> m_onLoaded;
};

} // namespace app
