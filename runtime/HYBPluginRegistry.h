// The plug-ins that serve one view controller's web view: each service name the page uses leads, through
// the map config.xml fills, to the one live plug-in of its class, made on first use.
//
// Guarantees:
// - Main thread only; not locked.
// - At most one live plug-in per class name, whatever service names map to that class.
// - Service names compare ignoring case (they are lower-cased before the lookup).
// - The registry owns the plug-ins until it is destroyed; plug-ins are listed in registration order.
#pragma once

#include "platform/core/Value.h"
#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBPlugin.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {
class ViewController;
class WebView;
} // namespace platform

namespace runtime {

class HYBPluginRegistry {
public:
    // `pluginsMap`: lower-cased service name to plug-in class name (config.xml's features).
    explicit HYBPluginRegistry(platform::Dictionary pluginsMap,
                               HYBPluginClassRegistry& classes = HYBPluginClassRegistry::shared());

    // What registered plug-ins are tied to: the web view new plug-ins are made with, the view controller
    // and the command delegate they receive. All held weakly.
    void setWebView(std::weak_ptr<platform::WebView> webView) { m_webView = std::move(webView); }
    void setViewController(std::weak_ptr<platform::ViewController> viewController) { m_viewController = std::move(viewController); }
    void setCommandDelegate(std::weak_ptr<HYBCommandDelegate> commandDelegate) { m_commandDelegate = std::move(commandDelegate); }

    // Ties the plug-in to the view controller and command delegate, stores it under the class name and
    // calls its pluginInitialize().
    void registerPlugin(std::shared_ptr<HYBPlugin> plugin, const std::string& className);
    // The same under the plug-in's own class name, also mapping the (lower-cased) service name to it.
    void registerPluginWithPluginName(std::shared_ptr<HYBPlugin> plugin, std::string_view pluginName);

    // The live plug-in of a service, made on first use; nullptr when no class is mapped (silently) or the
    // mapped class cannot be made (with a log line).
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view pluginName);

    const platform::Dictionary& pluginsMap() const { return m_pluginsMap; }
    // Class name and live plug-in, in registration order.
    const std::vector<std::pair<std::string, std::shared_ptr<HYBPlugin>>>& pluginObjects() const { return m_pluginObjects; }
    std::shared_ptr<HYBPlugin> pluginForClassName(std::string_view className) const;

private:
    platform::Dictionary m_pluginsMap;
    HYBPluginClassRegistry& m_classes;
    std::vector<std::pair<std::string, std::shared_ptr<HYBPlugin>>> m_pluginObjects;
    // Class names that made an object of a class already live under another name, to that name.
    std::map<std::string, std::string, std::less<>> m_aliases;
    std::weak_ptr<platform::WebView> m_webView;
    std::weak_ptr<platform::ViewController> m_viewController;
    std::weak_ptr<HYBCommandDelegate> m_commandDelegate;
};

} // namespace runtime
