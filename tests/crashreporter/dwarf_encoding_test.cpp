#include "crashreporter/crsh_dwarf_encoding.h"
#include "crashreporter/crsh_macho.h"

#include "CFIBuilder.h"
#include "FixtureDumps.h"
#include "TestMemory.h"
#include "support/MachOLoader.h"

#include <gtest/gtest.h>

namespace {

using crashtest::Bytes;
using crashtest::CFISection;

// A section placed so that it ends right before an unreadable page, with a memory object over it.
class PlacedSection {
public:
    explicit PlacedSection(const std::vector<std::uint8_t>& bytes) : m_placed(bytes, true)
    {
        EXPECT_EQ(crsh_async_mobject_init(&m_mobj, getpid(), m_placed.address(), bytes.size(), true), CRSH_ERR_NONE);
    }
    explicit PlacedSection(const CFISection& section) : PlacedSection(section.data()) {}
    ~PlacedSection() { crsh_async_mobject_free(&m_mobj); }

    crsh_vm_address_t address(std::size_t offset = 0) const { return m_placed.address() + offset; }
    const crsh_async_mobject* mobj() const { return &m_mobj; }

    crsh_error_t find(crsh_vm_address_t pc, crsh_dwarf_fde_info* fde, bool m64 = true, bool debugFrame = false,
                      crsh_vm_off_t offset = 0) const
    {
        crsh_dwarf_frame_reader reader;
        EXPECT_EQ(crsh_dwarf_frame_reader_init(&reader, &m_mobj, &crsh_async_byteorder_direct, m64, debugFrame),
                  CRSH_ERR_NONE);
        return crsh_dwarf_find_fde(&reader, offset, pc, fde);
    }

    // The CIE at offset, parsed with no pointer bases.
    crsh_error_t parseCIE(std::size_t offset, crsh_dwarf_cie_info* info, bool m64 = true) const
    {
        crsh_dwarf_ptr_state state{};
        state.byteorder = &crsh_async_byteorder_direct;
        return m64 ? crsh_dwarf_parse_cie<std::uint64_t>(info, &m_mobj, &crsh_async_byteorder_direct, &state, address(offset))
                   : crsh_dwarf_parse_cie<std::uint32_t>(info, &m_mobj, &crsh_async_byteorder_direct, &state, address(offset));
    }

private:
    crashtest::PlacedBytes m_placed;
    crsh_async_mobject m_mobj{};
};

crsh_dwarf_ptr_state noBases()
{
    crsh_dwarf_ptr_state state{};
    state.byteorder = &crsh_async_byteorder_direct;
    return state;
}

// An __eh_frame CIE: version 1, code alignment 1, data alignment -8, return address 16, one nop.
Bytes ehCIE(const std::string& augmentation, const Bytes& augmentationData = {}, bool form64 = false)
{
    Bytes cie;
    if (form64)
        cie.u64(0);
    else
        cie.u32(0);
    cie.u8(1).str(augmentation).uleb(1).sleb(-8).uleb(16);
    if (!augmentation.empty() && augmentation[0] == 'z')
        cie.uleb(augmentationData.size()).raw(augmentationData.data());
    return cie.u8(0x00);
}

// An __eh_frame FDE at content offset `at` for the CIE at cieOffset, with pc fields already encoded.
Bytes ehFDE(std::size_t at, std::size_t cieOffset, const Bytes& pcFields, bool withAugmentation = true,
            bool form64 = false)
{
    Bytes fde;
    if (form64)
        fde.u64(at - cieOffset);
    else
        fde.u32(static_cast<std::uint32_t>(at - cieOffset));
    fde.raw(pcFields.data());
    if (withAugmentation)
        fde.uleb(0);
    return fde.u8(0x0C).u8(0x07).u8(0x08); // DW_CFA_def_cfa r7 + 8
}

TEST(CrashDwarfFixture, FindsEveryFDEOfTheX86ImageAsLLVMReadsIt)
{
    auto loader = hybtest::MachOLoader::load(crashtest::fixturePath("x86_64_image.dylib"));
    ASSERT_NE(loader, nullptr);
    crsh_macho_image image{};
    ASSERT_EQ(crsh_macho_image_init(&image, getpid(), "x86_64_image.dylib", loader->headerAddress()), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_macho_image_cpu_type(&image), CRSH_CPU_TYPE_X86_64);
    crsh_async_mobject section;
    ASSERT_EQ(crsh_macho_image_map_section(&image, "__TEXT", "__eh_frame", &section), CRSH_ERR_NONE);
    crsh_dwarf_frame_reader reader;
    ASSERT_EQ(crsh_dwarf_frame_reader_init(&reader, &section, image.byteorder, image.m64, false), CRSH_ERR_NONE);

    const auto entries = crashtest::dumpedFDEs("x86_64_image");
    ASSERT_GE(entries.size(), 4u);
    for (const auto& entry : entries) {
        const crsh_vm_address_t start = loader->addressOf(entry.start);
        const crsh_vm_address_t end = loader->addressOf(entry.end);
        for (crsh_vm_address_t pc : {start, start + (end - start) / 2, end - 1}) {
            crsh_dwarf_fde_info fde;
            ASSERT_EQ(crsh_dwarf_find_fde(&reader, 0, pc, &fde), CRSH_ERR_NONE) << std::hex << entry.start;
            EXPECT_EQ(fde.pc_start, start);
            EXPECT_EQ(fde.pc_end, end);
            EXPECT_EQ(fde.fde_offset, entry.offset + 4);
            EXPECT_EQ(fde.cie_offset, entry.cie);
            EXPECT_EQ(fde.fde_instruction_offset + fde.fde_instruction_length, fde.fde_offset + fde.fde_length);
        }
        crsh_dwarf_fde_info fde;
        crsh_error_t atEnd = crsh_dwarf_find_fde(&reader, 0, end, &fde);
        if (atEnd == CRSH_ERR_NONE)
            EXPECT_EQ(fde.pc_start, end); // only the next function's entry covers it
        else
            EXPECT_EQ(atEnd, CRSH_ERR_NOT_FOUND);
    }

    // The CIE, as the dump shows it: "zR" with pc-relative pointers.
    crsh_dwarf_ptr_state state = noBases();
    crsh_dwarf_cie_info cie;
    ASSERT_EQ(crsh_dwarf_parse_cie<std::uint64_t>(&cie, &section, image.byteorder, &state,
                                                  crsh_async_mobject_base_address(&section) + entries[0].cie),
              CRSH_ERR_NONE);
    EXPECT_EQ(cie.cie_version, 1);
    EXPECT_TRUE(cie.has_eh_augmentation);
    EXPECT_TRUE(cie.has_pointer_encoding);
    EXPECT_EQ(cie.pointer_encoding, 0x10);
    EXPECT_EQ(cie.code_alignment_factor, 1u);
    EXPECT_EQ(cie.data_alignment_factor, -8);
    EXPECT_EQ(cie.return_address_register, 16u);
    EXPECT_FALSE(cie.has_lsda_encoding);
    EXPECT_FALSE(cie.has_personality_address);
    EXPECT_EQ(cie.initial_instructions_offset + cie.initial_instructions_length, cie.cie_offset + cie.cie_length);

    crsh_async_mobject_free(&section);
    crsh_macho_image_free(&image);
}

TEST(CrashDwarf, RelativeSignedFourBytePointers)
{
    CFISection section;
    const std::size_t cie = section.entry(ehCIE("zR", Bytes().u8(0x1B)));
    const std::size_t at = section.nextContent();
    // pc start field right after the 4-byte CIE pointer.
    section.entry(ehFDE(at, cie, Bytes().u32(static_cast<std::uint32_t>(-0x100)).u32(0x20)));
    PlacedSection placed(section);
    const crsh_vm_address_t start = placed.address(at + 4) - 0x100;
    crsh_dwarf_fde_info fde;
    ASSERT_EQ(placed.find(start + 0x1F, &fde), CRSH_ERR_NONE);
    EXPECT_EQ(fde.pc_start, start);
    EXPECT_EQ(fde.pc_end, start + 0x20);
    EXPECT_EQ(fde.cie_offset, cie);
    EXPECT_EQ(fde.fde_offset, at);
    EXPECT_EQ(fde.fde_instruction_offset, at + 4 + 8 + 1);
    EXPECT_EQ(fde.fde_instruction_length, 3u);
    EXPECT_EQ(placed.find(start + 0x20, &fde), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(placed.find(start - 1, &fde), CRSH_ERR_NOT_FOUND);
}

TEST(CrashDwarf, PersonalityLSDAAndPointerEncodingAugmentations)
{
    CFISection section;
    Bytes data;
    data.u8(0x00).u64(0x1122334455667788).u8(0x1B).u8(0x1B); // P (absolute 8 bytes), L, R
    Bytes cieContent;
    cieContent.u32(0).u8(1).str("zPLR").uleb(4).sleb(-4).uleb(30).uleb(data.size()).raw(data.data()).u8(0x00).u8(0x00);
    const std::size_t cie = section.entry(cieContent);
    const std::size_t at = section.nextContent();
    Bytes fdeContent;
    fdeContent.u32(static_cast<std::uint32_t>(at - cie)).u32(0x40).u32(0x10).uleb(4).u32(0xDEADBEEF).u8(0x0C);
    section.entry(fdeContent);
    PlacedSection placed(section);

    crsh_dwarf_cie_info info;
    ASSERT_EQ(placed.parseCIE(cie, &info), CRSH_ERR_NONE);
    EXPECT_TRUE(info.has_personality_address);
    EXPECT_EQ(info.personality_address, 0x1122334455667788u);
    EXPECT_TRUE(info.has_lsda_encoding);
    EXPECT_EQ(info.lsda_encoding, 0x1B);
    EXPECT_TRUE(info.has_pointer_encoding);
    EXPECT_EQ(info.pointer_encoding, 0x1B);
    EXPECT_FALSE(info.signal_frame);
    EXPECT_EQ(info.code_alignment_factor, 4u);
    EXPECT_EQ(info.data_alignment_factor, -4);
    EXPECT_EQ(info.return_address_register, 30u);
    EXPECT_EQ(info.initial_instructions_length, 2u);

    crsh_dwarf_fde_info fde;
    ASSERT_EQ(placed.find(placed.address(at + 4) + 0x45, &fde), CRSH_ERR_NONE);
    // The instructions start after the FDE's own augmentation data (the LSDA pointer).
    EXPECT_EQ(fde.fde_instruction_offset, at + 4 + 4 + 4 + 1 + 4);
    EXPECT_EQ(fde.fde_instruction_length, 1u);
}

TEST(CrashDwarf, SignalFrameAndUnknownAugmentationCharacters)
{
    CFISection section;
    const std::size_t cie = section.entry(ehCIE("zSRx", Bytes().u8(0x03).u8(0xAA)));
    PlacedSection placed(section);
    crsh_dwarf_cie_info info;
    ASSERT_EQ(placed.parseCIE(cie, &info), CRSH_ERR_NONE);
    EXPECT_TRUE(info.signal_frame);
    EXPECT_EQ(info.pointer_encoding, 0x03);
    // "x" ends the walk; the instructions still start after the declared data.
    EXPECT_EQ(info.initial_instructions_length, 1u);
}

TEST(CrashDwarf, EhAugmentationIsNotSupported)
{
    CFISection section;
    const std::size_t cie = section.entry(ehCIE("eh"));
    const std::size_t at = section.nextContent();
    section.entry(ehFDE(at, cie, Bytes().u64(0x1000).u64(0x10), false));
    PlacedSection placed(section);
    crsh_dwarf_cie_info info;
    EXPECT_EQ(placed.parseCIE(cie, &info), CRSH_ERR_NOT_SUPPORTED);
    crsh_dwarf_fde_info fde;
    EXPECT_EQ(placed.find(0x1008, &fde), CRSH_ERR_NOT_SUPPORTED);
}

TEST(CrashDwarf, EncodingsThatNeedABaseAreNotSupportedWithoutOne)
{
    PlacedSection placed(Bytes().u32(0x10).u32(0x20).u32(0x30).u32(0x40).data());
    crsh_dwarf_ptr_state state = noBases();
    std::uint64_t value = 0;
    std::size_t size = 0;
    for (std::uint8_t encoding : {0x23, 0x33, 0x43, 0x53, 0x63, 0x73}) {
        EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 0, encoding,
                                                                 &value, &size),
                  CRSH_ERR_NOT_SUPPORTED)
            << int(encoding);
    }

    // With the bases present they are read against them.
    state.text_base = {true, 0x1000};
    state.data_base = {true, 0x2000};
    state.func_base = {true, 0x3000};
    state.frame_section_base = {true, placed.address(), 0x10001};
    EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 0, 0x23, &value, &size), CRSH_ERR_NONE);
    EXPECT_EQ(value, 0x1010u);
    EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 4, 0x33, &value, &size), CRSH_ERR_NONE);
    EXPECT_EQ(value, 0x2020u);
    EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 8, 0x43, &value, &size), CRSH_ERR_NONE);
    EXPECT_EQ(value, 0x3030u);
    // Aligned: the section's virtual address is 1 past an 8-byte boundary, so reading at offset 0 skips 7
    // bytes; the skipped bytes count in the size.
    EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 0, 0x53, &value, &size),
              CRSH_ERR_NONE);
    EXPECT_EQ(size, 7u + 4u);
    EXPECT_EQ(value, 0x3000u); // bytes 7..10: 00 30 00 00
    EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 4, 0x54, &value, &size),
              CRSH_ERR_NONE);
    EXPECT_EQ(size, 3u + 8u);
    EXPECT_EQ(crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(), 8, 0x54, &value, &size),
              CRSH_ERR_INVALID_ARGUMENT); // 7 skipped + 8 read run past the 16-byte section
}

TEST(CrashDwarf, PointerFormatsAndIndirection)
{
    std::uint64_t target = 0xABCDEF0123456789;
    Bytes bytes;
    bytes.u16(0xFFFE).u32(0xFFFFFFF0).u64(static_cast<std::uint64_t>(-5)).uleb(300).sleb(-300)
        .u64(reinterpret_cast<std::uint64_t>(&target)).u8(0x77);
    PlacedSection placed(bytes.data());
    crsh_dwarf_ptr_state state = noBases();
    std::uint64_t value = 0;
    std::size_t size = 0;
    auto read = [&](std::uint64_t offset, std::uint8_t encoding) {
        return crsh_dwarf_read_encoded_pointer<std::uint64_t>(&state, placed.mobj(), placed.address(),
                                                              static_cast<crsh_vm_off_t>(offset), encoding, &value, &size);
    };
    ASSERT_EQ(read(0, 0x02), CRSH_ERR_NONE);
    EXPECT_EQ(value, 0xFFFEu);
    EXPECT_EQ(size, 2u);
    ASSERT_EQ(read(0, 0x0A), CRSH_ERR_NONE);
    EXPECT_EQ(value, static_cast<std::uint64_t>(-2));
    ASSERT_EQ(read(2, 0x0B), CRSH_ERR_NONE);
    EXPECT_EQ(value, static_cast<std::uint64_t>(-16));
    ASSERT_EQ(read(2, 0x03), CRSH_ERR_NONE);
    EXPECT_EQ(value, 0xFFFFFFF0u);
    ASSERT_EQ(read(6, 0x0C), CRSH_ERR_NONE);
    EXPECT_EQ(value, static_cast<std::uint64_t>(-5));
    ASSERT_EQ(read(14, 0x01), CRSH_ERR_NONE);
    EXPECT_EQ(value, 300u);
    EXPECT_EQ(size, 2u);
    ASSERT_EQ(read(16, 0x09), CRSH_ERR_NONE);
    EXPECT_EQ(value, static_cast<std::uint64_t>(-300));
    ASSERT_EQ(read(18, 0x1B), CRSH_ERR_NONE); // pc-relative: the field's own address plus the value
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uint64_t>(&target)));
    EXPECT_EQ(value, placed.address(18) + static_cast<std::uint64_t>(static_cast<std::int64_t>(low)));
    ASSERT_EQ(read(18, 0x80), CRSH_ERR_NONE); // indirect: the value is where the pointer is
    EXPECT_EQ(value, target);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(read(0, 0x80), CRSH_ERR_NOT_FOUND); // 0xFFFE... is nowhere

    EXPECT_EQ(read(0, 0xFF), CRSH_ERR_NOT_FOUND);
    for (std::uint8_t format : {0x05, 0x06, 0x07, 0x08, 0x0D, 0x0E, 0x0F})
        EXPECT_EQ(read(0, format), CRSH_ERR_NOT_SUPPORTED) << int(format);
    EXPECT_EQ(read(26, 0x04), CRSH_ERR_INVALID_ARGUMENT); // runs past the section

    // The 32-bit family reads 4-byte pointers and wraps its sums to 32 bits.
    std::uint32_t narrow = 0;
    ASSERT_EQ(crsh_dwarf_read_encoded_pointer<std::uint32_t>(&state, placed.mobj(), placed.address(), 2, 0x10, &narrow, &size),
              CRSH_ERR_NONE);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(narrow, static_cast<std::uint32_t>(placed.address(2) + 0xFFFFFFF0));
}

TEST(CrashDwarf, LEB128Limits)
{
    Bytes bytes;
    bytes.raw({0xE5, 0x8E, 0x26});                                                 // 624485
    bytes.raw({0xC0, 0xBB, 0x78});                                                 // -123456
    bytes.raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});       // UINT64_MAX in 10 bytes
    bytes.raw({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}); // 11 bytes
    bytes.raw({0x7F});                                                             // -1 signed
    bytes.raw({0x80});                                                             // runs past the end
    PlacedSection placed(bytes.data());
    std::uint64_t u = 0;
    std::int64_t s = 0;
    std::size_t size = 0;
    ASSERT_EQ(crsh_dwarf_read_uleb128(placed.mobj(), placed.address(), 0, &u, &size), CRSH_ERR_NONE);
    EXPECT_EQ(u, 624485u);
    EXPECT_EQ(size, 3u);
    ASSERT_EQ(crsh_dwarf_read_sleb128(placed.mobj(), placed.address(), 3, &s, &size), CRSH_ERR_NONE);
    EXPECT_EQ(s, -123456);
    ASSERT_EQ(crsh_dwarf_read_uleb128(placed.mobj(), placed.address(), 6, &u, &size), CRSH_ERR_NONE);
    EXPECT_EQ(u, UINT64_MAX);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(crsh_dwarf_read_uleb128(placed.mobj(), placed.address(), 16, &u, &size), CRSH_ERR_NOT_SUPPORTED);
    EXPECT_EQ(crsh_dwarf_read_sleb128(placed.mobj(), placed.address(), 16, &s, &size), CRSH_ERR_NOT_SUPPORTED);
    ASSERT_EQ(crsh_dwarf_read_sleb128(placed.mobj(), placed.address(), 27, &s, &size), CRSH_ERR_NONE);
    EXPECT_EQ(s, -1);
    ASSERT_EQ(crsh_dwarf_read_uleb128(placed.mobj(), placed.address(), 27, &u, &size), CRSH_ERR_NONE);
    EXPECT_EQ(u, 0x7Fu);
    EXPECT_EQ(crsh_dwarf_read_uleb128(placed.mobj(), placed.address(), 28, &u, &size), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_dwarf_read_sleb128(placed.mobj(), placed.address(), 28, &s, &size), CRSH_ERR_INVALID_ARGUMENT);

    for (std::uint8_t width : {1, 2, 4, 8}) {
        EXPECT_EQ(crsh_dwarf_read_uintmax(placed.mobj(), &crsh_async_byteorder_direct, placed.address(), 0, width, &u), CRSH_ERR_NONE);
        EXPECT_EQ(crsh_dwarf_read_uintmax(placed.mobj(), &crsh_async_byteorder_direct, placed.address(), 29 - width + 1, width, &u),
                  CRSH_ERR_INVALID_ARGUMENT);
    }
    EXPECT_EQ(crsh_dwarf_read_uintmax(placed.mobj(), &crsh_async_byteorder_swapped, placed.address(), 0, 2, &u), CRSH_ERR_NONE);
    EXPECT_EQ(u, 0xE58Eu);
    EXPECT_EQ(crsh_dwarf_read_uintmax(placed.mobj(), &crsh_async_byteorder_direct, placed.address(), 0, 3, &u),
              CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashDwarf, TerminatorBeforeACoveringFDEEndsTheSearch)
{
    CFISection section;
    const std::size_t cie = section.entry(ehCIE("zR", Bytes().u8(0x04)));
    std::size_t at = section.nextContent();
    section.entry(ehFDE(at, cie, Bytes().u64(0x1000).u64(0x10)));
    section.terminator();
    at = section.nextContent();
    section.entry(ehFDE(at, cie, Bytes().u64(0x2000).u64(0x10)));
    PlacedSection placed(section);
    crsh_dwarf_fde_info fde;
    EXPECT_EQ(placed.find(0x1008, &fde), CRSH_ERR_NONE);
    EXPECT_EQ(placed.find(0x2008, &fde), CRSH_ERR_NOT_FOUND);
    // Starting the scan after the terminator finds it.
    EXPECT_EQ(placed.find(0x2008, &fde, true, false, static_cast<crsh_vm_off_t>(at - 4)), CRSH_ERR_NONE);
    EXPECT_EQ(placed.find(0x2008, &fde, true, false, static_cast<crsh_vm_off_t>(section.size())), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(placed.find(0x2008, &fde, true, false, -1), CRSH_ERR_INVALID_ARGUMENT);
}

TEST(CrashDwarf, SixtyFourBitLengthForm)
{
    CFISection section;
    const std::size_t cie = section.entry(ehCIE("zR", Bytes().u8(0x04), true), true);
    const std::size_t at = section.nextContent(true);
    section.entry(ehFDE(at, cie, Bytes().u64(0x5000).u64(0x80), true, true), true);
    PlacedSection placed(section);
    crsh_dwarf_fde_info fde;
    ASSERT_EQ(placed.find(0x5040, &fde), CRSH_ERR_NONE);
    EXPECT_EQ(fde.fde_offset, at);
    EXPECT_EQ(fde.cie_offset, cie);
    EXPECT_EQ(fde.pc_start, 0x5000u);
    EXPECT_EQ(fde.fde_instruction_offset, at + 8 + 16 + 1);
    crsh_dwarf_cie_info info;
    ASSERT_EQ(placed.parseCIE(cie, &info), CRSH_ERR_NONE);
    EXPECT_EQ(info.cie_offset, cie + 12);
    EXPECT_EQ(info.cie_id, 0u);
}

TEST(CrashDwarf, OmittedPointerEncodingIsNotFound)
{
    CFISection section;
    const std::size_t cie = section.entry(ehCIE("zR", Bytes().u8(0xFF)));
    const std::size_t at = section.nextContent();
    section.entry(ehFDE(at, cie, Bytes().u64(0x1000).u64(0x10)));
    PlacedSection placed(section);
    crsh_dwarf_fde_info fde;
    EXPECT_EQ(placed.find(0x1008, &fde), CRSH_ERR_NOT_FOUND);
}

TEST(CrashDwarf, DebugFrameSectionsOfBothWidths)
{
    // Version 4 with address and segment sizes; the FDE names its CIE by section offset.
    for (bool m64 : {true, false}) {
        CFISection section;
        section.raw(Bytes().u32(0).data()); // something before the CIE, never scanned as an entry here
        Bytes cieContent;
        cieContent.u32(0xFFFFFFFF).u8(4).str("").u8(m64 ? 8 : 4).u8(0).uleb(1).sleb(-4).uleb(14).u8(0x00);
        const std::size_t cie = section.entry(cieContent);
        Bytes fdeContent;
        fdeContent.u32(static_cast<std::uint32_t>(cie));
        if (m64)
            fdeContent.u64(0x700000).u64(0x100);
        else
            fdeContent.u32(0x7000).u32(0x100);
        fdeContent.u8(0x00);
        const std::size_t at = section.nextContent();
        section.entry(fdeContent);
        PlacedSection placed(section);
        crsh_dwarf_fde_info fde;
        const crsh_vm_address_t start = m64 ? 0x700000 : 0x7000;
        ASSERT_EQ(placed.find(start + 0xFF, &fde, m64, true, static_cast<crsh_vm_off_t>(cie)), CRSH_ERR_NONE) << m64;
        EXPECT_EQ(fde.fde_offset, at);
        EXPECT_EQ(fde.cie_offset, cie);
        EXPECT_EQ(fde.pc_end, start + 0x100);
        EXPECT_EQ(fde.fde_instruction_length, 1u);
        crsh_dwarf_cie_info info;
        ASSERT_EQ(placed.parseCIE(cie, &info, m64), CRSH_ERR_NONE);
        EXPECT_EQ(info.cie_version, 4);
        EXPECT_EQ(info.address_size, m64 ? 8 : 4);
        EXPECT_FALSE(info.has_eh_augmentation);
        EXPECT_EQ(info.return_address_register, 14u);
        EXPECT_EQ(info.initial_instructions_length, 1u);
    }
}

TEST(CrashDwarf, MalformedEntriesAreRefused)
{
    struct Case {
        const char* what;
        std::function<void(CFISection&)> build;
        crsh_error_t expected;
    };
    auto fdeFor = [](CFISection& s, std::size_t cie, const Bytes& pcFields) {
        s.entry(ehFDE(s.nextContent(), cie, pcFields));
    };
    const Case cases[] = {
        {"CIE id neither 0 nor all ones",
         [&](CFISection& s) {
             Bytes cie;
             cie.u32(0x55).u8(1).str("").uleb(1).sleb(-8).uleb(16);
             std::size_t at = s.entry(cie);
             Bytes fde;
             fde.u32(static_cast<std::uint32_t>(s.nextContent() - at)).u64(0x1000).u64(0x100);
             s.entry(fde);
         },
         CRSH_ERR_INVALID_ARGUMENT},
        {"version 2",
         [&](CFISection& s) {
             Bytes cie;
             cie.u32(0).u8(2).str("").uleb(1).sleb(-8).uleb(16);
             fdeFor(s, s.entry(cie), Bytes().u64(0x1000).u64(0x100));
         },
         CRSH_ERR_INVALID_ARGUMENT},
        {"augmentation without its terminator",
         [&](CFISection& s) { s.entry(Bytes().u32(0).u8(1).u8('z').u8('R')); s.entry(Bytes().u32(12).u64(0)); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"augmentation data longer than the CIE",
         [&](CFISection& s) { fdeFor(s, s.entry(Bytes().u32(0).u8(1).str("zR").uleb(1).sleb(-8).uleb(16).uleb(40).u8(0x04)), Bytes().u64(0x1000).u64(0x100)); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"LEB128 longer than 64 bits",
         [&](CFISection& s) {
             Bytes cie;
             cie.u32(0).u8(1).str("").raw({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}).sleb(-8).uleb(16);
             fdeFor(s, s.entry(cie), Bytes().u64(0x1000).u64(0x100));
         },
         CRSH_ERR_NOT_SUPPORTED},
        {"LEB128 running past the CIE",
         [&](CFISection& s) { fdeFor(s, s.entry(Bytes().u32(0).u8(1).str("").uleb(1).sleb(-8).u8(0x90)), Bytes().u64(0x1000).u64(0x100)); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"pc range that overflows",
         [&](CFISection& s) { fdeFor(s, s.entry(ehCIE("zR", Bytes().u8(0x04))), Bytes().u64(UINT64_MAX - 0x10).u64(0x100)); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"bad format nibble",
         [&](CFISection& s) { fdeFor(s, s.entry(ehCIE("zR", Bytes().u8(0x07))), Bytes().u64(0x1000).u64(0x100)); },
         CRSH_ERR_NOT_SUPPORTED},
        {"text-relative pointers",
         [&](CFISection& s) { fdeFor(s, s.entry(ehCIE("zR", Bytes().u8(0x24))), Bytes().u64(0x1000).u64(0x100)); },
         CRSH_ERR_NOT_SUPPORTED},
        {"CIE pointer before the section start",
         [&](CFISection& s) {
             s.entry(ehCIE("zR", Bytes().u8(0x04)));
             s.entry(Bytes().u32(static_cast<std::uint32_t>(s.nextContent() + 16)).u64(0x1000).u64(0x100).uleb(0));
         },
         CRSH_ERR_INVALID_ARGUMENT},
        {"CIE pointer beyond the pointer field",
         [&](CFISection& s) {
             s.entry(ehCIE("zR", Bytes().u8(0x04)), true);
             s.entry(Bytes().u64(UINT64_MAX).u64(0x1000).u64(0x100).uleb(0), true);
         },
         CRSH_ERR_INVALID_ARGUMENT},
        {"FDE whose pc fields run past its length",
         [&](CFISection& s) { s.entry(ehFDE(s.nextContent(), 0, Bytes(), false)); s.raw(Bytes().u64(0).u64(0).data()); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"entry length past the section",
         [&](CFISection& s) { s.entry(ehCIE("zR", Bytes().u8(0x04))); s.raw(Bytes().u32(0x1000).u32(4).data()); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"64-bit length past the section",
         [&](CFISection& s) { s.raw(Bytes().u32(0xFFFFFFFF).u64(UINT64_MAX - 4).u64(0).data()); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"a length field cut by the section's end",
         [&](CFISection& s) { s.entry(ehCIE("zR", Bytes().u8(0x04))); s.raw({0x10, 0x00}); },
         CRSH_ERR_INVALID_ARGUMENT},
        {"only CIEs", [&](CFISection& s) { s.entry(ehCIE("zR", Bytes().u8(0x04))); }, CRSH_ERR_NOT_FOUND},
    };
    for (const Case& c : cases) {
        CFISection section;
        c.build(section);
        PlacedSection placed(section);
        crsh_dwarf_fde_info fde;
        EXPECT_EQ(placed.find(0x1008, &fde), c.expected) << c.what;
    }

    // __debug_frame: CIE offsets that are negative as 64-bit values, or past the section.
    for (std::uint64_t offset : {static_cast<std::uint64_t>(-8), std::uint64_t{0x10000}}) {
        CFISection section;
        Bytes cie;
        cie.u64(UINT64_MAX).u8(1).str("").uleb(1).sleb(-8).uleb(16);
        section.entry(cie, true);
        section.entry(Bytes().u64(offset).u64(0x1000).u64(0x100), true);
        PlacedSection placed(section);
        crsh_dwarf_fde_info fde;
        EXPECT_EQ(placed.find(0x1008, &fde, true, true), CRSH_ERR_INVALID_ARGUMENT) << offset;
    }
}

} // namespace
