// File-system URLs and full paths from page input: parsing into file-system name and full path, the
// mapping under a root (never outside it), and back.
#include "files/FullPath.h"
#include "files/HYBFilesystemURL.h"
#include "files/HYBLocalFilesystem.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    static const std::string kRoot = "/fuzz/root";

    files::HYBFilesystemURL url(text);
    (void)url.absoluteURL();
    files::HYBFilesystemURL prefixed("hybfile://localhost/persistent/" + std::string(text));

    const std::string parsedPath = prefixed.fullPath().value_or("");
    for (std::string_view path : {text, std::string_view(parsedPath)}) {
        (void)files::normalizePath(path);
        (void)files::standardizePath(path);
        std::optional<std::string> native = files::nativePathUnderRoot(kRoot, path);
        if (native) {
            // Whatever the input, the native path is the root or lies below it, and maps back.
            if (!files::pathRelativeToRoot(kRoot, *native))
                std::abort();
            if (native->find("/../") != std::string::npos || native->ends_with("/.."))
                std::abort();
        }
    }

    files::HYBLocalFilesystem fs("persistent", kRoot);
    if (std::optional<std::string> native = fs.filesystemPathForURL(prefixed)) {
        if (!fs.fullPathForFileSystemPath(*native))
            std::abort();
        if (std::optional<files::HYBFilesystemURL> back = fs.URLforFilesystemPath(*native)) {
            // The URL made for a native path names the same native path again.
            if (fs.filesystemPathForURL(*back) != native)
                std::abort();
        }
    }
    return 0;
}
