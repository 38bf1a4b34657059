// The keychain: generic-password items kept for the application, queried and changed with attribute
// dictionaries and answering the platform's status codes.
//
// Guarantees:
// - Items: class kSecClassGenericPassword (other classes answer errSecUnimplemented), with account,
//   service, access group, label, synchronizable, description, comment, accessibility, generic data and
//   value data, plus creation and modification dates. An item is identified by (account, service,
//   synchronizable): adding a second item with the same three answers errSecDuplicateItem.
// - Matching: every attribute of the query must equal the item's. A query without kSecAttrSynchronizable
//   matches only items that are not synchronizable; the value kSecAttrSynchronizableAny matches both.
//   kSecReturnData / kSecReturnAttributes choose the result (bytes, an attribute dictionary, or both in
//   one dictionary with the data under kSecValueData); kSecMatchLimitAll gives an array.
// - No match: errSecItemNotFound (-25300) from copyMatching, update and deleteItems.
// - Bad parameters (no class, wrong value types, return keys in an update): errSecParam (-50), and
//   nothing changes.
// - Storage: the item file, one binary property list readable only by the user (0600), and beside it a
//   change log ("<file>.journal"): each change appends one record (length, CRC-32, what changed) and
//   flushes it, so a change costs its own bytes, not the whole keychain's. When there is no item file
//   yet, or the log has grown past the item file (and 256 KiB), or the items a change carries are longer
//   than that (by itemLength: its record is not even made), the change instead writes every item to
//   a new item file (atomically: a new file renamed over the old one) of the next generation, which
//   makes the log a left-over. Each record carries its own CRC: one cut short or failing it (a crash or a
//   full disk while writing it, a flipped byte) loses only its own change; reading goes on at the next
//   whole record. Changes name items by their place and their identity; after such a record they find
//   them by identity (an update whose item is not found keeps the item it carries, a deletion of an item
//   not found is not applied).
// - Damage never locks the keychain: a log whose header is damaged has its whole records read the same
//   way (unless it is left over: of the item file before, which a crash between writing the item file
//   and removing the log leaves, or beside no item file), bytes that are no whole record are skipped, and an item file that
//   does not decode gives the items the log's records carry whole. Each is logged; the keychain answers
//   as usual, and the next change copies the damaged file aside ("<file>.damaged", whole; the few copies
//   before it kept as "<file>.damaged.1" and on, platform/files/StorePlace.h) and then drops the damage (truncating the log when the damage lies after its last whole
//   record, else writing a new item file). When that copy cannot be made (a folder at its place, a full
//   disk), the damage is not dropped: the change answers errSecIO, the files stay as they are and reads go
//   on as before. Something at the log's place that cannot be read as one (a folder, a symbolic link,
//   which is never followed, a pipe, a file larger than kMaxFileLength) is not read: the item file alone
//   is, and the next change moves it aside to "<file>.journal.damaged" and starts a new log. Something
//   other than a regular file at the item file's place (a folder, a pipe, a socket, a device, a link)
//   or than a folder at its folder's is moved aside by the next call (platform/files/StorePlace.h), which
//   starts afresh; the lock file's place is kept by FileLock.
// - A change costs time in proportion to what it changes (and to the items its query looks at): an add
//   or update checks the identities it makes against counts of the items of each identity, kept as
//   changes go; a deletion moves the items after those it removes once. Writing every item anew (a
//   fold, or a change of all) is linear in the items.
// - Reading the files costs time linear in their bytes, whatever their records: the item file may expand
//   (through values it shares) to kMaxFileLength bytes and to the nodes of kMaxTotalLength of small
//   items, and the log's records share one such floor among them (beyond four bytes and a node a byte
//   of each); a change found by identity looks its item up, and deletions read from the log move the
//   items after them once, when the log is read.
// - Each Keychain keeps the items it read in memory and reads again only what changed on disk (the new
//   records of a grown log, else both files), so a new Keychain on the same file (a reload, another
//   process) sees the same items. An item file that is not a regular file or is larger than
//   kMaxFileLength answers errSecDecode and is left as it is (never overwritten by a change); file errors
//   answer errSecIO.
//   Writing the item file anew also removes the half-written copies ("<file>.tmp-<pid>-<n>") that a
//   process killed while writing one left beside it.
// - Limits: an item (its attributes and data, see itemLength) of more than kMaxItemLength bytes is not
//   added or made by an update (errSecItemTooLarge); an add or update that would take the items past
//   kMaxTotalLength answers errSecKeychainFull. Nothing changes then. Reads and deletes always work.
// - Thread-safe: calls are serialised by a lock on the file (threads and processes). A call waits for
//   the lock at most 10 seconds: another process holding it longer (stuck, or stopped) makes the call
//   answer errSecIO, said in the log, and change nothing.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/formats/PropertyList.h"

#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDecode = -26275;
// This keychain's own: the limits below.
inline constexpr OSStatus errSecItemTooLarge = -26290;
inline constexpr OSStatus errSecKeychainFull = -26291;

inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecAttrDescription = "desc";
inline constexpr const char* kSecAttrComment = "icmt";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccessGroup = "agrp";
// Values of kSecAttrAccessible (kept with the item; this keychain is never locked).
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr const char* kSecAttrAccessibleAlways = "dk";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";
inline constexpr const char* kSecAttrSynchronizable = "sync";
inline constexpr const char* kSecAttrSynchronizableAny = "syna";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";

class Keychain {
public:
    // The largest value (kSecValueData) an item takes whatever its other attributes: the item bound leaves
    // 64 KiB beside it for them.
    static constexpr std::size_t kMaxDataLength = 1024 * 1024;
    static constexpr std::size_t kMaxItemLength = kMaxDataLength + 64 * 1024;
    static constexpr std::size_t kMaxTotalLength = 16 * kMaxItemLength;
    // Files written by earlier versions may hold more than kMaxTotalLength: those up to this length are
    // still read (their items can be read and deleted).
    static constexpr std::size_t kMaxFileLength = 64 * 1024 * 1024;
    // What the keychain's files are read with, and so written with (PropertyList::Expansion): they share
    // equal strings and data among items (as the writer does), so they may expand past four times their
    // size, to every item's bytes (files of earlier versions up to kMaxFileLength); and nodes, one a byte
    // of the file as for any list, up to a key and a value per attribute, which counts 16 bytes at least
    // towards kMaxTotalLength, and its item: a keychain of many small items holds far more than a list
    // from another application may.
    static constexpr PropertyList::Expansion kFileExpansion{kMaxFileLength, PropertyList::kMinExpandedNodes,
                                                            3 * (kMaxTotalLength / 16)};
    // What an item counts for the limits: the bytes of its keys, strings and data, and 16 per attribute.
    static std::size_t itemLength(const Dictionary& item);

    // The application's keychain: the file "Library/Keychains/keychain.plist" of the current app home
    // (it follows AppFolders::current()).
    static Keychain& shared();

    explicit Keychain(std::string filePath);
    // A keychain whose file path is asked for at each call (the shared one follows the app home).
    explicit Keychain(std::function<std::string()> filePath);
    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    OSStatus copyMatching(const Dictionary& query, Value* result);
    OSStatus add(const Dictionary& attributes, Value* result = nullptr);
    OSStatus update(const Dictionary& query, const Dictionary& attributesToUpdate);
    OSStatus deleteItems(const Dictionary& query);

    std::string filePath() const { return m_filePath(); }

    struct Cache;

private:
    std::function<std::string()> m_filePath;
    std::unique_ptr<Cache> m_cache;  // guarded by the process-wide keychain mutex
};

} // namespace platform
