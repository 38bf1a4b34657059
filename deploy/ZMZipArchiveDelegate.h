// Follows one unzip. Every operation is optional (the defaults do nothing) and is called on the thread
// that runs the unzip, while it runs; the delegate is borrowed for the duration of the call only.
#pragma once

#include "deploy/ZipInfo.h"

#include <cstdint>
#include <string>

namespace deploy {

class ZMZipArchiveDelegate {
public:
    virtual ~ZMZipArchiveDelegate() = default;

    virtual void zipArchiveWillUnzipArchiveAtPath(const std::string& /*path*/, const ZipArchiveInfo& /*zipInfo*/) {}
    virtual void zipArchiveDidUnzipArchiveAtPath(const std::string& /*path*/, const ZipArchiveInfo& /*zipInfo*/,
                                                 const std::string& /*unzippedPath*/) {}
    virtual void zipArchiveWillUnzipFileAtIndex(std::int64_t /*index*/, std::int64_t /*totalFiles*/,
                                                const std::string& /*archivePath*/, const ZipEntryInfo& /*fileInfo*/) {}
    virtual void zipArchiveDidUnzipFileAtIndex(std::int64_t /*index*/, std::int64_t /*totalFiles*/,
                                               const std::string& /*archivePath*/, const ZipEntryInfo& /*fileInfo*/) {}
    // Bytes of the archive handled so far, out of the archive's size.
    virtual void zipArchiveProgressEvent(std::int64_t /*loaded*/, std::int64_t /*total*/) {}
};

} // namespace deploy
