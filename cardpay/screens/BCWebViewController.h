// One web page inside the payment road (agreements, bank lists, help pages): the bar shows its spinner
// until a page whose address begins with the requested one has finished loading, then the title for
// good. Load failures show nothing (the spinner stays). Only web addresses load (BCUtils::isWebAddress):
// another address loads nothing, and a page cannot lead its frames anywhere else (an empty frame's
// "about:" address aside). Screens open it through BCBaseViewController::openWebPage.
//
// Main thread only.
#pragma once
#include "cardpay/screens/BCBaseViewController.h"
#include "platform/WebView.h"

#include <memory>
#include <string>

namespace cardpay {

class BCWebViewController : public BCBaseViewController, public platform::WebViewDelegate {
public:
    static std::shared_ptr<BCWebViewController> initWithUrl(const std::string& url, const std::string& barTitle);

    void viewDidLoad() override;
    void addNavigationBar() override;
    void addAdBar() override {}
    bool shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                    platform::WebViewNavigationType navigationType) override;
    void webViewDidFinishLoad(platform::WebView& webView) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

    const std::string& barTitle() const { return m_barTitle; }
    const std::string& webViewUrl() const { return m_webViewUrl; }
    const std::shared_ptr<platform::WebView>& webView() const { return m_webView; }

private:
    std::string m_barTitle;
    std::string m_webViewUrl;
    std::string m_absoluteUrl;
    std::shared_ptr<platform::WebView> m_webView;
};

} // namespace cardpay
