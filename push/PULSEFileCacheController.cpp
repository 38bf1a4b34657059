#include "push/PULSEFileCacheController.h"

#include "push/PULSEAES.h"
#include "push/PULSEJSONSerializer.h"
#include "push/PULSELocationInfoController.h"
#include "push/PULSELogging.h"
#include "push/PULSEPacket.h"
#include "push/PULSEPageFlow.h"
#include "push/PULSEUtilities.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/PrivateFile.h"
#include "platform/files/StorePlace.h"
#include "platform/formats/KeyedArchiver.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/UserDefaults.h"

#include <array>
#include <mutex>
#include <utility>

namespace push {

using platform::ArchiveDictionary;
using platform::ArchiveValue;

namespace {

constexpr std::array<const char*, 6> kApplicationStateNotifications = {
    platform::kApplicationWillTerminateNotification,      platform::kApplicationWillResignActiveNotification,
    platform::kApplicationDidBecomeActiveNotification,    platform::kApplicationDidEnterBackgroundNotification,
    platform::kApplicationWillEnterForegroundNotification, platform::kApplicationDidReceiveMemoryWarningNotification,
};

struct Stores {
    std::mutex mutex;
    std::shared_ptr<PULSEFileCacheController> cache;
    std::shared_ptr<PULSEFileCacheController> document;
};

Stores& stores() {
    static auto* shared = new Stores; // lives for the process
    return *shared;
}

bool isMemoryOnly(const ArchiveValue& value) {
    auto typed = value.objectOfClass<PULSECacheTypeProtocol>();
    return typed && typed->cacheType() == PULSEFileCacheController::kMemoryOnlyCacheType;
}

// A plain value showing the table: sets as arrays, objects as "<class name>".
platform::Value describable(const ArchiveValue& value) {
    if (auto object = value.object()) {
        std::string text("<");
        text.append(object->archiveClassName()).append(">");
        return platform::Value(std::move(text));
    }
    if (const auto* items = value.getSet()) {
        platform::Array described;
        for (const auto& item : *items)
            described.push_back(describable(item));
        return described;
    }
    if (const auto* items = value.getArray()) {
        platform::Array described;
        for (const auto& item : *items)
            described.push_back(describable(item));
        return described;
    }
    if (const auto* entries = value.getDictionary()) {
        platform::Dictionary described;
        for (const auto& entry : *entries)
            described.set(entry.key, describable(entry.value));
        return described;
    }
    return value.toValue().value_or(platform::Value());
}

// The older files hold one JSON object; anything else (an archive above all) is not parsed, and so does
// not log a JSON error.
bool startsLikeJSONObject(const platform::Bytes& bytes) {
    for (std::uint8_t byte : bytes) {
        if (byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r')
            return byte == '{';
    }
    return false;
}

} // namespace

void PULSEFileCacheController::registerArchivedClasses() {
    // A name already registered keeps its registration.
    PULSENetElement::registerArchiveClasses();
    PULSELocationInfoController::registerArchiveClass();
    PULSEPageFlowSession::registerArchiveClasses();
}

PULSEFileCacheController::PULSEFileCacheController(std::int64_t type, std::string name, bool security)
    : m_cacheType(type), m_cacheName(std::move(name)), m_isAESEnable(security) {
    registerArchivedClasses(); // an object of a class not yet known would read as absent
    const auto folders = platform::AppFolders::current();
    m_cacheUser = type == kCacheTypeCache ? kCacheUser : kDocumentUser;
    m_cachePath = type == kCacheTypeCache ? folders.caches() : folders.documents();
    setAutoSynchronizeEnable(true);
    if (readOldVersionCacheFile())
        return;
    readCacheFile();
}

PULSEFileCacheController::~PULSEFileCacheController() {
    setAutoSynchronizeEnable(false);
}

std::shared_ptr<PULSEFileCacheController> PULSEFileCacheController::startShareInstance(const std::string& name,
                                                                                      std::int64_t type, bool security) {
    if (type != kCacheTypeCache && type != kCacheTypeDocument)
        return nullptr;
    auto& shared = stores();
    std::lock_guard lock(shared.mutex);
    auto& slot = type == kCacheTypeCache ? shared.cache : shared.document;
    if (!slot)
        slot.reset(new PULSEFileCacheController(type, name, security));
    return slot;
}

std::shared_ptr<PULSEFileCacheController> PULSEFileCacheController::shareInstanceWithType(std::int64_t type) {
    if (type != kCacheTypeCache && type != kCacheTypeDocument)
        return nullptr;
    std::shared_ptr<PULSEFileCacheController> store;
    {
        auto& shared = stores();
        std::lock_guard lock(shared.mutex);
        store = type == kCacheTypeCache ? shared.cache : shared.document;
    }
    if (!store) {
        if (type == kCacheTypeCache)
            PULSE_LOG_ERROR("初始化FileCache前使用FileCache");
        else
            PULSE_LOG_ERROR("初始化DocumentFileCache前使用FileCache");
    }
    return store;
}

void PULSEFileCacheController::resetForTesting() {
    auto& shared = stores();
    std::shared_ptr<PULSEFileCacheController> cache, document;
    {
        std::lock_guard lock(shared.mutex);
        cache = std::move(shared.cache);
        document = std::move(shared.document);
    }
}

// ---- values ----

ArchiveValue PULSEFileCacheController::objectForKey(const std::string& key) const {
    if (const ArchiveValue* value = m_cacheObject.find(key))
        return *value;
    return m_memoryObject[key];
}

bool PULSEFileCacheController::hasObjectForKey(const std::string& key) const {
    return m_cacheObject.contains(key) || m_memoryObject.contains(key);
}

bool PULSEFileCacheController::put(ArchiveValue object, const std::string& key) {
    if (object.isNull()) {
        const bool held = hasObjectForKey(key);
        m_cacheObject.remove(key);
        m_memoryObject.remove(key);
        return held;
    }
    ArchiveDictionary& table = isMemoryOnly(object) ? m_memoryObject : m_cacheObject;
    if (const ArchiveValue* current = table.find(key); current && *current == object)
        return false;
    table.set(key, std::move(object));
    return true;
}

bool PULSEFileCacheController::setObject(ArchiveValue object, const std::string& key) {
    (void)put(std::move(object), key);
    return synchronize();
}

std::optional<bool> PULSEFileCacheController::setObjects(std::vector<std::pair<std::string, ArchiveValue>> entries) {
    bool changed = false;
    for (auto& [key, object] : entries)
        changed = put(std::move(object), key) || changed;
    if (!changed)
        return std::nullopt;
    return synchronize();
}

bool PULSEFileCacheController::removeAllObjects() {
    m_cacheObject.clear();
    m_memoryObject.clear();
    m_unread = false; // what the file holds goes too
    return synchronize();
}

bool PULSEFileCacheController::synchronize() {
    if (m_unread) {
        // The file could not be read at the start: it is read now, and what was set since is laid over it.
        platform::ArchiveDictionary since = std::move(m_cacheObject);
        m_cacheObject = {};
        m_unread = false;
        readCacheFile();
        std::vector<std::pair<std::string, ArchiveValue>> laid;
        laid.reserve(since.size());
        for (const auto& entry : since)
            laid.emplace_back(entry.key, entry.value);
        m_cacheObject.setAll(std::move(laid));
        if (m_unread) {
            PULSE_LOG_ERROR("write cache %s refused: its file cannot be read, and is not written over", m_cacheName.c_str());
            return false;
        }
    }
    auto archive = platform::KeyedArchiver::archivedData(ArchiveValue(m_cacheObject));
    if (!archive) {
        PULSE_LOG_ERROR("archive cache %s failed: %s", m_cacheName.c_str(),
                        archive.error().localizedDescription().c_str());
        return false;
    }
    platform::Bytes bytes = std::move(archive).value();
    if (m_isAESEnable) {
        auto enciphered = PULSEAES::AES256EncryptData(bytes, kCacheKeyString);
        if (!enciphered)
            return false;
        bytes = std::move(*enciphered);
    }
    // A file past what a start reads would leave the store empty then: the change stays in memory only.
    if (bytes.size() > kMaxFileSize) {
        PULSE_LOG_ERROR("write cache %s refused: %zu bytes, past the %llu a start reads", m_cacheName.c_str(), bytes.size(),
                        static_cast<unsigned long long>(kMaxFileSize));
        return false;
    }
    // A folder (or anything else that is no file) at the cache's place would refuse every write.
    (void)platform::StorePlace::makeFit(pathForName(m_cacheName), "The push cache");
    auto written = platform::FileManager::defaultManager().writeAtomically(pathForName(m_cacheName), bytes);
    if (!written) {
        PULSE_LOG_ERROR("write cache %s failed: %s", m_cacheName.c_str(), written.error().localizedDescription().c_str());
        return false;
    }
    // A write killed before its rename leaves its copy beside the table for good: the first write of each
    // store removes those whose process ended (no lock is shared with writers of other processes).
    if (!m_leftOversRemoved) {
        m_leftOversRemoved = true;
        if (const std::size_t removed = platform::PrivateFile::removeLeftOvers(
                pathForName(m_cacheName), platform::PrivateFile::LeftOvers::OfEndedWriters))
            PULSE_LOG_INFO("write cache %s: removed %zu copies left by ended writes", m_cacheName.c_str(), removed);
    }
    return true;
}

void PULSEFileCacheController::setAutoSynchronizeEnable(bool enable) {
    auto& center = platform::NotificationCenter::defaultCenter();
    if (enable == m_autoSynchronize)
        return;
    m_autoSynchronize = enable;
    if (!enable) {
        center.removeObserver(this);
        return;
    }
    for (const char* name : kApplicationStateNotifications)
        center.addObserver(this, name, nullptr, [](const platform::Notification&) {});
}

ArchiveValue PULSEFileCacheController::decodeCacheObject(const platform::Value& object) {
    if (!object.isDictionary())
        return {};
    return PULSEJSONSerializer::getObjectFromJSON(object);
}

std::string PULSEFileCacheController::description() const {
    return "cache Content:" + describable(ArchiveValue(m_cacheObject)).description();
}

std::string PULSEFileCacheController::pathForName(const std::string& name) const {
    std::string folder = m_cachePath;
    if (!m_cacheUser.empty())
        folder = platform::appendingPathComponent(folder, m_cacheUser);
    auto& files = platform::FileManager::defaultManager();
    // Something other than a folder at the folder's place (a file, a pipe, a dangling link) would refuse
    // every write of the cache for good: it is moved aside.
    (void)platform::StorePlace::makeFolderFit(folder, "The push cache");
    if (!files.isDirectory(folder)) {
        auto made = files.createDirectory(folder, true);
        if (!made)
            PULSE_LOG_ERROR("create cache folder failed: %s", made.error().localizedDescription().c_str());
    }
    return platform::appendingPathComponent(folder, name);
}

// ---- start ----

bool PULSEFileCacheController::readOldVersionCacheFile() {
    auto& defaults = platform::UserDefaults::standard();
    const char* versionKey = m_cacheType == kCacheTypeCache ? kCacheVersionKey : kDocumentVersionKey;
    if (m_cacheType == kCacheTypeCache && !defaults.boolean(kNotFirstStartKey) && transferOlderArchive()) {
        markMigrated(versionKey);
        return true;
    }
    if (defaults.integer(versionKey) != 0)
        return false;
    // Only a file that is JSON is an older version's and goes once taken over; anything else (a store
    // whose version marks were lost with the preferences) is kept and read as usual.
    const JSONTransfer transfer = transferJSONFile();
    markMigrated(versionKey);
    return transfer == JSONTransfer::Transferred;
}

void PULSEFileCacheController::markMigrated(const char* versionKey) {
    auto& defaults = platform::UserDefaults::standard();
    auto marked = defaults.set(versionKey, 1);
    if (marked)
        marked = defaults.synchronize();
    if (!marked)
        PULSE_LOG_ERROR("save %s failed: %s", versionKey, marked.error().localizedDescription().c_str());
}

bool PULSEFileCacheController::transferOlderArchive() {
    const std::string path = pathForName(kOlderArchiveName);
    auto& files = platform::FileManager::defaultManager();
    if (!files.fileExists(path))
        return false;
    bool transferred = false;
    bool unreadable = false;
    auto bytes = readFileBytes(path, false, &unreadable);
    if (unreadable)
        return false; // kept for a start that can read it
    if (bytes && !bytes->empty()) {
        auto archive = platform::KeyedUnarchiver::unarchive(*bytes);
        const auto* table = archive ? archive->getDictionary() : nullptr;
        if (table && !table->empty()) {
            m_cacheObject = *table;
            transferred = true;
        }
    }
    (void)files.removeItem(path);
    return transferred;
}

PULSEFileCacheController::JSONTransfer PULSEFileCacheController::transferJSONFile() {
    const std::string path = pathForName(m_cacheName);
    auto bytes = readFileBytes(path, false);
    if (!bytes || !startsLikeJSONObject(*bytes))
        return JSONTransfer::NotJSON;
    auto json = PULSEJSONObject(*bytes);
    if (!json)
        return JSONTransfer::NotJSON;
    if (const auto* members = json->getDictionary()) {
        std::vector<std::pair<std::string, ArchiveValue>> kept;
        for (const auto& member : *members) {
            ArchiveValue value = decodeCacheObject(member.value);
            if (value.isString() || value.isBytes() || value.isDictionary() || value.isNumber() || value.isBool()
                || value.isArray() || value.isSet())
                kept.emplace_back(member.key, std::move(value));
        }
        m_cacheObject.setAll(std::move(kept));
    }
    (void)platform::FileManager::defaultManager().removeItem(path);
    return JSONTransfer::Transferred;
}

std::optional<platform::Bytes> PULSEFileCacheController::readFileBytes(const std::string& path, bool warnWhenMissing,
                                                                      bool* unreadable) const {
    auto& files = platform::FileManager::defaultManager();
    // Something else at the file's place (a pipe that would hold the client thread at open, a link to an
    // endless device, a folder) is not read: it is moved aside and the cache starts afresh.
    const platform::StorePlace::Fit fit = platform::StorePlace::makeFit(path, "The push cache");
    if (fit == platform::StorePlace::Fit::MovedAside || fit == platform::StorePlace::Fit::Blocked)
        return std::nullopt;
    auto attributes = files.attributesOfItem(path);
    if (!attributes) {
        if (unreadable)
            *unreadable = !platform::isNoSuchFileError(attributes.error());
        if (warnWhenMissing)
            PULSE_LOG_WARN("cache file %s not read: %s", path.c_str(), attributes.error().localizedDescription().c_str());
        return std::nullopt;
    }
    if (attributes->size > kMaxFileSize) {
        PULSE_LOG_WARN("cache file %s not read: %llu bytes is over the limit", path.c_str(),
                       static_cast<unsigned long long>(attributes->size));
        return std::nullopt;
    }
    auto contents = files.contentsOfRegularFile(path, kMaxFileSize);
    if (!contents) {
        if (unreadable)
            *unreadable = !platform::isNoSuchFileError(contents.error());
        PULSE_LOG_WARN("cache file %s not read: %s", path.c_str(), contents.error().localizedDescription().c_str());
        return std::nullopt;
    }
    if (!m_isAESEnable)
        return std::move(contents).value();
    auto plain = PULSEAES::AES256DecryptData(contents.value(), kCacheKeyString);
    if (!plain)
        PULSE_LOG_WARN("cache file %s does not decipher", path.c_str());
    return plain;
}

void PULSEFileCacheController::readCacheFile() {
    const std::string path = pathForName(m_cacheName);
    if (!platform::FileManager::defaultManager().fileExists(path))
        return;
    auto bytes = readFileBytes(path, true, &m_unread);
    if (!bytes)
        return;
    std::vector<std::string> droppedClassNames;
    auto archive = platform::KeyedUnarchiver::unarchive(*bytes, &droppedClassNames);
    if (!archive) {
        PULSE_LOG_WARN("cache file %s not read: %s", path.c_str(), archive.error().localizedDescription().c_str());
        return;
    }
    for (const auto& name : droppedClassNames)
        PULSE_LOG_WARN("cache file %s: an object of the unknown class %s reads as absent", path.c_str(), name.c_str());
    const auto* table = archive->getDictionary();
    if (!table) {
        PULSE_LOG_WARN("cache file %s not read: its root is not a dictionary", path.c_str());
        return;
    }
    // An enciphered store takes a table that holds something; the plain one any table.
    if (m_isAESEnable && table->empty())
        return;
    m_cacheObject = *table;
}

} // namespace push
