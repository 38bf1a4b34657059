// The base class of every native service the page can call.
//
// A plug-in serves one web view. It is made by name through HYBPluginClassRegistry with that web view,
// then registered by its view controller's plug-in registry, which sets the view controller and the
// command delegate and calls pluginInitialize(). The page's actions reach it by name through its
// class's action table (HYBActionTable).
//
// Guarantees:
// - Main thread: construction, registration, actions and every notification handler (the runtime posts
//   its notifications on the main thread).
// - From construction to destruction the plug-in observes, on the default notification centre: will
//   terminate (onAppTerminate), memory warning (onMemoryWarning), "HYBPluginHandleOpenURLNotification"
//   from any sender (handleOpenURL), and "HYBPluginResetNotification" only when sent for its own web
//   view (onReset). Destruction removes every observation.
// - webView, viewController and commandDelegate are weak: once their owners are gone (or after
//   dispose()) they read as nullptr, and answers go nowhere.
// - Owned by the registry through a shared_ptr, so asynchronous work can hold weak_from_this().
#pragma once

#include "platform/core/ClassRegistry.h"
#include "platform/runloop/Notification.h"
#include "runtime/HYBActionTable.h"
#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBInvokedUrlCommand.h"
#include "runtime/HYBPluginResult.h"

#include <memory>
#include <string>
#include <string_view>

namespace platform {
class ApplicationDelegate;
class ViewController;
class WebView;
class URLRequest;
enum class WebViewNavigationType;
} // namespace platform

namespace runtime {

// Posted when a URL is opened into the application (or a navigation no app could open is passed on);
// the URL's absolute text travels in the user info under kHYBPluginHandleOpenURLKey.
inline constexpr const char* kHYBPluginHandleOpenURLNotification = "HYBPluginHandleOpenURLNotification";
inline constexpr const char* kHYBPluginHandleOpenURLKey = "url";
// Posted with the web view as sender when that web view starts loading a new page.
inline constexpr const char* kHYBPluginResetNotification = "HYBPluginResetNotification";

class HYBPlugin : public std::enable_shared_from_this<HYBPlugin> {
public:
    // initWithWebView: keeps the web view (weakly) and starts observing.
    explicit HYBPlugin(const std::shared_ptr<platform::WebView>& webView);
    // initWithWebView:settings: the settings are not used.
    HYBPlugin(const std::shared_ptr<platform::WebView>& webView, const platform::Dictionary& /*settings*/)
        : HYBPlugin(webView) {}
    virtual ~HYBPlugin();
    HYBPlugin(const HYBPlugin&) = delete;
    HYBPlugin& operator=(const HYBPlugin&) = delete;

    // Once, right after registration.
    virtual void pluginInitialize() {}
    // The view controller goes away: forgets view controller, command delegate and web view.
    virtual void dispose();
    // A URL was opened into the application (see kHYBPluginHandleOpenURLNotification).
    virtual void handleOpenURL(const platform::Notification& notification);
    virtual void onAppTerminate() {}
    virtual void onMemoryWarning() {}
    // This plug-in's web view started loading a new page.
    virtual void onReset() {}
    // Asked by the navigation filter for every navigation; true takes the navigation over. The base
    // class never does.
    virtual bool shouldOverrideLoadWithRequest(const platform::URLRequest& request, platform::WebViewNavigationType navigationType);

    // The shared application's delegate.
    static std::shared_ptr<platform::ApplicationDelegate> appDelegate();
    // Evaluates script synchronously in the web view; "" when the web view is gone.
    std::string writeJavascript(std::string_view javascript);
    // Older ways of answering: evaluate the result's callback script through the command delegate.
    // Both return an empty string.
    std::string success(const HYBPluginResult& result, std::string_view callbackId);
    std::string error(const HYBPluginResult& result, std::string_view callbackId);

    // Runs the page action named `action` with the command; false when this class has no such action.
    bool performAction(std::string_view action, const HYBInvokedUrlCommand& command);
    // This class's page actions; the base class has none.
    virtual const HYBActionTable& actions() const;

    // The plug-in's class name (the name it is registered and stored under).
    virtual std::string className() const;

    std::shared_ptr<platform::WebView> webView() const { return m_webView.lock(); }
    std::shared_ptr<platform::ViewController> viewController() const { return m_viewController.lock(); }
    void setViewController(std::weak_ptr<platform::ViewController> viewController) { m_viewController = std::move(viewController); }
    std::shared_ptr<HYBCommandDelegate> commandDelegate() const { return m_commandDelegate.lock(); }
    void setCommandDelegate(std::weak_ptr<HYBCommandDelegate> commandDelegate) { m_commandDelegate = std::move(commandDelegate); }
    // True while native work is in flight that a memory purge must not disturb.
    bool hasPendingOperation() const { return m_hasPendingOperation; }
    void setHasPendingOperation(bool pending) { m_hasPendingOperation = pending; }

private:
    std::weak_ptr<platform::WebView> m_webView;
    std::weak_ptr<platform::ViewController> m_viewController;
    std::weak_ptr<HYBCommandDelegate> m_commandDelegate;
    bool m_hasPendingOperation = false;
};

// Plug-in classes by name. Register each class once, in its .cpp file:
//     static HYBPluginRegistration<HYBCache> registration("HYBCache");
using HYBPluginClassRegistry = platform::ClassRegistry<HYBPlugin, std::shared_ptr<platform::WebView>>;
template <class Plugin>
using HYBPluginRegistration = platform::ClassRegistration<HYBPlugin, Plugin, std::shared_ptr<platform::WebView>>;

} // namespace runtime
