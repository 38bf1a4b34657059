// What every plug-in calls to reach the runtime: answer the page, run script in it, find other plug-ins
// and bundle resources, work in the background, read the settings.
//
// Plug-ins hold their delegate weakly (the view controller owns it through a shared_ptr). Threads:
// sendPluginResult, evalJs(js) and runInBackground may be called from any thread; the rest on the main
// thread. After the view controller is gone every operation does nothing and answers nothing.
#pragma once

#include "platform/core/Value.h"
#include "platform/text/URL.h"
#include "runtime/HYBPluginResult.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

class HYBPlugin;

class HYBCommandDelegate {
public:
    virtual ~HYBCommandDelegate() = default;

    // The bundle path of a file given relative to the web root, or nothing when there is no such file.
    virtual std::optional<std::string> pathForResource(std::string_view resourcePath) = 0;
    // The live plug-in of a service (made on first use), or nullptr.
    virtual std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view pluginName) = 0;
    // Delivers an answer to the page's callback. No result answers status 0 with a null message.
    virtual void sendPluginResult(std::optional<HYBPluginResult> result, std::optional<std::string> callbackId) = 0;
    // Evaluates script in the page on a later turn of the main run loop (or at once inside a dispatch pass).
    virtual void evalJs(std::string js) = 0;
    // As evalJs(js) when `scheduledOnRunLoop`; otherwise at once on the calling (main) thread.
    virtual void evalJs(std::string js, bool scheduledOnRunLoop) = 0;
    // Runs the block on the global concurrent queue and returns at once.
    virtual void runInBackground(std::function<void()> block) = 0;
    virtual std::string userAgent() = 0;
    // Whether the whitelist lets the URL through (URLs of schemes it does not govern always pass).
    virtual bool URLIsWhitelisted(const platform::URL& url) = 0;
    // The preferences, keyed by lower-cased names.
    virtual platform::Dictionary settings() = 0;
};

} // namespace runtime
