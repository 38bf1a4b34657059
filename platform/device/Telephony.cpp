#include "platform/device/Telephony.h"

#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"

#include <algorithm>
#include <mutex>

namespace platform {

namespace {
struct Radio {
    std::mutex mutex;
    std::string technology;
};

Radio& radio() {
    static auto* shared = new Radio; // read from any thread until exit
    return *shared;
}
} // namespace

const std::vector<std::string>& Telephony::radioAccessTechnologies() {
    static const std::vector<std::string> all{
        kRadioAccessTechnologyGPRS,           kRadioAccessTechnologyEdge,           kRadioAccessTechnologyWCDMA,
        kRadioAccessTechnologyHSDPA,          kRadioAccessTechnologyHSUPA,          kRadioAccessTechnologyCDMA1x,
        kRadioAccessTechnologyCDMAEVDORev0,   kRadioAccessTechnologyCDMAEVDORevA,   kRadioAccessTechnologyCDMAEVDORevB,
        kRadioAccessTechnologyeHRPD,          kRadioAccessTechnologyLTE,
    };
    return all;
}

std::string Telephony::currentRadioAccessTechnology() {
    std::lock_guard lock(radio().mutex);
    return radio().technology;
}

Status Telephony::setCurrentRadioAccessTechnology(std::string_view technology) {
    const auto& all = radioAccessTechnologies();
    if (!technology.empty() && std::find(all.begin(), all.end(), technology) == all.end())
        return Error(kCocoaErrorDomain, 0, "unknown radio access technology \"" + std::string(technology) + "\"");
    {
        std::lock_guard lock(radio().mutex);
        if (radio().technology == technology)
            return {};
        radio().technology = technology;
    }
    DispatchQueue::main()->async([technology = std::string(technology)] {
        NotificationCenter::defaultCenter().post(kRadioAccessTechnologyDidChangeNotification, nullptr,
                                                 Dictionary{{kRadioAccessTechnologyUserInfoKey, technology}});
    });
    return {};
}

} // namespace platform
