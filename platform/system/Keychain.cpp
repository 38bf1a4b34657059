#include "platform/system/Keychain.h"

#include "platform/files/AppFolders.h"
#include "platform/runloop/Clock.h"
#include "platform/files/FileLock.h"
#include "platform/core/Log.h"
#include "platform/files/PosixIO.h"
#include "platform/files/PrivateFile.h"
#include "platform/formats/PropertyList.h"
#include "platform/files/StorePlace.h"
#include "platform/core/SeededHash.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {
constexpr const char* kItemsKey = "items";
constexpr const char* kVersionKey = "version";

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool isStringAttribute(const std::string& key) {
    return key == kSecAttrAccount || key == kSecAttrService || key == kSecAttrLabel || key == kSecAttrDescription ||
           key == kSecAttrComment || key == kSecAttrAccessible || key == kSecAttrAccessGroup;
}

bool truthOf(const Value& v) { return v.isBool() ? *v.getBool() : (v.isInteger() && *v.getInteger() != 0); }

enum class Use { Query, Add, Update };

// Checks the keys and value types of a dictionary for one use.
OSStatus validate(const Dictionary& d, Use use) {
    for (const auto& [key, value] : d) {
        if (key == kSecClass) {
            if (!value.isString())
                return errSecParam;
            if (*value.getString() != kSecClassGenericPassword)
                return errSecUnimplemented;
            if (use == Use::Update)
                return errSecParam;
        } else if (isStringAttribute(key)) {
            if (!value.isString())
                return errSecParam;
        } else if (key == kSecAttrGeneric) {
            if (!value.isBytes() && !value.isString())
                return errSecParam;
        } else if (key == kSecAttrSynchronizable) {
            bool any = value.isString() && *value.getString() == kSecAttrSynchronizableAny;
            if (!value.isBool() && !value.isInteger() && !(any && use == Use::Query))
                return errSecParam;
        } else if (key == kSecValueData) {
            if (!value.isBytes() && use != Use::Query)
                return errSecParam;
        } else if (key == kSecReturnData || key == kSecReturnAttributes) {
            if (use == Use::Update || (!value.isBool() && !value.isInteger()))
                return errSecParam;
        } else if (key == kSecMatchLimit) {
            bool named = value.isString() && (*value.getString() == kSecMatchLimitOne || *value.getString() == kSecMatchLimitAll);
            if (use != Use::Query || !(named || (value.isInteger() && *value.getInteger() > 0)))
                return errSecParam;
        } else if (key == kSecAttrCreationDate || key == kSecAttrModificationDate) {
            if (use != Use::Query || !value.isDate())
                return errSecParam;
        } else {
            return errSecParam;
        }
    }
    if (use != Use::Update && !d.contains(kSecClass))
        return errSecParam;
    return errSecSuccess;
}

bool matches(const Dictionary& item, const Dictionary& query) {
    for (const auto& [key, value] : query) {
        if (key == kSecClass || key == kSecValueData || startsWith(key, "r_") || startsWith(key, "m_"))
            continue;
        if (key == kSecAttrSynchronizable) {
            if (value.isString())
                continue;  // any
            if (truthOf(item[kSecAttrSynchronizable]) != truthOf(value))
                return false;
            continue;
        }
        if (!(item[key] == value))
            return false;
    }
    if (!query.contains(kSecAttrSynchronizable) && truthOf(item[kSecAttrSynchronizable]))
        return false;
    return true;
}

bool sameIdentity(const Dictionary& a, const Dictionary& b) {
    return a[kSecAttrAccount] == b[kSecAttrAccount] && a[kSecAttrService] == b[kSecAttrService] &&
           truthOf(a[kSecAttrSynchronizable]) == truthOf(b[kSecAttrSynchronizable]);
}

Value resultFor(const Dictionary& item, bool wantData, bool wantAttributes) {
    if (!wantAttributes)
        return item[kSecValueData].isBytes() ? item[kSecValueData] : Value();
    Dictionary out;
    for (const auto& [key, value] : item)
        if (key != kSecValueData || wantData)
            out.set(key, value);
    return out;
}

Date now() {
    return Clock::current().wallNow();
}

// What identifies the file's contents on disk: a replacement (always a new file, renamed over the
// old one) changes its inode, size or times.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};

    static FileStamp of(const struct stat& st) {
        FileStamp stamp;
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = st.st_mtim;
        stamp.changed = st.st_ctim;
        return stamp;
    }
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

// Reads a regular file of at most `limit` bytes from `offset` on, without ever waiting on a pipe put at
// its place (nor following a symbolic link, with O_NOFOLLOW in `flags`). errSecDecode for another kind
// of file or a longer one.
OSStatus readRegularFile(const std::string& path, std::uint64_t offset, std::uint64_t limit, Bytes& data, struct stat& st,
                         int flags = 0) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0)
        return errno == ELOOP && (flags & O_NOFOLLOW) ? errSecDecode : errSecIO;
    OSStatus status = errSecSuccess;
    if (::fstat(fd, &st) != 0)
        status = errSecIO;
    else if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > limit)
        status = errSecDecode;
    else if (offset > static_cast<std::uint64_t>(st.st_size))
        status = errSecDecode;
    else if (offset > 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        status = errSecIO;
    else {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        data.reserve(static_cast<std::size_t>(size > offset ? size - offset : 0));
        if (!readAll(fd, data, static_cast<std::size_t>(limit + 1 - offset)))
            status = errSecIO;
        else if (offset + data.size() > limit)
            status = errSecDecode;
    }
    ::close(fd);
    return status;
}

void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
}
void put64(std::string& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}
std::uint64_t get(const std::uint8_t* at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | at[i];
    return v;
}

// The change log beside the item file: a header naming the generation of the item file it continues,
// then one record per change (length, CRC-32, a binary property list saying what changed).
constexpr char kJournalMagic[8] = {'H', 'K', 'C', 'J', 'R', 'N', 'L', '1'};
constexpr std::size_t kJournalHeaderLength = 16;
constexpr std::size_t kRecordHeaderLength = 8;
// The log is folded into the item file once it grows past the item file's length (and this much).
constexpr std::uint64_t kMinJournalLength = 256 * 1024;
constexpr const char* kGenerationKey = "generation";
constexpr const char* kAddKey = "add";
constexpr const char* kUpdateKey = "update";
constexpr const char* kDeleteKey = "delete";
// Beside the places a deletion names, the identities of the items there (an update's entry holds the
// identity of the item it replaces third), so that changes apply after a record that moved items is lost.
constexpr const char* kIdentitiesKey = "identities";
// Bytes of CRC a damaged log's search for its next record may check, per byte of the log.
constexpr std::uint64_t kResyncBytesPerByte = 4;
constexpr std::size_t kBinaryListMagicLength = 8;
// (Keychain::kFileExpansion: the writer shares no arrays or dictionaries.)
constexpr PropertyList::Expansion kOwnFileExpansion = Keychain::kFileExpansion;

// Takes what a change read from the log expanded to (its values and keys, and the bytes of their text
// and data) from the floors the log's records share.
void spend(PropertyList::Expansion& left, const Value& change) {
    std::uint64_t nodes = 0, bytes = 0;
    std::vector<const Value*> pending{&change};
    while (!pending.empty()) {
        const Value* value = pending.back();
        pending.pop_back();
        ++nodes;
        if (const std::string* text = value->getString())
            bytes += text->size();
        else if (const Bytes* data = value->getBytes())
            bytes += data->size();
        else if (const Array* array = value->getArray())
            for (const Value& item : *array)
                pending.push_back(&item);
        else if (const Dictionary* dictionary = value->getDictionary())
            for (const auto& [key, item] : *dictionary) {
                ++nodes;
                bytes += key.size();
                pending.push_back(&item);
            }
    }
    left.minBytes -= std::min(left.minBytes, bytes);
    left.minNodes -= std::min(left.minNodes, nodes);
}

// How a log's changes find the items they name: by place (the log read in order from its item file), or
// by identity (after damage, which may have lost a change that moved items).
enum class Order { InPlace, ByIdentity };

// What identifies an item (see sameIdentity).
Dictionary identityOf(const Dictionary& item) {
    Dictionary identity;
    for (const char* key : {kSecAttrAccount, kSecAttrService})
        if (const Value* value = item.find(key))
            identity.set(key, *value);
    identity.set(kSecAttrSynchronizable, truthOf(item[kSecAttrSynchronizable]));
    return identity;
}

// The identity of an item as text, equal for items of the same identity: their strings and data exactly,
// other values (which only a damaged or foreign file holds) as a property list, else by their description,
// so a look-up by this text is checked with sameIdentity.
std::string identityText(const Dictionary& item) {
    std::string text(truthOf(item[kSecAttrSynchronizable]) ? "1" : "0");
    for (const char* key : {kSecAttrAccount, kSecAttrService}) {
        const Value& value = item[key];
        std::string part;
        char kind = 'n';
        if (const std::string* s = value.getString()) {
            part = *s;
            kind = 's';
        } else if (const Bytes* b = value.getBytes()) {
            part.assign(b->begin(), b->end());
            kind = 'b';
        } else if (!value.isNull()) {
            auto written = PropertyList::write(value, PropertyList::Format::Binary);
            part = written ? std::move(*written) : value.description();
            kind = written ? 'p' : 'o';
        }
        text += kind + std::to_string(part.size()) + ':' + part;
    }
    return text;
}

// Whether identityText names the identity exactly: equal texts for equal identities and no others, as for
// every item made by add and update (their account and service are strings). Only items of a damaged or
// foreign file may hold other values there.
bool hasExactIdentityText(const Dictionary& item) {
    for (const char* key : {kSecAttrAccount, kSecAttrService}) {
        const Value& value = item[key];
        if (!value.isNull() && !value.isString() && !value.isBytes())
            return false;
    }
    return true;
}

std::uint32_t checksum(const std::uint8_t* data, std::size_t length) {
    return static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), data, static_cast<uInt>(length)));
}

// A damaged file's copy, kept whole for inspection beside it as "<file>.damaged" before the damage is
// dropped; earlier copies are kept too (StorePlace::makeRoomAside: the newest few). The file is at most
// kMaxFileLength bytes, or it would not have been read. False (logged) when the copy could not be made (a
// folder at its place that cannot go, a full disk...): the damage is then not dropped, since nothing else
// holds what it may still carry. A file that is not there needs none.
bool setAside(const std::string& path) {
    Bytes data;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;
    const std::string aside = StorePlace::asideName(path);
    if (StorePlace::makeRoomAside(path, "Keychain")) {
        // What is not read at all (a folder, a link, a pipe, a file too large) is moved aside whole instead,
        // neither followed nor opened.
        if ((!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > Keychain::kMaxFileLength) &&
            ::rename(path.c_str(), aside.c_str()) == 0)
            return true;
        if (readRegularFile(path, 0, Keychain::kMaxFileLength, data, st, O_NOFOLLOW) == errSecSuccess &&
            PrivateFile::writeAtomically(aside, data))
            return true;
    }
    Log::write("Keychain: the damaged file " + path + " could not be copied aside to " + aside +
               "; it is kept as it is and the change is refused");
    return false;
}

} // namespace

// The items of one item file (and its change log) as last read or written, and the stamps of the files
// they came from.
struct Keychain::Cache {
    std::string path;
    bool valid = false;
    FileStamp stamp;
    FileStamp journalStamp;
    std::uint64_t generation = 0;      // of the item file; a log of another generation is left over
    std::uint64_t snapshotLength = 0;  // of the item file
    std::uint64_t journalLength = 0;   // the log's header and whole records, as read or written
    bool journalUsable = false;        // a log of this generation exists and ends at journalLength
    // Damage a crash or a full disk can leave, found when the files were read: bytes of the log that are
    // no whole change (a header that is none, a record cut short or failing its CRC, and what follows),
    // and an item file that does not decode. Copied aside before a change drops them.
    bool journalDamaged = false;
    bool itemFileDamaged = false;
    // Whole records were read after damage in the log: it cannot be continued, only folded into a new
    // item file.
    bool journalSkipped = false;
    Array items;
    std::size_t total = 0;  // itemLength of every item
    // While a log is read: the place of the item of each identity (identityText), so that a change found
    // by identity does not walk every item. Made when first needed, kept as changes add and replace
    // items, and made again after items are erased (which moves those after them).
    bool replaying = false;
    bool placesKnown = false;
    std::unordered_map<std::string, std::size_t, SeededHash, std::equal_to<>> identityPlaces;
    // While a log is read, an erased item leaves a hole (a null value) instead of moving every item after
    // it, and `live` counts the items in the slots up to each (a Fenwick tree, made at the first hole), so
    // that the place a change names is found in log time; the holes are closed once the log is read.
    std::size_t holes = 0;
    std::vector<std::size_t> live;
    // The number of items of each identity (identityText), so that an add or an update checks the
    // identities it makes in time of its own size, not the keychain's: made when first needed, kept as
    // changes go, and forgotten when items are read from the files.
    bool countsKnown = false;
    std::unordered_map<std::string, std::size_t, SeededHash, std::equal_to<>> identityCounts;

    // Items of this identity text.
    std::size_t itemsOf(const std::string& text) {
        if (!countsKnown) {
            identityCounts.clear();
            for (const Value& item : items)
                if (!item.isNull())
                    ++identityCounts[identityText(item.dictionaryOrEmpty())];
            countsKnown = true;
        }
        const auto found = identityCounts.find(text);
        return found == identityCounts.end() ? 0 : found->second;
    }

    // Counts an item in (delta 1) or out (-1), when counts are kept.
    void count(const Value& item, int delta) {
        if (!countsKnown || item.isNull())
            return;
        const std::string text = identityText(item.dictionaryOrEmpty());
        if (delta > 0) {
            ++identityCounts[text];
        } else if (const auto found = identityCounts.find(text); found != identityCounts.end() && --found->second == 0) {
            identityCounts.erase(found);
        }
    }

    // Whether these items, put at their places (increasing), leave no two items of one identity: by the
    // counts of identity texts, in time of their own number; by every item's identity when one of them
    // has no exact identity text.
    bool identitiesStayApart(const std::vector<std::pair<std::size_t, Value>>& changed) {
        const bool exact = std::all_of(changed.begin(), changed.end(), [](const auto& c) { return hasExactIdentityText(c.second.dictionaryOrEmpty()); });
        if (exact) {
            // Per text: the items of it now, less the changed items that held it, plus the changed items
            // made of it so far. (An item that keeps its identity adds and takes one from its own text:
            // left out.)
            const auto keeps = [this](const std::pair<std::size_t, Value>& c) {
                return sameIdentity(items[c.first].dictionaryOrEmpty(), c.second.dictionaryOrEmpty());
            };
            std::unordered_map<std::string, std::ptrdiff_t, SeededHash, std::equal_to<>> change;
            for (const auto& c : changed)
                if (!keeps(c))
                    --change[identityText(items[c.first].dictionaryOrEmpty())];
            for (const auto& c : changed) {
                if (keeps(c))
                    continue;
                std::string text = identityText(c.second.dictionaryOrEmpty());
                std::ptrdiff_t& delta = change[text];
                if (static_cast<std::ptrdiff_t>(itemsOf(text)) + delta > 0)
                    return false;
                ++delta;
            }
            return true;
        }
        std::vector<bool> isChanged(items.size(), false);
        for (const auto& [index, item] : changed)
            isChanged[index] = true;
        std::unordered_multimap<std::string, const Dictionary*, SeededHash, std::equal_to<>> identities;
        for (std::size_t i = 0; i < items.size(); ++i)
            if (!isChanged[i])
                identities.emplace(identityText(items[i].dictionaryOrEmpty()), &items[i].dictionaryOrEmpty());
        for (const auto& [index, item] : changed) {
            const Dictionary& mine = item.dictionaryOrEmpty();
            std::string text = identityText(mine);
            for (auto [at, end] = identities.equal_range(text); at != end; ++at)
                if (sameIdentity(*at->second, mine))
                    return false;
            identities.emplace(std::move(text), &mine);
        }
        return true;
    }

    void forgetCounts() {
        countsKnown = false;
        std::unordered_map<std::string, std::size_t, SeededHash, std::equal_to<>>().swap(identityCounts);
    }

    std::string journalPath() const { return path + ".journal"; }

    void invalidate() {
        valid = false;
        closeHoles();
        forgetPlaces();
        forgetCounts();
        Array().swap(items);
        total = 0;
        journalDamaged = false;
        itemFileDamaged = false;
        journalSkipped = false;
    }

    // Brings the items up to date with the files (the caller holds their lock): nothing is read when
    // neither changed, only the new records when the log grew, else everything.
    OSStatus load(const std::string& filePath) {
        struct stat st {};
        FileStamp now, journalNow;
        if (::stat(filePath.c_str(), &st) == 0)
            now = FileStamp::of(st);
        else if (errno != ENOENT)
            return errSecIO;
        if (::lstat((filePath + ".journal").c_str(), &st) == 0)
            journalNow = FileStamp::of(st);
        else if (errno != ENOENT)
            return errSecIO;
        if (valid && path == filePath && stamp == now) {
            // (Damage at the log's end stays until the next change drops it: unchanged, it is not read again.)
            if (journalStamp == journalNow)
                return errSecSuccess;
            // Another keychain on these files appended to the log: its new records only.
            if (journalUsable && journalNow.exists && journalNow.device == journalStamp.device &&
                journalNow.inode == journalStamp.inode && static_cast<std::uint64_t>(journalNow.size) >= journalLength) {
                OSStatus status = replayJournal(journalLength);
                if (status != errSecSuccess)
                    invalidate();
                return status;
            }
        }
        invalidate();
        path = filePath;
        generation = 0;
        snapshotLength = 0;
        stamp = now;
        if (now.exists) {
            Bytes data;
            // One too large to be read (or no longer a regular file) counts as one that does not decode: the
            // next change sets it aside whole and starts a new one, rather than every call failing for good.
            if (OSStatus status = readRegularFile(filePath, 0, kMaxFileLength, data, st); status != errSecSuccess) {
                if (status != errSecDecode)
                    return status;
                Bytes().swap(data);
            }
            auto root = PropertyList::read(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), kOwnFileExpansion);
            snapshotLength = data.size();
            Bytes().swap(data);
            if (!root || !root->isDictionary() || !(*root)[kItemsKey].isArray()) {
                // The items it held are lost; those the log carries whole are not (replayJournal).
                Log::write("Keychain: the item file " + filePath + " cannot be decoded; the items its change log "
                           "holds are kept, and the file is copied aside at the next change");
                itemFileDamaged = true;
            } else {
                if (const std::int64_t* g = (*root)[kGenerationKey].getInteger(); g && *g > 0)
                    generation = static_cast<std::uint64_t>(*g);
                for (Value& item : *root->getDictionary()->find(kItemsKey)->getArray())
                    if (const Dictionary* d = item.getDictionary()) {
                        total += itemLength(*d);
                        items.push_back(std::move(item));
                    }
            }
            stamp = FileStamp::of(st);
        }
        journalStamp = FileStamp();
        journalLength = 0;
        journalUsable = false;
        if (OSStatus status = replayJournal(0)) {
            invalidate();
            return status;
        }
        valid = true;
        return errSecSuccess;
    }

    // Applies the log's records from `offset` on (0: the whole log, its header first). Each record
    // carries its own CRC: one cut short or damaged (a crash or a full disk while it was written, a
    // flipped byte) is skipped, and reading goes on at the next whole record, so only its change is
    // lost. Changes name items by their place and by their identity: after a skipped record (which may
    // have moved items) and beside an item file that does not decode, items are found by identity, an
    // item a change carries whole is kept even when the item it replaced is not found, and a deletion of
    // an item not found is not applied. A damaged header is skipped the same way, unless the log is
    // plainly left over: of the item file before (a crash between writing the item file and removing
    // the log), or beside no item file. Damage is logged and kept for the next change to copy aside
    // and drop; a log that cannot be read at all (not a regular file, too large) is not read, and the next
    // change moves it aside.
    OSStatus replayJournal(std::uint64_t offset) {
        // (Counts kept before another keychain's new records are kept up to date by them.)
        if (offset == 0)
            forgetCounts();
        replaying = true;
        OSStatus status = replayRecords(offset);
        replaying = false;
        closeHoles();
        forgetPlaces();
        return status;
    }

    OSStatus replayRecords(std::uint64_t offset) {
        struct stat st {};
        Bytes data;
        if (::lstat(journalPath().c_str(), &st) != 0)
            return errno == ENOENT ? errSecSuccess : errSecIO;
        // (Appends never follow a link at the log's place, and neither does this: what it names is no log.)
        OSStatus status = S_ISREG(st.st_mode) ? readRegularFile(journalPath(), offset, kMaxFileLength, data, st, O_NOFOLLOW) : errSecDecode;
        // Something at the log's place that is no log to read (a folder, a link, a pipe, a file too large):
        // not read, and moved aside by the next change, which starts a new log (see setAside).
        if (status == errSecDecode && offset == 0) {
            Log::write("Keychain: the change log " + journalPath() + " is not a regular file of at most " +
                       std::to_string(kMaxFileLength) + " bytes; the item file alone is read, and the next change moves it aside");
            journalStamp = FileStamp::of(st);
            journalDamaged = true;
            journalUsable = false;
            return errSecSuccess;
        }
        if (status != errSecSuccess)
            return status;
        journalStamp = FileStamp::of(st);
        journalDamaged = false;
        journalSkipped = false;
        std::size_t at = 0;
        Order order = itemFileDamaged ? Order::ByIdentity : Order::InPlace;
        bool headerIntact = true;
        bool damageBefore = false; // damage lies before the record being read
        if (offset == 0) {
            const bool hasHeader = data.size() >= kJournalHeaderLength && std::memcmp(data.data(), kJournalMagic, sizeof kJournalMagic) == 0;
            const std::uint64_t logGeneration = hasHeader ? get(data.data() + 8, 8) : 0;
            // Left over from before the item file was last written, or from an item file removed since.
            if (hasHeader && !itemFileDamaged && logGeneration != generation && (logGeneration + 1 == generation || !stamp.exists)) {
                journalUsable = false;
                return errSecSuccess;
            }
            if (!hasHeader || (!itemFileDamaged && logGeneration != generation)) {
                Log::write("Keychain: the change log " + journalPath() + " has a damaged header; its records are read by identity");
                journalDamaged = true;
                headerIntact = false;
                damageBefore = true;
                order = Order::ByIdentity;
            }
            at = std::min<std::size_t>(kJournalHeaderLength, data.size());
            journalLength = kJournalHeaderLength;
        }
        std::size_t unplaced = 0;  // deletions of items not found
        std::size_t skipped = 0;   // bytes of no whole record
        std::uint64_t resyncBudget = kResyncBytesPerByte * data.size() + kRecordHeaderLength;
        // The records share the floors of what they may expand to (beyond four bytes and a node a byte of
        // each): a log of many small records each expanding to the floors costs no more than one does.
        PropertyList::Expansion left = kOwnFileExpansion;
        while (at < data.size()) {
            std::uint64_t length = 0;
            if (isWholeRecord(data, at, length)) {
                const std::uint8_t* payload = data.data() + at + kRecordHeaderLength;
                auto change = PropertyList::read(std::string_view(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(length)), left);
                if (change)
                    spend(left, *change);
                bool applied = change && apply(change->dictionaryOrEmpty(), order, unplaced);
                if (change && !applied && order == Order::InPlace) {
                    // A whole change that does not fit the items in place: they are found by identity from here on.
                    order = Order::ByIdentity;
                    applied = apply(change->dictionaryOrEmpty(), order, unplaced);
                }
                if (applied) {
                    at += kRecordHeaderLength + static_cast<std::size_t>(length);
                    if (damageBefore)
                        journalSkipped = true;
                    else
                        journalLength += kRecordHeaderLength + length;
                    continue;
                }
            }
            // No whole change here: skipped to the next whole record, after which items are found by
            // identity (the skipped change may have moved them).
            const std::size_t next = nextRecord(data, at, resyncBudget);
            skipped += next - at;
            at = next;
            damageBefore = true;
            order = Order::ByIdentity;
        }
        if (skipped) {
            Log::write(formatString("Keychain: the change log %s holds %zu bytes of damaged or cut-short changes; the "
                                    "whole changes around them are kept", journalPath().c_str(), skipped));
            journalDamaged = true;
        }
        if (unplaced)
            Log::write(formatString("Keychain: %zu deletions of the change log name items that were not found and were "
                                    "not applied", unplaced));
        // Beside a damaged item file, or with whole records after damage, the log is read whole each time
        // and goes with the next change (folded into a new item file); damage only after its last whole
        // record is cut off by the next change, which continues the log.
        journalUsable = !itemFileDamaged && !journalSkipped && headerIntact;
        return errSecSuccess;
    }

    // Whether a whole record begins at `at`: its length fits the log, its payload is a binary property
    // list (as every record's is), and its CRC holds.
    static bool isWholeRecord(const Bytes& data, std::size_t at, std::uint64_t& length) {
        if (data.size() - at < kRecordHeaderLength + kBinaryListMagicLength)
            return false;
        length = get(data.data() + at, 4);
        if (length < kBinaryListMagicLength || length > data.size() - at - kRecordHeaderLength)
            return false;
        const std::uint8_t* payload = data.data() + at + kRecordHeaderLength;
        return std::memcmp(payload, "bplist00", kBinaryListMagicLength) == 0 &&
               checksum(payload, static_cast<std::size_t>(length)) == static_cast<std::uint32_t>(get(data.data() + at + 4, 4));
    }

    // Where the next whole record after the bytes at `at` (no whole change) begins: where their length
    // says they end, when a whole record begins there, else the first place after `at` where one does;
    // the log's end when none does. The CRCs checked on the way are bounded by `budget` (bytes, spent),
    // so a log of many false starts costs time linear in its bytes; past it the rest counts as damage.
    static std::size_t nextRecord(const Bytes& data, std::size_t at, std::uint64_t& budget) {
        const auto tryAt = [&](std::size_t candidate) {
            if (data.size() - candidate < kRecordHeaderLength + kBinaryListMagicLength ||
                std::memcmp(data.data() + candidate + kRecordHeaderLength, "bplist00", kBinaryListMagicLength) != 0)
                return false;
            const std::uint64_t length = get(data.data() + candidate, 4);
            if (length > data.size() - candidate - kRecordHeaderLength || length > budget)
                return false;
            budget -= length;
            std::uint64_t whole = 0;
            return isWholeRecord(data, candidate, whole);
        };
        if (data.size() - at >= kRecordHeaderLength) {
            const std::uint64_t length = get(data.data() + at, 4);
            if (length <= data.size() - at - kRecordHeaderLength && tryAt(at + kRecordHeaderLength + static_cast<std::size_t>(length)))
                return at + kRecordHeaderLength + static_cast<std::size_t>(length);
        }
        for (std::size_t candidate = at + 1; candidate < data.size() && budget > 0; ++candidate)
            if (tryAt(candidate))
                return candidate;
        return data.size();
    }

    // The place of the item an entry of a change names: by its place when the log is read in place
    // (and the item there has the identity the entry names, when it names one), else the item of that
    // identity; nullopt when there is none.
    // (What it answers is the item's slot: see holes.)
    std::optional<std::size_t> placeOf(const Value& index, const Value* identity, Order order) {
        const std::int64_t* i = index.getInteger();
        const bool inRange = i && *i >= 0 && static_cast<std::uint64_t>(*i) < items.size() - holes;
        const std::size_t slot = inRange ? slotOf(static_cast<std::size_t>(*i)) : 0;
        const Dictionary* named = identity ? identity->getDictionary() : nullptr;
        if (!named)
            return order == Order::InPlace && inRange ? std::optional<std::size_t>(slot) : std::nullopt;
        if (inRange && sameIdentity(items[slot].dictionaryOrEmpty(), *named))
            return slot;
        return find(*named);
    }

    // The slot of the item at `place` (among the items, holes not counted).
    std::size_t slotOf(std::size_t place) const {
        if (holes == 0)
            return place;
        std::size_t slot = 0, left = place + 1, step = 1;
        while (step * 2 <= live.size())
            step *= 2;
        for (; step > 0; step /= 2)
            if (slot + step <= live.size() && live[slot + step - 1] < left) {
                slot += step;
                left -= live[slot - 1];
            }
        return slot;
    }

    // Items in the slots before `end`.
    std::size_t liveBefore(std::size_t end) const {
        std::size_t count = 0;
        for (std::size_t i = end; i > 0; i -= i & (~i + 1))
            count += live[i - 1];
        return count;
    }

    // Removes the item of a slot: erased, or while a log is read, left as a hole.
    void erase(std::size_t slot) {
        count(items[slot], -1);
        if (!replaying) {
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(slot));
            placesKnown = false;
            return;
        }
        if (live.empty()) {
            live.assign(items.size(), 0);
            for (std::size_t i = 1; i <= live.size(); ++i) {
                live[i - 1] += 1;
                if (const std::size_t parent = i + (i & (~i + 1)); parent <= live.size())
                    live[parent - 1] += live[i - 1];
            }
        }
        if (placesKnown) {
            const auto it = identityPlaces.find(identityText(items[slot].dictionaryOrEmpty()));
            if (it != identityPlaces.end() && it->second == slot)
                identityPlaces.erase(it);
        }
        items[slot] = Value();
        ++holes;
        for (std::size_t i = slot + 1; i <= live.size(); i += i & (~i + 1))
            live[i - 1] -= 1;
    }

    // Removes the items of these slots (increasing) at once, moving those after them once.
    void eraseAll(const std::vector<std::size_t>& slots) {
        if (slots.empty())
            return;
        std::size_t next = 0, kept = slots.front();
        for (std::size_t slot = slots.front(); slot < items.size(); ++slot) {
            if (next < slots.size() && slots[next] == slot) {
                count(items[slot], -1);
                ++next;
            } else {
                items[kept++] = std::move(items[slot]);
            }
        }
        items.resize(kept);
        placesKnown = false;
    }

    void closeHoles() {
        if (holes > 0)
            std::erase_if(items, [](const Value& item) { return item.isNull(); });
        holes = 0;
        std::vector<std::size_t>().swap(live);
    }

    // The slot of an item of this identity.
    std::optional<std::size_t> find(const Dictionary& identity) {
        if (!replaying) {
            for (std::size_t p = 0; p < items.size(); ++p)
                if (sameIdentity(items[p].dictionaryOrEmpty(), identity))
                    return p;
            return std::nullopt;
        }
        if (!placesKnown) {
            identityPlaces.clear();
            for (std::size_t p = 0; p < items.size(); ++p)
                if (!items[p].isNull())
                    identityPlaces.emplace(identityText(items[p].dictionaryOrEmpty()), p);
            placesKnown = true;
        }
        const auto it = identityPlaces.find(identityText(identity));
        if (it == identityPlaces.end() || it->second >= items.size() || items[it->second].isNull() ||
            !sameIdentity(items[it->second].dictionaryOrEmpty(), identity))
            return std::nullopt;
        return it->second;
    }

    // Puts an item at a slot (the end: a new one), keeping the places of identities.
    void put(std::size_t place, const Value& item) {
        if (place < items.size())
            count(items[place], -1);
        count(item, 1);
        if (place == items.size()) {
            items.push_back(item);
            if (!live.empty()) {
                const std::size_t i = live.size() + 1;
                live.push_back(1 + liveBefore(i - 1) - liveBefore(i - (i & (~i + 1))));
            }
        } else {
            if (placesKnown) {
                const auto it = identityPlaces.find(identityText(items[place].dictionaryOrEmpty()));
                if (it != identityPlaces.end() && it->second == place)
                    identityPlaces.erase(it);
            }
            items[place] = item;
        }
        if (placesKnown)
            identityPlaces.emplace(identityText(item.dictionaryOrEmpty()), place);
    }

    void forgetPlaces() {
        placesKnown = false;
        std::unordered_map<std::string, std::size_t, SeededHash, std::equal_to<>>().swap(identityPlaces);
    }

    // Puts an item a change carries whole in place of the item of its identity, or adds it.
    void keep(const Value& item) {
        const Dictionary& d = item.dictionaryOrEmpty();
        if (const std::optional<std::size_t> place = find(d)) {
            total = total - itemLength(items[*place].dictionaryOrEmpty()) + itemLength(d);
            put(*place, item);
            return;
        }
        total += itemLength(d);
        put(items.size(), item);
    }

    // One record's change; false (nothing changed) when it is no change or, read in place, does not fit
    // the items. Read by identity, deletions of items not found are counted in `unplaced`.
    bool apply(const Dictionary& change, Order order, std::size_t& unplaced) {
        if (const Value* added = change.find(kAddKey)) {
            const Dictionary* d = added->getDictionary();
            if (!d)
                return false;
            if (order == Order::ByIdentity) {
                keep(*added);
                return true;
            }
            total += itemLength(*d);
            put(items.size(), *added);
            return true;
        }
        if (const Value* updated = change.find(kUpdateKey)) {
            const Array& entries = updated->arrayOrEmpty();
            std::vector<std::optional<std::size_t>> places;
            places.reserve(entries.size());
            for (const Value& entry : entries) {
                const Array& parts = entry.arrayOrEmpty();
                if (parts.size() < 2 || !parts[1].isDictionary())
                    return false;
                places.push_back(placeOf(parts[0], parts.size() > 2 ? &parts[2] : nullptr, order));
                if (!places.back() && order == Order::InPlace)
                    return false;
            }
            for (std::size_t e = 0; e < entries.size(); ++e) {
                const Value& item = entries[e].arrayOrEmpty()[1];
                if (!places[e]) {
                    keep(item);
                    continue;
                }
                total = total - itemLength(items[*places[e]].dictionaryOrEmpty()) + itemLength(item.dictionaryOrEmpty());
                put(*places[e], item);
            }
            return updated->isArray();
        }
        if (const Value* deleted = change.find(kDeleteKey)) {
            const Array& indices = deleted->arrayOrEmpty();
            const Array& identities = change[kIdentitiesKey].arrayOrEmpty();
            std::vector<std::size_t> places;
            places.reserve(indices.size());
            for (std::size_t k = 0; k < indices.size(); ++k) {
                const std::optional<std::size_t> place = placeOf(indices[k], k < identities.size() ? &identities[k] : nullptr, order);
                if (order == Order::InPlace && (!place || (!places.empty() && *place <= places.back())))
                    return false; // in place: increasing indices of items there
                if (place)
                    places.push_back(*place);
                else
                    ++unplaced;
            }
            std::sort(places.begin(), places.end());
            places.erase(std::unique(places.begin(), places.end()), places.end());
            for (std::size_t place : places)
                total -= itemLength(items[place].dictionaryOrEmpty());
            if (replaying) {
                for (auto it = places.rbegin(); it != places.rend(); ++it)
                    erase(*it);
            } else {
                eraseAll(places);
            }
            return deleted->isArray();
        }
        return false;
    }

    // Makes the change (already applied to the items in memory) last: a record appended to the log and
    // flushed, or, when there is no item file yet or the log has grown past it, the whole item file
    // written anew. On failure the items in memory are dropped, to be read again from the files (which
    // hold everything before this change).
    // `carried`: the lengths (itemLength) of the items the change carries whole, about what its record
    // takes: past what the log may grow by, the item file is written anew without the record made first.
    OSStatus commit(const Dictionary& change, std::uint64_t carried = 0) {
        OSStatus status = errSecIO;
        if (carried > std::max<std::uint64_t>(kMinJournalLength, snapshotLength)) {
            status = writeSnapshot();
            if (status != errSecSuccess)
                invalidate();
            return status;
        }
        auto record = PropertyList::write(Value(change), PropertyList::Format::Binary, kOwnFileExpansion);
        if (record) {
            const std::uint64_t grown = journalLength + kRecordHeaderLength + record->size();
            if (!stamp.exists || itemFileDamaged || journalSkipped || grown > std::max<std::uint64_t>(kMinJournalLength, snapshotLength))
                status = writeSnapshot();
            else
                status = append(*record);
        }
        if (status != errSecSuccess)
            invalidate();
        return status;
    }

    OSStatus append(const std::string& payload) {
        if (journalDamaged) {
            if (!setAside(journalPath()))
                return errSecIO;
            Log::write("Keychain: the damaged change log was copied to " + journalPath() + ".damaged; its damage is dropped");
            journalDamaged = false;
        }
        if (!journalUsable) {
            // A new log for this generation (replacing one left over from an earlier one).
            std::string header(kJournalMagic, sizeof kJournalMagic);
            put64(header, generation);
            if (!PrivateFile::writeAtomically(journalPath(), std::string_view(header)))
                return errSecIO;
            journalLength = kJournalHeaderLength;
            journalUsable = true;
        }
        std::string record;
        record.reserve(kRecordHeaderLength + payload.size());
        put32(record, static_cast<std::uint32_t>(payload.size()));
        put32(record, checksum(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
        record += payload;
        int fd = ::open(journalPath().c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errSecIO;
        struct stat st {};
        // Whatever lies past the last whole record (a change cut short) goes before this one is written.
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  (static_cast<std::uint64_t>(st.st_size) == journalLength || ::ftruncate(fd, static_cast<off_t>(journalLength)) == 0) &&
                  ::lseek(fd, static_cast<off_t>(journalLength), SEEK_SET) >= 0 && writeAll(fd, record.data(), record.size()) &&
                  ::fdatasync(fd) == 0 && ::fstat(fd, &st) == 0;
        if (!ok)
            (void)!::ftruncate(fd, static_cast<off_t>(journalLength));
        ::close(fd);
        if (!ok)
            return errSecIO;
        journalLength += record.size();
        journalStamp = FileStamp::of(st);
        return errSecSuccess;
    }

    // Removes the copies of the item file and of the log that a process killed while writing one left
    // beside them: every write happens under the exclusive lock held now, so none of them is being written.
    void removeLeftOvers() const {
        PrivateFile::removeLeftOvers(path, PrivateFile::LeftOvers::OfEveryWriter);
        PrivateFile::removeLeftOvers(path + ".journal", PrivateFile::LeftOvers::OfEveryWriter);
    }

    // Writes every item to a new item file of the next generation, which makes the log a left-over; the
    // log is then removed.
    OSStatus writeSnapshot() {
        removeLeftOvers();
        if (itemFileDamaged) {
            if (!setAside(path))
                return errSecIO;
            Log::write("Keychain: the damaged item file was copied to " + path + ".damaged");
        }
        if (itemFileDamaged || journalDamaged) {
            if (!setAside(journalPath()))
                return errSecIO;
            Log::write("Keychain: the change log read beside the damage was copied to " + journalPath() + ".damaged");
        }
        // (A generation this high comes only from a file someone else wrote: start again from 1.)
        const std::uint64_t next = generation < (1ull << 62) ? generation + 1 : 1;
        bool written = false;
        std::uint64_t length = 0;
        {
            Dictionary root{{kVersionKey, 1}, {kGenerationKey, static_cast<std::int64_t>(next)}, {kItemsKey, Value(Array())}};
            root.find(kItemsKey)->getArray()->swap(items);
            Value rootValue(std::move(root));
            auto text = PropertyList::write(rootValue, PropertyList::Format::Binary, kOwnFileExpansion);
            items.swap(*rootValue.getDictionary()->find(kItemsKey)->getArray());
            if (text) {
                length = text->size();
                written = static_cast<bool>(PrivateFile::writeAtomically(path, std::string_view(*text)));
            }
        }
        struct stat st {};
        if (!written || ::stat(path.c_str(), &st) != 0)
            return errSecIO;
        generation = next;
        snapshotLength = length;
        stamp = FileStamp::of(st);
        ::unlink(journalPath().c_str());
        journalStamp = FileStamp();
        journalLength = 0;
        journalUsable = false;
        journalDamaged = false;
        journalSkipped = false;
        itemFileDamaged = false;
        return errSecSuccess;
    }
};

namespace {

// How long a call waits for the item file's lock.
constexpr std::chrono::milliseconds kLockWait{10'000};

// Locks the item file (creating its folder, so that the lock file can exist) and brings the cache up to
// date with it.
OSStatus lockAndLoad(Keychain::Cache& cache, const std::string& path, FileLock& lock, FileLock::Mode mode) {
    auto slash = path.rfind('/');
    // Something other than a folder at the folder's place, or than a file at the item file's (a pipe, a
    // socket, a device, a link), would refuse every call for good: it is moved aside and the keychain
    // starts afresh (the lock file's place is kept by FileLock).
    if (slash != std::string::npos && slash > 0 &&
        (!StorePlace::isUsable(StorePlace::makeFolderFit(path.substr(0, slash), "Keychain")) ||
         !PrivateFile::makeFolders(path.substr(0, slash))))
        return errSecIO;
    // Another process holding the lock longer (stuck, or stopped) makes the call give up, never stall
    // the thread that asked (often the main one).
    if (const Status locked = lock.lock(path + ".lock", mode, kLockWait); !locked) {
        Log::write("Keychain: the call is not made: " + locked.error().localizedDescription());
        return errSecIO;
    }
    if (!StorePlace::isUsable(StorePlace::makeFit(path, "Keychain")))
        return errSecIO;
    return cache.load(path);
}

// Serialises the calls of this process (flock does the same between processes) and guards the caches.
std::mutex& processMutex() {
    static std::mutex m;
    return m;
}

// Runs `body` on the items of the file at `path()`, under this process's mutex and the file's lock
// (shared to read, exclusive to change); a file that cannot be locked or read gives its status instead.
template <class Body>
OSStatus withStore(const std::function<std::string()>& path, Keychain::Cache& cache, FileLock::Mode mode, Body&& body) {
    std::lock_guard guard(processMutex());
    FileLock lock;
    if (OSStatus s = lockAndLoad(cache, path(), lock, mode))
        return s;
    return body(cache);
}
} // namespace

Keychain& Keychain::shared() {
    static Keychain keychain{std::function<std::string()>([] { return AppFolders::current().library() + "/Keychains/keychain.plist"; })};
    return keychain;
}

Keychain::Keychain(std::string filePath)
    : m_filePath([path = std::move(filePath)] { return path; }), m_cache(std::make_unique<Cache>()) {}

Keychain::Keychain(std::function<std::string()> filePath) : m_filePath(std::move(filePath)), m_cache(std::make_unique<Cache>()) {}

Keychain::~Keychain() = default;

std::size_t Keychain::itemLength(const Dictionary& item) {
    constexpr std::size_t kPerAttribute = 16;
    std::size_t length = 0;
    for (const auto& [key, value] : item) {
        length += key.size() + kPerAttribute;
        if (const std::string* text = value.getString())
            length += text->size();
        else if (const Bytes* bytes = value.getBytes())
            length += bytes->size();
    }
    return length;
}

OSStatus Keychain::copyMatching(const Dictionary& query, Value* result) {
    if (result)
        *result = Value();
    if (OSStatus s = validate(query, Use::Query))
        return s;
    return withStore(m_filePath, *m_cache, FileLock::Mode::Shared, [&](Cache& store) -> OSStatus {
        bool wantData = truthOf(query[kSecReturnData]);
        bool wantAttributes = truthOf(query[kSecReturnAttributes]);
        const Value& limit = query[kSecMatchLimit];
        std::size_t max = 1;
        if (limit.isString() && *limit.getString() == kSecMatchLimitAll)
            max = SIZE_MAX;
        else if (limit.isInteger())
            max = static_cast<std::size_t>(*limit.getInteger());
        bool asArray = !limit.isNull() && !(limit.isString() && *limit.getString() == kSecMatchLimitOne);

        Array found;
        for (const Value& item : store.items) {
            if (found.size() >= max)
                break;
            if (matches(item.dictionaryOrEmpty(), query))
                found.push_back(result && (wantData || wantAttributes) ? resultFor(item.dictionaryOrEmpty(), wantData, wantAttributes)
                                                                        : Value());
        }
        if (found.empty())
            return errSecItemNotFound;
        if (result && (wantData || wantAttributes))
            *result = asArray ? Value(std::move(found)) : std::move(found.front());
        return errSecSuccess;
    });
}

OSStatus Keychain::add(const Dictionary& attributes, Value* result) {
    if (result)
        *result = Value();
    if (OSStatus s = validate(attributes, Use::Add))
        return s;
    if (attributes.contains(kSecMatchLimit))
        return errSecParam;
    return withStore(m_filePath, *m_cache, FileLock::Mode::Exclusive, [&](Cache& store) -> OSStatus {
        Dictionary item;
        for (const auto& [key, value] : attributes)
            if (!startsWith(key, "r_"))
                item.set(key, key == kSecAttrSynchronizable ? Value(truthOf(value)) : value);
        if (!item.contains(kSecAttrSynchronizable))
            item.set(kSecAttrSynchronizable, false);
        Date stamp = now();
        item.set(kSecAttrCreationDate, stamp);
        item.set(kSecAttrModificationDate, stamp);
        const std::size_t length = itemLength(item);
        if (length > kMaxItemLength)
            return errSecItemTooLarge;
        // (Its account and service are strings: its identity text is exact.)
        if (store.itemsOf(identityText(item)) > 0)
            return errSecDuplicateItem;
        if (store.total + length > kMaxTotalLength)
            return errSecKeychainFull;
        if (result)
            *result = resultFor(item, truthOf(attributes[kSecReturnData]), truthOf(attributes[kSecReturnAttributes]));
        store.items.push_back(item);
        store.count(store.items.back(), 1);
        store.total += length;
        OSStatus saved = store.commit(Dictionary{{kAddKey, std::move(item)}}, length);
        if (saved != errSecSuccess && result)
            *result = Value();
        return saved;
    });
}

OSStatus Keychain::update(const Dictionary& query, const Dictionary& attributesToUpdate) {
    if (OSStatus s = validate(query, Use::Query))
        return s;
    if (OSStatus s = validate(attributesToUpdate, Use::Update))
        return s;
    return withStore(m_filePath, *m_cache, FileLock::Mode::Exclusive, [&](Cache& store) -> OSStatus {
        // The changed items are made beside the others, checked, and only then put in their places.
        std::vector<std::pair<std::size_t, Value>> changed;
        std::size_t total = store.total;
        std::uint64_t carried = 0;
        Date stamp = now();
        for (std::size_t i = 0; i < store.items.size(); ++i) {
            const Dictionary* d = store.items[i].getDictionary();
            if (!d || !matches(*d, query))
                continue;
            Dictionary next = *d;
            for (const auto& [key, value] : attributesToUpdate)
                next.set(key, key == kSecAttrSynchronizable ? Value(truthOf(value)) : value);
            next.set(kSecAttrModificationDate, stamp);
            const std::size_t length = itemLength(next);
            if (length > kMaxItemLength)
                return errSecItemTooLarge;
            total = total - itemLength(*d) + length;
            carried += length;
            changed.emplace_back(i, Value(std::move(next)));
        }
        if (changed.empty())
            return errSecItemNotFound;
        if (total > kMaxTotalLength && total > store.total)
            return errSecKeychainFull;
        // No two items may share an identity afterwards: each changed item against the others and the
        // changed ones before it.
        if (!store.identitiesStayApart(changed))
            return errSecDuplicateItem;
        Array record;
        record.reserve(changed.size());
        for (auto& [index, item] : changed) {
            Dictionary identity = identityOf(store.items[index].dictionaryOrEmpty());
            const bool keepsIdentity = sameIdentity(store.items[index].dictionaryOrEmpty(), item.dictionaryOrEmpty());
            if (!keepsIdentity)
                store.count(store.items[index], -1);
            store.items[index] = item;
            if (!keepsIdentity)
                store.count(store.items[index], 1);
            record.push_back(Array{static_cast<std::int64_t>(index), std::move(item), std::move(identity)});
        }
        store.total = total;
        return store.commit(Dictionary{{kUpdateKey, std::move(record)}}, carried);
    });
}

OSStatus Keychain::deleteItems(const Dictionary& query) {
    if (OSStatus s = validate(query, Use::Query))
        return s;
    return withStore(m_filePath, *m_cache, FileLock::Mode::Exclusive, [&](Cache& store) -> OSStatus {
        Array removed, identities;
        for (std::size_t i = 0; i < store.items.size(); ++i)
            if (matches(store.items[i].dictionaryOrEmpty(), query)) {
                removed.push_back(static_cast<std::int64_t>(i));
                identities.push_back(identityOf(store.items[i].dictionaryOrEmpty()));
            }
        if (removed.empty())
            return errSecItemNotFound;
        Dictionary change{{kDeleteKey, std::move(removed)}, {kIdentitiesKey, std::move(identities)}};
        std::size_t unplaced = 0;
        if (!store.apply(change, Order::InPlace, unplaced))
            return errSecIO;
        return store.commit(change);
    });
}

} // namespace platform
