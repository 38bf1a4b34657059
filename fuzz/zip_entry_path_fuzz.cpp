// Zip entry names and symbolic-link targets as an archive carries them, straight to the rules that keep
// an unzip inside its destination. Input: "<entry name>\0<link target>" (no NUL: a name alone).
#include "deploy/ZipEntryPath.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Whether a normalised relative path stays where the rules promise: relative, no empty, "." or ".."
// component, no backslash or NUL.
bool isConfined(std::string_view path) {
    if (path.empty())
        return true;
    if (path.front() == '/' || path.back() == '/' || path.find('\0') != std::string_view::npos || path.find('\\') != std::string_view::npos)
        return false;
    for (std::size_t start = 0;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

// How many folders a relative target climbs from the link's folder: leading ".." less the others.
long lowestLevel(std::string_view linkPath, std::string_view target) {
    long depth = 0;
    for (char c : linkPath)
        depth += c == '/';
    long lowest = depth;
    for (std::size_t start = 0; start <= target.size();) {
        const std::size_t slash = target.find('/', start);
        const std::string_view part = target.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part == "..")
            --depth;
        else if (!part.empty() && part != ".")
            ++depth;
        lowest = std::min(lowest, depth);
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return lowest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view name = input.substr(0, nul);

    auto entry = deploy::ZipEntryPath::fromEntryName(name);
    if (!entry.ok())
        return 0;
    const std::string& path = entry.value().relativePath;
    if (!isConfined(path))
        std::abort();
    // The normal form is a fixed point (the empty one, the destination itself, is no entry name).
    if (!path.empty()) {
        auto again = deploy::ZipEntryPath::fromEntryName(path);
        if (!again.ok() || again.value().relativePath != path)
            std::abort();
    }

    if (nul != std::string_view::npos && !path.empty()) {
        const std::string_view target = input.substr(nul + 1);
        // An accepted link target never leads above the destination.
        if (deploy::ZipEntryPath::checkLinkTarget(path, target).ok()
            && (target.empty() || target.front() == '/' || lowestLevel(path, target) < 0))
            std::abort();
    }
    return 0;
}
