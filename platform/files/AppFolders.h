// The application's folders: its home (Documents, Library, Library/Caches, Library/Application Support,
// Library/Preferences, tmp) and its bundle (www, config.xml, Info.plist and other resources).
//
// Guarantees:
// - Rooted where the application or a test says: AppFolders::install() sets the process-wide folders that
//   AppFolders::current() answers (tests install a fresh temporary home each, tests/support/TempHome.h).
//   Until something is installed, current() is the desktop default for the bundle identifier
//   "org.hybridhost.app": home = $XDG_DATA_HOME/<id> (or ~/.local/share/<id>), bundle = <home>/bundle.
// - Paths are plain strings without a trailing "/"; nothing is created until createFolders().
// - Thread: current() and install() from any thread; current() returns a copy.
#pragma once

#include "platform/core/Error.h"

#include <string>

namespace platform {

class AppFolders {
public:
    AppFolders(std::string home, std::string bundle);

    // The desktop default home for a bundle identifier: the XDG data folder of that identifier.
    static std::string defaultHome(const std::string& bundleIdentifier);
    static AppFolders current();
    static void install(const AppFolders& folders);

    const std::string& home() const { return m_home; }
    std::string documents() const;
    std::string library() const;
    std::string caches() const;
    std::string applicationSupport() const;
    std::string preferences() const;
    std::string tmp() const;

    const std::string& bundle() const { return m_bundle; }
    std::string www() const;
    std::string configXml() const;
    std::string infoPlist() const;
    // A resource of the bundle by name, type (extension, may be empty) and subfolder (may be empty);
    // empty when there is no such file. Names with "/" or ".." parts are refused (empty).
    std::string pathForResource(const std::string& name, const std::string& type,
                                const std::string& subdirectory = {}) const;

    // Makes every folder of the home (the bundle is the application's own and is left alone).
    Status createFolders() const;

    // Whether the absolute `path`, its links resolved, names the bundle, the home or something inside
    // them. A path holding a NUL or a ".." part that resolution leaves (below a missing folder) is not held.
    bool holds(const std::string& path) const;
    // The path with its links resolved as far as it exists (the rest appended as written).
    static std::string resolvedPath(const std::string& path);
    // Whether `path` is `folder` or inside it, as written (nothing resolved); never inside an empty folder.
    static bool isInside(const std::string& path, const std::string& folder);

private:
    std::string m_home;
    std::string m_bundle;
};

} // namespace platform
