#include "crashreporter/crsh_dwarf_unwind.h"

#include <type_traits>

bool crsh_dwarf_opstream::skip(std::int64_t distance)
{
    const std::int64_t from = position - start;
    const std::int64_t size = end - start;
    std::int64_t to;
    if (__builtin_add_overflow(from, distance, &to) || to < 0 || to > size)
        return false;
    position = start + to;
    return true;
}

namespace {

template <typename T>
bool readFixed(crsh_dwarf_opstream* stream, T* value)
{
    if (stream->remaining() < sizeof(T))
        return false;
    *value = crsh_async_load<T>(stream->position);
    stream->position += sizeof(T);
    return true;
}

} // namespace

bool crsh_dwarf_opstream::read_uint8(std::uint8_t* value)
{
    return readFixed(this, value);
}

bool crsh_dwarf_opstream::read_uint16(std::uint16_t* value)
{
    if (!readFixed(this, value))
        return false;
    *value = byteorder->swap16(*value);
    return true;
}

bool crsh_dwarf_opstream::read_uint32(std::uint32_t* value)
{
    if (!readFixed(this, value))
        return false;
    *value = byteorder->swap32(*value);
    return true;
}

bool crsh_dwarf_opstream::read_uint64(std::uint64_t* value)
{
    if (!readFixed(this, value))
        return false;
    *value = byteorder->swap64(*value);
    return true;
}

crsh_error_t crsh_dwarf_opstream::read_uleb128(std::uint64_t* value)
{
    std::uint64_t result = 0;
    for (unsigned shift = 0;; shift += 7) {
        std::uint8_t byte;
        if (!read_uint8(&byte))
            return CRSH_ERR_INVALID_ARGUMENT;
        const std::uint64_t bits = byte & 0x7F;
        if (shift >= 64 || (shift > 57 && (bits >> (64 - shift)) != 0))
            return CRSH_ERR_NOT_SUPPORTED;
        result |= bits << shift;
        if ((byte & 0x80) == 0)
            break;
    }
    *value = result;
    return CRSH_ERR_NONE;
}

crsh_error_t crsh_dwarf_opstream::read_sleb128(std::int64_t* value)
{
    std::uint64_t result = 0;
    unsigned shift = 0;
    std::uint8_t byte;
    do {
        if (!read_uint8(&byte))
            return CRSH_ERR_INVALID_ARGUMENT;
        if (shift >= 64)
            return CRSH_ERR_NOT_SUPPORTED;
        result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        shift += 7;
    } while ((byte & 0x80) != 0);
    if (shift < 64 && (byte & 0x40) != 0)
        result |= ~std::uint64_t{0} << shift;
    *value = static_cast<std::int64_t>(result);
    return CRSH_ERR_NONE;
}

crsh_error_t crsh_dwarf_opstream_init(crsh_dwarf_opstream* stream, const crsh_async_mobject* mobj,
                                      const crsh_async_byteorder* byteorder, crsh_vm_address_t base_address,
                                      crsh_vm_off_t offset, crsh_vm_off_t length)
{
    *stream = {};
    stream->byteorder = byteorder;
    crsh_vm_address_t start;
    crsh_vm_off_t endOffset;
    if (length < 0 || !crsh_async_address_apply_offset(base_address, offset, &start) ||
        __builtin_add_overflow(offset, length, &endOffset))
        return CRSH_ERR_INVALID_ARGUMENT;
    stream->task_start = start;
    if (length == 0)
        return CRSH_ERR_NONE;
    if (mobj == nullptr)
        return CRSH_ERR_INVALID_ARGUMENT;
    const void* local =
        crsh_async_mobject_remap_address(mobj, base_address, offset, static_cast<crsh_vm_size_t>(length));
    if (local == nullptr)
        return CRSH_ERR_INVALID_ARGUMENT;
    stream->start = static_cast<const std::uint8_t*>(local);
    stream->end = stream->start + length;
    stream->position = stream->start;
    return CRSH_ERR_NONE;
}

namespace {

// DW_OP_ opcodes used below by name.
enum : std::uint8_t {
    OP_deref = 0x06,
    OP_const1u = 0x08,
    OP_const8s = 0x0F,
    OP_constu = 0x10,
    OP_consts = 0x11,
    OP_dup = 0x12,
    OP_drop = 0x13,
    OP_over = 0x14,
    OP_pick = 0x15,
    OP_swap = 0x16,
    OP_rot = 0x17,
    OP_xderef = 0x18,
    OP_abs = 0x19,
    OP_and = 0x1A,
    OP_div = 0x1B,
    OP_minus = 0x1C,
    OP_mod = 0x1D,
    OP_mul = 0x1E,
    OP_neg = 0x1F,
    OP_not = 0x20,
    OP_or = 0x21,
    OP_plus = 0x22,
    OP_plus_uconst = 0x23,
    OP_shl = 0x24,
    OP_shr = 0x25,
    OP_shra = 0x26,
    OP_xor = 0x27,
    OP_bra = 0x28,
    OP_eq = 0x29,
    OP_ge = 0x2A,
    OP_gt = 0x2B,
    OP_le = 0x2C,
    OP_lt = 0x2D,
    OP_ne = 0x2E,
    OP_skip = 0x2F,
    OP_lit0 = 0x30,
    OP_lit31 = 0x4F,
    OP_reg0 = 0x50,
    OP_reg31 = 0x6F,
    OP_breg0 = 0x70,
    OP_breg31 = 0x8F,
    OP_regx = 0x90,
    OP_fbreg = 0x91,
    OP_bregx = 0x92,
    OP_piece = 0x93,
    OP_deref_size = 0x94,
    OP_xderef_size = 0x95,
    OP_nop = 0x96,
};

// The expression stack. A push or pop it cannot do fails with the code of the operation's group.
template <typename machine_ptr>
class ExpressionStack {
public:
    bool push(machine_ptr value)
    {
        if (m_depth == CRSH_DWARF_EXPRESSION_STACK)
            return false;
        m_values[m_depth++] = value;
        return true;
    }
    bool pop(machine_ptr* value)
    {
        if (m_depth == 0)
            return false;
        *value = m_values[--m_depth];
        return true;
    }
    bool pick(std::size_t index, machine_ptr* value) const
    {
        if (index >= m_depth)
            return false;
        *value = m_values[m_depth - 1 - index];
        return true;
    }
    std::size_t depth() const { return m_depth; }

private:
    machine_ptr m_values[CRSH_DWARF_EXPRESSION_STACK];
    std::size_t m_depth = 0;
};

template <typename machine_ptr>
crsh_error_t readTask(crsh_task_t task, machine_ptr address, std::uint8_t size, machine_ptr* value)
{
    if (size != 1 && size != 2 && size != 4 && size != 8)
        return CRSH_ERR_INVALID_ARGUMENT;
    std::uint64_t word = 0; // task memory is in host order; the low bytes come first on this host
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    CRSH_TRY(crsh_async_task_memcpy(task, address, 0, &word, size));
    *value = static_cast<machine_ptr>(word);
    return CRSH_ERR_NONE;
}

template <typename machine_ptr>
crsh_error_t registerValue(const crsh_thread_state* current, std::uint64_t dwarfRegister, std::int64_t offset,
                           machine_ptr* value)
{
    crsh_regnum_t index;
    if (!crsh_thread_state_map_dwarf_reg(current, dwarfRegister, &index))
        return CRSH_ERR_NOT_SUPPORTED;
    if (!crsh_thread_state_has_reg(current, index))
        return CRSH_ERR_NOT_FOUND;
    *value = static_cast<machine_ptr>(crsh_thread_state_get_reg(current, index) + static_cast<std::uint64_t>(offset));
    return CRSH_ERR_NONE;
}

template <typename machine_ptr>
machine_ptr shiftLeft(machine_ptr value, machine_ptr count)
{
    return count >= sizeof(machine_ptr) * 8 ? 0 : static_cast<machine_ptr>(value << count);
}

template <typename machine_ptr>
machine_ptr shiftRightLogical(machine_ptr value, machine_ptr count)
{
    return count >= sizeof(machine_ptr) * 8 ? 0 : static_cast<machine_ptr>(value >> count);
}

template <typename machine_ptr>
machine_ptr shiftRightArithmetic(machine_ptr value, machine_ptr count)
{
    using signed_ptr = std::make_signed_t<machine_ptr>;
    const unsigned bits = sizeof(machine_ptr) * 8;
    const unsigned amount = count >= bits ? bits - 1 : static_cast<unsigned>(count);
    return static_cast<machine_ptr>(static_cast<signed_ptr>(value) >> amount);
}

// Binary operators: a is the top of the stack, b the entry below it; the result replaces both.
template <typename machine_ptr>
crsh_error_t binary(std::uint8_t opcode, machine_ptr b, machine_ptr a, machine_ptr* result)
{
    switch (opcode) {
    case OP_and: *result = b & a; break;
    case OP_div:
    case OP_mod:
        if (a == 0)
            return CRSH_ERR_INVALID_ARGUMENT;
        *result = opcode == OP_div ? b / a : b % a;
        break;
    case OP_minus: *result = static_cast<machine_ptr>(b - a); break;
    case OP_mul: *result = static_cast<machine_ptr>(b * a); break;
    case OP_or: *result = b | a; break;
    case OP_plus: *result = static_cast<machine_ptr>(b + a); break;
    case OP_shl: *result = shiftLeft(b, a); break;
    case OP_shr: *result = shiftRightLogical(b, a); break;
    case OP_shra: *result = shiftRightArithmetic(b, a); break;
    case OP_xor: *result = b ^ a; break;
    case OP_eq: *result = b == a; break;
    case OP_ge: *result = b >= a; break;
    case OP_gt: *result = b > a; break;
    case OP_le: *result = b <= a; break;
    case OP_lt: *result = b < a; break;
    case OP_ne: *result = b != a; break;
    default: return CRSH_ERR_NOT_SUPPORTED;
    }
    return CRSH_ERR_NONE;
}

} // namespace

template <typename machine_ptr>
crsh_error_t crsh_dwarf_expression_eval(const crsh_async_mobject* mobj, crsh_task_t task,
                                        const crsh_thread_state* current, const crsh_async_byteorder* byteorder,
                                        crsh_vm_address_t address, crsh_vm_off_t offset, crsh_vm_off_t length,
                                        const machine_ptr* initial, std::size_t count, machine_ptr* result)
{
    using signed_ptr = std::make_signed_t<machine_ptr>;
    crsh_dwarf_opstream stream;
    CRSH_TRY(crsh_dwarf_opstream_init(&stream, mobj, byteorder, address, offset, length));
    ExpressionStack<machine_ptr> stack;
    if (count > CRSH_DWARF_EXPRESSION_STACK)
        return CRSH_ERR_INTERNAL;
    for (std::size_t i = 0; i < count; ++i)
        (void)stack.push(initial[i]);

// Stack faults of the value operations (constants, arithmetic, comparisons, branches, registers) are
// internal errors; those of the stack-shuffling and memory operations are invalid arguments.
#define PUSH(value)                                                                                                    \
    do {                                                                                                               \
        if (!stack.push(value))                                                                                        \
            return CRSH_ERR_INTERNAL;                                                                                  \
    } while (0)
#define POP(variable)                                                                                                  \
    do {                                                                                                               \
        if (!stack.pop(&(variable)))                                                                                   \
            return CRSH_ERR_INTERNAL;                                                                                  \
    } while (0)
#define SHUFFLE_PUSH(value)                                                                                            \
    do {                                                                                                               \
        if (!stack.push(value))                                                                                        \
            return CRSH_ERR_INVALID_ARGUMENT;                                                                          \
    } while (0)
#define SHUFFLE_POP(variable)                                                                                          \
    do {                                                                                                               \
        if (!stack.pop(&(variable)))                                                                                   \
            return CRSH_ERR_INVALID_ARGUMENT;                                                                          \
    } while (0)

    // Branches may jump backwards: a loop that never ends is cut off instead of hanging the handler.
    std::size_t steps = 0;
    while (stream.remaining() > 0) {
        if (++steps > CRSH_DWARF_EXPRESSION_MAX_STEPS)
            return CRSH_ERR_INVALID_ARGUMENT;
        std::uint8_t opcode;
        (void)stream.read_uint8(&opcode);
        if (opcode < OP_deref || opcode > OP_nop)
            return CRSH_ERR_NOT_SUPPORTED;

        if (opcode >= OP_lit0 && opcode <= OP_lit31) {
            PUSH(static_cast<machine_ptr>(opcode - OP_lit0));
            continue;
        }
        if (opcode >= OP_breg0 && opcode <= OP_breg31) {
            std::int64_t displacement;
            CRSH_TRY(stream.read_sleb128(&displacement));
            machine_ptr value;
            CRSH_TRY(registerValue(current, opcode - OP_breg0, displacement, &value));
            PUSH(value);
            continue;
        }
        if ((opcode >= OP_reg0 && opcode <= OP_reg31) || opcode == OP_regx || opcode == OP_fbreg || opcode == OP_piece)
            return CRSH_ERR_NOT_SUPPORTED;

        machine_ptr a;
        machine_ptr b;
        machine_ptr c;
        switch (opcode) {
        case OP_deref:
            SHUFFLE_POP(a);
            CRSH_TRY(readTask<machine_ptr>(task, a, sizeof(machine_ptr), &a));
            SHUFFLE_PUSH(a);
            break;
        case OP_xderef:
            SHUFFLE_POP(a);
            SHUFFLE_POP(b); // the address space, which has no meaning here
            CRSH_TRY(readTask<machine_ptr>(task, a, sizeof(machine_ptr), &a));
            SHUFFLE_PUSH(a);
            break;
        case OP_deref_size:
        case OP_xderef_size: {
            std::uint8_t size;
            if (!stream.read_uint8(&size))
                return CRSH_ERR_INVALID_ARGUMENT;
            if (size != 1 && size != 2 && size != 4 && size != 8)
                return CRSH_ERR_INVALID_ARGUMENT;
            SHUFFLE_POP(a);
            if (opcode == OP_xderef_size)
                SHUFFLE_POP(b);
            CRSH_TRY(readTask<machine_ptr>(task, a, size, &a));
            SHUFFLE_PUSH(a);
            break;
        }
        case OP_const1u:
        case OP_const1u + 1:
        case OP_const1u + 2:
        case OP_const1u + 3:
        case OP_const1u + 4:
        case OP_const1u + 5:
        case OP_const1u + 6:
        case OP_const8s: {
            const unsigned size = 1u << ((opcode - OP_const1u) / 2);
            const bool isSigned = ((opcode - OP_const1u) & 1) != 0;
            std::uint64_t raw = 0;
            bool read = false;
            if (size == 1) {
                std::uint8_t v;
                read = stream.read_uint8(&v);
                raw = isSigned ? static_cast<std::uint64_t>(static_cast<std::int8_t>(v)) : v;
            } else if (size == 2) {
                std::uint16_t v;
                read = stream.read_uint16(&v);
                raw = isSigned ? static_cast<std::uint64_t>(static_cast<std::int16_t>(v)) : v;
            } else if (size == 4) {
                std::uint32_t v;
                read = stream.read_uint32(&v);
                raw = isSigned ? static_cast<std::uint64_t>(static_cast<std::int32_t>(v)) : v;
            } else {
                read = stream.read_uint64(&raw);
            }
            if (!read)
                return CRSH_ERR_INVALID_ARGUMENT;
            PUSH(static_cast<machine_ptr>(raw));
            break;
        }
        case OP_constu: {
            std::uint64_t value;
            CRSH_TRY(stream.read_uleb128(&value));
            PUSH(static_cast<machine_ptr>(value));
            break;
        }
        case OP_consts: {
            std::int64_t value;
            CRSH_TRY(stream.read_sleb128(&value));
            PUSH(static_cast<machine_ptr>(value));
            break;
        }
        case OP_dup:
            if (!stack.pick(0, &a))
                return CRSH_ERR_INVALID_ARGUMENT;
            SHUFFLE_PUSH(a);
            break;
        case OP_drop:
            SHUFFLE_POP(a);
            break;
        case OP_over:
            if (!stack.pick(1, &a))
                return CRSH_ERR_INVALID_ARGUMENT;
            SHUFFLE_PUSH(a);
            break;
        case OP_pick: {
            std::uint8_t index;
            if (!stream.read_uint8(&index) || !stack.pick(index, &a))
                return CRSH_ERR_INVALID_ARGUMENT;
            SHUFFLE_PUSH(a);
            break;
        }
        case OP_swap:
            SHUFFLE_POP(a);
            SHUFFLE_POP(b);
            SHUFFLE_PUSH(a);
            SHUFFLE_PUSH(b);
            break;
        case OP_rot:
            // The top entry becomes the third, the second the top, the third the second.
            SHUFFLE_POP(a);
            SHUFFLE_POP(b);
            SHUFFLE_POP(c);
            SHUFFLE_PUSH(a);
            SHUFFLE_PUSH(c);
            SHUFFLE_PUSH(b);
            break;
        case OP_abs:
            POP(a);
            PUSH(static_cast<signed_ptr>(a) < 0 ? static_cast<machine_ptr>(0 - a) : a);
            break;
        case OP_neg:
            POP(a);
            PUSH(static_cast<machine_ptr>(0 - a));
            break;
        case OP_not:
            POP(a);
            PUSH(static_cast<machine_ptr>(~a));
            break;
        case OP_plus_uconst: {
            std::uint64_t addend;
            CRSH_TRY(stream.read_uleb128(&addend));
            POP(a);
            PUSH(static_cast<machine_ptr>(a + addend));
            break;
        }
        case OP_bra:
        case OP_skip: {
            std::uint16_t raw;
            if (!stream.read_uint16(&raw))
                return CRSH_ERR_INVALID_ARGUMENT;
            bool jump = true;
            if (opcode == OP_bra) {
                POP(a);
                jump = a != 0;
            }
            if (jump && !stream.skip(static_cast<std::int16_t>(raw)))
                return CRSH_ERR_INVALID_ARGUMENT;
            break;
        }
        case OP_bregx: {
            std::uint64_t dwarfRegister;
            std::int64_t displacement;
            CRSH_TRY(stream.read_uleb128(&dwarfRegister));
            CRSH_TRY(stream.read_sleb128(&displacement));
            CRSH_TRY(registerValue(current, dwarfRegister, displacement, &a));
            PUSH(a);
            break;
        }
        case OP_nop:
            break;
        default: {
            if (opcode < OP_abs || opcode > OP_ne)
                return CRSH_ERR_NOT_SUPPORTED; // 0x07, the one gap below the vendor range
            POP(a);
            POP(b);
            CRSH_TRY(binary<machine_ptr>(opcode, b, a, &c));
            PUSH(c);
            break;
        }
        }
    }
#undef PUSH
#undef POP
#undef SHUFFLE_PUSH
#undef SHUFFLE_POP

    if (!stack.pop(result))
        return CRSH_ERR_INVALID_ARGUMENT;
    return CRSH_ERR_NONE;
}

template crsh_error_t crsh_dwarf_expression_eval<std::uint32_t>(const crsh_async_mobject*, crsh_task_t,
                                                                const crsh_thread_state*, const crsh_async_byteorder*,
                                                                crsh_vm_address_t, crsh_vm_off_t, crsh_vm_off_t,
                                                                const std::uint32_t*, std::size_t, std::uint32_t*);
template crsh_error_t crsh_dwarf_expression_eval<std::uint64_t>(const crsh_async_mobject*, crsh_task_t,
                                                                const crsh_thread_state*, const crsh_async_byteorder*,
                                                                crsh_vm_address_t, crsh_vm_off_t, crsh_vm_off_t,
                                                                const std::uint64_t*, std::size_t, std::uint64_t*);
