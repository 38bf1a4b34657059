// A test loader for 64-bit Mach-O files: places the file in memory as a loader would and lists it in a
// crash-reporter image list.
//
// The whole span of the segments is reserved unreadable (PROT_NONE) at an address the system picks, so
// every load lands somewhere new (below 2 GiB when asked, for records that hold 32-bit or masked
// pointers); each segment's file bytes are copied to header + (its vmaddr − the
// __TEXT vmaddr) and made readable. Gaps between segments stay unreadable, and so do the segments a
// test asks to leave out, so that partial-mapping cases can be made. The memory lives as long as the
// loader.
#pragma once

#include "crashreporter/crsh_image_list.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hybtest {

// Maps length bytes (zeroed, with prot) below 2 GiB; null when the system has no room there.
void* mapLowMemory(std::size_t length, int prot);

class MachOLoader {
public:
    enum class Placement { Anywhere, Low };

    struct Segment {
        std::string name;
        std::uint64_t vmaddr = 0;
        std::uint64_t vmsize = 0;
        std::uint64_t fileoff = 0;
        std::uint64_t filesize = 0;
    };

    // Null (with a test failure naming the cause) when the file cannot be read or is not a 64-bit
    // little-endian Mach-O file with a __TEXT segment.
    static std::unique_ptr<MachOLoader> load(const std::string& path, const std::vector<std::string>& leaveOut = {},
                                             Placement placement = Placement::Anywhere);
    static std::unique_ptr<MachOLoader> place(const std::vector<std::uint8_t>& file, const std::string& name,
                                              const std::vector<std::string>& leaveOut = {},
                                              Placement placement = Placement::Anywhere);
    ~MachOLoader();
    MachOLoader(const MachOLoader&) = delete;
    MachOLoader& operator=(const MachOLoader&) = delete;

    std::uint64_t headerAddress() const { return m_header; }
    std::uint64_t textVMAddress() const { return m_textVMAddress; }
    std::uint64_t slide() const { return m_header - m_textVMAddress; }
    // Where an address of the file's own numbering is in memory.
    std::uint64_t addressOf(std::uint64_t vmaddr) const { return vmaddr + slide(); }
    const std::vector<Segment>& segments() const { return m_segments; }
    const std::string& name() const { return m_name; }

    // Appends the placed image to list under its name.
    crsh_error_t appendTo(crsh_image_list* list) const;

private:
    MachOLoader() = default;

    std::string m_name;
    std::vector<Segment> m_segments;
    void* m_reservation = nullptr;
    std::size_t m_reservationSize = 0;
    std::uint64_t m_header = 0;
    std::uint64_t m_textVMAddress = 0;
};

} // namespace hybtest
