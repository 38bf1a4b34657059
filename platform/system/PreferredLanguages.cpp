#include "platform/system/PreferredLanguages.h"

#include "platform/system/Locale.h"
#include "platform/system/UserDefaults.h"

#include <algorithm>

namespace platform {

std::vector<std::string> preferredLanguages() {
    auto languages = UserDefaults::standard().stringArray(kAppleLanguagesKey);
    if (languages && !languages->empty())
        return *languages;
    std::string identifier = Locale::currentIdentifier();
    std::replace(identifier.begin(), identifier.end(), '_', '-');
    return {identifier};
}

} // namespace platform
