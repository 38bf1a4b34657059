// What the command queue and the command delegate need of the view controller that owns them: its web
// view, its plug-ins, its command delegate and what it read from config.xml.
//
// The view controller implements this and hands itself over as a weak reference when it makes its
// queue and delegate; once it is gone (or has forgotten it through dispose) they reach nothing.
// Main thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/core/Value.h"

namespace platform {
class WebView;
} // namespace platform

namespace runtime {

class HYBCommandDelegate;
class HYBPlugin;
class HYBWhitelist;

class HYBCommandHost {
public:
    virtual ~HYBCommandHost() = default;

    // The web view the page runs in; nullptr when there is none (yet).
    virtual std::shared_ptr<platform::WebView> webView() const = 0;
    // The delegate the controller hands to its plug-ins.
    virtual std::shared_ptr<HYBCommandDelegate> commandDelegate() const = 0;
    // The live plug-in of a service, made on first use (the plug-in registry); nullptr when none.
    virtual std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view pluginName) = 0;
    // The preferences, keyed by lower-cased names.
    virtual platform::Dictionary settings() const = 0;
    // The whitelist from config.xml; nullptr when there is none.
    virtual const HYBWhitelist* whitelist() const = 0;
    // The user agent the controller's web view sends.
    virtual std::string userAgent() = 0;
    // The bundle folder of the web root ("www").
    virtual std::string wwwFolderName() const = 0;
};

} // namespace runtime
