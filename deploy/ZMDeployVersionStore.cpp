#include "deploy/ZMDeployVersionStore.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/system/Bundle.h"

#include <cstdio>

#include <sys/stat.h>

namespace deploy {

namespace {

// The part of a "<number>|<uuid>" record after the first "|" (the whole text when there is none).
std::string uuidPart(const std::string& entry) {
    std::size_t bar = entry.find('|');
    return bar == std::string::npos ? entry : entry.substr(bar + 1);
}

long long numberPart(const std::string& entry) { return platform::Value(entry.substr(0, entry.find('|'))).integerValue(); }

std::string describe(const std::vector<std::string>& list) {
    platform::Array array(list.begin(), list.end());
    return platform::Value(std::move(array)).description();
}

} // namespace

ZMDeployVersionStore::ZMDeployVersionStore(platform::UserDefaults& defaults) : m_defaults(defaults) {}

bool ZMDeployVersionStore::isSafeVersionName(const std::string& uuid) {
    if (uuid.empty() || uuid.size() > 255 || uuid == "." || uuid == "..")
        return false;
    for (const char* reserved : {kArchiveName, kStagingFolderName, kNoDeployLabel, kNothingToIgnore}) {
        if (uuid == reserved)
            return false;
    }
    for (char c : uuid) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '/' || c == '\\')
            return false;
    }
    return true;
}

std::string ZMDeployVersionStore::applicationSupport() const { return platform::AppFolders::current().applicationSupport(); }

std::string ZMDeployVersionStore::versionFolder(const std::string& uuid) const { return applicationSupport() + "/" + uuid; }

void ZMDeployVersionStore::setString(const std::string& key, const std::string& value) {
    if (auto stored = m_defaults.set(key, value); !stored)
        platform::Log::write("unable to store " + key + ": " + stored.error().localizedDescription());
}

std::string ZMDeployVersionStore::getUUID() { return m_defaults.string(kUUIDKey).value_or(kNoDeployLabel); }

std::string ZMDeployVersionStore::constructVersionLabel(const std::string& uuid) {
    const platform::AppFolders folders = platform::AppFolders::current();
    std::string script = folders.pathForResource("hybrid", "js", "www");
    if (script.empty())
        return kNoDeployLabel;
    auto attributes = platform::FileManager::defaultManager().attributesOfItem(script);
    if (!attributes)
        return kNoDeployLabel;
    std::string version = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").stringOr("");
    char created[32];
    std::snprintf(created, sizeof created, "%d", static_cast<int>(attributes->creationDate.secondsSince1970));
    return version + ":" + created + ":" + uuid;
}

std::vector<std::string> ZMDeployVersionStore::deconstructVersionLabel(const std::string& label) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = label.find(':', start);
        parts.push_back(label.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            return parts;
        start = colon + 1;
    }
}

void ZMDeployVersionStore::updateVersionLabel(const std::string& ignoreVersion) {
    platform::Log::write("updating version label");
    std::string label = constructVersionLabel(getUUID());
    setString(kLabelKey, label);
    setString(kIgnoreKey, ignoreVersion);
    setVersionLabel(label);
}

std::string ZMDeployVersionStore::versionLabel() const {
    std::lock_guard lock(m_labelMutex);
    return m_versionLabel;
}

void ZMDeployVersionStore::setVersionLabel(std::string label) {
    std::lock_guard lock(m_labelMutex);
    m_versionLabel = std::move(label);
}

std::vector<std::string> ZMDeployVersionStore::getMyVersions() {
    return m_defaults.stringArray(kMyVersionsKey).value_or(std::vector<std::string>{});
}

std::vector<std::string> ZMDeployVersionStore::getDeployVersions() {
    std::vector<std::string> uuids;
    for (const std::string& entry : getMyVersions())
        uuids.push_back(uuidPart(entry));
    return uuids;
}

bool ZMDeployVersionStore::hasVersion(const std::string& uuid) {
    std::vector<std::string> versions = getMyVersions();
    platform::Log::write("Versions: " + describe(versions));
    for (const std::string& entry : versions) {
        std::string versionUUID = uuidPart(entry);
        platform::Log::write("version_uuid: " + versionUUID + ", uuid: " + uuid);
        if (versionUUID == uuid)
            return true;
    }
    return false;
}

void ZMDeployVersionStore::saveVersion(const std::string& uuid) {
    std::int64_t count = m_defaults.integer(kVersionCountKey) + 1;
    if (auto stored = m_defaults.set(kVersionCountKey, count); !stored)
        platform::Log::write("unable to store version_count: " + stored.error().localizedDescription());
    std::vector<std::string> versions = getMyVersions();
    versions.push_back(std::to_string(static_cast<int>(count)) + "|" + uuid);
    platform::Array list(versions.begin(), versions.end());
    if (auto stored = m_defaults.set(kMyVersionsKey, std::move(list)); !stored)
        platform::Log::write("unable to store my_versions: " + stored.error().localizedDescription());
    cleanupVersions();
}

void ZMDeployVersionStore::cleanupVersions() {
    std::int64_t count = m_defaults.integer(kVersionCountKey);
    if (count < 4)
        return;
    std::vector<std::string> versions = getMyVersions();
    for (std::size_t i = versions.size(); i-- > 0;) {
        if (numberPart(versions[i]) < count - 3) {
            std::string uuid = uuidPart(versions[i]);
            versions.erase(versions.begin() + static_cast<std::ptrdiff_t>(i));
            removeVersion(uuid);
        }
    }
    platform::Log::write("Version Count: " + std::to_string(versions.size()));
    platform::Array list(versions.begin(), versions.end());
    if (auto stored = m_defaults.set(kMyVersionsKey, std::move(list)); !stored)
        platform::Log::write("unable to store my_versions: " + stored.error().localizedDescription());
}

bool ZMDeployVersionStore::removeVersion(const std::string& uuid) {
    if (!isSafeVersionName(uuid)) {
        platform::Log::write("Refusing to remove the unsafe version name \"" + uuid + "\"");
        return false;
    }
    if (uuid == getUUID())
        setString(kUUIDKey, "");
    const std::string folder = versionFolder(uuid);
    auto& files = platform::FileManager::defaultManager();
    // A link at the folder's place (dangling or not) is removed, not followed.
    struct stat status {};
    bool removed = ::lstat(folder.c_str(), &status) == 0 && files.removeItem(folder).ok();
    if (removed)
        removeVersionFromPreferences(uuid);
    platform::Log::write("Removed Version " + uuid + " success? " + std::to_string(removed ? 1 : 0));
    return removed;
}

void ZMDeployVersionStore::removeVersionFromPreferences(const std::string& uuid) {
    platform::Array kept;
    for (const std::string& entry : getMyVersions()) {
        if (uuidPart(entry) != uuid)
            kept.push_back(entry);
    }
    if (auto stored = m_defaults.set(kMyVersionsKey, std::move(kept)); !stored)
        platform::Log::write("unable to store my_versions: " + stored.error().localizedDescription());
}

bool ZMDeployVersionStore::excludeVersionFromBackup(const std::string& uuid) {
    if (!isSafeVersionName(uuid))
        return false;
    const std::string folder = versionFolder(uuid);
    auto excluded = platform::FileManager::defaultManager().setExcludedFromBackup(folder, true);
    if (!excluded) {
        platform::Log::write("Error excluding " + uuid + " from backup " + excluded.error().localizedDescription());
        return false;
    }
    platform::Log::write("Excluding " + folder + " from backup");
    return true;
}

void ZMDeployVersionStore::copyByMainBundle(const std::string& resource, const std::string& parentFolder,
                                            const std::string& newName) {
    auto& files = platform::FileManager::defaultManager();
    const std::string source = platform::AppFolders::current().bundle() + "/" + resource;
    const std::string target = parentFolder + "/" + newName;
    if (!files.fileExists(source))
        return;
    if (!files.isDirectory(source)) {
        (void)files.copyItem(source, target);
        return;
    }
    if (!files.fileExists(target)) {
        if (auto made = files.createDirectory(target, true); !made)
            platform::Log::write("copy Error " + made.error().localizedDescription());
    }
    auto items = files.subpathsOfDirectory(source);
    if (!items) {
        platform::Log::write("copy Error " + items.error().localizedDescription());
        return;
    }
    for (const std::string& item : *items) {
        const std::string from = source + "/" + item;
        const std::string to = target + "/" + item;
        platform::Status copied;
        if (files.isDirectory(from) && !files.isDirectory(to))
            copied = files.createDirectory(to, true);
        else if (!files.isDirectory(from))
            copied = files.copyItem(from, to);
        if (!copied)
            platform::Log::write("copy Error " + copied.error().localizedDescription());
    }
}

} // namespace deploy
