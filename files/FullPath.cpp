#include "files/FullPath.h"

namespace files {
namespace {

std::vector<std::string_view> splitComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        if (!part.empty())
            parts.push_back(part);
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return parts;
}

std::string joinComponents(const std::vector<std::string_view>& parts, bool absolute) {
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += '/';
        out += parts[i];
    }
    return out;
}

} // namespace

std::string stripQueryParametersFromPath(std::string_view path) {
    return std::string(path.substr(0, path.find('?')));
}

std::string normalizePath(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> kept;
    for (std::string_view part : splitComponents(path)) {
        if (part == "..") {
            if (!kept.empty())
                kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    std::string out = joinComponents(kept, absolute);
    return out;
}

std::optional<std::vector<std::string>> resolvedComponents(std::string_view fullPath) {
    std::string_view path = fullPath.substr(0, fullPath.find('?'));
    if (path.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string> kept;
    for (std::string_view part : splitComponents(path)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (kept.empty())
                return std::nullopt;
            kept.pop_back();
            continue;
        }
        kept.emplace_back(part);
    }
    return kept;
}

std::optional<std::string> nativePathUnderRoot(const std::string& root, std::string_view fullPath) {
    std::optional<std::vector<std::string>> parts = resolvedComponents(fullPath);
    if (!parts)
        return std::nullopt;
    std::string out = root;
    for (const std::string& part : *parts) {
        if (out.empty() || out.back() != '/')
            out += '/';
        out += part;
    }
    return out;
}

std::optional<std::string> pathRelativeToRoot(const std::string& root, std::string_view nativePath) {
    if (root == "/") {
        if (nativePath.empty() || nativePath.front() != '/')
            return std::nullopt;
        return nativePath == "/" ? std::string() : std::string(nativePath);
    }
    if (nativePath.substr(0, root.size()) != root)
        return std::nullopt;
    std::string_view rest = nativePath.substr(root.size());
    if (!rest.empty() && rest.front() != '/')
        return std::nullopt;
    return std::string(rest);
}

std::string standardizePath(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> kept;
    for (std::string_view part : splitComponents(path)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!kept.empty() && kept.back() != "..")
                kept.pop_back();
            else if (!absolute)
                kept.push_back(part);
            continue;
        }
        kept.push_back(part);
    }
    std::string out = joinComponents(kept, absolute);
    return out.empty() ? std::string(absolute ? "/" : ".") : out;
}

} // namespace files
