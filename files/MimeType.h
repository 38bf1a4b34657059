// The MIME type of a file by its name's extension, as the file systems report it: the platform's type
// for the extension, else "audio/wav" or "text/css" when the extension merely contains "wav" or "css"
// (case-sensitive), else none. Pure; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace files {

std::optional<std::string> mimeTypeFromPath(std::string_view path);

} // namespace files
