// What a view controller takes over from config.xml when it loads its settings: the service-to-class
// map, the start-up plug-ins, the whitelist, the preferences, the web folder and the start page.
//
// readFile() reads a config.xml and says why it cannot be used: what launchApplication refuses a bundle
// with before anything starts. loadSettings() is the view controller's own reading, for controllers made
// without those settings: a missing file or a document that does not parse stops the process with a fixed
// text and exit status 1 (platform::configurationFailure: the bundle is broken); a file that cannot be
// read is logged and gives nothing.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBWhitelist.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

struct HYBLoadedSettings {
    // config.xml is the application's own small file: a larger one is not read.
    static constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

    // Lower-cased service name to plug-in class name.
    platform::Dictionary pluginsMap;
    std::vector<std::string> startupPluginNames;
    // The access origins, and the whitelist made of them. readFile leaves the whitelist to be made by
    // whoever takes the settings up (makeWhitelist): making it logs ("Unlimited access to network
    // resources"), which a check before anything starts must not.
    std::vector<std::string> whitelistHosts;
    std::shared_ptr<const HYBWhitelist> whitelist;
    // Lower-cased preference name to value text.
    platform::Dictionary settings;
    std::string wwwFolderName;
    std::string startPage;
    // The lines on elements readFile skipped ("config.xml: <param> without \"name\" skipped."), not
    // logged by it: the view controller logs them as it takes the settings up.
    std::vector<std::string> skippedLines;

    // The settings of the config.xml at `configPath`: a regular file of at most kMaxConfigBytes that
    // parses, without its whitelist. Its elements are read whatever its root element is called.
    // Otherwise an error (domain "HYBConfig") "config.xml at <path>: <why>" ("not found", "a folder,
    // not a file", "not a regular file", "larger than N bytes", "parse error line L col C"...). Nothing
    // is logged either way: the lines on elements it skipped are kept.
    static platform::Result<HYBLoadedSettings> readFile(const std::string& configPath);

    // Reads the main bundle's "config" of type "xml". Stops the process when the file does not exist
    // or does not parse; logs "Failed to initialize XML parser." and gives nothing when it cannot be read.
    static std::optional<HYBLoadedSettings> loadSettings();
    // The same for the file at `configPath` ("" when the bundle has none).
    static std::optional<HYBLoadedSettings> loadSettings(const std::string& configPath);

    // Takes over a parser's results, whitelist made; the start page defaults to "index.html".
    static HYBLoadedSettings fromParser(const HYBConfigParser& parser);
    // Makes the whitelist of whitelistHosts when there is none yet.
    void makeWhitelist();

    // The preference of that name, whatever its case; nothing when unset.
    std::optional<std::string> settingForKey(std::string_view name) const;
    // Stores a preference under its lower-cased name.
    void setSetting(std::string value, std::string_view name);
};

} // namespace runtime
