// Feeds arbitrary text to the command queue as a page's command batch, as it arrives from the page's
// bridge (also behind a NUL, where nothing of it may run). Every command that reaches the plug-in is answered with its first argument as the message, so
// callback ids and messages of every kind pass through the callback script too.
// Checks: the queue always drains (a bad batch never stalls it), each answer to a valid callback id is a
// well-formed callback script whose message reads back as JSON, and nothing crashes.
#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/RunLoop.h"
#include "runtime/HYBCommandDelegateImpl.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBPlugin.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

using namespace runtime;

class EchoPlugin : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;
    void echo(const HYBInvokedUrlCommand& command) {
        HYBPluginResult result(HYBCommandStatus::Ok, command.argumentAtIndex(0));
        result.setKeepCallbackAsBool(command.arguments().size() > 1);
        if (HYBCommandDelegateImpl::isValidCallbackId(command.callbackId())) {
            const std::string script = HYBCommandDelegateImpl::callbackScript(result, *command.callbackId());
            const std::string prefix = "hybrid.require('hybrid/exec').nativeCallback('" + *command.callbackId() + "',1,";
            if (script.compare(0, prefix.size(), prefix) != 0 || script.back() != ')')
                std::abort();
            const std::string message = script.substr(prefix.size(), script.size() - prefix.size() - 3);
            if (!platform::JSON::parse(message, platform::JSON::ReadMode::Fragment))
                std::abort();
        }
        if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(std::move(result), command.callbackId());
    }
    const HYBActionTable& actions() const override {
        static const HYBActionTable table = HYBActionTable::of<EchoPlugin>({{"echo", &EchoPlugin::echo}});
        return table;
    }
};

// A controller without a web view: answers are built but evaluated nowhere.
class FuzzHost : public HYBCommandHost {
public:
    std::shared_ptr<platform::WebView> webView() const override { return nullptr; }
    std::shared_ptr<HYBCommandDelegate> commandDelegate() const override { return delegate.lock(); }
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view name) override {
        return name == "Echo" || name == "echo" ? plugin : nullptr;
    }
    platform::Dictionary settings() const override { return {}; }
    const HYBWhitelist* whitelist() const override { return nullptr; }
    std::string userAgent() override { return {}; }
    std::string wwwFolderName() const override { return "www"; }

    std::weak_ptr<HYBCommandDelegate> delegate;
    std::shared_ptr<EchoPlugin> plugin;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Log::setCaptureHook([](std::string_view) {}); // dropped entries and bad ids are logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto host = std::make_shared<FuzzHost>();
    auto queue = std::make_shared<HYBCommandQueue>(host);
    auto delegate = std::make_shared<HYBCommandDelegateImpl>(host, queue);
    host->delegate = delegate;
    host->plugin = std::make_shared<EchoPlugin>(nullptr);
    host->plugin->setCommandDelegate(delegate);

    // The text as one batch, then behind a batch of its own so that order and draining are checked too.
    queue->enqueueCommandBatch(text);
    // The same after a stray byte, as a batch that does not begin with its bracket.
    queue->enqueueCommandBatch(std::string(1, '\0') + std::string(text));
    queue->enqueueCommandBatch("[[\"end\",\"Echo\",\"echo\",[1]]]");
    queue->executePending();
    // Long text is parsed in the background; the parser schedules the next pass on the main loop, and
    // long runs of commands yield to it in slices.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (queue->pendingBatchCount() != 0 && std::chrono::steady_clock::now() < limit)
        platform::RunLoop::main().runOnce(std::chrono::milliseconds(10));
    if (queue->pendingBatchCount() != 0 || queue->currentlyExecuting())
        std::abort();
    return 0;
}
