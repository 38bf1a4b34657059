// The sign-in page's controller: one web view filling the screen, every load allowed, nothing done on a
// load's start or failure (a page that fails stays as it is; the user leaves with the bar's cancel
// button). The web view is hidden (the screen is white) until a page has loaded.
//
// Main thread only. The delegate is held weakly.
#pragma once

#include "platform/ui/ViewController.h"
#include "platform/web/WebView.h"
#include "platform/web/WebViewDelegate.h"

#include <memory>
#include <string>

namespace messenger {

class MXUIWebViewControllDelegate {
public:
    virtual ~MXUIWebViewControllDelegate() = default;
    virtual void onHiddenLeftBar() {}
    virtual void onShowLeftBar() {}
};

class MXUIWebViewControll : public platform::ViewController, public platform::WebViewDelegate {
public:
    static std::shared_ptr<MXUIWebViewControll> initWithDelegate(const std::shared_ptr<MXUIWebViewControllDelegate>& delegate);

    void viewDidLoad() override;
    // Loads the URL text; a text that is no URL loads nothing.
    void refresh(const std::string& url);
    void webViewDidFinishLoad(platform::WebView& webView) override;

    // The web view (made with the view).
    const std::shared_ptr<platform::WebView>& webView() const { return m_webView; }
    std::shared_ptr<MXUIWebViewControllDelegate> delegate() const { return m_delegate.lock(); }

private:
    std::weak_ptr<MXUIWebViewControllDelegate> m_delegate;
    std::shared_ptr<platform::WebView> m_webView;
};

} // namespace messenger
