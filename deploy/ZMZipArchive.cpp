#include "deploy/ZMZipArchive.h"

#include "platform/core/Log.h"
#include "deploy/ZipEntryPath.h"
#include "platform/text/TextEncoding.h"
#include "platform/core/SeededHash.h"

#include <unzip.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace deploy {

namespace {

// Data moves through one buffer of this size; memory stays flat however large the archive is.
constexpr std::size_t kBufferSize = 64 * 1024;
// Archives with at least this many entries and bytes are unpacked by several threads.
constexpr std::size_t kParallelMinimumEntries = 64;
constexpr std::uint64_t kParallelMinimumBytes = 4 * 1024 * 1024;
constexpr unsigned kMaxUnpackThreads = 4;
// Longest symbolic-link target accepted.
constexpr std::size_t kMaxLinkTarget = 4096;
// The least block counted for what an entry costs on disk, whatever the volume says.
constexpr std::uint64_t kLeastBlock = 4096;
// Fixed part of a record of the archive's central directory (its name, extra field and comment follow).
constexpr std::uint64_t kCentralRecordLength = 46;

std::string systemMessage(int error) { return std::strerror(error); }

platform::Error writeError(const std::string& what, const std::string& path, int error) {
    return ZMZipArchive::makeError(ZMZipArchive::kErrorWriteFailed,
                                   what + " \"" + path + "\": " + systemMessage(error));
}

ZipEntryInfo entryInfoFrom(const unz_file_info64& raw) {
    ZipEntryInfo info;
    info.versionMadeBy = static_cast<std::uint32_t>(raw.version);
    info.versionNeeded = static_cast<std::uint32_t>(raw.version_needed);
    info.flags = static_cast<std::uint32_t>(raw.flag);
    info.compressionMethod = static_cast<std::uint32_t>(raw.compression_method);
    info.dosDate = static_cast<std::uint32_t>(raw.dosDate);
    info.crc = static_cast<std::uint32_t>(raw.crc);
    info.compressedSize = raw.compressed_size;
    info.uncompressedSize = raw.uncompressed_size;
    info.nameSize = static_cast<std::uint32_t>(raw.size_filename);
    info.extraSize = static_cast<std::uint32_t>(raw.size_file_extra);
    info.commentSize = static_cast<std::uint32_t>(raw.size_file_comment);
    info.diskNumberStart = static_cast<std::uint32_t>(raw.disk_num_start);
    info.internalAttributes = static_cast<std::uint32_t>(raw.internal_fa);
    info.externalAttributes = static_cast<std::uint32_t>(raw.external_fa);
    info.second = static_cast<int>(raw.tmu_date.tm_sec);
    info.minute = static_cast<int>(raw.tmu_date.tm_min);
    info.hour = static_cast<int>(raw.tmu_date.tm_hour);
    info.day = static_cast<int>(raw.tmu_date.tm_mday);
    info.month = static_cast<int>(raw.tmu_date.tm_mon);
    info.year = static_cast<int>(raw.tmu_date.tm_year);
    return info;
}

enum class EntryKind { File, Directory, Link };

struct Entry {
    ZipEntryInfo info;
    ZipEntryPath path;
    unz64_file_pos position{};
    EntryKind kind = EntryKind::File;
    // The folder the entry is (a folder entry) or lies in (see Unzipper::mapFolders).
    std::size_t folder = 0;
};

bool isUnixLink(const ZipEntryInfo& info) {
    return (info.versionMadeBy & ~0xFFu) == 0x300 && (info.externalAttributes & 0xF0000000u) == 0xA0000000u;
}

struct timespec timespecFrom(platform::Date date) {
    struct timespec ts{};
    double whole = date.secondsSince1970 >= 0 ? static_cast<double>(static_cast<long long>(date.secondsSince1970))
                                              : -static_cast<double>(static_cast<long long>(-date.secondsSince1970));
    ts.tv_sec = static_cast<time_t>(whole);
    ts.tv_nsec = 0;
    return ts;
}

// Positions the archive on the entry and opens it (with the password when one is given).
platform::Status openArchiveEntry(unzFile zip, const Entry& entry, const std::string& password) {
    unz64_file_pos position = entry.position;
    if (unzGoToFilePos64(zip, &position) != UNZ_OK)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryOpenFailed,
                                       "failed to find entry \"" + entry.path.relativePath + "\"");
    // Without a password an encrypted entry would be read as if it were not: its ciphertext inflated.
    if ((entry.info.flags & 1u) && password.empty())
        return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryOpenFailed,
                                       "entry \"" + entry.path.relativePath + "\" is encrypted and no password was given");
    int opened = password.empty() ? unzOpenCurrentFile(zip) : unzOpenCurrentFilePassword(zip, password.c_str());
    if (opened != UNZ_OK)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryOpenFailed,
                                       "failed to open entry \"" + entry.path.relativePath + "\"");
    return {};
}

// Closes the open entry; a CRC mismatch shows here, once the whole entry was read.
platform::Status closeOpenEntry(unzFile zip) {
    int status = unzCloseCurrentFile(zip);
    if (status == UNZ_CRCERROR)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorReadFailed, "CRC error in entry");
    if (status != UNZ_OK)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorReadFailed, "failed to close entry");
    return {};
}

// Writes the open entry's data to a new file at fullPath (its folder exists), replacing what is there
// without following a link, and applies the entry's permissions.
platform::Status writeEntryData(unzFile zip, std::vector<char>& buffer, const Entry& entry, const std::string& fullPath) {
    std::uint64_t inflated = 0;
    const std::string& rel = entry.path.relativePath;
    int fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && (errno == ELOOP || errno == EACCES || errno == ETXTBSY)) {
        // A link or a read-only file stands there: replace it rather than write through or into it.
        ::unlink(fullPath.c_str());
        fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    if (fd < 0)
        return writeError("cannot write file", fullPath, errno);
    platform::Status result;
    for (;;) {
        int n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (n < 0) {
            result = ZMZipArchive::makeError(ZMZipArchive::kErrorReadFailed,
                                             "failed to read entry \"" + rel + "\" (" + std::to_string(n) + ")");
            break;
        }
        if (n == 0)
            break;
        inflated += static_cast<std::uint64_t>(n);
        if (inflated > entry.info.uncompressedSize) {
            result = ZMZipArchive::makeError(ZMZipArchive::kErrorTooLarge,
                                             "entry \"" + rel + "\" expands beyond its declared " +
                                                 std::to_string(entry.info.uncompressedSize) + " bytes");
            break;
        }
        const char* data = buffer.data();
        std::size_t left = static_cast<std::size_t>(n);
        while (left > 0) {
            ssize_t w = ::write(fd, data, left);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                result = writeError("cannot write file", fullPath, errno);
                break;
            }
            data += w;
            left -= static_cast<std::size_t>(w);
        }
        if (!result)
            break;
    }
    // A stream that ends before its declared size is never checked against its CRC: it is refused here.
    if (result && inflated != entry.info.uncompressedSize)
        result = ZMZipArchive::makeError(ZMZipArchive::kErrorReadFailed,
                                         "entry \"" + rel + "\" ends after " + std::to_string(inflated) + " of its declared " +
                                             std::to_string(entry.info.uncompressedSize) + " bytes");
    if (result) {
        mode_t mode = static_cast<mode_t>(entry.info.externalAttributes >> 16);
        if (mode != 0 && ::fchmod(fd, mode & 0777) != 0)
            platform::Log::write("[ZMZipArchive] Failed to set attributes - whilst setting permissions");
    }
    if (::close(fd) != 0 && result)
        result = writeError("cannot write file", fullPath, errno);
    return result;
}

// What the archive's end records declare about its central directory, found as the unzip library finds
// them: the last end-record signature within the archive's last 64 KiB, and, where a zip64 locator is
// found likewise, the zip64 end record it points to (whose counts and sizes then take precedence).
struct DeclaredDirectory {
    std::uint64_t entries = 0;
    std::uint64_t length = 0;
    bool consistent = true;  // false: the end record and the zip64 one disagree on the count
};

std::optional<DeclaredDirectory> declaredDirectory(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::optional<DeclaredDirectory> found;
    auto readAt = [&](std::uint64_t offset, std::size_t length, std::string& out) {
        out.assign(length, '\0');
        return ::pread(fd, out.data(), length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
    };
    auto number = [](const std::string& bytes, std::size_t at, int width) {
        std::uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
        return v;
    };
    constexpr std::uint64_t kSearched = 0xffff;
    std::string tail;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 22) {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t start = size > kSearched ? size - kSearched : 0;
        if (readAt(start, static_cast<std::size_t>(size - start), tail)) {
            auto last = [&](const char* signature) -> std::optional<std::size_t> {
                for (std::size_t i = tail.size() - 4 + 1; i-- > 0;)
                    if (tail.compare(i, 4, signature, 4) == 0)
                        return i;
                return std::nullopt;
            };
            const std::optional<std::size_t> end = last("PK\x05\x06");
            const std::optional<std::size_t> locator = last("PK\x06\x07");
            if (end && *end + 22 <= tail.size()) {
                DeclaredDirectory declared{number(tail, *end + 10, 2), number(tail, *end + 12, 4), true};
                std::string wide;
                if (!locator) {
                    found = declared;
                } else if (*locator + 20 <= tail.size() && readAt(number(tail, *locator + 8, 8), 56, wide) &&
                           wide.compare(0, 4, "PK\x06\x06", 4) == 0) {
                    const std::uint64_t wideEntries = number(wide, 32, 8);
                    found = DeclaredDirectory{wideEntries, number(wide, 40, 8),
                                              declared.entries == 0xffff || declared.entries == wideEntries};
                }
            }
        }
    }
    ::close(fd);
    return found;
}

// One unzip run: the open archive, the destination and what has been learnt about it.
class Unzipper {
public:
    Unzipper(unzFile zip, const std::string& archivePath, const std::string& destination, bool overwrite,
             const std::string& password, ZMZipArchiveDelegate* delegate)
        : m_zip(zip), m_archivePath(archivePath), m_destination(destination), m_overwrite(overwrite),
          m_password(password), m_delegate(delegate), m_buffer(kBufferSize) {}

    platform::Status readDirectory(std::uint64_t count);
    // Names the folders the entries make (after readDirectory); refuses more than the limits let cost.
    platform::Status mapFolders();
    // Refuses an archive whose entries declare more than the limits allow.
    platform::Status checkExpansion(std::uint64_t archiveLength) const;
    platform::Status extractAll(std::int64_t total);
    void restoreDates();

private:
    bool canExtractInParallel() const;
    platform::Status extractInParallel(std::int64_t total);
    platform::Status ensureFolder(std::size_t folder);
    std::string relativePathOf(std::size_t folder) const;
    platform::Status writeFile(const Entry& entry, const std::string& fullPath, bool& skipped);
    platform::Status writeLink(const Entry& entry, const std::string& fullPath, bool& skipped);
    platform::Status closeEntry();
    std::string fullPathOf(const std::string& relativePath) const {
        return relativePath.empty() ? m_destination : m_destination + "/" + relativePath;
    }

    unzFile m_zip;
    const std::string& m_archivePath;
    std::string m_destination;
    bool m_overwrite;
    const std::string& m_password;
    ZMZipArchiveDelegate* m_delegate;
    std::vector<char> m_buffer;
    std::vector<Entry> m_entries;
    // The folders the entries' names make, each once, named by its parent and its last component, so
    // that they take memory in proportion to the names' bytes, however deep they go (a name of a
    // thousand components makes a thousand folders; their whole paths would take the square of it).
    // Folder 0 is the destination.
    struct Folder {
        std::size_t parent = 0;
        std::string_view name; // into an entry's path (the entries no longer move once read)
        bool named = false;    // by a folder entry of its own
        bool made = false;     // there at the destination, and no link
    };
    struct FolderKey {
        std::size_t parent;
        std::string_view name;
        bool operator==(const FolderKey&) const = default;
    };
    struct FolderKeyHash {
        std::size_t operator()(const FolderKey& key) const {
            const platform::SeededHash hash;
            return hash(key.name) ^ (hash(key.parent) * 0x9E3779B97F4A7C15ULL);
        }
    };
    std::vector<Folder> m_folders{Folder{0, {}, true, true}};
    struct Dated {
        std::string path;
        platform::Date date;
    };
    std::vector<Dated> m_dates;
};

platform::Status Unzipper::readDirectory(std::uint64_t count) {
    auto tooMany = [] {
        return ZMZipArchive::makeError(ZMZipArchive::kErrorTooLarge, "refused to unpack more than " +
                                                                         std::to_string(ZMZipArchive::kMaxEntries) + " entries");
    };
    if (count > ZMZipArchive::kMaxEntries)
        return tooMany();
    m_entries.reserve(static_cast<std::size_t>(count));
    std::string name;
    // Files and links by path: a second entry for one of them would make the archive say two things
    // about one file (what is installed would depend on which one a reader takes).
    std::unordered_set<std::string, platform::SeededHash, std::equal_to<>> files;
    int status = UNZ_OK;
    while (status == UNZ_OK) {
        // The count the archive states may be wrong: the entries are counted as they are read.
        if (m_entries.size() >= ZMZipArchive::kMaxEntries)
            return tooMany();
        unz_file_info64 raw{};
        if (unzGetCurrentFileInfo64(m_zip, &raw, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed, "failed to read entry information");
        name.assign(raw.size_filename, '\0');
        if (unzGetCurrentFileInfo64(m_zip, &raw, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr,
                                    0) != UNZ_OK)
            return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed, "failed to read entry information");
        Entry entry;
        entry.info = entryInfoFrom(raw);
        auto path = ZipEntryPath::fromEntryName(name);
        if (!path)
            return path.error();
        entry.path = std::move(path.value());
        if (entry.path.isDirectory)
            entry.kind = EntryKind::Directory;
        else if (isUnixLink(entry.info))
            entry.kind = EntryKind::Link;
        if (unzGetFilePos64(m_zip, &entry.position) != UNZ_OK)
            return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed, "failed to read entry information");
        if (entry.kind != EntryKind::Directory && !files.insert(entry.path.relativePath).second)
            return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed,
                                           "the archive holds \"" + entry.path.relativePath + "\" twice");
        m_entries.push_back(std::move(entry));
        status = unzGoToNextFile(m_zip);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed, "failed to read the archive's directory");
    // The directory is read only as far as the end record's count goes (a count larger than the
    // directory fails above, on the record that is not there). A directory with more records than the
    // count says is as much a lie: were it taken at its word, part of the archive would be left out.
    if (m_entries.empty())
        return {};
    const Entry& last = m_entries.back();
    unz64_file_pos past = last.position;
    past.pos_in_zip_directory += kCentralRecordLength + last.info.nameSize + last.info.extraSize + last.info.commentSize;
    past.num_of_file += 1;
    if (unzGoToFilePos64(m_zip, &past) == UNZ_OK)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed,
                                       "the archive's directory holds more entries than its end record's " +
                                           std::to_string(m_entries.size()));
    // Nor may the directory hold more than those records (more entries past a gap the library stops at),
    // nor the end record and the zip64 one count differently: other readers would see other entries.
    std::uint64_t length = 0;
    for (const Entry& entry : m_entries)
        length += kCentralRecordLength + entry.info.nameSize + entry.info.extraSize + entry.info.commentSize;
    const std::optional<DeclaredDirectory> declared = declaredDirectory(m_archivePath);
    if (!declared || !declared->consistent || declared->entries != count || declared->length != length)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorEntryInfoFailed,
                                       "the archive's directory (" + std::to_string(m_entries.size()) + " entries in " +
                                           std::to_string(length) + " bytes) disagrees with its end records");
    return {};
}

platform::Status Unzipper::mapFolders() {
    // Each folder costs a block at least (checkExpansion): past what the bound holds of them, the rest
    // is not even mapped.
    constexpr std::uint64_t kMaxFolders = ZMZipArchive::kMaxExpandedLength / kLeastBlock;
    std::unordered_map<FolderKey, std::size_t, FolderKeyHash> known;
    for (Entry& entry : m_entries) {
        const std::string_view path = entry.path.relativePath;
        // A file or a link lies in the folders of all its components but the last; a folder entry is
        // the last one too.
        const std::size_t end = entry.kind == EntryKind::Directory ? path.size() : path.rfind('/');
        std::size_t folder = 0;
        for (std::size_t start = 0; end != std::string_view::npos && start < end;) {
            const std::size_t slash = std::min(path.find('/', start), end);
            const FolderKey key{folder, path.substr(start, slash - start)};
            const auto [at, added] = known.try_emplace(key, m_folders.size());
            if (added) {
                if (m_folders.size() > kMaxFolders)
                    return ZMZipArchive::makeError(ZMZipArchive::kErrorTooLarge, "refused to unpack more than " +
                                                                                     std::to_string(kMaxFolders) + " folders");
                m_folders.push_back(Folder{folder, key.name, false, false});
            }
            folder = at->second;
            start = slash + 1;
        }
        entry.folder = folder;
        if (entry.kind == EntryKind::Directory)
            m_folders[folder].named = true;
    }
    return {};
}

// The volume of `path` (or of its nearest existing parent): the space free for this process and its block.
struct Volume {
    std::uint64_t free = 0;
    std::uint64_t block = 4096;
};
std::optional<Volume> volumeAt(std::string path) {
    struct statvfs volume {};
    while (::statvfs(path.c_str(), &volume) != 0) {
        std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || path.size() <= 1)
            return std::nullopt;
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
    }
    Volume found;
    found.free = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
    found.block = std::max<std::uint64_t>(volume.f_frsize, 512);
    return found;
}

platform::Status Unzipper::checkExpansion(std::uint64_t archiveLength) const {
    const std::optional<Volume> volume = volumeAt(m_destination);
    const std::uint64_t block = volume ? std::max<std::uint64_t>(volume->block, kLeastBlock) : kLeastBlock;
    // What each entry costs on disk: whole blocks, at least one (a folder, a link, an empty file).
    std::uint64_t cost = 0;
    for (const Entry& entry : m_entries) {
        const std::uint64_t size =
            entry.kind == EntryKind::File ? std::min<std::uint64_t>(entry.info.uncompressedSize, ZMZipArchive::kMaxExpandedLength + 1) : 0;
        cost += ZMZipArchive::diskCostOf(size, block);
        if (cost > ZMZipArchive::kMaxExpandedLength)
            break;
    }
    // And the folders the names make without an entry of their own, one block each as a folder entry.
    for (std::size_t folder = 1; folder < m_folders.size() && cost <= ZMZipArchive::kMaxExpandedLength; ++folder)
        if (!m_folders[folder].named)
            cost += ZMZipArchive::diskCostOf(0, block);
    auto refuse = [&](const std::string& why) {
        return ZMZipArchive::makeError(ZMZipArchive::kErrorTooLarge,
                                       "refused to unpack " + std::to_string(cost) + " bytes on disk: " + why);
    };
    if (cost > ZMZipArchive::kMaxExpandedLength)
        return refuse("more than " + std::to_string(ZMZipArchive::kMaxExpandedLength) + " bytes");
    if (cost > ZMZipArchive::kRatioFreeLength && cost / ZMZipArchive::kMaxExpansionRatio > archiveLength)
        return refuse("more than " + std::to_string(ZMZipArchive::kMaxExpansionRatio) + " times the archive's " +
                      std::to_string(archiveLength) + " bytes");
    if (volume && cost > volume->free)
        return refuse("more than the " + std::to_string(volume->free) + " bytes free at the destination");
    return {};
}

platform::Status Unzipper::extractAll(std::int64_t total) {
    if (canExtractInParallel())
        return extractInParallel(total);
    std::int64_t index = 0;
    std::int64_t position = 0;
    const auto count = static_cast<std::int64_t>(m_entries.size());
    for (const Entry& entry : m_entries) {
        if (auto opened = openArchiveEntry(m_zip, entry, m_password); !opened)
            return opened;
        position += static_cast<std::int64_t>(entry.info.compressedSize);
        if (m_delegate) {
            m_delegate->zipArchiveWillUnzipFileAtIndex(index, count, m_archivePath, entry.info);
            m_delegate->zipArchiveProgressEvent(position, total);
        }
        const std::string fullPath = fullPathOf(entry.path.relativePath);
        if (entry.kind != EntryKind::Link)
            m_dates.push_back({fullPath, ZMZipArchive::dateWithMSDOSFormat(entry.info.dosDate)});
        bool skipped = false;
        platform::Status written;
        switch (entry.kind) {
        case EntryKind::Directory:
            written = ensureFolder(entry.folder);
            break;
        case EntryKind::File:
            written = writeFile(entry, fullPath, skipped);
            break;
        case EntryKind::Link:
            written = writeLink(entry, fullPath, skipped);
            break;
        }
        platform::Status closed = closeEntry();
        if (!written)
            return written;
        if (skipped)
            continue;
        if (!closed)
            return closed;
        if (m_delegate)
            m_delegate->zipArchiveDidUnzipFileAtIndex(index, count, m_archivePath, entry.info);
        ++index;
    }
    return {};
}

// The parallel way is taken only where it cannot differ from the sequential one: every entry replaces
// (overwrite on), no symbolic links (whose order matters), no name given twice.
bool Unzipper::canExtractInParallel() const {
    if (!m_overwrite || m_entries.size() < kParallelMinimumEntries || std::thread::hardware_concurrency() < 2)
        return false;
    std::uint64_t bytes = 0;
    std::unordered_set<std::string, platform::SeededHash, std::equal_to<>> names;
    for (const Entry& entry : m_entries) {
        if (entry.kind == EntryKind::Link || !names.insert(entry.path.relativePath).second)
            return false;
        bytes += entry.info.uncompressedSize;
    }
    return bytes >= kParallelMinimumBytes;
}

// Folders are made first, in order, on this thread; then a few threads, each with its own handle on the
// archive, write the files; this thread tells the delegate about each entry in order as it is done and
// stops everything at the first failure.
platform::Status Unzipper::extractInParallel(std::int64_t total) {
    for (const Entry& entry : m_entries)
        if (auto made = ensureFolder(entry.folder); !made)
            return made;

    const std::size_t count = m_entries.size();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<platform::Status>> results(count);
    std::size_t next = 0;
    bool stop = false;

    auto work = [&] {
        unzFile zip = unzOpen64(m_archivePath.c_str());
        std::vector<char> buffer(kBufferSize);
        for (;;) {
            std::size_t index;
            {
                std::lock_guard lock(mutex);
                if (stop || next >= count)
                    break;
                index = next++;
            }
            const Entry& entry = m_entries[index];
            platform::Status result;
            if (!zip) {
                result = ZMZipArchive::makeError(ZMZipArchive::kErrorOpenFailed, "failed to open zip file");
            } else if (entry.kind == EntryKind::File) {
                result = openArchiveEntry(zip, entry, m_password);
                if (result) {
                    result = writeEntryData(zip, buffer, entry, fullPathOf(entry.path.relativePath));
                    platform::Status closed = closeOpenEntry(zip);
                    if (result)
                        result = closed;
                }
            }
            std::lock_guard lock(mutex);
            results[index] = std::move(result);
            changed.notify_all();
        }
        if (zip)
            unzClose(zip);
    };
    const unsigned threads = std::min(kMaxUnpackThreads, std::thread::hardware_concurrency());
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back(work);

    platform::Status outcome;
    std::int64_t position = 0;
    for (std::size_t index = 0; index < count; ++index) {
        platform::Status result;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return results[index].has_value(); });
            result = *results[index];
        }
        const Entry& entry = m_entries[index];
        position += static_cast<std::int64_t>(entry.info.compressedSize);
        const auto i = static_cast<std::int64_t>(index);
        if (m_delegate) {
            m_delegate->zipArchiveWillUnzipFileAtIndex(i, static_cast<std::int64_t>(count), m_archivePath, entry.info);
            m_delegate->zipArchiveProgressEvent(position, total);
        }
        m_dates.push_back({fullPathOf(entry.path.relativePath), ZMZipArchive::dateWithMSDOSFormat(entry.info.dosDate)});
        if (!result) {
            outcome = result;
            break;
        }
        if (m_delegate)
            m_delegate->zipArchiveDidUnzipFileAtIndex(i, static_cast<std::int64_t>(count), m_archivePath, entry.info);
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    for (std::thread& worker : workers)
        worker.join();
    return outcome;
}

platform::Status Unzipper::closeEntry() { return closeOpenEntry(m_zip); }

// The folder's path below the destination ("a/b/c"; empty for the destination itself).
std::string Unzipper::relativePathOf(std::size_t folder) const {
    std::vector<std::string_view> names;
    for (; folder != 0; folder = m_folders[folder].parent)
        names.push_back(m_folders[folder].name);
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (!path.empty())
            path += '/';
        path += *name;
    }
    return path;
}

// Creates the folder below the destination, one component at a time from the nearest folder made,
// refusing to pass through a symbolic link.
platform::Status Unzipper::ensureFolder(std::size_t folder) {
    if (m_folders[folder].made)
        return {};
    std::vector<std::size_t> chain;
    for (std::size_t f = folder; !m_folders[f].made; f = m_folders[f].parent)
        chain.push_back(f);
    std::string relative = relativePathOf(m_folders[chain.back()].parent);
    for (auto f = chain.rbegin(); f != chain.rend(); ++f) {
        if (!relative.empty())
            relative += '/';
        relative += m_folders[*f].name;
        const std::string full = fullPathOf(relative);
        struct stat st{};
        if (lstat(full.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return writeError("cannot examine", full, errno);
            if (mkdir(full.c_str(), 0755) != 0 && errno != EEXIST)
                return writeError("cannot create folder", full, errno);
            if (lstat(full.c_str(), &st) != 0)
                return writeError("cannot examine", full, errno);
        }
        if (S_ISLNK(st.st_mode))
            return ZMZipArchive::makeError(ZMZipArchive::kErrorUnsafeEntry,
                                           "refused to write through the symbolic link \"" + relative + "\"");
        if (!S_ISDIR(st.st_mode))
            return writeError("cannot create folder", full, EEXIST);
        m_folders[*f].made = true;
    }
    return {};
}

platform::Status Unzipper::writeFile(const Entry& entry, const std::string& fullPath, bool& skipped) {
    if (auto parent = ensureFolder(entry.folder); !parent)
        return parent;
    if (!m_overwrite) {
        struct stat st{};
        if (lstat(fullPath.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            skipped = true;
            return {};
        }
    }
    return writeEntryData(m_zip, m_buffer, entry, fullPath);
}

platform::Status Unzipper::writeLink(const Entry& entry, const std::string& fullPath, bool& skipped) {
    const std::string& rel = entry.path.relativePath;
    std::string target;
    for (;;) {
        int n = unzReadCurrentFile(m_zip, m_buffer.data(), static_cast<unsigned>(m_buffer.size()));
        if (n < 0)
            return ZMZipArchive::makeError(ZMZipArchive::kErrorReadFailed, "failed to read entry \"" + rel + "\"");
        if (n == 0)
            break;
        target.append(m_buffer.data(), static_cast<std::size_t>(n));
        if (target.size() > kMaxLinkTarget)
            return ZMZipArchive::makeError(ZMZipArchive::kErrorUnsafeEntry,
                                           "refused entry \"" + rel + "\": link target too long");
    }
    if (target.size() != entry.info.uncompressedSize)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorReadFailed,
                                       "entry \"" + rel + "\" ends after " + std::to_string(target.size()) +
                                           " of its declared " + std::to_string(entry.info.uncompressedSize) + " bytes");
    if (!platform::isValidUTF8(target))
        return ZMZipArchive::makeError(ZMZipArchive::kErrorUnsafeEntry,
                                       "refused entry \"" + rel + "\": link target is not UTF-8");
    if (auto safe = ZipEntryPath::checkLinkTarget(rel, target); !safe)
        return safe;
    if (auto parent = ensureFolder(entry.folder); !parent)
        return parent;
    struct stat st{};
    if (lstat(fullPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return writeError("cannot create symbolic link", fullPath, EISDIR);
        if (!m_overwrite) {
            skipped = true;
            return {};
        }
        ::unlink(fullPath.c_str());
    }
    if (::symlink(target.c_str(), fullPath.c_str()) != 0) {
        int error = errno;
        platform::Log::write("Failed to create symbolic link at \"" + fullPath + "\" to \"" + target +
                "\". symlink() error code: " + std::to_string(error));
        return writeError("cannot create symbolic link", fullPath, error);
    }
    return {};
}

void Unzipper::restoreDates() {
    for (const Dated& dated : m_dates) {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1] = timespecFrom(dated.date);
        if (::utimensat(AT_FDCWD, dated.path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 && errno != ENOENT)
            platform::Log::write("[ZMZipArchive] Error setting directory file modification date attribute: " +
                    systemMessage(errno));
    }
}

// True for a well-formed archive of no entries: only its end record (without comment).
bool isEmptyArchive(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char record[23] = {};
    ssize_t n = ::read(fd, record, sizeof record);
    ::close(fd);
    static const unsigned char kEmpty[22] = {'P', 'K', 5, 6};
    return n == 22 && std::memcmp(record, kEmpty, 22) == 0;
}

} // namespace

platform::Error ZMZipArchive::makeError(long long code, std::string description) {
    return platform::Error(kErrorDomain, code, std::move(description));
}

platform::Status ZMZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination) {
    return unzipFileAtPath(path, destination, nullptr);
}

platform::Status ZMZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                               ZMZipArchiveDelegate* delegate) {
    return unzipFileAtPath(path, destination, true, std::string(), delegate);
}

platform::Status ZMZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                               bool overwrite, const std::string& password,
                                               ZMZipArchiveDelegate* delegate) {
    unzFile zip = unzOpen64(path.c_str());
    if (!zip) {
        // minizip refuses an archive without entries; it is still an archive, just one with no first file.
        if (isEmptyArchive(path))
            return makeError(kErrorNoFirstEntry, "failed to open first file in zip file");
        return makeError(kErrorOpenFailed, "failed to open zip file");
    }
    struct stat archiveStat{};
    std::int64_t total = ::stat(path.c_str(), &archiveStat) == 0 ? static_cast<std::int64_t>(archiveStat.st_size) : 0;
    unz_global_info64 rawGlobal{};
    unzGetGlobalInfo64(zip, &rawGlobal);
    ZipArchiveInfo global{rawGlobal.number_entry, static_cast<std::uint32_t>(rawGlobal.size_comment)};
    if (unzGoToFirstFile(zip) != UNZ_OK) {
        unzClose(zip);
        return makeError(kErrorNoFirstEntry, "failed to open first file in zip file");
    }
    if (delegate) {
        delegate->zipArchiveWillUnzipArchiveAtPath(path, global);
        delegate->zipArchiveProgressEvent(0, total);
    }

    std::string root = destination;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    // The directory and the sizes it declares are checked before the destination is touched.
    Unzipper unzipper(zip, path, root, overwrite, password, delegate);
    platform::Status result = unzipper.readDirectory(global.numberOfEntries);
    if (result)
        result = unzipper.mapFolders();
    if (result)
        result = unzipper.checkExpansion(static_cast<std::uint64_t>(total));
    if (result) {
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec)
            result = writeError("cannot create folder", root, ec.value());
    }
    if (result)
        result = unzipper.extractAll(total);
    unzClose(zip);
    unzipper.restoreDates();
    if (result && delegate)
        delegate->zipArchiveDidUnzipArchiveAtPath(path, global, destination);
    if (delegate)
        delegate->zipArchiveProgressEvent(total, total);
    return result;
}

platform::Date ZMZipArchive::dateWithMSDOSFormat(std::uint32_t dosDate) {
    struct tm parts{};
    parts.tm_year = static_cast<int>(((dosDate >> 25) & 0x7F) + 1980) - 1900;
    parts.tm_mon = static_cast<int>((dosDate >> 21) & 0x0F) - 1;
    parts.tm_mday = static_cast<int>((dosDate >> 16) & 0x1F);
    parts.tm_hour = static_cast<int>((dosDate >> 11) & 0x1F);
    parts.tm_min = static_cast<int>((dosDate >> 5) & 0x3F);
    parts.tm_sec = static_cast<int>(dosDate & 0x1F) * 2;
    parts.tm_isdst = -1;
    return platform::Date{static_cast<double>(::mktime(&parts))};
}

// Writing.

ZMZipArchive::ZMZipArchive(std::string path) : m_path(std::move(path)) {}

ZMZipArchive::~ZMZipArchive() {
    if (m_zip)
        zipClose(static_cast<zipFile>(m_zip), nullptr);
}

platform::Status ZMZipArchive::open() {
    if (m_zip)
        return makeError(kErrorAlreadyOpen, "Attempting open an archive which is already open");
    m_zip = zipOpen64(m_path.c_str(), APPEND_STATUS_CREATE);
    if (!m_zip)
        return makeError(kErrorOpenFailed, "failed to create zip file");
    return {};
}

namespace {

zip_fileinfo fileInfoFor(time_t when, std::uint32_t externalAttributes) {
    zip_fileinfo info{};
    struct tm local{};
    localtime_r(&when, &local);
    info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
    info.external_fa = externalAttributes;
    return info;
}

platform::Status openEntry(void* zip, const std::string& name, const zip_fileinfo& info, bool large) {
    int status = zipOpenNewFileInZip3_64(static_cast<zipFile>(zip), name.c_str(), &info, nullptr, 0, nullptr, 0,
                                         nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                         Z_DEFAULT_STRATEGY, nullptr, 0, large ? 1 : 0);
    if (status != ZIP_OK)
        return ZMZipArchive::makeError(ZMZipArchive::kErrorWriteFailed, "failed to add entry \"" + name + "\"");
    return {};
}

} // namespace

platform::Status ZMZipArchive::writeFile(const std::string& path) {
    return writeFileAtPath(path, std::filesystem::path(path).filename().string());
}

platform::Status ZMZipArchive::writeFileAtPath(const std::string& path, const std::string& fileName) {
    if (!m_zip)
        return makeError(kErrorNotOpen, "Attempting to write to an archive which was never opened");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return makeError(kErrorReadFailed, "cannot read \"" + path + "\": " + systemMessage(errno));
    struct stat st{};
    ::fstat(fd, &st);
    std::uint32_t attributes = (static_cast<std::uint32_t>(st.st_mode & 07777) + 0x8000u) << 16;
    platform::Status result = openEntry(m_zip, fileName, fileInfoFor(st.st_mtime, attributes),
                                        st.st_size >= 0xFFFFFFFFLL);
    if (result) {
        std::vector<char> buffer(16384);
        for (;;) {
            ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                result = makeError(kErrorReadFailed, "cannot read \"" + path + "\": " + systemMessage(errno));
                break;
            }
            if (n == 0)
                break;
            if (zipWriteInFileInZip(static_cast<zipFile>(m_zip), buffer.data(), static_cast<unsigned>(n)) != ZIP_OK) {
                result = makeError(kErrorWriteFailed, "failed to write entry \"" + fileName + "\"");
                break;
            }
        }
        zipCloseFileInZip(static_cast<zipFile>(m_zip));
    }
    ::close(fd);
    return result;
}

platform::Status ZMZipArchive::writeData(const platform::Bytes& data, const std::string& filename) {
    if (!m_zip)
        return makeError(kErrorNotOpen, "Attempting to write to an archive which was never opened");
    platform::Status result = openEntry(m_zip, filename, fileInfoFor(::time(nullptr), 0), data.size() >= 0xFFFFFFFFull);
    if (!result)
        return result;
    if (!data.empty() &&
        zipWriteInFileInZip(static_cast<zipFile>(m_zip), data.data(), static_cast<unsigned>(data.size())) != ZIP_OK)
        result = makeError(kErrorWriteFailed, "failed to write entry \"" + filename + "\"");
    zipCloseFileInZip(static_cast<zipFile>(m_zip));
    return result;
}

platform::Status ZMZipArchive::close() {
    if (!m_zip)
        return makeError(kErrorNotOpen, "[ZMZipArchive] Attempting to close an archive which was never opened");
    int status = zipClose(static_cast<zipFile>(m_zip), nullptr);
    m_zip = nullptr;
    if (status != ZIP_OK)
        return makeError(kErrorWriteFailed, "failed to finish zip file");
    return {};
}

platform::Status ZMZipArchive::createZipFileAtPath(const std::string& path, const std::vector<std::string>& filePaths) {
    ZMZipArchive archive(path);
    if (auto opened = archive.open(); !opened)
        return opened;
    for (const std::string& file : filePaths) {
        if (auto written = archive.writeFile(file); !written)
            return written;
    }
    return archive.close();
}

platform::Status ZMZipArchive::createZipFileAtPath(const std::string& path, const std::string& directory) {
    std::vector<std::string> relative;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec))
            relative.push_back(std::filesystem::relative(it->path(), directory, ec).generic_string());
    }
    if (ec)
        return makeError(kErrorReadFailed, "cannot list \"" + directory + "\": " + ec.message());
    std::sort(relative.begin(), relative.end());
    ZMZipArchive archive(path);
    if (auto opened = archive.open(); !opened)
        return opened;
    for (const std::string& name : relative) {
        if (auto written = archive.writeFileAtPath(directory + "/" + name, name); !written)
            return written;
    }
    return archive.close();
}

} // namespace deploy
