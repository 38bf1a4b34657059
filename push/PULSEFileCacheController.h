// The push client's two persistent key/value stores: a table in memory saved whole to one file after
// every change.
//
//   type 0, the cache store:    Caches/Pulse/PULSEJSON, a keyed archive as it is
//   type 1, the document store: Documents/PulseDocument/PULSEDocument, the keyed archive enciphered with
//                               PULSEAES and the cache key string
//
// Values are archive values (platform/formats/ArchiveValue.h): strings, data, numbers, arrays, dictionaries, sets
// and objects of registered archivable classes. An object that adopts PULSECacheTypeProtocol and answers
// cacheType 1 lives in a memory-only table that is never saved.
//
// Start: the migration from older versions runs once per store and installation (remembered by
// "__PULSECacheVersionKey" / "__PULSEDocumentVersionKey" in the standard user defaults): on the first
// start the cache store takes over an older archive at Caches/Pulse/PULSE; a store whose file an older
// version wrote as JSON (through PULSEJSONSerializer) takes over its plain members and deletes the file.
// Otherwise the store reads its file; a file that is missing, larger than kMaxFileSize, does not
// decipher, is not a keyed archive or whose root is not a dictionary leaves the store empty (a
// warning line says why), and the next change overwrites it. Something other than a regular file at its
// place (a folder, a pipe, a device, a symbolic link) is never opened: it is moved aside
// (platform/files/StorePlace.h, said once) and the store starts empty; so is something other than a folder at
// its folder's place ("Pulse", "PulseDocument"). A file there that cannot be read at the start (no
// descriptor left, an I/O error) is never written over: the next write reads it again first and lays what
// was set meanwhile over it (or fails, said, while it still cannot be read). Every class the push client archives into
// a store (packets, the failed tags request, the location log, pages and page flows) is registered
// before the first store reads its file; an object of a class this program does not know reads as
// absent; its key's other neighbours are kept.
//
// Guarantees:
// - Every change archives and writes the whole table atomically (FileManager::writeAtomically: a
//   reader sees the old file or the new one), on the calling thread, before it returns; several values
//   put together (setObjects) are one change. A failed write leaves the change in memory and answers
//   false; so does a table whose file would be larger than kMaxFileSize (not read at the next start).
//   The first write of each store removes the copies that writes killed before their rename left beside
//   the table (PrivateFile::removeLeftOvers: those of ended processes).
// - A file that was read is never written during start-up; a JSON file is deleted only once its
//   members have been taken over.
// - Thread: no lock. The stores belong to the client thread, which starts them during the client's
//   set-up and alone uses them (the registry of the two stores itself is guarded).
#pragma once

#include "platform/core/Value.h"
#include "platform/formats/ArchiveValue.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace push {

// Values that may say they are memory-only (cacheType 1).
class PULSECacheTypeProtocol {
public:
    virtual ~PULSECacheTypeProtocol() = default;
    virtual std::int64_t cacheType() const = 0;
    virtual void setCacheType(std::int64_t cacheType) = 0;
};

class PULSEFileCacheController {
public:
    static constexpr std::int64_t kCacheTypeCache = 0;
    static constexpr std::int64_t kCacheTypeDocument = 1;
    // cacheType of a memory-only value.
    static constexpr std::int64_t kMemoryOnlyCacheType = 1;

    static constexpr const char* kCacheKeyString = "QVARN_LOCKWORD_BXE_RIM_TOLAVEST_";
    static constexpr const char* kCacheVersionKey = "__PULSECacheVersionKey";
    static constexpr const char* kDocumentVersionKey = "__PULSEDocumentVersionKey";
    static constexpr const char* kNotFirstStartKey = "kPULSEServerIsNotFirstStart";
    static constexpr const char* kCacheFileName = "PULSEJSON";
    static constexpr const char* kDocumentFileName = "PULSEDocument";
    static constexpr const char* kOlderArchiveName = "PULSE";
    static constexpr const char* kCacheUser = "Pulse";
    static constexpr const char* kDocumentUser = "PulseDocument";
    // A store file larger than this is not read (the report cache shrinks itself above 50 MiB).
    static constexpr std::uint64_t kMaxFileSize = 128ull * 1024 * 1024;

    // Makes the store of the type once per process and returns it; a later call for the same type gives
    // the existing store and ignores its arguments. Types other than 0 and 1 give nullptr.
    static std::shared_ptr<PULSEFileCacheController> startShareInstance(const std::string& name, std::int64_t type,
                                                                        bool security);
    // The store of the type; nullptr with "初始化FileCache前使用FileCache" (type 0) or
    // "初始化DocumentFileCache前使用FileCache" (type 1) before it was started; nullptr for other types.
    static std::shared_ptr<PULSEFileCacheController> shareInstanceWithType(std::int64_t type);
    // Forgets both stores (tests).
    static void resetForTesting();
    // Registers every class the push client keeps in a store (each store does it before it reads).
    static void registerArchivedClasses();

    PULSEFileCacheController(const PULSEFileCacheController&) = delete;
    PULSEFileCacheController& operator=(const PULSEFileCacheController&) = delete;
    ~PULSEFileCacheController();

    std::int64_t cacheType() const { return m_cacheType; }
    const std::string& cacheName() const { return m_cacheName; }
    const std::string& cacheUser() const { return m_cacheUser; }
    const std::string& cachePath() const { return m_cachePath; }
    bool isAESEnable() const { return m_isAESEnable; }
    const platform::ArchiveDictionary& cacheObject() const { return m_cacheObject; }

    // The persisted value, else the memory-only one, else a null value.
    platform::ArchiveValue objectForKey(const std::string& key) const;
    platform::ArchiveValue operator[](const std::string& key) const { return objectForKey(key); }
    bool hasObjectForKey(const std::string& key) const;
    // A value goes into its table, a null value removes the key from both; then synchronize (its answer).
    bool setObject(platform::ArchiveValue object, const std::string& key);
    // Several values put as setObject puts one, then one save when any of them changed a table: the
    // save's answer, or none when nothing changed and nothing was written.
    std::optional<bool> setObjects(std::vector<std::pair<std::string, platform::ArchiveValue>> entries);
    bool removeObjectForKey(const std::string& key) { return setObject(platform::ArchiveValue(), key); }
    // Empties both tables, then synchronize.
    bool removeAllObjects();
    bool clearFile() { return removeAllObjects(); }
    // Writes the persisted table; false when archiving, the cipher or the write fails.
    bool synchronize();


    // The six application-state notifications are observed (a new store does) or not; their handlers do
    // nothing: saving happens only through synchronize.
    void setAutoSynchronizeEnable(bool enable);
    bool isAutoSynchronizeEnabled() const { return m_autoSynchronize; }

    // A dictionary read from an older JSON file, decoded by PULSEJSONSerializer; anything else: null.
    static platform::ArchiveValue decodeCacheObject(const platform::Value& object);

    // "cache Content:" and the persisted table.
    std::string description() const;
    // The folder (made when missing) + "/" + name.
    std::string pathForName(const std::string& name) const;

private:
    PULSEFileCacheController(std::int64_t type, std::string name, bool security);
    // Puts a value (or removes the key for a null one) without saving; whether a table changed.
    bool put(platform::ArchiveValue object, const std::string& key);

    bool readOldVersionCacheFile();
    bool transferOlderArchive();
    enum class JSONTransfer { NotJSON, Transferred };
    JSONTransfer transferJSONFile();
    void markMigrated(const char* versionKey);
    void readCacheFile();
    // The file's bytes, deciphered for the document store; nothing (with a warning) when missing, too
    // large or undecipherable, or when there but unreadable now (no descriptor left, an I/O error: then
    // `unreadable` is set).
    std::optional<platform::Bytes> readFileBytes(const std::string& path, bool warnWhenMissing, bool* unreadable = nullptr) const;

    std::int64_t m_cacheType;
    std::string m_cacheName;
    std::string m_cacheUser;
    std::string m_cachePath;
    bool m_isAESEnable;
    bool m_autoSynchronize = false;
    bool m_unread = false; // the file was there but could not be read: read again before it is written
    bool m_leftOversRemoved = false;
    platform::ArchiveDictionary m_cacheObject;
    platform::ArchiveDictionary m_memoryObject;
};

} // namespace push
