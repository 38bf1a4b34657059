#include "files/MimeType.h"

#include "platform/text/Text.h"

namespace files {

std::optional<std::string> mimeTypeFromPath(std::string_view path) {
    std::string_view name = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return std::nullopt;
    std::string_view extension = name.substr(dot + 1);
    if (std::optional<std::string> mime = platform::mimeTypeForExtension(extension))
        return mime;
    // The platform's type table knows m4a as "audio/mp4" already; the other two fall back by containment.
    if (extension.find("wav") != std::string_view::npos)
        return std::string("audio/wav");
    if (extension.find("css") != std::string_view::npos)
        return std::string("text/css");
    return std::nullopt;
}

} // namespace files
