#include "runtime/HYBHandleOpenURL.h"

#include "platform/formats/JSON.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/web/WebView.h"

namespace runtime {

void HYBHandleOpenURL::pluginInitialize() {
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, kHYBPluginHandleOpenURLNotification, nullptr,
                       [this](const platform::Notification& notification) { applicationLaunchedWithUrl(notification); });
    center.addObserver(this, kHYBPageDidLoadNotification, nullptr,
                       [this](const platform::Notification& notification) { applicationPageDidLoad(notification); });
}

void HYBHandleOpenURL::applicationLaunchedWithUrl(const platform::Notification& notification) {
    const std::string* url = notification.userInfo[kHYBPluginHandleOpenURLKey].getString();
    if (!url)
        return;
    m_url = *url;
    if (!m_pageLoaded)
        return;
    std::string waiting = std::move(*m_url);
    m_url.reset();
    processOpenUrl(waiting, true);
}

void HYBHandleOpenURL::applicationPageDidLoad(const platform::Notification& /*notification*/) {
    m_pageLoaded = true;
    if (!m_url)
        return;
    std::string waiting = std::move(*m_url);
    m_url.reset();
    processOpenUrl(waiting, true);
}

std::string HYBHandleOpenURL::handOverScript(std::string_view url) {
    std::string script = "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === 'function') { handleOpenURL(";
    platform::JSON::appendQuoted(script, url);
    script += ");}});";
    return script;
}

void HYBHandleOpenURL::processOpenUrl(const std::string& url, bool pageLoaded) {
    std::shared_ptr<platform::WebView> view = webView();
    if (!view)
        return;
    if (!pageLoaded) {
        const std::string readyState = view->stringByEvaluatingJavaScriptFromString("document.readyState");
        if (readyState != "loaded" && readyState != "complete") {
            m_url = url;
            return;
        }
    }
    // Not waited for: a page stopped in a dialog gets it once the dialog is answered.
    view->evaluateJavaScript(handOverScript(url), [](std::string) {});
}

} // namespace runtime
