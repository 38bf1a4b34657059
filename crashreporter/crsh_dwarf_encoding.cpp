#include "crashreporter/crsh_dwarf_encoding.h"

#include <limits>

namespace {

crsh_vm_address_t sectionStart(const crsh_async_mobject* mobj)
{
    return crsh_async_mobject_base_address(mobj);
}

crsh_vm_address_t sectionEnd(const crsh_async_mobject* mobj)
{
    return crsh_async_mobject_base_address(mobj) + crsh_async_mobject_length(mobj);
}

// The length field of a CIE or FDE: its form and where the entry's content lies.
struct EntryHeader {
    bool is64 = false;        // the 64-bit length form: a 12-byte header and an 8-byte id
    std::uint64_t length = 0; // of the content
    crsh_vm_address_t content = 0;
    crsh_vm_address_t end = 0;
};

// Reads the length field at address; the content must lie inside the section.
crsh_error_t readEntryHeader(const crsh_async_mobject* mobj, const crsh_async_byteorder* byteorder,
                             crsh_vm_address_t address, EntryHeader* header)
{
    std::uint32_t length32;
    if (crsh_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != CRSH_ERR_NONE)
        return CRSH_ERR_INVALID_ARGUMENT;
    std::uint64_t headerSize = 4;
    header->is64 = length32 == UINT32_MAX;
    header->length = length32;
    if (header->is64) {
        if (crsh_async_mobject_read_uint64(mobj, byteorder, address, 4, &header->length) != CRSH_ERR_NONE)
            return CRSH_ERR_INVALID_ARGUMENT;
        headerSize = 12;
    }
    if (__builtin_add_overflow(address, headerSize, &header->content) ||
        __builtin_add_overflow(header->content, header->length, &header->end) || header->end > sectionEnd(mobj))
        return CRSH_ERR_INVALID_ARGUMENT;
    return CRSH_ERR_NONE;
}

std::uint64_t allOnes(bool is64)
{
    return is64 ? UINT64_MAX : UINT32_MAX;
}

// Reads forward through [position, end) of a section; any read that leaves it is CRSH_ERR_INVALID_ARGUMENT.
class BoundedReader {
public:
    BoundedReader(const crsh_async_mobject* mobj, const crsh_async_byteorder* byteorder, crsh_vm_address_t position,
                  crsh_vm_address_t end)
        : m_mobj(mobj), m_byteorder(byteorder), m_position(position), m_end(end)
    {
    }

    crsh_vm_address_t position() const { return m_position; }
    crsh_vm_address_t end() const { return m_end; }

    crsh_error_t readUInt(std::uint8_t size, std::uint64_t* value)
    {
        if (!fits(size) || crsh_dwarf_read_uintmax(m_mobj, m_byteorder, m_position, 0, size, value) != CRSH_ERR_NONE)
            return CRSH_ERR_INVALID_ARGUMENT;
        m_position += size;
        return CRSH_ERR_NONE;
    }

    crsh_error_t readByte(std::uint8_t* value)
    {
        std::uint64_t wide = 0;
        crsh_error_t error = readUInt(1, &wide);
        *value = static_cast<std::uint8_t>(wide);
        return error;
    }

    crsh_error_t readULEB(std::uint64_t* value)
    {
        std::size_t size = 0;
        CRSH_TRY(crsh_dwarf_read_uleb128(m_mobj, m_position, 0, value, &size));
        return skip(size);
    }

    crsh_error_t readSLEB(std::int64_t* value)
    {
        std::size_t size = 0;
        CRSH_TRY(crsh_dwarf_read_sleb128(m_mobj, m_position, 0, value, &size));
        return skip(size);
    }

    template <typename machine_ptr>
    crsh_error_t readEncoded(const crsh_dwarf_ptr_state* state, std::uint8_t encoding, machine_ptr* value)
    {
        std::size_t size = 0;
        CRSH_TRY(crsh_dwarf_read_encoded_pointer<machine_ptr>(state, m_mobj, m_position, 0, encoding, value, &size));
        return skip(size);
    }

    crsh_error_t skip(std::uint64_t size)
    {
        if (!fits(size))
            return CRSH_ERR_INVALID_ARGUMENT;
        m_position += size;
        return CRSH_ERR_NONE;
    }

private:
    bool fits(std::uint64_t size) const { return size <= m_end - m_position; }

    const crsh_async_mobject* m_mobj;
    const crsh_async_byteorder* m_byteorder;
    crsh_vm_address_t m_position;
    crsh_vm_address_t m_end;
};

// The augmentation characters after "z", walked over the CIE's augmentation data.
template <typename machine_ptr>
crsh_error_t readAugmentationData(crsh_dwarf_cie_info* info, const crsh_async_mobject* mobj,
                                  const crsh_dwarf_ptr_state* ptr_state,
                                  crsh_vm_address_t characters, std::uint64_t count, BoundedReader data)
{
    for (std::uint64_t i = 1; i < count; ++i) {
        std::uint8_t character;
        CRSH_TRY(crsh_async_mobject_read_uint8(mobj, characters, static_cast<crsh_vm_off_t>(i), &character));
        switch (character) {
        case 'L':
            CRSH_TRY(data.readByte(&info->lsda_encoding));
            info->has_lsda_encoding = true;
            break;
        case 'P': {
            std::uint8_t encoding;
            machine_ptr personality;
            CRSH_TRY(data.readByte(&encoding));
            CRSH_TRY(data.readEncoded<machine_ptr>(ptr_state, encoding, &personality));
            info->personality_address = personality;
            info->has_personality_address = true;
            break;
        }
        case 'R':
            CRSH_TRY(data.readByte(&info->pointer_encoding));
            info->has_pointer_encoding = true;
            break;
        case 'S':
            info->signal_frame = true;
            break;
        default:
            return CRSH_ERR_NONE;
        }
    }
    return CRSH_ERR_NONE;
}

} // namespace

crsh_error_t crsh_dwarf_frame_reader_init(crsh_dwarf_frame_reader* reader, const crsh_async_mobject* mobj,
                                          const crsh_async_byteorder* byteorder, bool m64, bool debug_frame)
{
    reader->mobj = mobj;
    reader->byteorder = byteorder;
    reader->m64 = m64;
    reader->debug_frame = debug_frame;
    return CRSH_ERR_NONE;
}

crsh_error_t crsh_dwarf_read_uintmax(const crsh_async_mobject* mobj, const crsh_async_byteorder* byteorder,
                                     crsh_vm_address_t address, crsh_vm_off_t offset, std::uint8_t size,
                                     std::uint64_t* result)
{
    crsh_error_t error;
    switch (size) {
    case 1: {
        std::uint8_t value;
        error = crsh_async_mobject_read_uint8(mobj, address, offset, &value);
        *result = value;
        break;
    }
    case 2: {
        std::uint16_t value;
        error = crsh_async_mobject_read_uint16(mobj, byteorder, address, offset, &value);
        *result = value;
        break;
    }
    case 4: {
        std::uint32_t value;
        error = crsh_async_mobject_read_uint32(mobj, byteorder, address, offset, &value);
        *result = value;
        break;
    }
    case 8:
        error = crsh_async_mobject_read_uint64(mobj, byteorder, address, offset, result);
        break;
    default:
        return CRSH_ERR_INVALID_ARGUMENT;
    }
    return error == CRSH_ERR_NONE ? CRSH_ERR_NONE : CRSH_ERR_INVALID_ARGUMENT;
}

namespace {

// LEB128: seven bits a byte, least significant first, while the top bit is set.
crsh_error_t readLEB128(const crsh_async_mobject* mobj, crsh_vm_address_t address, crsh_vm_off_t offset, bool isSigned,
                        std::uint64_t* result, std::size_t* size)
{
    crsh_vm_address_t start;
    if (!crsh_async_address_apply_offset(address, offset, &start))
        return CRSH_ERR_INVALID_ARGUMENT;
    std::uint64_t value = 0;
    unsigned shift = 0;
    for (std::size_t position = 0;; ++position) {
        if (shift >= 64)
            return CRSH_ERR_NOT_SUPPORTED;
        std::uint8_t byte;
        if (crsh_async_mobject_read_uint8(mobj, start, static_cast<crsh_vm_off_t>(position), &byte) != CRSH_ERR_NONE)
            return CRSH_ERR_INVALID_ARGUMENT;
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if ((byte & 0x80) != 0)
            continue;
        if (isSigned && (byte & 0x40) != 0 && shift < 64)
            value |= ~std::uint64_t{0} << shift;
        *result = value;
        *size = position + 1;
        return CRSH_ERR_NONE;
    }
}

} // namespace

crsh_error_t crsh_dwarf_read_uleb128(const crsh_async_mobject* mobj, crsh_vm_address_t address, crsh_vm_off_t offset,
                                     std::uint64_t* result, std::size_t* size)
{
    return readLEB128(mobj, address, offset, false, result, size);
}

crsh_error_t crsh_dwarf_read_sleb128(const crsh_async_mobject* mobj, crsh_vm_address_t address, crsh_vm_off_t offset,
                                     std::int64_t* result, std::size_t* size)
{
    std::uint64_t value = 0;
    crsh_error_t error = readLEB128(mobj, address, offset, true, &value, size);
    if (error == CRSH_ERR_NONE)
        *result = static_cast<std::int64_t>(value);
    return error;
}

template <typename machine_ptr>
crsh_error_t crsh_dwarf_read_encoded_pointer(const crsh_dwarf_ptr_state* state, const crsh_async_mobject* mobj,
                                             crsh_vm_address_t address, crsh_vm_off_t offset, std::uint8_t encoding,
                                             machine_ptr* result, std::size_t* size)
{
    if (encoding == CRSH_DW_EH_PE_omit)
        return CRSH_ERR_NOT_FOUND;
    crsh_vm_address_t location;
    if (!crsh_async_address_apply_offset(address, offset, &location))
        return CRSH_ERR_INVALID_ARGUMENT;

    std::uint64_t base = 0;
    std::size_t skipped = 0;
    switch (encoding & 0x70) {
    case CRSH_DW_EH_PE_absptr:
        break;
    case CRSH_DW_EH_PE_pcrel:
        base = location;
        break;
    case CRSH_DW_EH_PE_textrel:
        if (!state->text_base.valid)
            return CRSH_ERR_NOT_SUPPORTED;
        base = state->text_base.address;
        break;
    case CRSH_DW_EH_PE_datarel:
        if (!state->data_base.valid)
            return CRSH_ERR_NOT_SUPPORTED;
        base = state->data_base.address;
        break;
    case CRSH_DW_EH_PE_funcrel:
        if (!state->func_base.valid)
            return CRSH_ERR_NOT_SUPPORTED;
        base = state->func_base.address;
        break;
    case CRSH_DW_EH_PE_aligned: {
        if (!state->frame_section_base.valid)
            return CRSH_ERR_NOT_SUPPORTED;
        // Aligned on the value's virtual address in the image, not on where the section is mapped.
        crsh_vm_address_t virtualAddress =
            location - state->frame_section_base.address + state->frame_section_base.vm_address;
        crsh_vm_address_t aligned;
        if (__builtin_add_overflow(virtualAddress, sizeof(machine_ptr) - 1, &aligned))
            return CRSH_ERR_INVALID_ARGUMENT;
        aligned &= ~static_cast<crsh_vm_address_t>(sizeof(machine_ptr) - 1);
        skipped = aligned - virtualAddress;
        if (__builtin_add_overflow(location, skipped, &location))
            return CRSH_ERR_INVALID_ARGUMENT;
        break;
    }
    default:
        return CRSH_ERR_NOT_SUPPORTED;
    }

    std::uint64_t raw;
    std::size_t consumed;
    switch (encoding & 0x0F) {
    case CRSH_DW_EH_PE_ptr:
        consumed = sizeof(machine_ptr);
        CRSH_TRY(crsh_dwarf_read_uintmax(mobj, state->byteorder, location, 0, sizeof(machine_ptr), &raw));
        break;
    case CRSH_DW_EH_PE_uleb128:
        CRSH_TRY(crsh_dwarf_read_uleb128(mobj, location, 0, &raw, &consumed));
        break;
    case CRSH_DW_EH_PE_udata2:
    case CRSH_DW_EH_PE_udata4:
    case CRSH_DW_EH_PE_udata8: {
        consumed = std::size_t{1} << ((encoding & 0x0F) - 1); // 2, 4, 8
        CRSH_TRY(crsh_dwarf_read_uintmax(mobj, state->byteorder, location, 0, static_cast<std::uint8_t>(consumed), &raw));
        break;
    }
    case CRSH_DW_EH_PE_sleb128: {
        std::int64_t value;
        CRSH_TRY(crsh_dwarf_read_sleb128(mobj, location, 0, &value, &consumed));
        raw = static_cast<std::uint64_t>(value);
        break;
    }
    case CRSH_DW_EH_PE_sdata2:
    case CRSH_DW_EH_PE_sdata4:
    case CRSH_DW_EH_PE_sdata8: {
        consumed = std::size_t{1} << ((encoding & 0x0F) - 9); // 2, 4, 8
        CRSH_TRY(crsh_dwarf_read_uintmax(mobj, state->byteorder, location, 0, static_cast<std::uint8_t>(consumed), &raw));
        if (consumed < 8) {
            const unsigned unused = static_cast<unsigned>(64 - consumed * 8);
            raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << unused) >> unused);
        }
        break;
    }
    default:
        return CRSH_ERR_NOT_SUPPORTED;
    }

    // Wraps to the family's width.
    machine_ptr value = static_cast<machine_ptr>(base + raw);
    if ((encoding & CRSH_DW_EH_PE_indirect) != 0) {
        const crsh_task_t task = crsh_async_mobject_task(mobj);
        if constexpr (sizeof(machine_ptr) == 8) {
            std::uint64_t target;
            CRSH_TRY(crsh_async_task_read_uint64(task, state->byteorder, value, 0, &target));
            value = target;
        } else {
            std::uint32_t target;
            CRSH_TRY(crsh_async_task_read_uint32(task, state->byteorder, value, 0, &target));
            value = target;
        }
    }
    *result = value;
    *size = skipped + consumed;
    return CRSH_ERR_NONE;
}

template <typename machine_ptr>
crsh_error_t crsh_dwarf_parse_cie(crsh_dwarf_cie_info* info, const crsh_async_mobject* mobj,
                                  const crsh_async_byteorder* byteorder, const crsh_dwarf_ptr_state* ptr_state,
                                  crsh_vm_address_t address)
{
    *info = {};
    EntryHeader header;
    CRSH_TRY(readEntryHeader(mobj, byteorder, address, &header));
    info->cie_offset = header.content - sectionStart(mobj);
    info->cie_length = header.length;
    BoundedReader reader(mobj, byteorder, header.content, header.end);

    CRSH_TRY(reader.readUInt(header.is64 ? 8 : 4, &info->cie_id));
    // 0 marks a CIE in __eh_frame, all ones in __debug_frame.
    if (info->cie_id != 0 && info->cie_id != allOnes(header.is64))
        return CRSH_ERR_INVALID_ARGUMENT;
    CRSH_TRY(reader.readByte(&info->cie_version));
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4)
        return CRSH_ERR_INVALID_ARGUMENT;

    const crsh_vm_address_t augmentation = reader.position();
    std::uint8_t first;
    CRSH_TRY(reader.readByte(&first));
    if (first != 'z' && first != '\0')
        return CRSH_ERR_NOT_SUPPORTED;
    info->has_eh_augmentation = first == 'z';
    std::uint64_t augmentationLength = 0;
    for (std::uint8_t character = first; character != '\0'; ++augmentationLength)
        CRSH_TRY(reader.readByte(&character));

    if (info->cie_version == 4) {
        CRSH_TRY(reader.readByte(&info->address_size));
        CRSH_TRY(reader.readByte(&info->segment_size));
    }
    CRSH_TRY(reader.readULEB(&info->code_alignment_factor));
    CRSH_TRY(reader.readSLEB(&info->data_alignment_factor));
    CRSH_TRY(reader.readULEB(&info->return_address_register));

    if (info->has_eh_augmentation) {
        std::uint64_t dataLength;
        CRSH_TRY(reader.readULEB(&dataLength));
        const crsh_vm_address_t data = reader.position();
        CRSH_TRY(reader.skip(dataLength));
        CRSH_TRY(readAugmentationData<machine_ptr>(info, mobj, ptr_state, augmentation, augmentationLength,
                                                   BoundedReader(mobj, ptr_state->byteorder, data, reader.position())));
    }
    info->initial_instructions_offset = reader.position() - sectionStart(mobj);
    info->initial_instructions_length = header.end - reader.position();
    return CRSH_ERR_NONE;
}

namespace {

// The FDE at address in mobj; its CIE lies in cie_mobj (the same object when the whole section is mapped).
template <typename machine_ptr>
crsh_error_t parseFDE(crsh_dwarf_fde_info* info, const crsh_async_mobject* mobj, const crsh_async_mobject* cie_mobj,
                      const crsh_async_byteorder* byteorder, crsh_vm_address_t address, bool debug_frame)
{
    *info = {};
    EntryHeader header;
    CRSH_TRY(readEntryHeader(mobj, byteorder, address, &header));
    info->fde_offset = header.content - sectionStart(mobj);
    info->fde_length = header.length;
    BoundedReader reader(mobj, byteorder, header.content, header.end);

    const crsh_vm_address_t pointerField = reader.position();
    std::uint64_t pointer;
    CRSH_TRY(reader.readUInt(header.is64 ? 8 : 4, &pointer));
    crsh_vm_address_t cie;
    if (debug_frame) {
        // A section offset.
        if (static_cast<std::int64_t>(pointer) < 0 || __builtin_add_overflow(sectionStart(cie_mobj), pointer, &cie))
            return CRSH_ERR_INVALID_ARGUMENT;
    } else {
        // The distance back from the pointer field itself.
        if (pointer > pointerField)
            return CRSH_ERR_INVALID_ARGUMENT;
        cie = pointerField - pointer;
    }
    if (cie < sectionStart(cie_mobj) || cie >= sectionEnd(cie_mobj))
        return CRSH_ERR_INVALID_ARGUMENT;
    info->cie_offset = cie - sectionStart(cie_mobj);

    crsh_dwarf_ptr_state state{};
    state.byteorder = byteorder;
    crsh_dwarf_cie_info cieInfo;
    CRSH_TRY(crsh_dwarf_parse_cie<machine_ptr>(&cieInfo, cie_mobj, byteorder, &state, cie));

    const std::uint8_t encoding = cieInfo.has_pointer_encoding ? cieInfo.pointer_encoding : CRSH_DW_EH_PE_absptr;
    machine_ptr start;
    machine_ptr range;
    CRSH_TRY(reader.readEncoded<machine_ptr>(&state, encoding, &start));
    CRSH_TRY(reader.readEncoded<machine_ptr>(&state, encoding & 0x0F, &range));
    machine_ptr end;
    if (__builtin_add_overflow(start, range, &end))
        return CRSH_ERR_INVALID_ARGUMENT;
    info->pc_start = start;
    info->pc_end = end;

    if (cieInfo.has_eh_augmentation) {
        std::uint64_t dataLength;
        CRSH_TRY(reader.readULEB(&dataLength));
        CRSH_TRY(reader.skip(dataLength));
    }
    info->fde_instruction_offset = reader.position() - sectionStart(mobj);
    info->fde_instruction_length = header.end - reader.position();
    return CRSH_ERR_NONE;
}

} // namespace

template <typename machine_ptr>
crsh_error_t crsh_dwarf_parse_fde(crsh_dwarf_fde_info* info, const crsh_async_mobject* mobj,
                                  const crsh_async_byteorder* byteorder, crsh_vm_address_t address, bool debug_frame)
{
    return parseFDE<machine_ptr>(info, mobj, mobj, byteorder, address, debug_frame);
}

template <typename machine_ptr>
crsh_error_t crsh_dwarf_parse_fde_with_cie(crsh_dwarf_fde_info* info, const crsh_async_mobject* mobj,
                                           const crsh_async_mobject* cie_mobj, const crsh_async_byteorder* byteorder,
                                           crsh_vm_address_t address)
{
    return parseFDE<machine_ptr>(info, mobj, cie_mobj, byteorder, address, false);
}

namespace {

template <typename machine_ptr>
crsh_error_t findFDE(const crsh_dwarf_frame_reader* reader, crsh_vm_off_t offset, crsh_vm_address_t pc,
                     crsh_dwarf_fde_info* fde)
{
    const crsh_async_mobject* mobj = reader->mobj;
    crsh_vm_address_t cursor;
    if (!crsh_async_address_apply_offset(sectionStart(mobj), offset, &cursor) || cursor < sectionStart(mobj) ||
        cursor >= sectionEnd(mobj))
        return CRSH_ERR_INVALID_ARGUMENT;
    for (;;) {
        EntryHeader header;
        std::uint32_t length32;
        if (crsh_async_mobject_read_uint32(mobj, reader->byteorder, cursor, 0, &length32) != CRSH_ERR_NONE)
            return CRSH_ERR_INVALID_ARGUMENT;
        if (length32 == 0)
            return CRSH_ERR_NOT_FOUND; // the terminator
        CRSH_TRY(readEntryHeader(mobj, reader->byteorder, cursor, &header));

        std::uint64_t id;
        BoundedReader content(mobj, reader->byteorder, header.content, header.end);
        CRSH_TRY(content.readUInt(header.is64 ? 8 : 4, &id));
        const bool isCIE = reader->debug_frame ? id == allOnes(header.is64) : id == 0;
        if (!isCIE) {
            CRSH_TRY(crsh_dwarf_parse_fde<machine_ptr>(fde, mobj, reader->byteorder, cursor, reader->debug_frame));
            if (fde->pc_start <= pc && pc < fde->pc_end)
                return CRSH_ERR_NONE;
        }
        cursor = header.end;
        if (cursor >= sectionEnd(mobj))
            return CRSH_ERR_NOT_FOUND;
    }
}

} // namespace

crsh_error_t crsh_dwarf_find_fde(const crsh_dwarf_frame_reader* reader, crsh_vm_off_t offset, crsh_vm_address_t pc,
                                 crsh_dwarf_fde_info* fde)
{
    return reader->m64 ? findFDE<std::uint64_t>(reader, offset, pc, fde) : findFDE<std::uint32_t>(reader, offset, pc, fde);
}

template crsh_error_t crsh_dwarf_parse_cie<std::uint32_t>(crsh_dwarf_cie_info*, const crsh_async_mobject*,
                                                          const crsh_async_byteorder*, const crsh_dwarf_ptr_state*,
                                                          crsh_vm_address_t);
template crsh_error_t crsh_dwarf_parse_cie<std::uint64_t>(crsh_dwarf_cie_info*, const crsh_async_mobject*,
                                                          const crsh_async_byteorder*, const crsh_dwarf_ptr_state*,
                                                          crsh_vm_address_t);
template crsh_error_t crsh_dwarf_parse_fde<std::uint32_t>(crsh_dwarf_fde_info*, const crsh_async_mobject*,
                                                          const crsh_async_byteorder*, crsh_vm_address_t, bool);
template crsh_error_t crsh_dwarf_parse_fde<std::uint64_t>(crsh_dwarf_fde_info*, const crsh_async_mobject*,
                                                          const crsh_async_byteorder*, crsh_vm_address_t, bool);
template crsh_error_t crsh_dwarf_parse_fde_with_cie<std::uint64_t>(crsh_dwarf_fde_info*, const crsh_async_mobject*,
                                                                   const crsh_async_mobject*,
                                                                   const crsh_async_byteorder*, crsh_vm_address_t);
template crsh_error_t crsh_dwarf_read_encoded_pointer<std::uint32_t>(const crsh_dwarf_ptr_state*,
                                                                     const crsh_async_mobject*, crsh_vm_address_t,
                                                                     crsh_vm_off_t, std::uint8_t, std::uint32_t*,
                                                                     std::size_t*);
template crsh_error_t crsh_dwarf_read_encoded_pointer<std::uint64_t>(const crsh_dwarf_ptr_state*,
                                                                     const crsh_async_mobject*, crsh_vm_address_t,
                                                                     crsh_vm_off_t, std::uint8_t, std::uint64_t*,
                                                                     std::size_t*);
