#include "platform/files/AppFolders.h"

#include "platform/files/FileManager.h"

#include <climits>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

struct Installed {
    std::mutex mutex;
    std::optional<AppFolders> folders;
};

Installed& installed() {
    static auto* i = new Installed;
    return *i;
}

bool isSafeComponent(const std::string& part) {
    return part.find('/') == std::string::npos && part != ".." && part != ".";
}

std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

AppFolders::AppFolders(std::string home, std::string bundle) : m_home(trimmed(std::move(home))), m_bundle(trimmed(std::move(bundle))) {}

std::string AppFolders::defaultHome(const std::string& bundleIdentifier) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg == '/')
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        base = "/tmp";
    return appendingPathComponent(base, bundleIdentifier);
}

AppFolders AppFolders::current() {
    auto& i = installed();
    std::lock_guard lock(i.mutex);
    if (!i.folders) {
        std::string home = defaultHome("org.hybridhost.app");
        i.folders.emplace(home, home + "/bundle");
    }
    return *i.folders;
}

void AppFolders::install(const AppFolders& folders) {
    auto& i = installed();
    std::lock_guard lock(i.mutex);
    i.folders = folders;
}

std::string AppFolders::documents() const { return m_home + "/Documents"; }
std::string AppFolders::library() const { return m_home + "/Library"; }
std::string AppFolders::caches() const { return m_home + "/Library/Caches"; }
std::string AppFolders::applicationSupport() const { return m_home + "/Library/Application Support"; }
std::string AppFolders::preferences() const { return m_home + "/Library/Preferences"; }
std::string AppFolders::tmp() const { return m_home + "/tmp"; }
std::string AppFolders::www() const { return m_bundle + "/www"; }
std::string AppFolders::configXml() const { return m_bundle + "/config.xml"; }
std::string AppFolders::infoPlist() const { return m_bundle + "/Info.plist"; }

std::string AppFolders::resolvedPath(const std::string& path) {
    std::string existing = path;
    std::string rest;
    while (!existing.empty()) {
        if (char* real = ::realpath(existing.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved + rest;
        }
        const std::size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos)
            break;
        rest = existing.substr(slash) + rest;
        existing.resize(slash);
    }
    return path;
}

bool AppFolders::isInside(const std::string& path, const std::string& folder) {
    if (folder.empty())
        return false;
    if (folder == "/")
        return true;
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

bool AppFolders::holds(const std::string& path) const {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos)
        return false;
    const std::string resolved = resolvedPath(path);
    if (resolved.find("/../") != std::string::npos || resolved.ends_with("/.."))
        return false;
    return isInside(resolved, resolvedPath(m_bundle)) || isInside(resolved, resolvedPath(m_home));
}

std::string AppFolders::pathForResource(const std::string& name, const std::string& type,
                                        const std::string& subdirectory) const {
    if (name.empty() || !isSafeComponent(name) || (!type.empty() && type.find('/') != std::string::npos))
        return {};
    std::string folder = m_bundle;
    if (!subdirectory.empty()) {
        std::size_t start = 0;
        while (start <= subdirectory.size()) {
            std::size_t slash = subdirectory.find('/', start);
            std::string part = subdirectory.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (!part.empty()) {
                if (!isSafeComponent(part))
                    return {};
                folder += "/" + part;
            }
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
    }
    std::string path = folder + "/" + name + (type.empty() ? "" : "." + type);
    auto& files = FileManager::defaultManager();
    return files.fileExists(path) && !files.isDirectory(path) ? path : std::string();
}

Status AppFolders::createFolders() const {
    auto& files = FileManager::defaultManager();
    for (const std::string& folder : {documents(), caches(), applicationSupport(), preferences(), tmp()}) {
        Status s = files.createDirectory(folder, true);
        if (!s)
            return s;
    }
    return {};
}

} // namespace platform
