#include "runtime/HYBLoadedSettings.h"

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/XMLParser.h"
#include "runtime/TextCase.h"

#include <filesystem>
#include <system_error>

namespace runtime {

std::optional<HYBLoadedSettings> HYBLoadedSettings::loadSettings() {
    return loadSettings(platform::Bundle::main().pathForResource("config", "xml"));
}

std::optional<HYBLoadedSettings> HYBLoadedSettings::loadSettings(const std::string& configPath) {
    HYBConfigParser parser;
    std::error_code error;
    if (configPath.empty() || !std::filesystem::exists(configPath, error))
        platform::configurationFailure("ERROR: config.xml does not exist. Please run "
                                       "hybrid-ios/bin/hybrid_plist_to_config_xml path/to/project.");
    std::optional<platform::XMLParser> reader;
    if (std::filesystem::is_regular_file(configPath, error))
        reader = platform::XMLParser::fromFile(configPath);
    if (!reader) {
        platform::Log::write("Failed to initialize XML parser.");
        return std::nullopt;
    }
    if (!parser.parseDocument(*reader))
        platform::configurationFailure(*parser.parseFailure());
    return fromParser(parser);
}

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
