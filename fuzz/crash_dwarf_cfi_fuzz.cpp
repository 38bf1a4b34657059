// Call-frame parsing over arbitrary bytes taken as an __eh_frame or a __debug_frame section: the FDE
// search for several addresses, CIE and FDE parsing at every offset, encoded pointers and LEB128.
// The first input byte picks the image width and the section kind; the rest is the section.
// No crash, no sanitizer report. Corpus: fuzz/corpus/crash_dwarf_cfi_fuzz/.
#include "crashreporter/crsh_dwarf_encoding.h"

#include "GuardedInput.h"

#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr std::size_t kMaxInput = 1 << 16;
constexpr std::size_t kMaxParseOffsets = 512;

template <typename machine_ptr>
void parseEverywhere(const crsh_async_mobject* mobj, const crsh_async_byteorder* byteorder, bool debugFrame)
{
    crsh_dwarf_ptr_state state{};
    state.byteorder = byteorder;
    const crsh_vm_address_t base = crsh_async_mobject_base_address(mobj);
    const std::size_t length = static_cast<std::size_t>(crsh_async_mobject_length(mobj));
    for (std::size_t offset = 0; offset < length && offset < kMaxParseOffsets; ++offset) {
        crsh_dwarf_cie_info cie;
        crsh_dwarf_fde_info fde;
        (void)crsh_dwarf_parse_cie<machine_ptr>(&cie, mobj, byteorder, &state, base + offset);
        (void)crsh_dwarf_parse_fde<machine_ptr>(&fde, mobj, byteorder, base + offset, debugFrame);
        machine_ptr pointer;
        std::size_t size;
        std::uint8_t encoding;
        if (crsh_async_mobject_read_uint8(mobj, base, static_cast<crsh_vm_off_t>(offset), &encoding) == CRSH_ERR_NONE)
            (void)crsh_dwarf_read_encoded_pointer<machine_ptr>(&state, mobj, base, static_cast<crsh_vm_off_t>(offset + 1),
                                                               encoding, &pointer, &size);
        std::uint64_t unsignedValue;
        std::int64_t signedValue;
        (void)crsh_dwarf_read_uleb128(mobj, base, static_cast<crsh_vm_off_t>(offset), &unsignedValue, &size);
        (void)crsh_dwarf_read_sleb128(mobj, base, static_cast<crsh_vm_off_t>(offset), &signedValue, &size);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > kMaxInput + 1)
        return 0;
    const std::uint8_t flags = data[0];
    const bool m64 = (flags & 1) != 0;
    const bool debugFrame = (flags & 2) != 0;
    const crsh_async_byteorder* byteorder = (flags & 4) != 0 ? &crsh_async_byteorder_swapped : &crsh_async_byteorder_direct;
    const std::size_t length = size - 1;
    std::uint8_t* start = fuzzsupport::GuardedInput<kMaxInput>::place(data + 1, length);
    const auto base = reinterpret_cast<crsh_vm_address_t>(start);

    crsh_async_mobject mobj;
    if (crsh_async_mobject_init(&mobj, getpid(), base, length, true) != CRSH_ERR_NONE)
        return 0;
    crsh_dwarf_frame_reader reader;
    (void)crsh_dwarf_frame_reader_init(&reader, &mobj, byteorder, m64, debugFrame);
    std::uint64_t chosen = 0;
    std::memcpy(&chosen, data + 1, length < sizeof chosen ? length : sizeof chosen);
    for (crsh_vm_address_t pc : {crsh_vm_address_t{0}, base, base + length / 2, base + length, chosen, UINT64_MAX,
                                 crsh_vm_address_t{0x1000}}) {
        crsh_dwarf_fde_info fde;
        (void)crsh_dwarf_find_fde(&reader, 0, pc, &fde);
        (void)crsh_dwarf_find_fde(&reader, static_cast<crsh_vm_off_t>(length / 3), pc, &fde);
    }
    if (m64)
        parseEverywhere<std::uint64_t>(&mobj, byteorder, debugFrame);
    else
        parseEverywhere<std::uint32_t>(&mobj, byteorder, debugFrame);
    crsh_async_mobject_free(&mobj);
    return 0;
}
