#include "stats/MXStatEnv.h"

#include "stats/MXStatHelper.h"
#include "stats/MXStatSharedUDID.h"

#include "platform/core/Log.h"
#include "platform/net/NetworkInfo.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/system/PreferredLanguages.h"
#include "platform/system/TimeZone.h"
#include "platform/text/Text.h"
#include "platform/ui/Screen.h"

namespace stats {

std::string MXStatEnv::appVersionOfBundle() {
    const platform::Bundle bundle = platform::Bundle::main();
    for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion"}) {
        const platform::Value value = bundle.objectForInfoDictionaryKey(key);
        const std::string* version = value.getString();
        if (version && !version->empty())
            return *version;
    }
    return "unknown";
}

std::string MXStatEnv::carrierCodes() {
    const auto carrier = platform::NetworkInfo::current().carrier();
    if (!carrier || !carrier->mobileCountryCode || !carrier->mobileNetworkCode)
        return {};
    return *carrier->mobileCountryCode + *carrier->mobileNetworkCode;
}

MXStatEnv MXStatEnv::collectDeviceFacts() {
    const platform::Device& device = platform::Device::current();
    const platform::Screen& screen = platform::Screen::main();
    MXStatEnv env;
    env.platform = device.systemName();
    env.os_version = device.systemVersion();
    env.language = platform::preferredLanguages().front();
    const platform::Rect bounds = screen.bounds();
    env.resolution = platform::formatString("%.fx%.f", bounds.size.width * screen.scale(), bounds.size.height * screen.scale());
    env.mccmnc = carrierCodes();
    env.timezone = platform::TimeZone::systemName();
    env.app_version = appVersionOfBundle();
    env.devicename = device.machine();
    env.modulename = device.model();
    if (platform::isVersionAtLeast(env.os_version, "6.0"))
        env.ifv = device.identifierForVendor();
    return env;
}

MXStatEnv MXStatEnv::collect() {
    MXStatEnv env = collectDeviceFacts();
    if (auto stored = MXStatHelper::getSharedUDID(); stored && !stored->empty()) {
        env.deviceid = *stored;
    } else {
        env.deviceid = MXStatSharedUDID::value();
        if (!env.deviceid.empty())
            MXStatHelper::saveSharedUDID(env.deviceid);
    }
    return env;
}

} // namespace stats
