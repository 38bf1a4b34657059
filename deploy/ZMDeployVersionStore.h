// The hot-update plug-in's bookkeeping: which web-root versions are on the device (folders named by
// their version id in Application Support, recorded in the user defaults), which one is current, which
// one is ignored, and the version label that tells whether the application build changed.
//
// Guarantees:
// - Every record is written to the user defaults at once (each write reaches the file atomically).
// - A version id becomes a folder name only when it is one safe path component (isSafeVersionName);
//   operations given any other id touch no file.
// - Thread: a store belongs to the plug-in's serial queue and the main thread in turn (the plug-in
//   orders them); the user defaults themselves are thread-safe.
#pragma once

#include "platform/system/UserDefaults.h"

#include <mutex>
#include <string>
#include <vector>

namespace deploy {

class ZMDeployVersionStore {
public:
    static constexpr const char* kNoDeployLabel = "NO_DEPLOY_LABEL";
    static constexpr const char* kNothingToIgnore = "NOTHING_TO_IGNORE";
    // The store's own entries in Application Support, beside the version folders.
    static constexpr const char* kArchiveName = "www.zip";
    static constexpr const char* kStagingFolderName = ".zmdeploy-staging";

    static constexpr const char* kLabelKey = "zmdeploy_version_label";
    static constexpr const char* kIgnoreKey = "zmdeploy_version_ignore";
    static constexpr const char* kUUIDKey = "uuid";
    static constexpr const char* kUpstreamUUIDKey = "upstream_uuid";
    static constexpr const char* kDownloadUUIDKey = "download_uuid";
    static constexpr const char* kMyVersionsKey = "my_versions";
    static constexpr const char* kVersionCountKey = "version_count";

    explicit ZMDeployVersionStore(platform::UserDefaults& defaults);

    // One path component: not empty, not "." or "..", no "/", "\" or control characters, at most 255
    // bytes; and none of the names the store gives other meanings: its archive and staging folder (a
    // version of that name would be deleted with them) and the two sentinels.
    static bool isSafeVersionName(const std::string& uuid);

    // The Application Support folder, and a version's folder in it ("<support>/<uuid>").
    std::string applicationSupport() const;
    std::string versionFolder(const std::string& uuid) const;

    std::string getUUID();
    std::string constructVersionLabel(const std::string& uuid);
    static std::vector<std::string> deconstructVersionLabel(const std::string& label);
    void updateVersionLabel(const std::string& ignoreVersion);
    std::string versionLabel() const;
    void setVersionLabel(std::string label);

    std::vector<std::string> getMyVersions();
    std::vector<std::string> getDeployVersions();
    bool hasVersion(const std::string& uuid);
    void saveVersion(const std::string& uuid);
    void cleanupVersions();
    bool removeVersion(const std::string& uuid);
    void removeVersionFromPreferences(const std::string& uuid);
    bool excludeVersionFromBackup(const std::string& uuid);
    // Copies the bundle resource (a file, or a folder item by item) to "<parentFolder>/<newName>" without
    // replacing anything already there.
    void copyByMainBundle(const std::string& resource, const std::string& parentFolder, const std::string& newName);

    platform::UserDefaults& defaults() { return m_defaults; }
    void setString(const std::string& key, const std::string& value);

private:
    platform::UserDefaults& m_defaults;
    mutable std::mutex m_labelMutex;
    std::string m_versionLabel = kNoDeployLabel;
};

} // namespace deploy
