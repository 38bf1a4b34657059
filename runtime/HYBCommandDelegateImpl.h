// The runtime's command delegate: how plug-ins answer the page, run script in it, find other plug-ins
// and bundle resources, work in the background and read the settings. One per view controller.
//
// Guarantees:
// - Threads: sendPluginResult, evalJs(js) and runInBackground from any thread; the rest on the main
//   thread. Every evaluation in the web view happens on the main thread.
// - Answers go to the web view at once only from inside a dispatch pass on the main thread (a plug-in that
//   answers synchronously); every other answer, and every answer during flushCommandQueueWithDelayedJs,
//   goes on a later turn of the main run loop, in the order handed over.
// - Each evaluation through the helpers queues the commands the page returns and runs them. The helpers
//   never wait for the page: an evaluation is handed to the web view, and its returned commands are
//   queued when its text comes back, in the order the evaluations were asked for.
// - Callback ids must be 1 to 100 characters of A-Z, a-z, 0-9, ".", "_" and "-": answers to other ids
//   are dropped with a log line ("INVALID" silently). Such an id is therefore safe inside the
//   single-quoted script literal of the callback.
// - References to the view controller and its queue are weak: once they are gone every operation does
//   nothing and answers nothing. Owned through a shared_ptr (plug-ins hold it weakly).
#pragma once

#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBCommandQueue.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

class HYBCommandDelegateImpl : public HYBCommandDelegate, public std::enable_shared_from_this<HYBCommandDelegateImpl> {
public:
    // initWithViewController: keeps the controller and its command queue, both weakly.
    HYBCommandDelegateImpl(std::weak_ptr<HYBCommandHost> viewController, std::weak_ptr<HYBCommandQueue> commandQueue);

    // HYBCommandDelegate.
    std::optional<std::string> pathForResource(std::string_view resourcePath) override;
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view pluginName) override;
    void sendPluginResult(std::optional<HYBPluginResult> result, std::optional<std::string> callbackId) override;
    void evalJs(std::string js) override;
    void evalJs(std::string js, bool scheduledOnRunLoop) override;
    void runInBackground(std::function<void()> block) override;
    std::string userAgent() override;
    bool URLIsWhitelisted(const platform::URL& url) override;
    platform::Dictionary settings() override;

    // Whether the callback id may be answered (see above); nothing is never valid.
    static bool isValidCallbackId(const std::optional<std::string>& callbackId);
    // The callback script of an answer: hybrid.require('hybrid/exec').nativeCallback('<id>',<status>,
    // <message JSON>,<keep 0|1>). No result answers status 0, null, 0.
    static std::string callbackScript(const std::optional<HYBPluginResult>& result, std::string_view callbackId);

    // Runs the queue's pending commands while holding back every answer they produce until a later turn
    // of the main run loop (used when the page signals from inside a web-view callback).
    void flushCommandQueueWithDelayedJs();
    // Evaluates at once when that is safe (main thread, inside a dispatch pass, answers not held back),
    // otherwise on a later turn of the main run loop.
    void evalJsHelper(std::string js);
    // Hands the script to the web view; the commands its evaluation returns are queued and run later.
    void evalJsHelper2(std::string js);

private:
    std::weak_ptr<HYBCommandHost> m_viewController;
    std::weak_ptr<HYBCommandQueue> m_commandQueue;
    bool m_delayResponses = false;
};

} // namespace runtime
