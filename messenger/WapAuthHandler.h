// The web sign-in used when the messaging app is not installed: a modal navigation controller over the
// caller's controller shows the sign-in service's mobile-check page in a web view; the service sends
// this application's "<app id>://wapoauth?<rest>" URL to move on to the SMS sign-in page, and ends with
// the ordinary sign-in return URL "<app id>://oauth?...", which MXApi turns into a SendAuthResp (closing
// the page first). The bar's cancel button asks whether to leave; leaving answers the delegate with a
// SendAuthResp of error code -2.
//
// Guarantees:
// - Main thread only. One sign-in at a time: beginning another ends the running one first.
// - The service's address is a setting (https by default); its pages are "/connect/mobilecheck" and
//   "/connect/smsauthorize" with the query keys the service expects. The app id, scope and state are
//   escaped as URL arguments; the rest of a "wapoauth" URL (at most MXApi::kMaxArgumentLength bytes,
//   else refused with an error line) goes in as it stands. An app id that is no app id
//   (MessengerApiUtil::isAppId) begins no sign-in.
// - The delegate is not retained: it must outlive the sign-in. A "wapoauth" URL while no sign-in runs,
//   or with nothing after its prefix, is not the handler's.
#pragma once

#include "messenger/MXObjects.h"
#include "messenger/MXUIWebViewControll.h"

#include "platform/ui/AlertView.h"
#include "platform/ui/BarButtonItem.h"
#include "platform/ui/NavigationController.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace messenger {

class WapAuthHandler : public MXUIWebViewControllDelegate,
                       public platform::AlertViewDelegate,
                       public std::enable_shared_from_this<WapAuthHandler> {
public:
    static constexpr const char* kDefaultServiceURL = "https://open.hybridhost.org";
    static constexpr double kFirstLoadDelay = 0.1;

    static std::shared_ptr<WapAuthHandler> shareWapAuthHandlerInstance();
    // The sign-in service's scheme and host ("http://127.0.0.1:<port>" in tests).
    static void setServiceURL(std::string url);
    static std::string serviceURL();

    // Always true.
    bool beginWapAuth(const std::shared_ptr<SendAuthReq>& req, const std::shared_ptr<platform::ViewController>& currentVC,
                      const std::string& appId, MXApiDelegate* delegate);
    // True when the URL was this sign-in's "wapoauth" URL (the SMS page is loading then).
    bool handleWapOAuthOpenUrl(std::string_view url);
    // Ends a running sign-in (the page closes); false when none runs.
    bool endWapAuth();
    // The cancel button: asks whether to leave.
    void cancelWapOAuth();
    void clickedButtonAtIndex(platform::AlertView& alert, long index) override;

    std::string getMobileCheckUrl() const;
    std::string getSmsAuthorizeUrl(std::string_view rest) const;
    std::shared_ptr<MXUIWebViewControll> getWebViewController();

    void onHiddenLeftBar() override;
    void onShowLeftBar() override;
    // Ends the sign-in like endWapAuth.
    void onCancelOAuthWebView();
    static std::map<std::string, std::string> parseURLParams(std::string_view query);

    // What a test looks at.
    bool isRunning() const { return m_running; }
    std::uint64_t timeStamp() const { return m_timeStamp; }
    const std::shared_ptr<platform::AlertView>& cancelAlert() const { return m_alert; }
    const std::shared_ptr<platform::NavigationController>& navigationController() const { return m_navigationController; }

private:
    void present(const std::weak_ptr<platform::ViewController>& presenter, const std::shared_ptr<platform::NavigationController>& page);
    void closePage(const std::shared_ptr<platform::NavigationController>& page);

    std::shared_ptr<MXUIWebViewControll> m_webViewController;
    std::shared_ptr<platform::NavigationController> m_navigationController;
    std::shared_ptr<platform::BarButtonItem> m_cancelItem;
    std::shared_ptr<platform::AlertView> m_alert;
    std::string m_appId;
    std::uint64_t m_timeStamp = 0;
    std::shared_ptr<SendAuthReq> m_sendAuthReq;
    MXApiDelegate* m_delegate = nullptr;
    bool m_running = false;
    std::uint64_t m_generation = 0;
    // A page closing, a page to close once it has appeared, and a presentation waiting for the close.
    bool m_closing = false;
    std::shared_ptr<platform::NavigationController> m_closeWhenShown;
    std::function<void()> m_pendingPresentation;
};

} // namespace messenger
