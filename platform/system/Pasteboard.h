// Pasteboards: the general pasteboard and named pasteboards (created on demand), each holding items that
// map a type ("public.text", "content", ...) to a value. Pasteboards are shared between processes
// through files, so another process (a test playing another application) reads what this one wrote.
//
// Guarantees:
// - Storage: one binary property list per pasteboard in the pasteboard folder (the environment variable
//   HYB_PASTEBOARD_DIR, else $XDG_RUNTIME_DIR/hybridhost-pasteboards, else
//   /tmp/hybridhost-pasteboards-<uid>; setStorageFolder overrides), files 0600 in a 0700 folder.
//   Every read goes to the file; every change is a locked read-modify-write with an atomic replace, so
//   readers never see half a change and concurrent writers (threads or processes) never lose the file.
// - Any name is safe: names are escaped into file names (no path traversal, no clash with the general
//   pasteboard's file).
// - A change (setItems, updateItems, setData, setValue, setString, setPersistent) increments changeCount;
//   past the largest integer (another application's file may hold any count) it starts again from 1.
// - A change, and removeWithName, removes the temporary copies (up to kMaxFileBytes each) that changes
//   whose application ended before their rename left beside the file (PrivateFile::removeLeftOvers;
//   every writer holds the lock, so none of them is being written).
// - A change waits for the pasteboards' lock at most 10 seconds: another application holding it longer
//   (stuck, or hostile) makes the change fail, said in the log, never stalls the caller.
// - `persistent` is recorded; pasteboards live until removeWithName, since the stand-in cannot tell when
//   the application that made a non-persistent one quits.
// - Failures (a folder that cannot be written, a file that cannot be read now) return false / nothing
//   and never remove or truncate the file.
// - Every application shares the folder: something other than a file at a pasteboard's place (a folder,
//   a FIFO, a link), or other than a folder at the folder's, is moved aside by the next change
//   (StorePlace), and so is a file read but holding no pasteboard (damaged, larger than kMaxFileBytes, not
//   a pasteboard) or one no application may open (its permissions taken away; the lock file too,
//   FileLock); each is said once in the log, kept whole aside, and the pasteboard starts afresh.
//   Reads of such a file give nothing until then. The folder, when its permissions were taken away (0500:
//   no file can be made in it), gets back its owner's, said in the log; one of another user's that may
//   not be written refuses the change, said, and nothing is changed or lost.
// - Bounded before read: a pasteboard's file larger than kMaxFileBytes is not read, and
//   dataForPasteboardType with a limit reads nothing from a file too large to hold an item within it;
//   both are judged from the file's size before any byte is read. A change that would make the file
//   larger, or hold more values and keys than a property list is read back with
//   (PropertyList::kMaxNodes), fails and leaves the pasteboard as it was.
// - Thread-safe.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kPasteboardTypeUTF8PlainText = "public.utf8-plain-text";
inline constexpr const char* kPasteboardTypeText = "public.text";

class Pasteboard {
public:
    // Pasteboards come from other processes: files larger than this are not read.
    static constexpr std::uint64_t kMaxFileBytes = std::uint64_t{64} << 20;
    // What a pasteboard's file holds beside its items' data (names, types, counts).
    static constexpr std::uint64_t kFileOverheadBytes = std::uint64_t{64} << 10;

    static std::shared_ptr<Pasteboard> general();
    // The named pasteboard; nullptr when it does not exist and create is false (or it cannot be made).
    static std::shared_ptr<Pasteboard> withName(const std::string& name, bool create);
    static void removeWithName(const std::string& name);

    static void setStorageFolder(std::string folder);
    static std::string storageFolder();

    const std::string& name() const { return m_name; }
    bool isGeneral() const { return m_general; }

    bool isPersistent() const;
    bool setPersistent(bool persistent);
    long long changeCount() const;

    // Items: each a dictionary from type to value (string, bytes or any property-list value).
    Array items() const;
    bool setItems(const Array& items);
    // Changes the items in one hold of the pasteboards' lock: `update` is given them as they stand and
    // answers whether to write them (each must be a dictionary), so that what another application changed
    // meanwhile is never written over with what was read before it. False when `update` answers false, or
    // as setItems.
    bool updateItems(const std::function<bool(Array& items)>& update);
    std::size_t numberOfItems() const;
    // The types of the first item.
    std::vector<std::string> pasteboardTypes() const;
    bool containsPasteboardTypes(const std::vector<std::string>& types) const;

    // The first item's value for a type, as stored.
    Value valueForPasteboardType(const std::string& type) const;
    // Replaces the items with one item holding the value for the type.
    bool setValue(const Value& value, const std::string& type);
    // The first item's value for a type as bytes: strings as UTF-8, bytes as they are, other values as a
    // binary property list.
    std::optional<Bytes> dataForPasteboardType(const std::string& type) const;
    // The same, for an item of at most maxBytes: nothing when there is no such item, an error (EFBIG) for
    // a larger one, and nothing read at all when the file is larger than maxBytes and kFileOverheadBytes.
    Result<std::optional<Bytes>> dataForPasteboardType(const std::string& type, std::uint64_t maxBytes) const;
    bool setData(const Bytes& data, const std::string& type);
    // An item's value as bytes, as dataForPasteboardType gives it; nothing for a null value.
    static std::optional<Bytes> dataOf(const Value& value);

    // The first item's text (types public.utf8-plain-text, public.text, public.plain-text).
    std::optional<std::string> string() const;
    bool setString(const std::string& text);

private:
    Pasteboard(std::string name, bool general) : m_name(std::move(name)), m_general(general) {}

    std::string filePath() const;
    Result<Dictionary> readState(std::uint64_t maxBytes = kMaxFileBytes) const;
    template <class Change>
    bool change(Change&& change);

    std::string m_name;
    bool m_general = false;
};

} // namespace platform
