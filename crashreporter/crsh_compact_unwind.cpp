#include "crashreporter/crsh_compact_unwind.h"

namespace {

constexpr std::uint32_t kHeaderSize = 28;
constexpr std::uint32_t kIndexEntrySize = 12;
constexpr std::uint32_t kRegularPage = 2;
constexpr std::uint32_t kCompressedPage = 3;
constexpr std::uint32_t kRegularHeaderSize = 8;
constexpr std::uint32_t kCompressedHeaderSize = 12;

constexpr std::uint32_t kModeMask = 0x0F000000;

// A bounds-checked view of an array inside the section.
class SectionArray {
public:
    SectionArray() = default;

    // count entries of entrySize bytes at offset from the section's start.
    crsh_error_t map(const crsh_cu_reader* reader, std::uint64_t offset, std::uint64_t count, std::uint32_t entrySize)
    {
        const void* local = crsh_async_mobject_remap_address(
            reader->mobj, crsh_async_mobject_base_address(reader->mobj), static_cast<crsh_vm_off_t>(offset),
            count * entrySize);
        if (local == nullptr || offset > INT64_MAX)
            return CRSH_ERR_INVALID_ARGUMENT;
        m_data = static_cast<const std::uint8_t*>(local);
        m_byteorder = reader->byteorder;
        m_count = count;
        m_entrySize = entrySize;
        return CRSH_ERR_NONE;
    }

    std::uint64_t count() const { return m_count; }
    std::uint32_t word(std::uint64_t index, std::uint32_t at = 0) const
    {
        return m_byteorder->swap32(crsh_async_load<std::uint32_t>(m_data + index * m_entrySize + at));
    }
    std::uint16_t half(std::uint64_t index, std::uint32_t at) const
    {
        return m_byteorder->swap16(crsh_async_load<std::uint16_t>(m_data + index * m_entrySize + at));
    }

private:
    const std::uint8_t* m_data = nullptr;
    const crsh_async_byteorder* m_byteorder = nullptr;
    std::uint64_t m_count = 0;
    std::uint32_t m_entrySize = 0;
};

// The last index whose key is at or below address; false when the first key is above it (or no entries).
template <typename Key>
bool searchLastAtOrBelow(std::uint64_t count, std::uint32_t address, Key key, std::uint64_t* found)
{
    if (count == 0 || key(0) > address)
        return false;
    std::uint64_t low = 0;
    std::uint64_t high = count - 1;
    while (low < high) {
        const std::uint64_t mid = low + (high - low + 1) / 2;
        if (key(mid) <= address)
            low = mid;
        else
            high = mid - 1;
    }
    *found = low;
    return true;
}

constexpr crsh_regnum_t kX86_64Registers[7] = {CRSH_CU_NO_REGISTER, CRSH_X86_64_RBX, CRSH_X86_64_R12, CRSH_X86_64_R13,
                                               CRSH_X86_64_R14,     CRSH_X86_64_R15, CRSH_X86_64_RBP};
constexpr crsh_regnum_t kX86Registers[7] = {CRSH_CU_NO_REGISTER, CRSH_X86_EBX, CRSH_X86_ECX, CRSH_X86_EDX,
                                            CRSH_X86_EDI,        CRSH_X86_ESI, CRSH_X86_EBP};

crsh_error_t mapX86Register(std::int32_t cpuType, std::uint32_t number, std::uint32_t* index)
{
    if (number >= 7)
        return CRSH_ERR_INVALID_ARGUMENT;
    *index = cpuType == CRSH_CPU_TYPE_X86_64 ? kX86_64Registers[number] : kX86Registers[number];
    return CRSH_ERR_NONE;
}

void addArm64Pairs(crsh_cu_entry* entry, std::uint32_t encoding)
{
    // From the lowest save slot up: x28/x27 first, x20/x19 last.
    static constexpr struct {
        std::uint32_t bit;
        unsigned high;
    } kPairs[] = {{0x10, 28}, {0x08, 26}, {0x04, 24}, {0x02, 22}, {0x01, 20}};
    for (const auto& pair : kPairs) {
        if ((encoding & pair.bit) == 0)
            continue;
        entry->register_list[entry->register_count++] = crsh_arm64_x(pair.high);
        entry->register_list[entry->register_count++] = crsh_arm64_x(pair.high - 1);
    }
}

crsh_error_t decodeArm64(crsh_cu_entry* entry, std::uint32_t encoding)
{
    switch (encoding & kModeMask) {
    case 0x00000000:
        entry->type = CRSH_CU_ENTRY_NONE;
        return CRSH_ERR_NONE;
    case 0x02000000:
        entry->type = CRSH_CU_ENTRY_FRAMELESS_IMMD;
        entry->stack_offset = static_cast<std::int64_t>((encoding >> 12) & 0xFFF) * 16;
        entry->return_address_register = CRSH_ARM64_LR;
        addArm64Pairs(entry, encoding);
        return CRSH_ERR_NONE;
    case 0x03000000:
        entry->type = CRSH_CU_ENTRY_DWARF;
        entry->stack_offset = encoding & 0x00FFFFFF;
        return CRSH_ERR_NONE;
    case 0x04000000:
        entry->type = CRSH_CU_ENTRY_FRAME;
        addArm64Pairs(entry, encoding);
        entry->stack_offset = -8 * static_cast<std::int64_t>(entry->register_count);
        return CRSH_ERR_NONE;
    default:
        return CRSH_ERR_NOT_SUPPORTED;
    }
}

crsh_error_t decodeX86Permutation(crsh_cu_entry* entry, std::int32_t cpuType, std::uint32_t encoding)
{
    const std::uint32_t count = (encoding >> 10) & 7;
    std::uint32_t numbers[6];
    CRSH_TRY(crsh_cu_permutation_decode(encoding & 0x3FF, count, numbers));
    for (std::uint32_t i = 0; i < count; ++i)
        CRSH_TRY(mapX86Register(cpuType, numbers[i], &entry->register_list[i]));
    entry->register_count = count;
    return CRSH_ERR_NONE;
}

crsh_error_t decodeX86(crsh_cu_entry* entry, std::int32_t cpuType, std::uint32_t encoding)
{
    const std::int64_t w = cpuType == CRSH_CPU_TYPE_X86_64 ? 8 : 4;
    switch (encoding & kModeMask) {
    case 0x00000000:
        entry->type = CRSH_CU_ENTRY_NONE;
        return CRSH_ERR_NONE;
    case 0x01000000: {
        entry->type = CRSH_CU_ENTRY_FRAME;
        entry->stack_offset = -w * ((encoding >> 16) & 0xFF);
        for (std::uint32_t slots = encoding & 0x7FFF; slots != 0 && entry->register_count < CRSH_CU_MAX_SAVED_REGISTERS;
             slots >>= 3)
            CRSH_TRY(mapX86Register(cpuType, slots & 7, &entry->register_list[entry->register_count++]));
        return CRSH_ERR_NONE;
    }
    case 0x02000000:
        entry->type = CRSH_CU_ENTRY_FRAMELESS_IMMD;
        entry->stack_offset = w * ((encoding >> 16) & 0xFF);
        return decodeX86Permutation(entry, cpuType, encoding);
    case 0x03000000:
        entry->type = CRSH_CU_ENTRY_FRAMELESS_INDIRECT;
        entry->stack_offset = (encoding >> 16) & 0xFF;
        entry->stack_adjust = static_cast<std::uint32_t>(w) * ((encoding >> 13) & 7);
        return decodeX86Permutation(entry, cpuType, encoding);
    case 0x04000000:
        entry->type = CRSH_CU_ENTRY_DWARF;
        entry->stack_offset = encoding & 0x00FFFFFF;
        return CRSH_ERR_NONE;
    default:
        return CRSH_ERR_NOT_SUPPORTED;
    }
}

// One register-sized word of the task.
crsh_error_t readWord(crsh_task_t task, crsh_vm_address_t address, crsh_vm_off_t offset, std::size_t g,
                      std::uint64_t* value)
{
    if (g == 8)
        return crsh_async_task_memcpy(task, address, offset, value, 8);
    std::uint32_t narrow = 0;
    const crsh_error_t error = crsh_async_task_memcpy(task, address, offset, &narrow, 4);
    *value = narrow;
    return error;
}

} // namespace

crsh_error_t crsh_cu_reader_init(crsh_cu_reader* reader, const crsh_async_mobject* mobj,
                                 const crsh_async_byteorder* byteorder, std::int32_t cpu_type)
{
    *reader = {};
    if (cpu_type != CRSH_CPU_TYPE_X86 && cpu_type != CRSH_CPU_TYPE_X86_64 && cpu_type != CRSH_CPU_TYPE_ARM64)
        return CRSH_ERR_NOT_SUPPORTED;
    reader->mobj = mobj;
    reader->byteorder = byteorder;
    reader->cpu_type = cpu_type;
    SectionArray header;
    CRSH_TRY(header.map(reader, 0, 1, kHeaderSize));
    reader->header.version = header.word(0, 0);
    reader->header.common_encodings_offset = header.word(0, 4);
    reader->header.common_encodings_count = header.word(0, 8);
    reader->header.personality_offset = header.word(0, 12);
    reader->header.personality_count = header.word(0, 16);
    reader->header.index_offset = header.word(0, 20);
    reader->header.index_count = header.word(0, 24);
    if (reader->header.version != 1)
        return CRSH_ERR_NOT_SUPPORTED;
    return CRSH_ERR_NONE;
}

crsh_error_t crsh_cu_reader_find(const crsh_cu_reader* reader, std::uint32_t address, std::uint32_t* function_offset,
                                 std::uint32_t* encoding)
{
    SectionArray common;
    CRSH_TRY(common.map(reader, reader->header.common_encodings_offset, reader->header.common_encodings_count, 4));

    // The last first-level entry is a sentinel that only closes the range of the one before it.
    if (reader->header.index_count <= 1)
        return CRSH_ERR_NOT_FOUND;
    SectionArray index;
    CRSH_TRY(index.map(reader, reader->header.index_offset, reader->header.index_count - 1, kIndexEntrySize));
    std::uint64_t first;
    if (!searchLastAtOrBelow(index.count(), address, [&](std::uint64_t i) { return index.word(i, 0); }, &first))
        return CRSH_ERR_NOT_FOUND;
    const std::uint32_t firstFunction = index.word(first, 0);
    const std::uint32_t pageOffset = index.word(first, 4);

    SectionArray kind;
    CRSH_TRY(kind.map(reader, pageOffset, 1, 4));
    if (kind.word(0) == kCompressedPage) {
        SectionArray header;
        CRSH_TRY(header.map(reader, pageOffset, 1, kCompressedHeaderSize));
        SectionArray entries;
        CRSH_TRY(entries.map(reader, std::uint64_t{pageOffset} + header.half(0, 4), header.half(0, 6), 4));
        auto functionOf = [&](std::uint64_t i) {
            return static_cast<std::uint32_t>((entries.word(i) & 0x00FFFFFF) + firstFunction);
        };
        std::uint64_t found;
        if (!searchLastAtOrBelow(entries.count(), address, functionOf, &found))
            return CRSH_ERR_NOT_FOUND;
        const std::uint32_t encodingIndex = entries.word(found) >> 24;
        if (encodingIndex < common.count()) {
            *encoding = common.word(encodingIndex);
        } else {
            SectionArray own;
            CRSH_TRY(own.map(reader, std::uint64_t{pageOffset} + header.half(0, 8), header.half(0, 10), 4));
            if (encodingIndex - common.count() >= own.count())
                return CRSH_ERR_INVALID_ARGUMENT;
            *encoding = own.word(encodingIndex - common.count());
        }
        *function_offset = functionOf(found);
        return CRSH_ERR_NONE;
    }
    if (kind.word(0) == kRegularPage) {
        SectionArray header;
        CRSH_TRY(header.map(reader, pageOffset, 1, kRegularHeaderSize));
        SectionArray entries;
        CRSH_TRY(entries.map(reader, std::uint64_t{pageOffset} + header.half(0, 4), header.half(0, 6), 8));
        std::uint64_t found;
        if (!searchLastAtOrBelow(entries.count(), address, [&](std::uint64_t i) { return entries.word(i, 0); },
                                 &found))
            return CRSH_ERR_NOT_FOUND;
        *function_offset = entries.word(found, 0);
        *encoding = entries.word(found, 4);
        return CRSH_ERR_NONE;
    }
    return CRSH_ERR_INVALID_ARGUMENT;
}

void crsh_cu_reader_free(crsh_cu_reader*) {}

crsh_error_t crsh_cu_permutation_decode(std::uint32_t permutation, std::uint32_t count, std::uint32_t* registers)
{
    if (count >= 7)
        return CRSH_ERR_INVALID_ARGUMENT;
    const std::uint32_t p = permutation;
    std::uint32_t digits[6] = {};
    switch (count) {
    case 6:
    case 5:
        digits[0] = p / 120;
        digits[1] = p % 120 / 24;
        digits[2] = p % 120 % 24 / 6;
        digits[3] = p % 120 % 24 % 6 / 2;
        digits[4] = p & 1;
        break;
    case 4:
        digits[0] = p / 60;
        digits[1] = p % 60 / 12;
        digits[2] = p % 60 % 12 / 3;
        digits[3] = p % 60 % 12 % 3;
        break;
    case 3:
        digits[0] = p / 20;
        digits[1] = p % 20 / 4;
        digits[2] = p & 3;
        break;
    case 2:
        digits[0] = p / 5;
        digits[1] = p % 5;
        break;
    case 1:
        digits[0] = p;
        break;
    default:
        break;
    }
    bool used[7] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        // The (digit + 1)-th register number not taken yet.
        std::uint32_t remaining = digits[i];
        std::uint32_t number = 1;
        for (; number <= 6; ++number) {
            if (used[number])
                continue;
            if (remaining == 0)
                break;
            --remaining;
        }
        if (number > 6)
            return CRSH_ERR_INVALID_ARGUMENT;
        used[number] = true;
        registers[i] = number;
    }
    return CRSH_ERR_NONE;
}

crsh_error_t crsh_cu_entry_decode(crsh_cu_entry* entry, std::int32_t cpu_type, std::uint32_t encoding)
{
    crsh_async_memset(entry, 0, sizeof *entry);
    entry->cpu_type = static_cast<std::uint32_t>(cpu_type);
    entry->return_address_register = CRSH_CU_NO_REGISTER;
    for (std::uint32_t& slot : entry->register_list)
        slot = CRSH_CU_NO_REGISTER;
    if (cpu_type == CRSH_CPU_TYPE_ARM64)
        return decodeArm64(entry, encoding);
    if (cpu_type == CRSH_CPU_TYPE_X86_64 || cpu_type == CRSH_CPU_TYPE_X86)
        return decodeX86(entry, cpu_type, encoding);
    return CRSH_ERR_NOT_SUPPORTED;
}

crsh_error_t crsh_cu_entry_apply(crsh_task_t task, crsh_vm_address_t function_address, const crsh_thread_state* current,
                                 const crsh_cu_entry* entry, crsh_thread_state* next)
{
    // Only arm64 entries have a register set to apply to.
    if (entry->cpu_type != static_cast<std::uint32_t>(CRSH_CPU_TYPE_ARM64) ||
        current->arm_state.ash.flavor != CRSH_ARM_THREAD_STATE64)
        return CRSH_ERR_NOT_SUPPORTED;
    if (entry->register_count > CRSH_CU_MAX_SAVED_REGISTERS)
        return CRSH_ERR_INVALID_ARGUMENT;
    const std::uint64_t g = crsh_thread_state_get_greg_size(current);
    crsh_thread_state state;
    crsh_thread_state_copy(&state, current);
    crsh_thread_state_clear_volatile_regs(&state);

    std::uint64_t area;
    switch (entry->type) {
    case CRSH_CU_ENTRY_FRAMELESS_IMMD:
    case CRSH_CU_ENTRY_FRAMELESS_INDIRECT: {
        if (!crsh_thread_state_has_reg(current, CRSH_REG_SP))
            return CRSH_ERR_NOT_FOUND;
        std::uint64_t stackSize = static_cast<std::uint64_t>(entry->stack_offset);
        if (entry->type == CRSH_CU_ENTRY_FRAMELESS_INDIRECT) {
            std::uint32_t immediate;
            CRSH_TRY(crsh_async_task_memcpy(task, function_address, entry->stack_offset, &immediate, 4));
            stackSize = static_cast<std::uint32_t>(immediate + entry->stack_adjust);
        }
        std::uint64_t sp;
        if (__builtin_add_overflow(crsh_thread_state_get_reg(current, CRSH_REG_SP), stackSize, &sp))
            return CRSH_ERR_INVALID_ARGUMENT;
        std::uint64_t below = entry->register_count * g;
        std::uint64_t pc;
        if (entry->return_address_register == CRSH_CU_NO_REGISTER) {
            CRSH_TRY(readWord(task, sp, -static_cast<crsh_vm_off_t>(g), g, &pc));
            below += g;
        } else {
            if (entry->return_address_register >= crsh_thread_state_get_reg_count(current) ||
                !crsh_thread_state_has_reg(current, entry->return_address_register))
                return CRSH_ERR_NOT_FOUND;
            pc = crsh_thread_state_get_reg(current, entry->return_address_register);
        }
        if (__builtin_sub_overflow(sp, below, &area))
            return CRSH_ERR_INVALID_ARGUMENT;
        crsh_thread_state_set_reg(&state, CRSH_REG_SP, sp);
        crsh_thread_state_set_reg(&state, CRSH_REG_IP, pc);
        break;
    }
    case CRSH_CU_ENTRY_FRAME: {
        if (!crsh_thread_state_has_reg(current, CRSH_REG_FP))
            return CRSH_ERR_NOT_FOUND;
        const std::uint64_t fp = crsh_thread_state_get_reg(current, CRSH_REG_FP);
        std::uint64_t sp;
        if (__builtin_add_overflow(fp, 2 * g, &sp) || !crsh_async_address_apply_offset(fp, entry->stack_offset, &area))
            return CRSH_ERR_INVALID_ARGUMENT;
        std::uint64_t callerFp;
        std::uint64_t pc;
        CRSH_TRY(readWord(task, fp, 0, g, &callerFp));
        CRSH_TRY(readWord(task, fp, static_cast<crsh_vm_off_t>(g), g, &pc));
        crsh_thread_state_set_reg(&state, CRSH_REG_SP, sp);
        crsh_thread_state_set_reg(&state, CRSH_REG_FP, callerFp);
        crsh_thread_state_set_reg(&state, CRSH_REG_IP, pc);
        break;
    }
    default:
        return CRSH_ERR_NOT_SUPPORTED;
    }

    for (std::uint32_t i = 0; i < entry->register_count; ++i) {
        const std::uint32_t reg = entry->register_list[i];
        if (reg == CRSH_CU_NO_REGISTER)
            continue;
        if (reg >= crsh_thread_state_get_reg_count(current))
            return CRSH_ERR_INVALID_ARGUMENT;
        std::uint64_t value;
        CRSH_TRY(readWord(task, area, static_cast<crsh_vm_off_t>(i * g), g, &value));
        crsh_thread_state_set_reg(&state, reg, value);
    }
    crsh_thread_state_copy(next, &state);
    return CRSH_ERR_NONE;
}

namespace {

crsh_frame_error_t readCompactUnwind(crsh_task_t task, const crsh_macho_image* image, const crsh_thread_state* current,
                                     crsh_vm_address_t, crsh_thread_state* next)
{
    crsh_async_mobject section;
    if (crsh_macho_image_map_section(image, "__TEXT", "__unwind_info", &section) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    crsh_frame_error_t result = CRSH_FRAME_ERR_NONE;
    crsh_cu_reader reader;
    std::uint32_t functionOffset = 0;
    std::uint32_t encoding = 0;
    crsh_cu_entry entry;
    crsh_vm_address_t functionAddress = 0;
    const crsh_vm_address_t pc = crsh_thread_state_get_reg(current, CRSH_REG_IP);
    if (crsh_cu_reader_init(&reader, &section, crsh_macho_image_byteorder(image), crsh_macho_image_cpu_type(image)) !=
        CRSH_ERR_NONE)
        result = CRSH_FRAME_ERR_INVALID_ARGUMENT;
    else if (crsh_cu_reader_find(&reader, static_cast<std::uint32_t>(pc - image->header_addr), &functionOffset,
                                 &encoding) != CRSH_ERR_NONE)
        result = CRSH_FRAME_ERR_NOT_SUPPORTED;
    else if (crsh_cu_entry_decode(&entry, crsh_macho_image_cpu_type(image), encoding) != CRSH_ERR_NONE)
        result = CRSH_FRAME_ERR_NOT_SUPPORTED;
    else if (entry.type == CRSH_CU_ENTRY_NONE)
        result = CRSH_FRAME_ERR_NO_FRAME;
    else if (__builtin_add_overflow(image->header_addr, functionOffset, &functionAddress))
        result = CRSH_FRAME_ERR_INVALID_ARGUMENT;
    else if (crsh_cu_entry_apply(task, functionAddress, current, &entry, next) != CRSH_ERR_NONE)
        result = CRSH_FRAME_ERR_NO_FRAME;
    crsh_cu_reader_free(&reader);
    crsh_async_mobject_free(&section);
    return result;
}

} // namespace

crsh_frame_error_t crsh_frame_read_compact_unwind(crsh_task_t task, crsh_image_list* image_list,
                                                  const crsh_thread_state* current, const crsh_thread_state*,
                                                  crsh_thread_state* next)
{
    // Looked up by the pc itself, as the compact tables are.
    return crsh_frame_read_in_image(task, image_list, current, nullptr, false, next, readCompactUnwind);
}
