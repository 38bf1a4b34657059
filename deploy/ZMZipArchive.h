// Zip archives: unpacking into a folder (with progress for a delegate) and writing.
//
// Unpacking keeps folders, symbolic links, modification dates and permissions. It is safe against
// hostile archives: entries named with "..", absolute names and symbolic links pointing outside the
// destination are refused before anything is written, and nothing is ever written through a symbolic
// link, so no byte lands outside the destination. An archive that would expand beyond the limits below
// is refused before anything (not even the destination folder) is made, or, when an entry inflates past
// its declared size, as soon as it does. So is an archive whose directory disagrees with its end records
// (the count of the end record or of the zip64 one, the directory's length) or names one file twice.
// Any failure part-way (unreadable entry, read or CRC error, unwritable output) ends the unzip with an
// error; the entries written so far stay.
//
// Unzipping is synchronous on the calling thread; the delegate's messages come on that thread.
// A ZMZipArchive instance (the writer) belongs to one thread at a time.
#pragma once

#include "deploy/ZMZipArchiveDelegate.h"
#include "deploy/ZipInfo.h"
#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <string>
#include <vector>

namespace deploy {

class ZMZipArchive {
public:
    static constexpr const char* kErrorDomain = "ZMZipArchiveErrorDomain";
    enum ErrorCode : long long {
        kErrorOpenFailed = -1,        // "failed to open zip file"
        kErrorNoFirstEntry = -2,      // "failed to open first file in zip file"
        kErrorEntryOpenFailed = -3,   // an entry could not be opened (damaged, wrong password)
        kErrorEntryInfoFailed = -4,   // the archive's directory could not be read
        kErrorUnsafeEntry = -5,       // a name or link target would leave the destination
        kErrorReadFailed = -6,        // an entry's data could not be read, or its CRC did not match
        kErrorWriteFailed = -7,       // a folder, file or link could not be written
        kErrorNotOpen = -8,           // writer used while closed
        kErrorAlreadyOpen = -9,       // writer opened twice
        kErrorTooLarge = -10,         // the archive expands beyond its limits (a zip bomb)
    };
    // Limits of an unzip, checked against the entries' declared sizes before anything is written and
    // against the bytes actually inflated while writing (an entry may not grow past its declared size):
    // - at most kMaxEntries entries (the directory is read no further);
    // - what the entries cost on disk, each at least one block of the destination's volume (a folder, a
    //   link or an empty file takes one; a file its size rounded up to whole blocks; so does each folder
    //   the names make without an entry of their own, "a/b/c" two): at most
    //   kMaxExpandedLength in all, and no more than the destination's volume has free;
    // - that cost at most kMaxExpansionRatio times the archive's own size, once past kRatioFreeLength
    //   (tiny archives of repetitive text may compress better than that and harm no one).
    static constexpr std::uint64_t kMaxEntries = 65536;
    static constexpr std::uint64_t kMaxExpandedLength = 2ull * 1024 * 1024 * 1024;
    static constexpr std::uint64_t kMaxExpansionRatio = 200;
    static constexpr std::uint64_t kRatioFreeLength = 1024 * 1024;
    static platform::Error makeError(long long code, std::string description);
    // What one entry costs on a volume of `block`-byte blocks: its size in whole blocks, at least one.
    static std::uint64_t diskCostOf(std::uint64_t size, std::uint64_t block) {
        return (size == 0 ? 1 : (size - 1) / block + 1) * block;
    }

    // Unpacks the archive at `path` into `destination`. Existing files are replaced when `overwrite`
    // is set (else they stay and their entries are passed over). An empty password means none.
    static platform::Status unzipFileAtPath(const std::string& path, const std::string& destination);
    static platform::Status unzipFileAtPath(const std::string& path, const std::string& destination,
                                            ZMZipArchiveDelegate* delegate);
    static platform::Status unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                            const std::string& password, ZMZipArchiveDelegate* delegate = nullptr);

    // The local date-time of a 32-bit DOS date, in seconds since 1970.
    static platform::Date dateWithMSDOSFormat(std::uint32_t dosDate);

    // Writing. Each file is stored deflated, dated with its modification date and keeping its
    // permissions.
    static platform::Status createZipFileAtPath(const std::string& path, const std::vector<std::string>& filePaths);
    static platform::Status createZipFileAtPath(const std::string& path, const std::string& directory);

    explicit ZMZipArchive(std::string path);
    ~ZMZipArchive();
    ZMZipArchive(const ZMZipArchive&) = delete;
    ZMZipArchive& operator=(const ZMZipArchive&) = delete;

    const std::string& path() const { return m_path; }
    platform::Status open();
    // Stores the file under its last path component.
    platform::Status writeFile(const std::string& path);
    platform::Status writeFileAtPath(const std::string& path, const std::string& fileName);
    // Stores the bytes under `filename`, dated now.
    platform::Status writeData(const platform::Bytes& data, const std::string& filename);
    platform::Status close();

private:
    std::string m_path;
    void* m_zip = nullptr;
};

} // namespace deploy
