#include "platform/system/Bundle.h"

#include "platform/files/AppFolders.h"
#include "platform/formats/PropertyList.h"
#include "platform/system/PreferredLanguages.h"

#include <sys/stat.h>

#include <mutex>

namespace platform {

namespace {
struct Cached {
    std::string path;
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;
    ino_t inode = 0;
    Dictionary info;
};

Dictionary readInfo(const std::string& path) {
    static std::mutex mutex;
    static Cached cached;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    std::int64_t mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    std::lock_guard lock(mutex);
    if (cached.path == path && cached.size == st.st_size && cached.mtimeNs == mtime && cached.inode == st.st_ino)
        return cached.info;
    auto value = PropertyList::readRegularFile(path, Bundle::kMaxPropertyListBytes);
    cached = Cached{path, static_cast<std::int64_t>(st.st_size), mtime, st.st_ino,
                    value && value->isDictionary() ? *value->getDictionary() : Dictionary{}};
    return cached.info;
}
} // namespace

Bundle Bundle::main() {
    AppFolders folders = AppFolders::current();
    return Bundle(folders.bundle(), folders.infoPlist());
}

Dictionary Bundle::infoDictionary() const { return readInfo(m_infoPlist); }

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const { return infoDictionary()[key]; }

std::string Bundle::bundleIdentifier() const { return objectForInfoDictionaryKey("CFBundleIdentifier").stringOr(""); }

std::string Bundle::pathForResource(const std::string& name, const std::string& type, const std::string& subdirectory) const {
    return AppFolders(AppFolders::current().home(), m_path).pathForResource(name, type, subdirectory);
}

std::string Bundle::localizedString(const std::string& key, const std::string& table) const {
    std::string name = table.empty() ? "Localizable" : table;
    std::vector<std::string> folders;
    for (const auto& language : preferredLanguages())
        folders.push_back(language + ".lproj");
    folders.insert(folders.end(), {"Base.lproj", "en.lproj", ""});
    for (const auto& folder : folders) {
        std::string path = pathForResource(name, "strings", folder);
        if (path.empty())
            continue;
        auto strings = PropertyList::readRegularFile(path, kMaxStringsTableBytes);
        if (!strings || !strings->isDictionary())
            continue;
        const Value& entry = (*strings->getDictionary())[key];
        if (entry.isString())
            return entry.stringOr(key);
    }
    return key;
}

} // namespace platform
