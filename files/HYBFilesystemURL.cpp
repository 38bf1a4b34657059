#include "files/HYBFilesystemURL.h"

namespace files {
namespace {

bool isLocalFilesystemURL(const platform::URL& url) {
    return url.scheme() == kHYBFilesystemURLScheme && url.host() == "localhost";
}

} // namespace

HYBFilesystemURL::HYBFilesystemURL(std::string_view text) {
    if (std::optional<platform::URL> url = platform::URL::fromString(text))
        *this = HYBFilesystemURL(*url);
}

HYBFilesystemURL::HYBFilesystemURL(const platform::URL& url)
    : m_url(url), m_fileSystemName(filesystemNameForLocalURI(url)), m_fullPath(fullPathForLocalURI(url)) {}

std::optional<std::string> HYBFilesystemURL::filesystemNameForLocalURI(const platform::URL& url) {
    if (isLocalFilesystemURL(url)) {
        std::vector<std::string> components = url.pathComponents();
        if (components.size() < 2)
            return std::nullopt;
        return components[1];
    }
    if (url.scheme() == kAssetsLibraryURLScheme)
        return std::string(kAssetsLibraryURLScheme);
    return std::nullopt;
}

std::optional<std::string> HYBFilesystemURL::fullPathForLocalURI(const platform::URL& url) {
    if (isLocalFilesystemURL(url)) {
        std::string path = url.path();
        if (url.query())
            path += "?" + *url.query();
        std::size_t slash = path.size() > 1 ? path.find('/', 1) : std::string::npos;
        return slash == std::string::npos ? std::string() : path.substr(slash);
    }
    if (url.scheme() == kAssetsLibraryURLScheme) {
        // Everything after "assets-library:/": the path's leading "/" and the query stay.
        constexpr std::size_t kPrefix = sizeof("assets-library") - 1 + 2;
        const std::string& text = url.absoluteString();
        return text.size() > kPrefix ? text.substr(kPrefix) : std::string();
    }
    return std::nullopt;
}

std::string HYBFilesystemURL::absoluteURL() const {
    return std::string(kHYBFilesystemURLScheme) + "://localhost/" + m_fileSystemName.value_or("") + m_fullPath.value_or("");
}

} // namespace files
