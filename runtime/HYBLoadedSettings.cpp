#include "runtime/HYBLoadedSettings.h"

#include "runtime/TextCase.h"

namespace runtime {

HYBLoadedSettings HYBLoadedSettings::fromParser(const HYBConfigParser& parser) {
    HYBLoadedSettings loaded;
    loaded.pluginsMap = parser.pluginsDict();
    loaded.startupPluginNames = parser.startupPluginNames();
    loaded.whitelist = std::make_shared<const HYBWhitelist>(parser.whitelistHosts());
    loaded.settings = parser.settings();
    loaded.wwwFolderName = "www";
    loaded.startPage = parser.startPage().value_or("index.html");
    return loaded;
}

std::optional<std::string> HYBLoadedSettings::settingForKey(std::string_view name) const {
    if (const std::string* value = settings[lowercased(name)].getString())
        return *value;
    return std::nullopt;
}

void HYBLoadedSettings::setSetting(std::string value, std::string_view name) {
    settings.set(lowercased(name), std::move(value));
}

} // namespace runtime
