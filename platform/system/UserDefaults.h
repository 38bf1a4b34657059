// User defaults: a persistent domain kept as a property list at
// <home>/Library/Preferences/<bundle identifier>.plist, in front of a volatile registration domain.
//
// Guarantees:
// - One store: every change is written to the file at once (atomically: readers see the old file or the
//   new one), and a file changed by someone else (code that edits the preferences file directly) is read
//   again before the next lookup. synchronize() writes anything a failed write left pending and reads
//   outside changes; it answers whether the store and the file agree.
// - Something other than a regular file at the file's place (a folder, which would refuse every write) is
//   moved aside before the next write (platform/files/StorePlace.h), said once. A file read but holding no
//   preferences (damaged, too large, not a dictionary) is moved aside whole too, and the store starts
//   afresh; so is a file whose permissions were taken away (it stays unreadable). A file that cannot be
//   read now (no descriptor left, an I/O error, a folder that may not be searched) is read again at each
//   call and never written over: set() answers the error until it has been read, and so it does while a
//   file that holds no preferences cannot be moved aside (a folder that may not be written).
// - The first write of each instance removes the temporary files that writers which ended before their
//   rename left beside the file (PrivateFile::removeLeftOvers: those naming a pid that runs no more).
// - Lookups answer the persistent value, else the registered one, else nothing.
// - Bad input loses nothing: a value a property list cannot hold (null removes the key instead), or one
//   that would make the file larger than it is read back to (PropertyList::kMaxFileBytes) or hold more
//   values and keys than it is read back with (PropertyList::kMaxNodes), is refused with an error and the
//   store is left as it was. The file is XML, or the binary form when the preferences hold what XML
//   cannot carry (text with NUL, a NaN or infinite real, a date past 9999); either keeps a date's
//   fraction of a second.
// - Thread: every call from any thread.
// - standard() follows AppFolders::current(): each home gets its own instance (tests with a fresh home
//   get fresh defaults); the bundle identifier is read from the bundle's Info.plist ("CFBundleIdentifier")
//   when the instance is made. References stay valid for the life of the process.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/formats/PropertyList.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class UserDefaults {
public:
    static UserDefaults& standard();

    explicit UserDefaults(std::string path);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::string& path() const { return m_path; }

    // The value, or a null value when neither domain has the key.
    Value object(const std::string& key);
    std::optional<std::string> string(const std::string& key); // strings, and numbers as their text
    bool boolean(const std::string& key);                       // false when absent
    std::int64_t integer(const std::string& key);               // 0 when absent
    double doubleValue(const std::string& key);                 // 0 when absent
    std::optional<std::vector<std::string>> stringArray(const std::string& key); // only when all are strings
    std::optional<Array> array(const std::string& key);
    std::optional<Dictionary> dictionary(const std::string& key);
    std::optional<Bytes> data(const std::string& key);

    // Sets a key in the persistent domain (a null value removes it) and writes the file.
    Status set(const std::string& key, Value value);
    Status remove(const std::string& key) { return set(key, Value()); }
    // The persistent domain as it stands.
    Dictionary persistentDomain();

    // Adds to the volatile registration domain (later registrations of a key win).
    void registerDefaults(const Dictionary& defaults);

    Status synchronize();

private:
    struct FileStamp {
        std::uint64_t inode = 0;
        std::int64_t mtimeNs = 0;
        std::int64_t size = -1;
        friend bool operator==(const FileStamp&, const FileStamp&) = default;
    };
    const Value* findLocked(const std::string& key);
    void reloadIfChangedLocked();
    Status writeLocked(const Dictionary& domain);
    FileStamp stampOfFile() const;

    const std::string m_path;
    std::mutex m_mutex;
    Dictionary m_persistent;
    Dictionary m_registered;
    FileStamp m_stamp;
    bool m_pending = false;
    bool m_leftOversRemoved = false;
    PropertyList::Format m_format = PropertyList::Format::XML; // binary when the domain holds what XML cannot
    std::optional<Error> m_unread; // why the file there could not be read (it is read again, never written over)
};

} // namespace platform
