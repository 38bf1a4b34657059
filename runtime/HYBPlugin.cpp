#include "runtime/HYBPlugin.h"

#include "platform/application/Application.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/web/WebView.h"

#include <cxxabi.h>

#include <cstdlib>

namespace runtime {

HYBPlugin::HYBPlugin(const std::shared_ptr<platform::WebView>& webView) {
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, platform::kApplicationWillTerminateNotification, nullptr,
                       [this](const platform::Notification&) { onAppTerminate(); });
    center.addObserver(this, platform::kApplicationDidReceiveMemoryWarningNotification, nullptr,
                       [this](const platform::Notification&) { onMemoryWarning(); });
    center.addObserver(this, kHYBPluginHandleOpenURLNotification, nullptr,
                       [this](const platform::Notification& notification) { handleOpenURL(notification); });
    // A reset for a plug-in made without a web view would match every sender; it only listens when it has one.
    if (webView)
        center.addObserver(this, kHYBPluginResetNotification, webView.get(),
                           [this](const platform::Notification&) { onReset(); });
    m_webView = webView;
}

HYBPlugin::~HYBPlugin() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void HYBPlugin::dispose() {
    m_viewController.reset();
    m_commandDelegate.reset();
    m_webView.reset();
}

void HYBPlugin::handleOpenURL(const platform::Notification& /*notification*/) {}

bool HYBPlugin::shouldOverrideLoadWithRequest(const platform::URLRequest& /*request*/,
                                              platform::WebViewNavigationType /*navigationType*/) {
    return false;
}

std::shared_ptr<platform::ApplicationDelegate> HYBPlugin::appDelegate() {
    return platform::Application::shared().delegate();
}

std::string HYBPlugin::writeJavascript(std::string_view javascript) {
    std::shared_ptr<platform::WebView> view = webView();
    return view ? view->stringByEvaluatingJavaScriptFromString(javascript) : std::string();
}

std::string HYBPlugin::success(const HYBPluginResult& result, std::string_view callbackId) {
    if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
        delegate->evalJs(result.toSuccessCallbackString(callbackId));
    return std::string();
}

std::string HYBPlugin::error(const HYBPluginResult& result, std::string_view callbackId) {
    if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
        delegate->evalJs(result.toErrorCallbackString(callbackId));
    return std::string();
}

bool HYBPlugin::performAction(std::string_view action, const HYBInvokedUrlCommand& command) {
    const HYBActionTable::Action* run = actions().find(action);
    if (!run)
        return false;
    (*run)(*this, command);
    return true;
}

const HYBActionTable& HYBPlugin::actions() const {
    static const HYBActionTable none;
    return none;
}

std::string HYBPlugin::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    // Drop namespaces: the class name alone, as config.xml writes it.
    if (std::size_t colons = name.rfind("::"); colons != std::string::npos && name.find('<') == std::string::npos)
        name.erase(0, colons + 2);
    return name;
}

} // namespace runtime
