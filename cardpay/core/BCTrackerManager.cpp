#include "cardpay/core/BCTrackerManager.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/tracker/YLUniTracker.h"

namespace cardpay {

bool BCTrackerManager::isTrack() {
    const auto flag = BCDataContainer::instance()->trackerFlag();
    return !flag || *flag == "0";
}

void BCTrackerManager::trackPageBegin(const std::string& page) { YLUniTracker::trackPageBegin(page); }

void BCTrackerManager::trackPageEnd(const std::string& page) { YLUniTracker::trackPageEnd(page); }

void BCTrackerManager::trackEvent(const std::string& name) { YLUniTracker::trackEvent(name); }

void BCTrackerManager::trackEvent(const std::string& name, const platform::Dictionary& parameters) {
    YLUniTracker::trackEvent(name, std::nullopt, parameters);
}

} // namespace cardpay
