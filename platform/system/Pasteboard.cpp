#include "platform/system/Pasteboard.h"

#include "platform/core/Log.h"
#include "platform/files/FileLock.h"
#include "platform/files/PosixIO.h"
#include "platform/files/PrivateFile.h"
#include "platform/files/StorePlace.h"
#include "platform/formats/PropertyList.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

namespace platform {

namespace {
constexpr const char* kItemsKey = "items";
constexpr const char* kPersistentKey = "persistent";
constexpr const char* kChangeCountKey = "changeCount";
constexpr const char* kNameKey = "name";

std::mutex& folderMutex() {
    static std::mutex m;
    return m;
}

std::string& folderOverride() {
    static std::string folder;
    return folder;
}

// A file-name-safe form of any pasteboard name: letters, digits, "-" and "_" stay; every other byte
// (including ".", "/" and "%") becomes "%XX".
std::string escapedName(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string lockPath() { return Pasteboard::storageFolder() + "/.lock"; }

// Every application takes the lock for its changes, each a read and a write of at most kMaxFileBytes: one
// that holds it longer than this (stuck, or hostile) makes a change fail rather than stall the caller.
constexpr std::chrono::milliseconds kLockWait{10'000};

// Takes the pasteboards' lock within kLockWait; a failure is said in the log.
bool lockPasteboards(FileLock& lock) {
    const Status locked = lock.lock(lockPath(), FileLock::Mode::Exclusive, kLockWait);
    if (!locked)
        Log::write("Pasteboard: the change is not made: " + locked.error().localizedDescription());
    return locked.ok();
}

constexpr const char* kOwner = "Pasteboard";

// The folder made (makeFolders) and fit for changes: one of ours whose permissions were taken away (0500:
// no new file can be made in it) would refuse every change for good, so it gets back those it is made
// with (the owner's), said in the log. Another user's is not ours to change: the change is refused, said.
bool makeFolderWritable(const std::string& folder) {
    if (!PrivateFile::makeFolders(folder))
        return false;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || (st.st_mode & S_IRWXU) == S_IRWXU)
        return true;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_uid != ::geteuid()) {
        Log::write(std::string(kOwner) + ": the folder " + folder + " (mode " + mode +
                   ") belongs to another user and may not be written; the change is not made");
        return false;
    }
    if (::chmod(folder.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0) {
        Log::write(std::string(kOwner) + ": the folder " + folder + " (mode " + mode +
                   ") may not be written and its permissions cannot be given back: " + std::strerror(errno));
        return false;
    }
    Log::write(std::string(kOwner) + ": the folder " + folder + " had mode " + mode + "; its owner's permissions were given back");
    return true;
}

// Whether a pasteboard's file was read but holds no pasteboard (damaged, past the size read, not a
// pasteboard's dictionary), or is one that no application may read (another one took its permissions
// away: it stays so), rather than failing to be read now (no descriptor left, an I/O error).
bool holdsNoPasteboard(const Error& error) {
    return error.domain == kCocoaErrorDomain ||
           (error.domain == kPOSIXErrorDomain && (error.code == EFBIG || error.code == EACCES || error.code == EPERM));
}

bool isTextType(const std::string& type) {
    return type == kPasteboardTypeUTF8PlainText || type == kPasteboardTypeText || type == "public.plain-text";
}
} // namespace

void Pasteboard::setStorageFolder(std::string folder) {
    std::lock_guard lock(folderMutex());
    folderOverride() = std::move(folder);
}

std::string Pasteboard::storageFolder() {
    {
        std::lock_guard lock(folderMutex());
        if (!folderOverride().empty())
            return folderOverride();
    }
    if (const char* env = std::getenv("HYB_PASTEBOARD_DIR"); env && *env)
        return env;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/hybridhost-pasteboards";
    return "/tmp/hybridhost-pasteboards-" + std::to_string(::getuid());
}

std::shared_ptr<Pasteboard> Pasteboard::general() {
    return std::shared_ptr<Pasteboard>(new Pasteboard("general", true));
}

std::shared_ptr<Pasteboard> Pasteboard::withName(const std::string& name, bool create) {
    std::shared_ptr<Pasteboard> board(new Pasteboard(name, false));
    std::string path = board->filePath();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return board;
    if (!create)
        return nullptr;
    if (!board->change([](Dictionary&) { return true; }))
        return nullptr;
    return board;
}

void Pasteboard::removeWithName(const std::string& name) {
    Pasteboard board(name, false);
    if (!makeFolderWritable(storageFolder()))
        return;
    FileLock lock;
    if (!lockPasteboards(lock))
        return;
    ::unlink(board.filePath().c_str());
    PrivateFile::removeLeftOvers(board.filePath(), PrivateFile::LeftOvers::OfEveryWriter);
}

std::string Pasteboard::filePath() const {
    return storageFolder() + (m_general ? "/general.pasteboard" : "/named-" + escapedName(m_name) + ".pasteboard");
}

Result<Dictionary> Pasteboard::readState(std::uint64_t maxBytes) const {
    auto data = PrivateFile::read(filePath(), std::min(maxBytes, kMaxFileBytes));
    if (!data)
        return data.error();
    if (!data->has_value())
        return Dictionary{};
    auto root = PropertyList::read(std::string_view(reinterpret_cast<const char*>((*data)->data()), (*data)->size()));
    if (!root)
        return root.error();
    if (!root->isDictionary() || !(*root)[kItemsKey].isArray())
        return Error(kCocoaErrorDomain, 259, "damaged pasteboard file " + filePath());
    return *root->getDictionary();
}

template <class Change>
bool Pasteboard::change(Change&& change) {
    // Every application shares the folder: what another one left at a pasteboard's place, or at the
    // folder's, would refuse every change for good. Something that is no folder (or no file) there goes
    // aside, said once (StorePlace), and so does a file that holds no pasteboard: the pasteboard starts
    // afresh.
    const std::string folder = storageFolder();
    if (!StorePlace::isUsable(StorePlace::makeFolderFit(folder, kOwner)) || !makeFolderWritable(folder))
        return false;
    FileLock lock;
    if (!lockPasteboards(lock))
        return false;
    const std::string path = filePath();
    if (!StorePlace::isUsable(StorePlace::makeFit(path, kOwner)))
        return false;
    // A change ended with its application leaves its temporary copy (up to the largest file) in the
    // folder every application shares: none is being written while the lock is held here.
    if (const std::size_t removed = PrivateFile::removeLeftOvers(path, PrivateFile::LeftOvers::OfEveryWriter))
        Log::write("Pasteboard: removed " + std::to_string(removed) + " copies left by ended changes beside " + path);
    auto state = readState();
    if (!state && holdsNoPasteboard(state.error())) {
        const std::optional<std::string> aside = StorePlace::moveAside(path, kOwner);
        if (!aside && errno != ENOENT) {
            Log::write(std::string(kOwner) + ": " + path + " holds no pasteboard (" + state.error().localizedDescription() +
                       ") and cannot be moved aside: " + std::strerror(errno) + "; it is not written over");
            return false;
        }
        if (aside)
            Log::write(std::string(kOwner) + ": " + path + " holds no pasteboard (" + state.error().localizedDescription() +
                       "); it was moved aside to " + *aside + " and the pasteboard \"" + m_name + "\" starts afresh");
        state = Dictionary{};
    }
    if (!state)
        return false;
    Dictionary& d = *state;
    if (!change(d))
        return false;
    if (!d.contains(kItemsKey))
        d.set(kItemsKey, Array{});
    if (!d.contains(kPersistentKey))
        d.set(kPersistentKey, false);
    d.set(kNameKey, m_name);
    // Another application's file may hold any count, the largest integer among them: past it, the count
    // starts again from 1 (any other number tells readers that the pasteboard changed).
    const std::int64_t count = d[kChangeCountKey].integerValue();
    d.set(kChangeCountKey, count < std::numeric_limits<std::int64_t>::max() ? count + 1 : std::int64_t{1});
    // Nor past what is read back (its size, and the values and keys a list is read with): such a file would
    // answer nothing to every read.
    auto text = PropertyList::write(Value(d), PropertyList::Format::Binary);
    return text && text->size() <= kMaxFileBytes && PrivateFile::writeAtomically(path, Bytes(text->begin(), text->end()));
}

bool Pasteboard::isPersistent() const {
    auto state = readState();
    return state && (*state)[kPersistentKey].boolValue();
}

bool Pasteboard::setPersistent(bool persistent) {
    return change([&](Dictionary& d) {
        d.set(kPersistentKey, persistent);
        return true;
    });
}

long long Pasteboard::changeCount() const {
    auto state = readState();
    return state ? (*state)[kChangeCountKey].integerValue() : 0;
}

Array Pasteboard::items() const {
    auto state = readState();
    return state ? (*state)[kItemsKey].arrayOrEmpty() : Array{};
}

bool Pasteboard::setItems(const Array& items) {
    for (const Value& item : items)
        if (!item.isDictionary())
            return false;
    return change([&](Dictionary& d) {
        d.set(kItemsKey, items);
        return true;
    });
}

bool Pasteboard::updateItems(const std::function<bool(Array& items)>& update) {
    return change([&](Dictionary& d) {
        Array items = d[kItemsKey].arrayOrEmpty();
        if (!update(items))
            return false;
        for (const Value& item : items)
            if (!item.isDictionary())
                return false;
        d.set(kItemsKey, std::move(items));
        return true;
    });
}

std::size_t Pasteboard::numberOfItems() const { return items().size(); }

std::vector<std::string> Pasteboard::pasteboardTypes() const {
    Array all = items();
    return all.empty() ? std::vector<std::string>{} : all.front().dictionaryOrEmpty().keys();
}

bool Pasteboard::containsPasteboardTypes(const std::vector<std::string>& types) const {
    for (const Value& item : items())
        for (const std::string& type : types)
            if (item.dictionaryOrEmpty().contains(type))
                return true;
    return false;
}

Value Pasteboard::valueForPasteboardType(const std::string& type) const {
    Array all = items();
    return all.empty() ? Value() : all.front()[type];
}

bool Pasteboard::setValue(const Value& value, const std::string& type) {
    if (value.isNull())
        return false;
    return setItems(Array{Value(Dictionary{{type, value}})});
}

Result<std::optional<Bytes>> Pasteboard::dataForPasteboardType(const std::string& type, std::uint64_t maxBytes) const {
    const std::uint64_t fileLimit = maxBytes > kMaxFileBytes ? kMaxFileBytes : maxBytes + kFileOverheadBytes;
    auto state = readState(fileLimit);
    if (!state)
        return state.error();
    const Array& all = (*state)[kItemsKey].arrayOrEmpty();
    auto data = dataOf(all.empty() ? Value() : all.front()[type]);
    if (data && data->size() > maxBytes)
        return posixError(EFBIG, "pasteboard item too large:", m_name);
    return data;
}

std::optional<Bytes> Pasteboard::dataForPasteboardType(const std::string& type) const {
    return dataOf(valueForPasteboardType(type));
}

std::optional<Bytes> Pasteboard::dataOf(const Value& v) {
    if (v.isNull())
        return std::nullopt;
    if (const Bytes* b = v.getBytes())
        return *b;
    if (const std::string* s = v.getString())
        return Bytes(s->begin(), s->end());
    auto text = PropertyList::write(v, PropertyList::Format::Binary);
    return text ? std::optional<Bytes>(Bytes(text->begin(), text->end())) : std::nullopt;
}

bool Pasteboard::setData(const Bytes& data, const std::string& type) { return setValue(Value(data), type); }

std::optional<std::string> Pasteboard::string() const {
    Array all = items();
    if (all.empty())
        return std::nullopt;
    for (const auto& [type, value] : all.front().dictionaryOrEmpty()) {
        if (!isTextType(type))
            continue;
        if (const std::string* s = value.getString())
            return *s;
        if (const Bytes* b = value.getBytes())
            return std::string(b->begin(), b->end());
    }
    return std::nullopt;
}

bool Pasteboard::setString(const std::string& text) { return setValue(Value(text), kPasteboardTypeUTF8PlainText); }

} // namespace platform
