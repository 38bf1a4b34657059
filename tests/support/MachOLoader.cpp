#include "MachOLoader.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace hybtest {

namespace {

constexpr std::uint32_t kMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kSegment64 = 0x19;

template <typename T>
bool readAt(const std::vector<std::uint8_t>& file, std::size_t offset, T* value)
{
    if (offset > file.size() || sizeof(T) > file.size() - offset)
        return false;
    std::memcpy(value, file.data() + offset, sizeof(T));
    return true;
}

bool readSegments(const std::vector<std::uint8_t>& file, std::vector<MachOLoader::Segment>* segments)
{
    std::uint32_t magic = 0, ncmds = 0;
    if (!readAt(file, 0, &magic) || magic != kMagic64 || !readAt(file, 16, &ncmds))
        return false;
    std::size_t at = 32;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        std::uint32_t cmd = 0, cmdsize = 0;
        if (!readAt(file, at, &cmd) || !readAt(file, at + 4, &cmdsize) || cmdsize < 8)
            return false;
        if (cmd == kSegment64) {
            char name[17] = {};
            MachOLoader::Segment segment;
            if (!readAt(file, at + 24, &segment.vmaddr) || !readAt(file, at + 32, &segment.vmsize) ||
                !readAt(file, at + 40, &segment.fileoff) || !readAt(file, at + 48, &segment.filesize))
                return false;
            std::memcpy(name, file.data() + at + 8, 16);
            segment.name = name;
            if (segment.fileoff > file.size() || segment.filesize > file.size() - segment.fileoff)
                return false;
            if (segment.vmsize > 0)
                segments->push_back(segment);
        }
        at += cmdsize;
    }
    return true;
}

} // namespace

void* mapLowMemory(std::size_t length, int prot)
{
    void* mapping = mmap(nullptr, length, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    return mapping == MAP_FAILED ? nullptr : mapping;
}

std::unique_ptr<MachOLoader> MachOLoader::load(const std::string& path, const std::vector<std::string>& leaveOut,
                                               Placement placement)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return nullptr;
    }
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return place(file, path, leaveOut, placement);
}

std::unique_ptr<MachOLoader> MachOLoader::place(const std::vector<std::uint8_t>& file, const std::string& name,
                                                const std::vector<std::string>& leaveOut, Placement placement)
{
    std::unique_ptr<MachOLoader> loader(new MachOLoader());
    loader->m_name = name;
    if (!readSegments(file, &loader->m_segments)) {
        ADD_FAILURE() << name << " is not a 64-bit little-endian Mach-O file";
        return nullptr;
    }
    auto text = std::find_if(loader->m_segments.begin(), loader->m_segments.end(),
                             [](const Segment& segment) { return segment.name == "__TEXT"; });
    if (text == loader->m_segments.end()) {
        ADD_FAILURE() << name << " has no __TEXT segment";
        return nullptr;
    }
    loader->m_textVMAddress = text->vmaddr;

    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    std::uint64_t low = UINT64_MAX, high = 0;
    for (const Segment& segment : loader->m_segments) {
        low = std::min(low, segment.vmaddr);
        high = std::max(high, segment.vmaddr + segment.vmsize);
    }
    low &= ~(page - 1);
    high = (high + page - 1) & ~(page - 1);
    loader->m_reservationSize = high - low;
    if (placement == Placement::Low) {
        loader->m_reservation = mapLowMemory(loader->m_reservationSize, PROT_NONE);
    } else {
        loader->m_reservation = mmap(nullptr, loader->m_reservationSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (loader->m_reservation == MAP_FAILED)
            loader->m_reservation = nullptr;
    }
    if (loader->m_reservation == nullptr) {
        ADD_FAILURE() << "cannot reserve " << loader->m_reservationSize << " bytes for " << name;
        return nullptr;
    }
    auto* base = static_cast<std::uint8_t*>(loader->m_reservation) - low;
    loader->m_header = reinterpret_cast<std::uint64_t>(base + loader->m_textVMAddress);

    for (const Segment& segment : loader->m_segments) {
        if (std::find(leaveOut.begin(), leaveOut.end(), segment.name) != leaveOut.end())
            continue;
        std::uint8_t* start = base + (segment.vmaddr & ~(page - 1));
        std::uint64_t length = ((segment.vmaddr + segment.vmsize + page - 1) & ~(page - 1)) - (segment.vmaddr & ~(page - 1));
        mprotect(start, length, PROT_READ | PROT_WRITE);
        std::memcpy(base + segment.vmaddr, file.data() + segment.fileoff, std::min(segment.filesize, segment.vmsize));
        mprotect(start, length, PROT_READ);
    }
    return loader;
}

MachOLoader::~MachOLoader()
{
    if (m_reservation != nullptr)
        munmap(m_reservation, m_reservationSize);
}

crsh_error_t MachOLoader::appendTo(crsh_image_list* list) const
{
    return crsh_image_list_append(list, m_header, m_name.c_str());
}

} // namespace hybtest
