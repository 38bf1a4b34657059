#include "crashreporter/crsh_dwarf_unwind.h"

#include "crashreporter/crsh_macho.h"

namespace {

// The longest expression a rule may name: real ones are a few bytes, and each one is copied from the
// task before it runs.
constexpr std::uint64_t kMaxExpressionLength = 64 * 1024;

// DW_CFA_ opcodes; the three with an operand in their low six bits are matched on their top two bits.
enum : std::uint8_t {
    CFA_nop = 0x00,
    CFA_set_loc = 0x01,
    CFA_advance_loc1 = 0x02,
    CFA_advance_loc2 = 0x03,
    CFA_advance_loc4 = 0x04,
    CFA_offset_extended = 0x05,
    CFA_restore_extended = 0x06,
    CFA_undefined = 0x07,
    CFA_same_value = 0x08,
    CFA_register = 0x09,
    CFA_remember_state = 0x0A,
    CFA_restore_state = 0x0B,
    CFA_def_cfa = 0x0C,
    CFA_def_cfa_register = 0x0D,
    CFA_def_cfa_offset = 0x0E,
    CFA_def_cfa_expression = 0x0F,
    CFA_expression = 0x10,
    CFA_offset_extended_sf = 0x11,
    CFA_def_cfa_sf = 0x12,
    CFA_def_cfa_offset_sf = 0x13,
    CFA_val_offset = 0x14,
    CFA_val_offset_sf = 0x15,
    CFA_val_expression = 0x16,
    CFA_advance_loc = 0x40,
    CFA_offset = 0x80,
    CFA_restore = 0xC0,
};

crsh_error_t readRegister(crsh_dwarf_opstream* stream, std::uint32_t* regnum)
{
    std::uint64_t value;
    CRSH_TRY(stream->read_uleb128(&value));
    if (value > UINT32_MAX)
        return CRSH_ERR_NOT_SUPPORTED;
    *regnum = static_cast<std::uint32_t>(value);
    return CRSH_ERR_NONE;
}

std::uint64_t factored(std::uint64_t n, std::int64_t factor)
{
    return n * static_cast<std::uint64_t>(factor);
}

std::uint64_t factored(std::int64_t n, std::int64_t factor)
{
    return static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(factor);
}

crsh_error_t setRule(crsh_dwarf_cfa_state* state, std::uint32_t regnum, std::uint32_t type, std::uint64_t value)
{
    return crsh_dwarf_cfa_state_set_rule(state, regnum, type, value) ? CRSH_ERR_NONE : CRSH_ERR_NO_MEMORY;
}

// A rule of the block's starting rules again, or none when it had none there.
crsh_error_t restoreRule(crsh_dwarf_cfa_state* state, const crsh_dwarf_cfa_state* initial, std::uint32_t regnum)
{
    crsh_dwarf_rule rule;
    if (!crsh_dwarf_cfa_state_get_rule(initial, regnum, &rule)) {
        crsh_dwarf_cfa_state_remove_rule(state, regnum);
        return CRSH_ERR_NONE;
    }
    return setRule(state, regnum, rule.type, rule.value);
}

bool cfaIsRegisterBased(const crsh_dwarf_cfa_state* state)
{
    const std::uint32_t type = crsh_dwarf_cfa_state_get_cfa(state).type;
    return type == CRSH_DWARF_CFA_REGISTER || type == CRSH_DWARF_CFA_REGISTER_SIGNED;
}

// Steps over an expression block; one whose end lies outside the stream is left where it is.
void skipBlock(crsh_dwarf_opstream* stream, std::uint64_t length)
{
    if (length <= stream->remaining())
        (void)stream->skip(static_cast<std::int64_t>(length));
}

template <typename machine_ptr>
crsh_error_t readWord(crsh_task_t task, crsh_vm_address_t address, crsh_vm_off_t offset, machine_ptr* value)
{
    return crsh_async_task_memcpy(task, address, offset, value, sizeof(machine_ptr));
}

// A ULEB128 value read byte by byte from the task; *size is the number of bytes it took.
crsh_error_t readTaskULEB(crsh_task_t task, crsh_vm_address_t address, std::uint64_t* value, std::size_t* size)
{
    std::uint64_t result = 0;
    for (std::size_t i = 0;; ++i) {
        std::uint8_t byte;
        CRSH_TRY(crsh_async_task_memcpy(task, address, static_cast<crsh_vm_off_t>(i), &byte, 1));
        const unsigned shift = static_cast<unsigned>(7 * i);
        const std::uint64_t bits = byte & 0x7F;
        if (shift >= 64 || (shift > 57 && (bits >> (64 - shift)) != 0))
            return CRSH_ERR_NOT_SUPPORTED;
        result |= bits << shift;
        if ((byte & 0x80) == 0) {
            *value = result;
            *size = i + 1;
            return CRSH_ERR_NONE;
        }
    }
}

// Copies the expression block from the task and runs it.
template <typename machine_ptr>
crsh_error_t evaluateTaskExpression(crsh_task_t task, const crsh_thread_state* current,
                                    const crsh_async_byteorder* byteorder, crsh_vm_address_t address,
                                    std::uint64_t length, const machine_ptr* initial, std::size_t count,
                                    machine_ptr* result)
{
    if (length > kMaxExpressionLength)
        return CRSH_ERR_INVALID_ARGUMENT;
    if (length == 0)
        return crsh_dwarf_expression_eval<machine_ptr>(nullptr, task, current, byteorder, address, 0, 0, initial,
                                                       count, result);
    crsh_async_mobject block;
    CRSH_TRY(crsh_async_mobject_init(&block, task, address, length, true));
    const crsh_error_t error = crsh_dwarf_expression_eval<machine_ptr>(
        &block, task, current, byteorder, address, 0, static_cast<crsh_vm_off_t>(length), initial, count, result);
    crsh_async_mobject_free(&block);
    return error;
}

} // namespace

template <typename machine_ptr>
crsh_error_t crsh_dwarf_cfa_eval_program(crsh_dwarf_cfa_state* state, const crsh_async_mobject* mobj,
                                         const machine_ptr* target, machine_ptr initial_location,
                                         const crsh_dwarf_cie_info* cie, const crsh_dwarf_ptr_state* ptr_state,
                                         const crsh_async_byteorder* byteorder, crsh_vm_address_t section_base,
                                         std::uint64_t instruction_offset, std::uint64_t instruction_length)
{
    // The rules in force before this block, for restore.
    crsh_dwarf_cfa_state initial;
    crsh_dwarf_cfa_state_init(&initial);
    {
        crsh_dwarf_cfa_state_iterator iterator;
        crsh_dwarf_cfa_state_iterator_init(&iterator, state);
        crsh_dwarf_rule rule;
        while (crsh_dwarf_cfa_state_iterator_next(&iterator, &rule))
            CRSH_TRY(setRule(&initial, rule.regnum, rule.type, rule.value));
    }

    crsh_dwarf_ptr_state noBases{};
    noBases.byteorder = byteorder;
    std::uint8_t pointerEncoding = CRSH_DW_EH_PE_absptr;
    if (cie->has_eh_augmentation && cie->has_pointer_encoding && ptr_state != nullptr)
        pointerEncoding = cie->pointer_encoding;
    if (ptr_state == nullptr)
        ptr_state = &noBases;

    if (instruction_offset > INT64_MAX || instruction_length > INT64_MAX)
        return CRSH_ERR_INVALID_ARGUMENT;
    crsh_dwarf_opstream stream;
    CRSH_TRY(crsh_dwarf_opstream_init(&stream, mobj, byteorder, section_base,
                                      static_cast<crsh_vm_off_t>(instruction_offset),
                                      static_cast<crsh_vm_off_t>(instruction_length)));

    machine_ptr location = initial_location;
    if (target != nullptr && location > *target)
        return CRSH_ERR_NONE;

    const std::uint64_t caf = cie->code_alignment_factor;
    const std::int64_t daf = cie->data_alignment_factor;
    while (stream.remaining() > 0) {
        std::uint8_t opcode;
        (void)stream.read_uint8(&opcode);
        std::uint32_t regnum;
        std::uint64_t unsignedOperand;
        std::int64_t signedOperand;

        switch (opcode & 0xC0) {
        case CFA_advance_loc:
            location = static_cast<machine_ptr>(location + (opcode & 0x3F) * caf);
            break;
        case CFA_offset:
            CRSH_TRY(stream.read_uleb128(&unsignedOperand));
            CRSH_TRY(setRule(state, opcode & 0x3F, CRSH_DWARF_RULE_OFFSET, factored(unsignedOperand, daf)));
            break;
        case CFA_restore:
            CRSH_TRY(restoreRule(state, &initial, opcode & 0x3F));
            break;
        default:
            switch (opcode) {
            case CFA_nop:
                break;
            case CFA_set_loc: {
                if (cie->segment_size != 0)
                    return CRSH_ERR_NOT_SUPPORTED;
                machine_ptr address;
                std::size_t size;
                if (crsh_dwarf_read_encoded_pointer<machine_ptr>(ptr_state, mobj, stream.task_position(), 0,
                                                                 pointerEncoding, &address, &size) != CRSH_ERR_NONE ||
                    size > stream.remaining())
                    return CRSH_ERR_INVALID_ARGUMENT;
                (void)stream.skip(static_cast<std::int64_t>(size));
                location = address;
                break;
            }
            case CFA_advance_loc1: {
                std::uint8_t delta;
                if (!stream.read_uint8(&delta))
                    return CRSH_ERR_INVALID_ARGUMENT;
                location = static_cast<machine_ptr>(location + delta * caf);
                break;
            }
            case CFA_advance_loc2: {
                std::uint16_t delta;
                if (!stream.read_uint16(&delta))
                    return CRSH_ERR_INVALID_ARGUMENT;
                location = static_cast<machine_ptr>(location + delta * caf);
                break;
            }
            case CFA_advance_loc4: {
                std::uint32_t delta;
                if (!stream.read_uint32(&delta))
                    return CRSH_ERR_INVALID_ARGUMENT;
                location = static_cast<machine_ptr>(location + delta * caf);
                break;
            }
            case CFA_offset_extended:
            case CFA_val_offset:
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(stream.read_uleb128(&unsignedOperand));
                CRSH_TRY(setRule(state, regnum,
                                 opcode == CFA_offset_extended ? CRSH_DWARF_RULE_OFFSET : CRSH_DWARF_RULE_VAL_OFFSET,
                                 factored(unsignedOperand, daf)));
                break;
            case CFA_offset_extended_sf:
            case CFA_val_offset_sf:
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(stream.read_sleb128(&signedOperand));
                CRSH_TRY(setRule(state, regnum,
                                 opcode == CFA_offset_extended_sf ? CRSH_DWARF_RULE_OFFSET
                                                                  : CRSH_DWARF_RULE_VAL_OFFSET,
                                 factored(signedOperand, daf)));
                break;
            case CFA_restore_extended:
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(restoreRule(state, &initial, regnum));
                break;
            case CFA_undefined:
                CRSH_TRY(readRegister(&stream, &regnum));
                crsh_dwarf_cfa_state_remove_rule(state, regnum);
                break;
            case CFA_same_value:
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(setRule(state, regnum, CRSH_DWARF_RULE_SAME_VALUE, 0));
                break;
            case CFA_register: {
                std::uint32_t source;
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(readRegister(&stream, &source));
                CRSH_TRY(setRule(state, regnum, CRSH_DWARF_RULE_REGISTER, source));
                break;
            }
            case CFA_remember_state:
                if (!crsh_dwarf_cfa_state_push(state))
                    return CRSH_ERR_NO_MEMORY;
                break;
            case CFA_restore_state:
                if (!crsh_dwarf_cfa_state_pop(state))
                    return CRSH_ERR_INVALID_ARGUMENT;
                break;
            case CFA_def_cfa:
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(stream.read_uleb128(&unsignedOperand));
                crsh_dwarf_cfa_state_set_cfa_register(state, regnum, unsignedOperand);
                break;
            case CFA_def_cfa_sf:
                CRSH_TRY(readRegister(&stream, &regnum));
                CRSH_TRY(stream.read_sleb128(&signedOperand));
                crsh_dwarf_cfa_state_set_cfa_register_signed(state, regnum,
                                                             static_cast<std::int64_t>(factored(signedOperand, daf)));
                break;
            case CFA_def_cfa_register: {
                if (!cfaIsRegisterBased(state))
                    return CRSH_ERR_INVALID_ARGUMENT;
                CRSH_TRY(readRegister(&stream, &regnum));
                crsh_dwarf_cfa_rule cfa = crsh_dwarf_cfa_state_get_cfa(state);
                if (cfa.type == CRSH_DWARF_CFA_REGISTER)
                    crsh_dwarf_cfa_state_set_cfa_register(state, regnum, cfa.value);
                else
                    crsh_dwarf_cfa_state_set_cfa_register_signed(state, regnum, static_cast<std::int64_t>(cfa.value));
                break;
            }
            case CFA_def_cfa_offset:
                if (!cfaIsRegisterBased(state))
                    return CRSH_ERR_INVALID_ARGUMENT;
                CRSH_TRY(stream.read_uleb128(&unsignedOperand));
                crsh_dwarf_cfa_state_set_cfa_register(state, crsh_dwarf_cfa_state_get_cfa(state).regnum,
                                                      unsignedOperand);
                break;
            case CFA_def_cfa_offset_sf:
                if (!cfaIsRegisterBased(state))
                    return CRSH_ERR_INVALID_ARGUMENT;
                CRSH_TRY(stream.read_sleb128(&signedOperand));
                crsh_dwarf_cfa_state_set_cfa_register_signed(state, crsh_dwarf_cfa_state_get_cfa(state).regnum,
                                                             static_cast<std::int64_t>(factored(signedOperand, daf)));
                break;
            case CFA_def_cfa_expression:
                CRSH_TRY(stream.read_uleb128(&unsignedOperand));
                crsh_dwarf_cfa_state_set_cfa_expression(state, stream.task_position(), unsignedOperand);
                skipBlock(&stream, unsignedOperand);
                break;
            case CFA_expression:
            case CFA_val_expression: {
                CRSH_TRY(readRegister(&stream, &regnum));
                const crsh_vm_address_t lengthField = stream.task_position();
                CRSH_TRY(stream.read_uleb128(&unsignedOperand));
                CRSH_TRY(setRule(state, regnum,
                                 opcode == CFA_expression ? CRSH_DWARF_RULE_EXPRESSION : CRSH_DWARF_RULE_VAL_EXPRESSION,
                                 lengthField));
                skipBlock(&stream, unsignedOperand);
                break;
            }
            default:
                return CRSH_ERR_NOT_SUPPORTED; // 0x17 to 0x3F, the vendor extensions included
            }
        }
        if (target != nullptr && location > *target)
            return CRSH_ERR_NONE;
    }
    return CRSH_ERR_NONE;
}

template <typename machine_ptr>
crsh_error_t crsh_dwarf_cfa_apply(const crsh_dwarf_cfa_state* state, crsh_task_t task, const crsh_dwarf_cie_info* cie,
                                  const crsh_thread_state* current, const crsh_async_byteorder* byteorder,
                                  crsh_thread_state* next)
{
    crsh_thread_state result;
    crsh_thread_state_copy(&result, current);
    crsh_thread_state_clear_volatile_regs(&result);

    const crsh_dwarf_cfa_rule cfaRule = crsh_dwarf_cfa_state_get_cfa(state);
    machine_ptr cfa;
    switch (cfaRule.type) {
    case CRSH_DWARF_CFA_REGISTER:
    case CRSH_DWARF_CFA_REGISTER_SIGNED: {
        crsh_regnum_t index;
        if (!crsh_thread_state_map_dwarf_reg(current, cfaRule.regnum, &index))
            return CRSH_ERR_NOT_SUPPORTED;
        if (!crsh_thread_state_has_reg(current, index))
            return CRSH_ERR_NOT_FOUND;
        cfa = static_cast<machine_ptr>(crsh_thread_state_get_reg(current, index) + cfaRule.value);
        break;
    }
    case CRSH_DWARF_CFA_EXPRESSION:
        CRSH_TRY(evaluateTaskExpression<machine_ptr>(task, current, byteorder, cfaRule.value, cfaRule.length, nullptr,
                                                     0, &cfa));
        break;
    default:
        return CRSH_ERR_INVALID_ARGUMENT;
    }
    crsh_thread_state_set_reg(&result, CRSH_REG_SP, cfa);

    crsh_regnum_t returnIndex = CRSH_REG_IP;
    const bool returnMaps = crsh_thread_state_map_dwarf_reg(current, cie->return_address_register, &returnIndex);

    crsh_dwarf_cfa_state_iterator iterator;
    crsh_dwarf_cfa_state_iterator_init(&iterator, state);
    crsh_dwarf_rule rule;
    while (crsh_dwarf_cfa_state_iterator_next(&iterator, &rule)) {
        const bool isReturn = rule.regnum == cie->return_address_register;
        crsh_regnum_t index;
        if (!crsh_thread_state_map_dwarf_reg(current, rule.regnum, &index)) {
            if (!isReturn)
                return CRSH_ERR_INVALID_ARGUMENT;
            index = CRSH_REG_IP;
        }

        machine_ptr value;
        switch (rule.type) {
        case CRSH_DWARF_RULE_OFFSET:
            CRSH_TRY(readWord<machine_ptr>(task, cfa, static_cast<crsh_vm_off_t>(rule.value), &value));
            break;
        case CRSH_DWARF_RULE_VAL_OFFSET:
            value = static_cast<machine_ptr>(cfa + rule.value);
            break;
        case CRSH_DWARF_RULE_REGISTER: {
            crsh_regnum_t source;
            if (!crsh_thread_state_map_dwarf_reg(current, rule.value, &source))
                return CRSH_ERR_INVALID_ARGUMENT;
            if (!crsh_thread_state_has_reg(current, source))
                return CRSH_ERR_NOT_FOUND;
            value = static_cast<machine_ptr>(crsh_thread_state_get_reg(current, source));
            break;
        }
        case CRSH_DWARF_RULE_EXPRESSION:
        case CRSH_DWARF_RULE_VAL_EXPRESSION: {
            std::uint64_t length;
            std::size_t lengthSize;
            CRSH_TRY(readTaskULEB(task, rule.value, &length, &lengthSize));
            crsh_vm_address_t block;
            if (__builtin_add_overflow(rule.value, lengthSize, &block))
                return CRSH_ERR_INVALID_ARGUMENT;
            CRSH_TRY(evaluateTaskExpression<machine_ptr>(task, current, byteorder, block, length, &cfa, 1, &value));
            if (rule.type == CRSH_DWARF_RULE_EXPRESSION)
                CRSH_TRY(readWord<machine_ptr>(task, value, 0, &value));
            break;
        }
        case CRSH_DWARF_RULE_SAME_VALUE:
            if (!crsh_thread_state_has_reg(current, index))
                return CRSH_ERR_NOT_FOUND;
            value = static_cast<machine_ptr>(crsh_thread_state_get_reg(current, index));
            break;
        default:
            return CRSH_ERR_INVALID_ARGUMENT;
        }
        crsh_thread_state_set_reg(&result, index, value);
        if (isReturn && index != CRSH_REG_IP)
            crsh_thread_state_set_reg(&result, CRSH_REG_IP, value);
    }

    if (!crsh_thread_state_has_reg(&result, CRSH_REG_IP)) {
        // Where the return address has a register of its own (a link register), a function that has not
        // saved it still holds it there. Where its column is the instruction pointer itself (x86-64), no
        // rule means the description made it undefined: this is the outermost frame, and the caller's state
        // holds no pc, which ends the walk.
        if (returnMaps && returnIndex == CRSH_REG_IP) {
            crsh_thread_state_copy(next, &result);
            return CRSH_ERR_NONE;
        }
        if (!returnMaps || !crsh_thread_state_has_reg(current, returnIndex))
            return CRSH_ERR_INVALID_ARGUMENT;
        crsh_thread_state_set_reg(&result, CRSH_REG_IP, crsh_thread_state_get_reg(current, returnIndex));
    }
    crsh_thread_state_copy(next, &result);
    return CRSH_ERR_NONE;
}

namespace {

// Runs the CIE's and the FDE's instructions up to lookup and applies the rules. The CIE and the FDE may lie
// in different memory objects.
template <typename machine_ptr>
crsh_frame_error_t unwindWithEntries(crsh_task_t task, const crsh_async_byteorder* byteorder,
                                     const crsh_async_mobject* cieObject, const crsh_dwarf_ptr_state* ciePointers,
                                     const crsh_dwarf_cie_info& cie, const crsh_async_mobject* fdeObject,
                                     const crsh_dwarf_ptr_state* fdePointers, const crsh_dwarf_fde_info& fde,
                                     machine_ptr lookup, const crsh_thread_state* current, crsh_thread_state* next)
{
    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    const machine_ptr start = static_cast<machine_ptr>(fde.pc_start);
    if (crsh_dwarf_cfa_eval_program<machine_ptr>(&state, cieObject, &lookup, start, &cie, ciePointers, byteorder,
                                                 crsh_async_mobject_base_address(cieObject),
                                                 cie.initial_instructions_offset,
                                                 cie.initial_instructions_length) != CRSH_ERR_NONE ||
        crsh_dwarf_cfa_eval_program<machine_ptr>(&state, fdeObject, &lookup, start, &cie, fdePointers, byteorder,
                                                 crsh_async_mobject_base_address(fdeObject),
                                                 fde.fde_instruction_offset,
                                                 fde.fde_instruction_length) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;

    if (crsh_dwarf_cfa_apply<machine_ptr>(&state, task, &cie, current, byteorder, next) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NO_FRAME;
    return CRSH_FRAME_ERR_NONE;
}

// Pointers inside a memory object of the frame section: its aligned encoding aligns on virtual addresses
// (task address - slide).
crsh_dwarf_ptr_state sectionPointers(const crsh_async_byteorder* byteorder, const crsh_async_mobject* object,
                                     crsh_vm_address_t slide)
{
    crsh_dwarf_ptr_state pointers{};
    pointers.byteorder = byteorder;
    pointers.frame_section_base.valid = true;
    pointers.frame_section_base.address = crsh_async_mobject_base_address(object);
    pointers.frame_section_base.vm_address = crsh_async_mobject_base_address(object) - slide;
    return pointers;
}

template <typename machine_ptr>
crsh_frame_error_t unwindWithSection(crsh_task_t task, const crsh_macho_image* image, const crsh_async_mobject* section,
                                     bool debugFrame, const crsh_thread_state* current, crsh_vm_address_t lookupAddress,
                                     crsh_thread_state* next)
{
    const crsh_async_byteorder* byteorder = crsh_macho_image_byteorder(image);
    crsh_dwarf_frame_reader reader;
    if (crsh_dwarf_frame_reader_init(&reader, section, byteorder, image->m64, debugFrame) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_INVALID_ARGUMENT;

    const machine_ptr lookup = static_cast<machine_ptr>(lookupAddress);
    crsh_dwarf_fde_info fde;
    if (crsh_dwarf_find_fde(&reader, 0, lookup, &fde) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;

    const crsh_vm_address_t sectionBase = crsh_async_mobject_base_address(section);
    const crsh_dwarf_ptr_state pointers = sectionPointers(byteorder, section, image->vmaddr_slide);
    crsh_dwarf_cie_info cie;
    if (crsh_dwarf_parse_cie<machine_ptr>(&cie, section, byteorder, &pointers, sectionBase + fde.cie_offset) !=
        CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    return unwindWithEntries<machine_ptr>(task, byteorder, section, &pointers, cie, section, &pointers, fde, lookup,
                                          current, next);
}

// A snapshot of the whole CIE or FDE at address (its length field, then that many bytes), at most
// CRSH_ELF_MAX_FRAME_ENTRY_BYTES long.
crsh_error_t mapFrameEntry(crsh_task_t task, crsh_vm_address_t address, crsh_async_mobject* entry)
{
    std::uint32_t length32;
    CRSH_TRY(crsh_async_task_memcpy(task, address, 0, &length32, sizeof length32));
    std::uint64_t length = length32;
    std::uint64_t header = 4;
    if (length32 == UINT32_MAX) {
        CRSH_TRY(crsh_async_task_memcpy(task, address, 4, &length, sizeof length));
        header = 12;
    }
    if (length == 0 || length > CRSH_ELF_MAX_FRAME_ENTRY_BYTES)
        return CRSH_ERR_INVALID_DATA;
    return crsh_async_mobject_init(entry, task, address, header + length, true);
}

// An ELF object: the FDE comes from the object's search table, and only it and its CIE are read.
crsh_frame_error_t readElfUnwind(crsh_task_t task, const crsh_macho_image* image, const crsh_thread_state* current,
                                 crsh_vm_address_t lookup, crsh_thread_state* next)
{
    const crsh_elf_object& elf = image->elf;
    if (elf.eh_frame_hdr == 0)
        return CRSH_FRAME_ERR_NO_FRAME;
    crsh_vm_address_t fdeAddress;
    if (crsh_elf_find_fde(task, &elf, lookup, &fdeAddress) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;

    // The CIE pointer follows the FDE's length field: the distance back from the pointer to the CIE.
    std::uint32_t length32;
    if (crsh_async_task_memcpy(task, fdeAddress, 0, &length32, sizeof length32) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    const bool wide = length32 == UINT32_MAX;
    const crsh_vm_address_t pointerField = fdeAddress + (wide ? 12 : 4);
    std::uint64_t distance = 0;
    if (crsh_async_task_memcpy(task, pointerField, 0, &distance, wide ? 8 : 4) != CRSH_ERR_NONE ||
        distance == 0 || distance > pointerField)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    const crsh_vm_address_t cieAddress = pointerField - distance;

    crsh_async_mobject fdeObject;
    if (mapFrameEntry(task, fdeAddress, &fdeObject) != CRSH_ERR_NONE)
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    crsh_async_mobject cieObject;
    if (mapFrameEntry(task, cieAddress, &cieObject) != CRSH_ERR_NONE) {
        crsh_async_mobject_free(&fdeObject);
        return CRSH_FRAME_ERR_NOT_SUPPORTED;
    }
    const crsh_async_byteorder* byteorder = &crsh_async_byteorder_direct;
    crsh_frame_error_t result = CRSH_FRAME_ERR_NOT_SUPPORTED;
    crsh_dwarf_fde_info fde;
    crsh_dwarf_cie_info cie;
    const crsh_dwarf_ptr_state ciePointers = sectionPointers(byteorder, &cieObject, elf.load_bias);
    const crsh_dwarf_ptr_state fdePointers = sectionPointers(byteorder, &fdeObject, elf.load_bias);
    // The table names the FDE whose range starts last at or below the address: it must also reach it.
    if (crsh_dwarf_parse_fde_with_cie<std::uint64_t>(&fde, &fdeObject, &cieObject, byteorder, fdeAddress) ==
            CRSH_ERR_NONE &&
        fde.pc_start <= lookup && lookup < fde.pc_end &&
        crsh_dwarf_parse_cie<std::uint64_t>(&cie, &cieObject, byteorder, &ciePointers, cieAddress) == CRSH_ERR_NONE)
        result = unwindWithEntries<std::uint64_t>(task, byteorder, &cieObject, &ciePointers, cie, &fdeObject,
                                                  &fdePointers, fde, lookup, current, next);
    crsh_async_mobject_free(&cieObject);
    crsh_async_mobject_free(&fdeObject);
    return result;
}

crsh_frame_error_t readDwarfUnwind(crsh_task_t task, const crsh_macho_image* image, const crsh_thread_state* current,
                                   crsh_vm_address_t lookup, crsh_thread_state* next)
{
    if (image->elf.present)
        return readElfUnwind(task, image, current, lookup, next);
    crsh_async_mobject section;
    bool debugFrame = false;
    if (crsh_macho_image_map_section(image, "__TEXT", "__eh_frame", &section) != CRSH_ERR_NONE) {
        if (crsh_macho_image_map_section(image, "__DWARF", "__debug_frame", &section) != CRSH_ERR_NONE)
            return CRSH_FRAME_ERR_NO_FRAME;
        debugFrame = true;
    }
    const crsh_frame_error_t result =
        image->m64 ? unwindWithSection<std::uint64_t>(task, image, &section, debugFrame, current, lookup, next)
                   : unwindWithSection<std::uint32_t>(task, image, &section, debugFrame, current, lookup, next);
    crsh_async_mobject_free(&section);
    return result;
}

} // namespace

crsh_frame_error_t crsh_frame_read_dwarf_unwind(crsh_task_t task, crsh_image_list* image_list,
                                                const crsh_thread_state* current, const crsh_thread_state* previous,
                                                crsh_thread_state* next)
{
    return crsh_frame_read_in_image(task, image_list, current, previous, true, next, readDwarfUnwind);
}

#define CRSH_DWARF_UNWIND_INSTANTIATE(machine_ptr)                                                                     \
    template crsh_error_t crsh_dwarf_cfa_eval_program<machine_ptr>(                                                    \
        crsh_dwarf_cfa_state*, const crsh_async_mobject*, const machine_ptr*, machine_ptr, const crsh_dwarf_cie_info*, \
        const crsh_dwarf_ptr_state*, const crsh_async_byteorder*, crsh_vm_address_t, std::uint64_t, std::uint64_t);   \
    template crsh_error_t crsh_dwarf_cfa_apply<machine_ptr>(const crsh_dwarf_cfa_state*, crsh_task_t,                 \
                                                            const crsh_dwarf_cie_info*, const crsh_thread_state*,      \
                                                            const crsh_async_byteorder*, crsh_thread_state*);
CRSH_DWARF_UNWIND_INSTANTIATE(std::uint32_t)
CRSH_DWARF_UNWIND_INSTANTIATE(std::uint64_t)
