// A file-system URL: "hybfile://localhost/<file system>/<path>" (or a photo library
// "assets-library://asset/..." URL) taken apart into the name of the owning file system and the full
// path inside it ("/a/b.txt", "" for the root; a query stays part of it).
//
// Guarantees:
// - An immutable value; name and full path are derived once, when it is made. Thread-safe to read.
// - Text that is not a URL gives an object with no URL, no name and no full path; callers read a
//   missing name as "no file system owns this URL".
#pragma once

#include "platform/text/URL.h"

#include <optional>
#include <string>
#include <string_view>

namespace files {

inline constexpr const char* kHYBFilesystemURLScheme = "hybfile";
inline constexpr const char* kAssetsLibraryURLScheme = "assets-library";

class HYBFilesystemURL {
public:
    HYBFilesystemURL() = default;
    explicit HYBFilesystemURL(std::string_view text);
    explicit HYBFilesystemURL(const platform::URL& url);

    static HYBFilesystemURL fileSystemURLWithString(std::string_view text) { return HYBFilesystemURL(text); }
    static HYBFilesystemURL fileSystemURLWithURL(const platform::URL& url) { return HYBFilesystemURL(url); }

    static std::optional<std::string> filesystemNameForLocalURI(const platform::URL& url);
    static std::optional<std::string> fullPathForLocalURI(const platform::URL& url);

    const std::optional<platform::URL>& url() const { return m_url; }
    const std::optional<std::string>& fileSystemName() const { return m_fileSystemName; }
    const std::optional<std::string>& fullPath() const { return m_fullPath; }

    // "hybfile://localhost/<name><full path>", the full path inserted as it is (not escaped).
    std::string absoluteURL() const;

private:
    std::optional<platform::URL> m_url;
    std::optional<std::string> m_fileSystemName;
    std::optional<std::string> m_fullPath;
};

} // namespace files
