#include "runtime/HYBLoadedSettings.h"

#include "platform/core/Log.h"
#include "platform/files/FileManager.h"
#include "platform/system/Bundle.h"
#include "runtime/TextCase.h"

#include <filesystem>
#include <system_error>

namespace runtime {
namespace {

// A parser's results without the whitelist.
HYBLoadedSettings takeOver(const HYBConfigParser& parser) {
    HYBLoadedSettings loaded;
    loaded.pluginsMap = parser.pluginsDict();
    loaded.startupPluginNames = parser.startupPluginNames();
    loaded.whitelistHosts = parser.whitelistHosts();
    loaded.settings = parser.settings();
    loaded.wwwFolderName = "www";
    loaded.startPage = parser.startPage().value_or("index.html");
    return loaded;
}

} // namespace

std::optional<HYBLoadedSettings> HYBLoadedSettings::loadSettings() {
    return loadSettings(platform::Bundle::main().pathForResource("config", "xml"));
}

std::optional<HYBLoadedSettings> HYBLoadedSettings::loadSettings(const std::string& configPath) {
    std::error_code error;
    if (configPath.empty() || !std::filesystem::exists(configPath, error))
        platform::configurationFailure("ERROR: config.xml does not exist. Please run "
                                       "hybrid-ios/bin/hybrid_plist_to_config_xml path/to/project.");
    auto text = platform::FileManager::defaultManager().contentsOfRegularFile(configPath, kMaxConfigBytes);
    if (!text) {
        platform::Log::write("Failed to initialize XML parser.");
        return std::nullopt;
    }
    HYBConfigParser parser;
    if (!parser.parseDocument(std::string(text->begin(), text->end())))
        platform::configurationFailure(*parser.parseFailure());
    return fromParser(parser);
}

platform::Result<HYBLoadedSettings> HYBLoadedSettings::readFile(const std::string& configPath) {
    auto refused = [&](int code, std::string_view why) {
        return platform::Error("HYBConfig", code, "config.xml at " + configPath + ": " + std::string(why));
    };
    auto text = platform::FileManager::defaultManager().contentsOfRegularFile(configPath, kMaxConfigBytes);
    if (!text)
        return refused(1, text.error().localizedDescription());
    HYBConfigParser parser;
    if (!parser.readDocument(std::string(text->begin(), text->end()))) {
        // The parser words its failure for the fatal text ("config.xml parse error line L col C").
        std::string_view why = *parser.parseFailure();
        if (why.starts_with("config.xml "))
            why.remove_prefix(std::string_view("config.xml ").size());
        return refused(2, why);
    }
    HYBLoadedSettings loaded = takeOver(parser);
    loaded.skippedLines = parser.skippedLines();
    return loaded;
}

HYBLoadedSettings HYBLoadedSettings::fromParser(const HYBConfigParser& parser) {
    HYBLoadedSettings loaded = takeOver(parser);
    loaded.makeWhitelist();
    return loaded;
}

void HYBLoadedSettings::makeWhitelist() {
    if (!whitelist)
        whitelist = std::make_shared<const HYBWhitelist>(whitelistHosts);
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
