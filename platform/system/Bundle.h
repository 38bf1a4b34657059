// The application's bundle as the platform's bundle object shows it: its path, the keys of its
// Info.plist and its resources. It follows AppFolders::current(), so a test's temporary home brings its
// own bundle.
//
// Guarantees:
// - The Info.plist is read when it changed (path, size or modification time), so a test may write it
//   at any moment; an absent or damaged Info.plist reads as an empty dictionary.
// - Thread-safe.
#pragma once

#include "platform/core/Value.h"

#include <string>

namespace platform {

class Bundle {
public:
    // The main bundle of the current app folders.
    static Bundle main();

    const std::string& bundlePath() const { return m_path; }
    Dictionary infoDictionary() const;
    Value objectForInfoDictionaryKey(const std::string& key) const;
    // "CFBundleIdentifier", or "" when absent.
    std::string bundleIdentifier() const;
    // A resource by name, type and subfolder; "" when absent (see AppFolders::pathForResource).
    std::string pathForResource(const std::string& name, const std::string& type, const std::string& subdirectory = {}) const;
    // The text for `key` in the strings table `table` ("Localizable" when empty): "<table>.strings" (an
    // XML or binary property list of strings, at most kMaxStringsTableBytes) in the folder of the first
    // preferred language that has one ("<language>.lproj", then "Base.lproj", "en.lproj", the bundle
    // itself). The key itself when no table has an entry.
    std::string localizedString(const std::string& key, const std::string& table = {}) const;
    static constexpr long long kMaxStringsTableBytes = 4 << 20;
    // The bundle's property lists (Info.plist, the configuration lists read from it) are read only when
    // they are regular files of at most this size: anything else reads as absent.
    static constexpr long long kMaxPropertyListBytes = 1 << 20;

private:
    explicit Bundle(std::string path, std::string infoPlist) : m_path(std::move(path)), m_infoPlist(std::move(infoPlist)) {}
    std::string m_path;
    std::string m_infoPlist;
};

} // namespace platform
