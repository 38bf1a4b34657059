// Private to the image reader: field offsets of the Mach-O structures it reads, and loads of their
// fields from local pointers already checked against a mapping.
#pragma once

#include "crashreporter/crsh_macho.h"

namespace crsh_macho_fields {

// Segment commands (LC_SEGMENT / LC_SEGMENT_64).
constexpr std::size_t kSegmentName = 8;
constexpr std::size_t kSegmentSize32 = 56;
constexpr std::size_t kSegmentSize64 = 72;
constexpr std::size_t kSegmentVMAddr = 24;
constexpr std::size_t kSegmentVMSize32 = 28, kSegmentVMSize64 = 32;
constexpr std::size_t kSegmentFileOff32 = 32, kSegmentFileOff64 = 40;
constexpr std::size_t kSegmentFileSize32 = 36, kSegmentFileSize64 = 48;
constexpr std::size_t kSegmentNSects32 = 48, kSegmentNSects64 = 64;

// Section headers, right after their segment command's fixed part.
constexpr std::size_t kSectionName = 0;
constexpr std::size_t kSectionSize32 = 68;
constexpr std::size_t kSectionSize64 = 80;
constexpr std::size_t kSectionAddr = 32;
constexpr std::size_t kSectionLength32 = 36, kSectionLength64 = 40;

// LC_SYMTAB and LC_DYSYMTAB (the part of it that is read).
constexpr std::size_t kSymtabSymOff = 8, kSymtabNSyms = 12, kSymtabStrOff = 16, kSymtabStrSize = 20;
constexpr std::size_t kSymtabCommandSize = 24;
constexpr std::size_t kDysymtabILocal = 8, kDysymtabNLocal = 12, kDysymtabIExtDef = 16, kDysymtabNExtDef = 20;
constexpr std::size_t kDysymtabReadSize = 24;

constexpr std::size_t kNameLength = 16; // segment and section names: 16 bytes, not always terminated

inline std::uint32_t load32(const crsh_macho_image* image, const void* base, std::size_t offset)
{
    return image->byteorder->swap32(crsh_async_load<std::uint32_t>(static_cast<const char*>(base) + offset));
}

inline std::uint64_t load64(const crsh_macho_image* image, const void* base, std::size_t offset)
{
    return image->byteorder->swap64(crsh_async_load<std::uint64_t>(static_cast<const char*>(base) + offset));
}

// A pointer-sized field: 4 bytes in 32-bit images, 8 in 64-bit ones.
inline std::uint64_t loadWord(const crsh_macho_image* image, const void* base, std::size_t offset32,
                              std::size_t offset64)
{
    return image->m64 ? load64(image, base, offset64) : load32(image, base, offset32);
}

} // namespace crsh_macho_fields
