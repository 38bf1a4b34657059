#include "runtime/HYBCache.h"

#include "platform/core/Log.h"
#include "platform/net/URLCache.h"
#include "platform/text/PercentEscaping.h"

#include <atomic>

namespace runtime {
namespace {
// Set while a purge is posted and has not started (any thread). A purge empties the cache of all that was
// stored before it starts, so a clear asked for meanwhile needs no purge of its own: a burst of clears posts
// one instead of waking a worker for each.
std::atomic<bool> purgeWaiting{false};
} // namespace

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
    std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate();
    if (delegate && !purgeWaiting.exchange(true, std::memory_order_acq_rel)) {
        delegate->runInBackground([] {
            purgeWaiting.store(false, std::memory_order_release); // what is stored from now on needs another
            platform::URLCache::shared()->removeAllCachedResponses();
        });
    }
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
