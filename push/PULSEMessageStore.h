// Pushed messages kept across the end of the process. A custom message is accepted into the store and
// the store synced before its receipt leaves; it waits there until the page (its receiver) has been
// handed it, also across restarts. The ids of the messages accepted are remembered, also across
// restarts, so that one the server sends again (a receipt that never reached it) is answered without
// being handed over a second time.
//
// File: an append log ("PULSEMessages" in the application's Library folder) of records:
//   u8 kind, u32 body length, body, u32 check (FNV-1a over kind, length and body); integers big-endian.
//   'M' accepted message: u64 id, u8 type, the text's bytes (the rest of the body)
//   'H' no longer held (handed to the page, or dropped for room): u64 id, repeated
//   'S' accepted earlier and no longer held: u64 id, repeated (written when the log is rewritten)
// A record that does not check (a write cut short by the end of the process or a full disk) ends the
// log: it and what follows are dropped with a warning, and the file is cut back to its last whole record
// (which needs no room on the disk) before anything is appended.
//
// Guarantees:
// - accept() answers at once whether the id was accepted before; commit() writes and syncs every record
//   accepted since the last commit. A failed commit forgets those messages (as if they never came: the
//   server sends them again, since they go without receipt) and answers the error.
// - Bounds: at most kMaxHeldMessages messages and kMaxHeldBytes of text wait for the page; past either
//   the oldest waiting message is dropped (one warning a commit and bound says how many, and which bound
//   it was). kMaxRememberedIds ids
//   are remembered, oldest forgotten first. A file is read up to kMaxFileBytes. The log is rewritten
//   (aside, synced, renamed over) when it is more than twice what it must hold and over 1 MiB, or would
//   outgrow kMaxFileBytes (what it must hold always fits). The log never grows past kMaxFileBytes: when
//   the rewrite due there fails (a disk without room for a second copy, a folder that takes no new
//   file), commits fail (said once) until a rewrite succeeds, rather than keep what a start would cut off.
//   What the page took (handedOver) is appended there while it fits, and a refused commit keeps it to be
//   written: a message handed over is not handed over again after a start.
// - A rewrite's temporary copy that its process left (killed in the middle) is removed at the next start.
// - One store a file: the first store to open it holds a lock (an flock on the file named with ".lock"
//   appended) until it ends. Another one (a second instance of the application on the same home) reads
//   and writes nothing while it is held (said once): its commits fail, so its messages go without receipt
//   and come again. It tries the lock again at each accept that begins a commit's messages, and once it
//   has it reads the log as at a start and keeps messages from then on.
// - A log that is there but cannot be read (no descriptor left, an I/O error) is never written: the store
//   lets the lock go and keeps nothing (commits fail) until it has read it whole, tried again as above.
// - Something other than a regular file in the log's place or the lock file's (a folder, a pipe, a
//   device, a symbolic link) is moved aside (platform/files/StorePlace.h, said once) and the store starts
//   afresh; a commit never reports a message kept that is not in the file whole. A log removed or
//   replaced while the store runs is written anew from what it holds before the next write, and so is
//   one another process appended to (found when an append does not land where the last one ended); a lock file
//   removed or replaced is locked again (or, when another instance locked the new one, nothing more is
//   written).
// - Thread: made and used on one thread (the client thread).
#pragma once

#include "platform/core/Error.h"
#include "platform/core/SeededHash.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace push {

class PULSEMessageStore {
public:
    // A burst of 100,000 messages that a page takes slowly (or only after its next start) waits whole.
    static constexpr std::size_t kMaxHeldMessages = 100000;
    static constexpr std::size_t kMaxHeldBytes = 32 << 20;
    static constexpr std::size_t kMaxRememberedIds = 131072;
    static constexpr std::size_t kMaxFileBytes = 64 << 20;
    static constexpr const char* kFileName = "PULSEMessages";
    static constexpr const char* kLockSuffix = ".lock";

    struct Message {
        std::uint64_t id = 0;
        std::uint8_t type = 0;
        std::string text;
        friend bool operator==(const Message&, const Message&) = default;
    };

    // Reads the log at the path (none yet is an empty store).
    explicit PULSEMessageStore(std::string path);
    ~PULSEMessageStore();
    PULSEMessageStore(const PULSEMessageStore&) = delete;
    PULSEMessageStore& operator=(const PULSEMessageStore&) = delete;

    // The store in the current home's Library folder.
    static std::string defaultPath();

    // True when the id is new: the message is then held (and written at the next commit).
    bool accept(std::uint64_t id, std::uint8_t type, std::string text);
    platform::Status commit();
    // The messages no longer wait (the page has them); written at once, synced at the next commit.
    void handedOver(const std::vector<std::uint64_t>& ids);

    // The messages waiting for the page, oldest first.
    std::vector<Message> held() const;
    std::size_t heldCount() const { return m_heldIds.size(); }
    bool isRemembered(std::uint64_t id) const { return m_remembered.count(id) != 0; }
    std::size_t rememberedCount() const { return m_remembered.size(); }
    const std::string& path() const { return m_path; }

private:
    void load();
    // A store without the lock tries it again, and reads the log once it has it.
    void retryLock();
    // The log is there but could not be read: the lock goes, and nothing is written until it is read.
    void unreadable(platform::Error error);
    // Before a write: the lock is taken again when its file was removed or replaced (keepLock), and the
    // log written anew (rewrite) when it was.
    platform::Status keepLock();
    platform::Status keepPlaces();
    // Cuts the open log back to m_fileBytes, its last whole record.
    platform::Status cutBack();
    void remember(std::uint64_t id);
    void release(std::uint64_t id);
    platform::Status writePending(bool sync);
    platform::Status lock();
    platform::Status openLog();
    platform::Status rewrite();
    // Writes what is pending (no message accepted since the last commit among it): a rewrite when one is
    // due, else (or when it fails) an append that stays within the bound.
    platform::Status writeHandedOver();
    bool rewriteDue() const;

    const std::string m_path;
    int m_fd = -1;
    int m_lockFd = -1;
    std::optional<platform::Error> m_lockError;
    bool m_lockReported = false; // the lock held elsewhere was said
    bool m_cutBack = false;      // the file holds bytes past m_fileBytes that are no whole record
    bool m_fullReported = false; // commits refused at kMaxFileBytes, the log not written anew, was said
    std::size_t m_fileBytes = 0;

    std::deque<Message> m_held; // oldest first; entries whose id left m_heldIds are skipped
    std::unordered_set<std::uint64_t, platform::SeededHash> m_heldIds;
    std::size_t m_heldBytes = 0;
    std::unordered_map<std::uint64_t, std::size_t, platform::SeededHash> m_heldSizes;
    std::deque<std::uint64_t> m_rememberedOrder;
    std::unordered_set<std::uint64_t, platform::SeededHash> m_remembered;

    std::vector<std::uint8_t> m_pending;   // records not written yet
    std::vector<std::uint8_t> m_handedRecords; // those of them that say what the page took
    bool m_handedReported = false;             // hand-over records not written were said
    std::vector<std::uint64_t> m_accepted; // ids accepted since the last commit
    struct Dropped {
        std::size_t forCount = 0; // held messages dropped past kMaxHeldMessages since the last commit
        std::size_t forBytes = 0; // past kMaxHeldBytes
    } m_dropped;
    bool m_rewriteNeeded = false;
};

} // namespace push
