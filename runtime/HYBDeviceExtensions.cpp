#include "runtime/HYBDeviceExtensions.h"

#include "platform/core/Log.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/Text.h"

namespace runtime {

std::string uniqueAppInstanceIdentifier() {
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const platform::Value stored = defaults.object(kHYBInstallationIdentifierKey);
    if (const std::string* text = stored.getString(); text && !text->empty())
        return *text;
    std::string identifier = platform::newUUIDString();
    if (platform::Status status = defaults.set(kHYBInstallationIdentifierKey, identifier); !status)
        platform::Log::write("Could not store the installation identifier: " + status.error().localizedDescription());
    (void)defaults.synchronize();
    return identifier;
}

} // namespace runtime
