#include "deploy/ZipEntryPath.h"

#include "deploy/ZMZipArchive.h"
#include "platform/text/TextEncoding.h"

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

platform::Result<ZipEntryPath> ZipEntryPath::fromEntryName(std::string_view rawName) {
    if (rawName.empty())
        return unsafe(rawName, "empty name");
    if (rawName.find('\0') != std::string_view::npos)
        return unsafe(rawName, "NUL in name");
    if (!platform::isValidUTF8(rawName))
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
