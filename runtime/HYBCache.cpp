#include "runtime/HYBCache.h"

#include "platform/Log.h"
#include "platform/PercentEscaping.h"
#include "platform/URLCache.h"

namespace runtime {
void HYBCache::registerClass() {
    static const bool registered = [] {
        HYBPluginClassRegistry::shared().registerClass<HYBCache>("HYBCache");
        HYBPluginClassRegistry::shared().registerClass<HYBCache>("Cache");
        return true;
    }();
    (void)registered;
}

const HYBActionTable& HYBCache::actions() const {
    static const HYBActionTable table = HYBActionTable::of<HYBCache>({{"clear", &HYBCache::clear}});
    return table;
}

void HYBCache::clear(const HYBInvokedUrlCommand& command) {
    platform::Log::write("Hybrid iOS Cache.clear() called.");
    m_command = command;
    if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
        delegate->runInBackground([] { platform::URLCache::shared()->removeAllCachedResponses(); });
    success();
}

void HYBCache::success() {
    const std::string text = "Hybrid iOS webview cache cleared.";
    platform::Log::write(text);
    answer(HYBCommandStatus::Ok, text);
}

void HYBCache::error(std::string_view description) {
    const std::string text = "Error while clearing webview cache (" + std::string(description) + ").";
    platform::Log::write(text);
    answer(HYBCommandStatus::Error, text);
}

void HYBCache::answer(HYBCommandStatus status, const std::string& text) {
    std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate || !m_command)
        return;
    delegate->sendPluginResult(HYBPluginResult::messageAsString(status, platform::addPercentEscapes(text)), m_command->callbackId());
}

} // namespace runtime
