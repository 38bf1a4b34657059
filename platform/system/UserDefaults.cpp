#include "platform/system/UserDefaults.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/PrivateFile.h"
#include "platform/files/StorePlace.h"
#include "platform/formats/PropertyList.h"
#include "platform/system/Bundle.h"

#include <map>
#include <memory>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr const char* kFallbackBundleIdentifier = "org.hybridhost.app";

std::string bundleIdentifier() {
    std::string id = Bundle::main().bundleIdentifier();
    // The identifier names a file: one that could leave the preferences folder is not used.
    if (id.empty() || id.find('/') != std::string::npos || id == "." || id == "..")
        return kFallbackBundleIdentifier;
    return id;
}

} // namespace

UserDefaults& UserDefaults::standard() {
    static std::mutex mutex;
    static auto* byHome = new std::map<std::string, std::unique_ptr<UserDefaults>>;
    AppFolders folders = AppFolders::current();
    std::lock_guard lock(mutex);
    auto& slot = (*byHome)[folders.home()];
    if (!slot)
        slot = std::make_unique<UserDefaults>(folders.preferences() + "/" + bundleIdentifier() + ".plist");
    return *slot;
}

UserDefaults::UserDefaults(std::string path) : m_path(std::move(path)) {
    std::lock_guard lock(m_mutex);
    reloadIfChangedLocked();
}

UserDefaults::FileStamp UserDefaults::stampOfFile() const {
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0)
        return {};
    return FileStamp{static_cast<std::uint64_t>(st.st_ino),
                     static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                     static_cast<std::int64_t>(st.st_size)};
}

void UserDefaults::reloadIfChangedLocked() {
    if (m_pending)
        return; // our own unsaved changes stand until they are written
    FileStamp stamp = stampOfFile();
    if (stamp == m_stamp && !m_unread)
        return;
    if (stamp.size < 0) {
        m_stamp = stamp;
        m_unread.reset();
        m_persistent.clear();
        return;
    }
    // A file that cannot be read now (no descriptor left, an I/O error) is read again at the next call,
    // and no change is written over it meanwhile: what it holds is not known.
    Result<std::optional<Bytes>> bytes = PrivateFile::read(m_path, PropertyList::kMaxFileBytes);
    // A file there whose permissions were taken away stays so: it is set aside whole like a damaged one
    // (rather than refusing every change for good). One the folder hides (no search permission) is not
    // known to be there: it is read again.
    struct stat there {};
    const bool refused = !bytes.ok() && (bytes.error().code == EACCES || bytes.error().code == EPERM) &&
                         ::lstat(m_path.c_str(), &there) == 0 && S_ISREG(there.st_mode);
    const bool content = bytes.ok() || bytes.error().code == EFBIG || bytes.error().code == EISDIR ||
                         bytes.error().code == EINVAL || refused;
    if (!content) {
        if (!m_unread)
            Log::write("UserDefaults: the preferences file cannot be read now (" + bytes.error().localizedDescription() +
                       "); it is read again before it is changed");
        m_unread = bytes.error();
        return;
    }
    m_stamp = stamp;
    const bool saidUnread = m_unread.has_value();
    m_unread.reset();
    if (bytes.ok() && !*bytes) { // gone meanwhile
        m_persistent.clear();
        return;
    }
    Result<Value> read = bytes.ok() ? PropertyList::read(std::string_view(reinterpret_cast<const char*>((*bytes)->data()), (*bytes)->size()))
                                    : Result<Value>(bytes.error());
    if (read && read->isDictionary()) {
        m_persistent = *read->getDictionary();
        return;
    }
    // Read, but no preferences (damaged, too large, not a dictionary): the file is set aside whole before
    // it could be written over, and the store starts afresh. One that cannot be set aside is never written
    // over: set() answers why until it can be.
    struct stat seen {};
    if (::lstat(m_path.c_str(), &seen) == 0 && S_ISREG(seen.st_mode)) {
        const std::optional<std::string> aside = StorePlace::moveAside(m_path, "UserDefaults");
        if (!aside && errno != ENOENT) {
            const int error = errno;
            if (!saidUnread)
                Log::write("UserDefaults: the unreadable preferences file " + m_path + " cannot be moved aside (" +
                           std::strerror(error) + "); it is not written over");
            m_unread = Error(kPOSIXErrorDomain, error, "the unreadable preferences file " + m_path + " cannot be moved aside");
            m_persistent.clear();
            return;
        }
        if (aside)
            Log::write("UserDefaults: ignoring unreadable preferences file " + m_path + "; it was moved aside to " + *aside);
    } else {
        Log::write("UserDefaults: ignoring unreadable preferences file " + m_path);
    }
    m_stamp = stampOfFile();
    m_persistent.clear();
}

Status UserDefaults::writeLocked(const Dictionary& domain) {
    Status folder = FileManager::defaultManager().createDirectory(deletingLastPathComponent(m_path), true);
    if (!folder)
        return folder;
    // A folder (or anything else that is no file) at the file's place would refuse every write for good.
    (void)StorePlace::makeFit(m_path, "UserDefaults");
    Status written = PropertyList::writeFile(Value(domain), m_path, m_format);
    if (!written)
        return written;
    // Those of writers killed before their rename (each as large as the file) would stay for good; no
    // lock is shared with other writers, so only those whose process ended go.
    if (!m_leftOversRemoved) {
        m_leftOversRemoved = true;
        if (const std::size_t removed = PrivateFile::removeLeftOvers(m_path, PrivateFile::LeftOvers::OfEndedWriters))
            Log::write("UserDefaults: removed " + std::to_string(removed) + " temporary files left beside " + m_path);
    }
    m_stamp = stampOfFile();
    return {};
}

const Value* UserDefaults::findLocked(const std::string& key) {
    reloadIfChangedLocked();
    if (const Value* v = m_persistent.find(key))
        return v;
    return m_registered.find(key);
}

Value UserDefaults::object(const std::string& key) {
    std::lock_guard lock(m_mutex);
    const Value* v = findLocked(key);
    return v ? *v : Value();
}

std::optional<std::string> UserDefaults::string(const std::string& key) {
    Value v = object(key);
    if (const std::string* s = v.getString())
        return *s;
    if (v.isNumber())
        return v.description();
    return std::nullopt;
}

bool UserDefaults::boolean(const std::string& key) {
    Value v = object(key);
    return (v.isBool() || v.isNumber() || v.isString()) && v.boolValue();
}

std::int64_t UserDefaults::integer(const std::string& key) {
    Value v = object(key);
    return (v.isBool() || v.isNumber() || v.isString()) ? v.integerValue() : 0;
}

double UserDefaults::doubleValue(const std::string& key) {
    Value v = object(key);
    return (v.isBool() || v.isNumber() || v.isString()) ? v.doubleValue() : 0;
}

std::optional<std::vector<std::string>> UserDefaults::stringArray(const std::string& key) {
    Value v = object(key);
    const Array* a = v.getArray();
    if (!a)
        return std::nullopt;
    std::vector<std::string> out;
    for (const Value& item : *a) {
        const std::string* s = item.getString();
        if (!s)
            return std::nullopt;
        out.push_back(*s);
    }
    return out;
}

std::optional<Array> UserDefaults::array(const std::string& key) {
    Value v = object(key);
    if (const Array* a = v.getArray())
        return *a;
    return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionary(const std::string& key) {
    Value v = object(key);
    if (const Dictionary* d = v.getDictionary())
        return *d;
    return std::nullopt;
}

std::optional<Bytes> UserDefaults::data(const std::string& key) {
    Value v = object(key);
    if (const Bytes* b = v.getBytes())
        return *b;
    return std::nullopt;
}

Status UserDefaults::set(const std::string& key, Value value) {
    std::lock_guard lock(m_mutex);
    reloadIfChangedLocked();
    if (m_unread)
        return Error(m_unread->domain, m_unread->code,
                     "UserDefaults: the value for \"" + key + "\" is not stored: " + m_unread->localizedDescription());
    // Check that the new value can be written in XML, and the new domain at all, before it replaces the old
    // one: in XML, or in the binary form when what was read holds what XML cannot (text with NUL, a NaN, a
    // date past 9999, as a binary file may), so that what was read is kept and the store goes on.
    if (!value.isNull()) {
        auto alone = PropertyList::write(Value(Dictionary{{key, value}}), PropertyList::Format::XML);
        if (!alone)
            return Error(alone.error().domain, alone.error().code,
                         "UserDefaults: the value for \"" + key + "\" cannot be stored: " + alone.error().localizedDescription());
    }
    Dictionary next = m_persistent;
    if (value.isNull())
        next.remove(key);
    else
        next.set(key, std::move(value));
    PropertyList::Format format = PropertyList::Format::XML;
    auto encoded = PropertyList::write(Value(next), format);
    if (!encoded) {
        format = PropertyList::Format::Binary;
        encoded = PropertyList::write(Value(next), format);
    }
    if (!encoded)
        return Error(encoded.error().domain, encoded.error().code,
                     "UserDefaults: the value for \"" + key + "\" cannot be stored: " +
                         encoded.error().localizedDescription());
    // Nor past what is read back: the next start would find no preferences at all (and set them aside).
    if (encoded->size() > PropertyList::kMaxFileBytes)
        return Error(kCocoaErrorDomain, PropertyList::kWriteInvalidError,
                     "UserDefaults: the value for \"" + key + "\" cannot be stored: the preferences would take " +
                         std::to_string(encoded->size()) + " bytes, more than the " + std::to_string(PropertyList::kMaxFileBytes) +
                         " read back");
    m_persistent = std::move(next);
    m_format = format;
    Status written = writeLocked(m_persistent);
    m_pending = !written.ok(); // synchronize() tries again
    return written;
}

Dictionary UserDefaults::persistentDomain() {
    std::lock_guard lock(m_mutex);
    reloadIfChangedLocked();
    return m_persistent;
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(m_mutex);
    for (const auto& entry : defaults)
        m_registered.set(entry.key, entry.value);
}

Status UserDefaults::synchronize() {
    std::lock_guard lock(m_mutex);
    if (m_pending) {
        Status written = writeLocked(m_persistent);
        if (!written)
            return written;
        m_pending = false;
    }
    reloadIfChangedLocked();
    if (m_unread)
        return *m_unread;
    return {};
}

} // namespace platform
