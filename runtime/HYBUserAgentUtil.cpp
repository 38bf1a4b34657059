#include "runtime/HYBUserAgentUtil.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Device.h"
#include "platform/system/Locale.h"
#include "platform/system/UserDefaults.h"
#include "platform/web/WebView.h"

#include <deque>
#include <optional>
#include <utility>

namespace runtime {
namespace {

struct LockState {
    std::int64_t currentToken = 0;
    std::int64_t tokenCounter = 0;
    std::deque<HYBUserAgentUtil::LockBlock> waiting;
    std::optional<std::string> platformUserAgent;
    bool observingLocale = false;
};

LockState& state() {
    static LockState lockState;
    return lockState;
}

[[noreturn]] void wrongToken(std::int64_t given, std::int64_t expected) {
    platform::internalInconsistency(platform::formatString("Got token %lld, expected %lld", static_cast<long long>(given),
                                                           static_cast<long long>(expected)));
}

} // namespace

void HYBUserAgentUtil::acquireLock(LockBlock block) {
    LockState& lock = state();
    if (lock.currentToken != 0) {
        lock.waiting.push_back(std::move(block));
        return;
    }
    lock.currentToken = ++lock.tokenCounter;
    block(lock.currentToken);
}

void HYBUserAgentUtil::releaseLock(std::int64_t& lockToken) {
    if (lockToken == 0)
        return;
    LockState& lock = state();
    if (lockToken != lock.currentToken)
        wrongToken(lockToken, lock.currentToken);
    // Cleared before the next holder runs: that holder may be this one, waiting with the same field.
    lockToken = 0;
    if (lock.waiting.empty()) {
        lock.currentToken = 0;
        return;
    }
    LockBlock next = std::move(lock.waiting.front());
    lock.waiting.pop_front();
    lock.currentToken = ++lock.tokenCounter;
    platform::Log::write(platform::formatString("Gave lock %lld", static_cast<long long>(lock.currentToken)));
    next(lock.currentToken);
}

void HYBUserAgentUtil::setUserAgent(const std::string& userAgent, std::int64_t lockToken) {
    LockState& lock = state();
    if (lockToken != lock.currentToken)
        wrongToken(lockToken, lock.currentToken);
    platform::UserDefaults::standard().registerDefaults(platform::Dictionary{{"UserAgent", userAgent}});
}

std::string HYBUserAgentUtil::originalUserAgent() {
    LockState& lock = state();
    if (lock.platformUserAgent)
        return *lock.platformUserAgent;
    if (!lock.observingLocale) {
        lock.observingLocale = true;
        platform::NotificationCenter::defaultCenter().addObserver(
            &lock, platform::kCurrentLocaleDidChangeNotification, nullptr,
            [](const platform::Notification&) { HYBUserAgentUtil::onAppLocaleDidChange(); });
    }
    platform::Device& device = platform::Device::current();
    const std::string version = device.model() + " " + device.systemVersion() + " " + platform::Locale::currentIdentifier();

    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const std::optional<std::string> storedVersion = defaults.string(kHYBUserAgentVersionKey);
    lock.platformUserAgent = defaults.string(kHYBUserAgentKey);
    if (!lock.platformUserAgent || storedVersion != version) {
        std::shared_ptr<platform::WebView> webView = platform::WebView::create(platform::Rect{});
        lock.platformUserAgent = webView->userAgentBeforeFirstLoad();
        // Written to disk on the main loop's next turn: the caller (a view about to load its page) goes on
        // with the cached text, and the writes follow its load's start. Kept for the home that measured it.
        platform::RunLoop::main().perform([&defaults, home = platform::AppFolders::current().home(), agent = *lock.platformUserAgent,
                                           version] {
            if (platform::AppFolders::current().home() != home)
                return;
            (void)defaults.set(kHYBUserAgentKey, agent);
            (void)defaults.set(kHYBUserAgentVersionKey, version);
            (void)defaults.synchronize();
        });
    }
    return *lock.platformUserAgent;
}

void HYBUserAgentUtil::onAppLocaleDidChange() { state().platformUserAgent.reset(); }

std::int64_t HYBUserAgentUtil::currentToken() { return state().currentToken; }

std::size_t HYBUserAgentUtil::waiterCount() { return state().waiting.size(); }

} // namespace runtime
