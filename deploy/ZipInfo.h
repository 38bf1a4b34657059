// What the zip reader tells its delegate about an archive and about each entry. Plain copies of the
// archive's directory records, passed by value.
#pragma once

#include <cstdint>

namespace deploy {

struct ZipArchiveInfo {
    std::uint64_t numberOfEntries = 0;
    std::uint32_t commentSize = 0;
};

struct ZipEntryInfo {
    std::uint32_t versionMadeBy = 0;
    std::uint32_t versionNeeded = 0;
    std::uint32_t flags = 0;
    std::uint32_t compressionMethod = 0;
    std::uint32_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint32_t nameSize = 0;
    std::uint32_t extraSize = 0;
    std::uint32_t commentSize = 0;
    std::uint32_t diskNumberStart = 0;
    std::uint32_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
    // The DOS date split into fields (month counted from 0, full year).
    int second = 0, minute = 0, hour = 0, day = 0, month = 0, year = 0;
};

} // namespace deploy
