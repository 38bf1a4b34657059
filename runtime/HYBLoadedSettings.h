// What a view controller takes over from config.xml when it loads its settings: the service-to-class
// map, the start-up plug-ins, the whitelist, the preferences, the web folder and the start page.
//
// loadSettings() reads the bundle's config.xml. A missing file or a document that does not parse stops
// the process with a fixed text and exit status 1 (platform::configurationFailure: the bundle is broken);
// a file that cannot be opened is logged and gives nothing.
#pragma once

#include "platform/Value.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBWhitelist.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

struct HYBLoadedSettings {
    // Lower-cased service name to plug-in class name.
    platform::Dictionary pluginsMap;
    std::vector<std::string> startupPluginNames;
    std::shared_ptr<const HYBWhitelist> whitelist;
    // Lower-cased preference name to value text.
    platform::Dictionary settings;
    std::string wwwFolderName;
    std::string startPage;

    // Reads the main bundle's "config" of type "xml". Stops the process when the file does not exist
    // or does not parse; logs "Failed to initialize XML parser." and gives nothing when it cannot be read.
    static std::optional<HYBLoadedSettings> loadSettings();
    // The same for the file at `configPath` ("" when the bundle has none).
    static std::optional<HYBLoadedSettings> loadSettings(const std::string& configPath);

    // Takes over a parser's results; the start page defaults to "index.html".
    static HYBLoadedSettings fromParser(const HYBConfigParser& parser);

    // The preference of that name, whatever its case; nothing when unset.
    std::optional<std::string> settingForKey(std::string_view name) const;
    // Stores a preference under its lower-cased name.
    void setSetting(std::string value, std::string_view name);
};

} // namespace runtime
