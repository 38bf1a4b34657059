#include "push/PULSEMessageStore.h"

#include "push/PULSELogging.h"

#include "platform/core/SeededHash.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace push {

namespace {

constexpr std::size_t kRecordOverhead = 1 + 4 + 4;
constexpr std::size_t kIdsPerRecord = 4096;
constexpr std::size_t kRewriteSlack = 1 << 20;
constexpr const char* kOwner = "The push message store";
// All a rewrite writes (every remembered id, every held message) fits in what is read back.
static_assert(PULSEMessageStore::kMaxRememberedIds * 8 + (PULSEMessageStore::kMaxRememberedIds / kIdsPerRecord + 1) * kRecordOverhead +
                      PULSEMessageStore::kMaxHeldBytes + PULSEMessageStore::kMaxHeldMessages * (kRecordOverhead + 9) <
                  PULSEMessageStore::kMaxFileBytes);

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint64_t readU64(const std::uint8_t* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | at[i];
    return value;
}

std::uint32_t readU32(const std::uint8_t* at) {
    return (std::uint32_t(at[0]) << 24) | (std::uint32_t(at[1]) << 16) | (std::uint32_t(at[2]) << 8) | at[3];
}

std::uint32_t check(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < count; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;
    }
    return hash;
}

void encodeRecord(std::vector<std::uint8_t>& out, char kind, const std::vector<std::uint8_t>& body) {
    const std::size_t start = out.size();
    out.push_back(static_cast<std::uint8_t>(kind));
    putU32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    putU32(out, check(out.data() + start, out.size() - start));
}

std::vector<std::uint8_t> messageBody(const PULSEMessageStore::Message& message) {
    std::vector<std::uint8_t> body;
    body.reserve(9 + message.text.size());
    putU64(body, message.id);
    body.push_back(message.type);
    body.insert(body.end(), message.text.begin(), message.text.end());
    return body;
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

platform::Error storeError(const std::string& what, int error) {
    return platform::Error("PULSEMessageStore", error, what + ": " + std::strerror(error));
}

// Something else in the store's place (a folder, a pipe that would block every open, a device) is
// neither read nor written.
platform::Status checkRegular(int fd, const std::string& path) {
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return storeError("stat " + path, errno);
    if (!S_ISREG(status.st_mode))
        return platform::Error("PULSEMessageStore", EINVAL, path + " is not a regular file");
    return {};
}

// Whether the open descriptor is the file at the path now (it was not removed, renamed away or replaced).
bool namesSameFile(int fd, const std::string& path) {
    struct stat open {}, now {};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &now) == 0 && open.st_dev == now.st_dev && open.st_ino == now.st_ino;
}

} // namespace

PULSEMessageStore::PULSEMessageStore(std::string path) : m_path(std::move(path)) { load(); }

PULSEMessageStore::~PULSEMessageStore() {
    if (!m_pending.empty())
        (void)writeHandedOver();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

std::string PULSEMessageStore::defaultPath() {
    const std::string folder = platform::AppFolders::current().library();
    auto& files = platform::FileManager::defaultManager();
    if (!files.isDirectory(folder)) {
        if (auto made = files.createDirectory(folder, true); !made)
            PULSE_LOG_ERROR("create message store folder failed: %s", made.error().localizedDescription().c_str());
    }
    return platform::appendingPathComponent(folder, kFileName);
}

// ---- reading ----

void PULSEMessageStore::load() {
    if (auto locked = lock(); !locked) {
        // Said once: a later accept tries the lock again, quietly.
        if (!m_lockReported)
            PULSE_LOG_ERROR("message store %s: %s", m_path.c_str(), locked.error().localizedDescription().c_str());
        m_lockReported = true;
        return;
    }
    // A rewrite ended with its process leaves its temporary copy (as large as the log) beside it; none
    // is being written while the lock is held here.
    if (auto removed = platform::FileManager::defaultManager().removeTemporaryLeftOvers(m_path); removed && *removed > 0)
        PULSE_LOG_INFO("message store %s: %zu copies left by an ended rewrite were removed", m_path.c_str(), *removed);
    // Something else in the log's place (a folder, a pipe that would block every open, a link to a device)
    // is moved aside, under the lock: the store starts afresh.
    if (!platform::StorePlace::isUsable(platform::StorePlace::makeFit(m_path, kOwner)))
        return;
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            unreadable(storeError("read " + m_path, errno));
        return;
    }
    if (auto regular = checkRegular(fd, m_path); !regular) {
        ::close(fd);
        unreadable(regular.error());
        return;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    bool cut = false;
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            const int error = errno;
            ::close(fd);
            unreadable(storeError("read " + m_path, error));
            return;
        }
        if (count == 0)
            break;
        // A file of exactly the bound is read whole: only a byte past it is cut.
        const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(count), kMaxFileBytes - bytes.size());
        bytes.insert(bytes.end(), chunk, chunk + take);
        if (take < static_cast<std::size_t>(count)) {
            cut = true;
            break;
        }
    }
    ::close(fd);
    if (cut)
        PULSE_LOG_WARN("message store %s is larger than %zu bytes: only its beginning is read", m_path.c_str(), kMaxFileBytes);

    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t left = bytes.size() - at;
        if (left < kRecordOverhead)
            break;
        const std::uint32_t length = readU32(&bytes[at + 1]);
        if (length > left - kRecordOverhead)
            break;
        const std::size_t end = at + 5 + length;
        if (readU32(&bytes[end]) != check(&bytes[at], 5 + length))
            break;
        const char kind = static_cast<char>(bytes[at]);
        const std::uint8_t* body = &bytes[at + 5];
        if (kind == 'M' && length >= 9) {
            const std::uint64_t id = readU64(body);
            if (!isRemembered(id)) {
                remember(id);
                Message message{id, body[8], std::string(reinterpret_cast<const char*>(body + 9), length - 9)};
                m_heldIds.insert(id);
                m_heldSizes[id] = message.text.size();
                m_heldBytes += message.text.size();
                m_held.push_back(std::move(message));
            }
        } else if ((kind == 'H' || kind == 'S') && length % 8 == 0) {
            for (std::size_t i = 0; i < length; i += 8) {
                const std::uint64_t id = readU64(body + i);
                if (kind == 'H')
                    release(id);
                else if (!isRemembered(id))
                    remember(id);
            }
        } else {
            break; // a record this store never writes
        }
        at = end + 4;
    }
    // Appends go after the last whole record: what lies beyond it (a record cut short, damage, what was
    // past the bound) is cut off before the next one is written, which needs no room on the disk.
    m_fileBytes = at;
    m_cutBack = cut || at < bytes.size();
    if (at < bytes.size())
        PULSE_LOG_WARN("message store %s is damaged at byte %zu: the %zu bytes from there are dropped", m_path.c_str(), at,
                       bytes.size() - at);
    // A log written with larger bounds keeps the newest.
    while (m_heldIds.size() > kMaxHeldMessages || m_heldBytes > kMaxHeldBytes) {
        while (!m_heldIds.count(m_held.front().id))
            m_held.pop_front();
        release(m_held.front().id);
        m_rewriteNeeded = true;
    }
    if (m_rewriteNeeded || rewriteDue()) {
        if (auto rewritten = rewrite(); !rewritten)
            PULSE_LOG_ERROR("message store %s cannot be written: %s", m_path.c_str(), rewritten.error().localizedDescription().c_str());
    }
    if (m_cutBack) {
        if (auto mended = m_fd >= 0 ? cutBack() : openLog(); !mended)
            PULSE_LOG_ERROR("message store %s cannot be written: %s", m_path.c_str(), mended.error().localizedDescription().c_str());
    }
}

void PULSEMessageStore::unreadable(platform::Error error) {
    // What the store would write next (a rewrite from what it holds, a cut back to what it read) would
    // drop the messages it could not read: it lets the lock go and takes nothing until it has read the
    // log whole (retryLock, at a later message), as when another instance holds it.
    PULSE_LOG_ERROR("message store %s cannot be read: %s; no message is kept until it is", m_path.c_str(),
                    error.localizedDescription().c_str());
    ::close(m_lockFd);
    m_lockFd = -1;
    m_lockError = std::move(error);
}

void PULSEMessageStore::retryLock() {
    // Only between commits, with nothing of this store's in memory (every commit without the lock
    // forgets what it took): what the log holds is read as at a start.
    if (m_lockFd >= 0 || !m_accepted.empty() || !m_pending.empty())
        return;
    m_lockError.reset();
    m_held.clear();
    m_heldIds.clear();
    m_heldSizes.clear();
    m_heldBytes = 0;
    m_remembered.clear();
    m_rememberedOrder.clear();
    m_dropped = {};
    m_rewriteNeeded = false;
    load();
    if (m_lockFd >= 0)
        PULSE_LOG_INFO("message store %s is this instance's now: its messages are kept from here on", m_path.c_str());
}

// ---- memory ----

void PULSEMessageStore::remember(std::uint64_t id) {
    m_remembered.insert(id);
    m_rememberedOrder.push_back(id);
    while (m_rememberedOrder.size() > kMaxRememberedIds) {
        m_remembered.erase(m_rememberedOrder.front());
        m_rememberedOrder.pop_front();
    }
}

void PULSEMessageStore::release(std::uint64_t id) {
    if (m_heldIds.erase(id) == 0)
        return;
    const auto size = m_heldSizes.find(id);
    if (size != m_heldSizes.end()) {
        m_heldBytes -= size->second;
        m_heldSizes.erase(size);
    }
    while (!m_held.empty() && !m_heldIds.count(m_held.front().id))
        m_held.pop_front();
    // Messages handed over out of order leave entries behind the first: tidy up once they are many.
    if (m_held.size() > 2 * m_heldIds.size() + 64) {
        std::deque<Message> kept;
        std::unordered_set<std::uint64_t, platform::SeededHash> seen;
        for (auto& message : m_held)
            if (m_heldIds.count(message.id) && seen.insert(message.id).second)
                kept.push_back(std::move(message));
        m_held = std::move(kept);
    }
}

bool PULSEMessageStore::accept(std::uint64_t id, std::uint8_t type, std::string text) {
    if (m_lockFd < 0)
        retryLock();
    if (isRemembered(id))
        return false;
    remember(id);
    Message message{id, type, std::move(text)};
    encodeRecord(m_pending, 'M', messageBody(message));
    m_heldIds.insert(id);
    m_heldSizes[id] = message.text.size();
    m_heldBytes += message.text.size();
    m_held.push_back(std::move(message));
    m_accepted.push_back(id);
    std::vector<std::uint8_t> dropped;
    while (m_heldIds.size() > kMaxHeldMessages || m_heldBytes > kMaxHeldBytes) {
        while (!m_heldIds.count(m_held.front().id))
            m_held.pop_front();
        const std::uint64_t oldest = m_held.front().id;
        putU64(dropped, oldest);
        ++(m_heldIds.size() > kMaxHeldMessages ? m_dropped.forCount : m_dropped.forBytes);
        release(oldest);
    }
    if (!dropped.empty())
        encodeRecord(m_pending, 'H', dropped);
    return true;
}

std::vector<PULSEMessageStore::Message> PULSEMessageStore::held() const {
    std::vector<Message> messages;
    messages.reserve(m_heldIds.size());
    std::unordered_set<std::uint64_t, platform::SeededHash> seen;
    for (const auto& message : m_held)
        if (m_heldIds.count(message.id) && seen.insert(message.id).second)
            messages.push_back(message);
    return messages;
}

void PULSEMessageStore::handedOver(const std::vector<std::uint64_t>& ids) {
    std::vector<std::uint8_t> body;
    std::vector<std::uint8_t> records;
    for (const std::uint64_t id : ids) {
        if (!m_heldIds.count(id))
            continue;
        putU64(body, id);
        release(id);
        if (body.size() >= kIdsPerRecord * 8) {
            encodeRecord(records, 'H', body);
            body.clear();
        }
    }
    if (!body.empty())
        encodeRecord(records, 'H', body);
    m_pending.insert(m_pending.end(), records.begin(), records.end());
    m_handedRecords.insert(m_handedRecords.end(), records.begin(), records.end());
    if (m_accepted.empty() && !m_pending.empty()) {
        // Said once, until they are written.
        if (auto written = writeHandedOver(); !written && !m_handedReported) {
            PULSE_LOG_ERROR("message store %s: handed-over messages not written yet: %s", m_path.c_str(),
                            written.error().localizedDescription().c_str());
            m_handedReported = true;
        }
    }
}

platform::Status PULSEMessageStore::writeHandedOver() {
    // A rewrite that fails (at the bound, a disk without room for a second copy) leaves the log as it
    // was: the small records that say what the page took are appended while they fit, so that a start
    // never hands those messages over again.
    platform::Status status;
    if (rewriteDue())
        status = rewrite();
    if (!status || !m_pending.empty())
        status = writePending(false);
    return status;
}

// ---- writing ----

platform::Status PULSEMessageStore::lock() {
    if (m_lockFd >= 0)
        return {};
    if (m_lockError)
        return *m_lockError;
    const std::string path = m_path + kLockSuffix;
    // A failure stands until the store tries again (retryLock), which reads the log first: the lock is
    // never taken on the way to a write, over a log this store has not read.
    // Only a regular file is locked: something else there would leave the store unlocked for good.
    if (!platform::StorePlace::isUsable(platform::StorePlace::makeFit(path, kOwner)))
        return *(m_lockError = platform::Error("PULSEMessageStore", EINVAL, path + " is not a regular file"));
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return *(m_lockError = storeError("open " + path, errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK)
            return *(m_lockError = storeError("lock " + path, error));
        // Another instance keeps its messages here: this one takes none (the server sends them again).
        m_lockError = platform::Error("PULSEMessageStore", error, m_path + " is in use by another instance");
        return *m_lockError;
    }
    m_lockFd = fd;
    return {};
}

platform::Status PULSEMessageStore::openLog() {
    if (m_fd >= 0)
        return {};
    if (auto locked = lock(); !locked)
        return locked;
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return storeError("open " + m_path, errno);
    if (auto regular = checkRegular(m_fd, m_path); !regular) {
        ::close(m_fd);
        m_fd = -1;
        return regular;
    }
    if (m_cutBack)
        return cutBack();
    const off_t end = ::lseek(m_fd, 0, SEEK_END);
    m_fileBytes = end > 0 ? static_cast<std::size_t>(end) : 0;
    return {};
}

platform::Status PULSEMessageStore::cutBack() {
    if (::ftruncate(m_fd, static_cast<off_t>(m_fileBytes)) != 0)
        return storeError("cut back " + m_path, errno);
    m_cutBack = false;
    return {};
}

platform::Status PULSEMessageStore::keepLock() {
    // A lock file removed or replaced under the lock excludes nobody: another instance may lock the file
    // there now. The store locks that one too, or, when another instance has it, writes no more.
    if (m_lockFd < 0 || namesSameFile(m_lockFd, m_path + kLockSuffix))
        return {};
    PULSE_LOG_WARN("message store %s: its lock file was removed or replaced; the store locks the one there now", m_path.c_str());
    ::close(m_lockFd);
    m_lockFd = -1;
    if (auto locked = lock(); !locked) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return locked;
    }
    return {};
}

platform::Status PULSEMessageStore::keepPlaces() {
    if (auto locked = keepLock(); !locked)
        return locked;
    // Appends to a log removed or replaced under the store would go to a file nobody reads again: the log
    // is written anew at its place from what the store holds (every message it kept is held or remembered).
    if (m_fd >= 0 && !namesSameFile(m_fd, m_path)) {
        PULSE_LOG_WARN("message store %s was removed or replaced; it is written anew from what this instance holds", m_path.c_str());
        ::close(m_fd);
        m_fd = -1;
        return rewrite();
    }
    return {};
}

platform::Status PULSEMessageStore::writePending(bool sync) {
    if (auto kept = keepPlaces(); !kept || m_pending.empty())
        return kept;
    if (auto opened = openLog(); !opened)
        return opened;
    // Never after bytes that are no whole record: what follows them would be lost at the next read.
    if (m_cutBack) {
        if (auto cut = cutBack(); !cut)
            return cut;
    }
    // Never past what a start reads back: what lay beyond would be cut off there, its messages lost
    // though their commits succeeded. The log must be written anew first (rewrite).
    if (m_fileBytes + m_pending.size() > kMaxFileBytes)
        return platform::Error("PULSEMessageStore", EFBIG,
                               m_path + " would grow past the " + std::to_string(kMaxFileBytes) + " bytes it is read back to");
    if (!writeAll(m_fd, m_pending.data(), m_pending.size())) {
        const int error = errno;
        // A record cut short would end the log where it stands: the file goes back to its last whole
        // record, now or before the next write.
        m_cutBack = true;
        (void)cutBack();
        return storeError("write " + m_path, error);
    }
    // Bytes another process appended meanwhile (an instance without the lock, anything writing to the
    // file) would stand before these records, which the next start would then not reach: the log is
    // written anew from what the store holds (these records' messages with the rest).
    const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
    if (end != static_cast<off_t>(m_fileBytes + m_pending.size())) {
        PULSE_LOG_WARN("message store %s was written to by another meanwhile; it is written anew", m_path.c_str());
        ::close(m_fd);
        m_fd = -1;
        return rewrite();
    }
    m_fileBytes += m_pending.size();
    m_pending.clear();
    m_handedRecords.clear();
    m_handedReported = false;
    if (sync && ::fsync(m_fd) != 0)
        return storeError("sync " + m_path, errno);
    return {};
}

bool PULSEMessageStore::rewriteDue() const {
    const std::size_t live = m_remembered.size() * 8 + m_heldBytes + m_heldIds.size() * (kRecordOverhead + 9) + kRecordOverhead;
    const std::size_t size = m_fileBytes + m_pending.size();
    return size > 2 * live + kRewriteSlack || size > kMaxFileBytes;
}

platform::Status PULSEMessageStore::rewrite() {
    if (auto kept = keepLock(); !kept)
        return kept;
    if (auto locked = lock(); !locked)
        return locked;
    // The new file is renamed into the place: something other than a file there would refuse it.
    if (!platform::StorePlace::isUsable(platform::StorePlace::makeFit(m_path, kOwner)))
        return platform::Error("PULSEMessageStore", EINVAL, m_path + " is not a regular file");
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> ids;
    for (const std::uint64_t id : m_rememberedOrder) {
        if (m_heldIds.count(id))
            continue;
        putU64(ids, id);
        if (ids.size() >= kIdsPerRecord * 8) {
            encodeRecord(bytes, 'S', ids);
            ids.clear();
        }
    }
    if (!ids.empty())
        encodeRecord(bytes, 'S', ids);
    for (const auto& message : held())
        encodeRecord(bytes, 'M', messageBody(message));
    auto written = platform::FileManager::defaultManager().writeAtomically(m_path, platform::Bytes(bytes.begin(), bytes.end()));
    if (!written)
        return written;
    if (m_fullReported)
        PULSE_LOG_INFO("message store %s was written anew: messages are kept again", m_path.c_str());
    m_fullReported = false;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_pending.clear();
    m_handedRecords.clear();
    m_handedReported = false;
    m_rewriteNeeded = false;
    m_cutBack = false;
    return openLog();
}

platform::Status PULSEMessageStore::commit() {
    // The line names the bound that was hit.
    if (m_dropped.forCount > 0)
        PULSE_LOG_WARN("%zu pushed messages the page has not taken were dropped for newer ones (at most %zu messages wait)",
                       m_dropped.forCount, kMaxHeldMessages);
    if (m_dropped.forBytes > 0)
        PULSE_LOG_WARN("%zu pushed messages the page has not taken were dropped for newer ones (at most %zu bytes of messages wait)",
                       m_dropped.forBytes, kMaxHeldBytes);
    m_dropped = {};
    if (m_pending.empty() && m_accepted.empty())
        return {};
    platform::Status status;
    if (m_rewriteNeeded || rewriteDue())
        status = rewrite();
    if (!status || !m_pending.empty()) {
        // A rewrite that failed (a disk without room for the second copy, a folder that takes no new
        // file) leaves the log as it was: appends go on while the log stays within what is read back.
        const platform::Status rewritten = status;
        status = writePending(true);
        if (!status && !rewritten && status.error().code == EFBIG) {
            // Said once, until a rewrite succeeds again; each refused commit is reported by its caller.
            if (!m_fullReported)
                PULSE_LOG_ERROR("message store %s is at its bound of %zu bytes and cannot be written anew (%s): no message is kept "
                                "until it can",
                                m_path.c_str(), kMaxFileBytes, rewritten.error().localizedDescription().c_str());
            m_fullReported = true;
            status = rewritten;
        }
    }
    if (!status) {
        // Not kept: as if they never came. They go without receipt, so the server sends them again.
        const std::unordered_set<std::uint64_t, platform::SeededHash> accepted(m_accepted.begin(), m_accepted.end());
        while (!m_rememberedOrder.empty() && accepted.count(m_rememberedOrder.back())) {
            m_remembered.erase(m_rememberedOrder.back());
            m_rememberedOrder.pop_back();
        }
        while (!m_held.empty() && accepted.count(m_held.back().id))
            m_held.pop_back();
        for (const std::uint64_t id : m_accepted)
            release(id);
        // What the page took stays to be written (a start must not hand it over again), while the log
        // is this store's.
        m_pending.clear();
        if (m_lockFd >= 0)
            m_pending = m_handedRecords;
        else
            m_handedRecords.clear();
    }
    m_accepted.clear();
    return status;
}

} // namespace push
