#include "deploy/ZipEntryPath.h"

#include "deploy/ZMZipArchive.h"

#include <vector>

namespace deploy {

namespace {

std::vector<std::string_view> splitComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

platform::Error unsafe(std::string_view name, std::string_view why) {
    return ZMZipArchive::makeError(ZMZipArchive::kErrorUnsafeEntry,
                                   "refused entry \"" + std::string(name) + "\": " + std::string(why));
}

} // namespace

bool ZipEntryPath::isValidUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

platform::Result<ZipEntryPath> ZipEntryPath::fromEntryName(std::string_view rawName) {
    if (rawName.empty())
        return unsafe(rawName, "empty name");
    if (rawName.find('\0') != std::string_view::npos)
        return unsafe(rawName, "NUL in name");
    if (!isValidUTF8(rawName))
        return unsafe(rawName, "name is not UTF-8");
    ZipEntryPath result;
    result.isDirectory = rawName.back() == '/' || rawName.back() == '\\';
    std::string name(rawName);
    for (char& c : name) {
        if (c == '\\')
            c = '/';
    }
    if (name.front() == '/')
        return unsafe(rawName, "absolute path");
    for (std::string_view part : splitComponents(name)) {
        if (part == "..")
            return unsafe(rawName, "\"..\" in path");
        if (!result.relativePath.empty())
            result.relativePath += '/';
        result.relativePath += part;
    }
    if (result.relativePath.empty() && !result.isDirectory)
        return unsafe(rawName, "no file name");
    return result;
}

platform::Status ZipEntryPath::checkLinkTarget(std::string_view linkRelativePath, std::string_view target) {
    if (target.empty())
        return unsafe(linkRelativePath, "empty link target");
    if (target.find('\0') != std::string_view::npos)
        return unsafe(linkRelativePath, "NUL in link target");
    if (target.front() == '/')
        return unsafe(linkRelativePath, "link target is absolute");
    std::size_t depth = splitComponents(linkRelativePath).size();
    if (depth == 0)
        return unsafe(linkRelativePath, "link has no name");
    std::size_t allowedClimb = depth - 1;
    std::size_t climb = 0;
    bool descended = false;
    for (std::string_view part : splitComponents(target)) {
        if (part == "..") {
            if (descended)
                return unsafe(linkRelativePath, "\"..\" inside link target");
            if (++climb > allowedClimb)
                return unsafe(linkRelativePath, "link target points outside the destination");
        } else {
            descended = true;
        }
    }
    return {};
}

} // namespace deploy
