// The DWARF frame reader: for the current instruction pointer it finds the image's frame description
// entry and its CIE, runs their call-frame instructions up to the instruction pointer and applies the
// resulting rules to the current registers to give the caller's. Rule values may be DWARF expressions,
// run on a small stack machine.
//
// Everything is async-signal-safe: the rule state and the expression stack are fixed-size values on the
// caller's stack, data is read through memory objects or checked task reads, nothing is allocated. The
// templates come in two families: machine_ptr is std::uint32_t for 32-bit images and std::uint64_t for
// 64-bit ones (register values, addresses, stack entries and memory words have that width).
#pragma once

#include "crashreporter/crsh_dwarf_encoding.h"
#include "crashreporter/crsh_frame_cursor.h"

// A read cursor over [start, end) of a memory object.
struct crsh_dwarf_opstream {
    const crsh_async_byteorder* byteorder;
    const std::uint8_t* start;
    const std::uint8_t* end;
    const std::uint8_t* position;
    crsh_vm_address_t task_start; // the task address of start

    std::size_t remaining() const { return static_cast<std::size_t>(end - position); }
    crsh_vm_address_t task_position() const { return task_start + static_cast<std::uint64_t>(position - start); }
    // Moves the cursor by distance; false (and no move) when the result would leave [start, end].
    bool skip(std::int64_t distance);
    bool read_uint8(std::uint8_t* value);
    bool read_uint16(std::uint16_t* value);
    bool read_uint32(std::uint32_t* value);
    bool read_uint64(std::uint64_t* value);
    // CRSH_ERR_INVALID_ARGUMENT past the end, CRSH_ERR_NOT_SUPPORTED past 64 bits.
    crsh_error_t read_uleb128(std::uint64_t* value);
    crsh_error_t read_sleb128(std::int64_t* value);
};

// The stream over length bytes at base_address + offset. An empty stream needs no object (mobj may be
// null then). CRSH_ERR_INVALID_ARGUMENT when base + offset or offset + length overflows, length is
// negative, or the range is not inside the object.
crsh_error_t crsh_dwarf_opstream_init(crsh_dwarf_opstream* stream, const crsh_async_mobject* mobj,
                                      const crsh_async_byteorder* byteorder, crsh_vm_address_t base_address,
                                      crsh_vm_off_t offset, crsh_vm_off_t length);

// Register rules.
enum crsh_dwarf_rule_type : std::uint32_t {
    CRSH_DWARF_RULE_OFFSET = 0,       // the word at CFA + N
    CRSH_DWARF_RULE_VAL_OFFSET = 1,   // CFA + N
    CRSH_DWARF_RULE_REGISTER = 2,     // the current value of register N
    CRSH_DWARF_RULE_EXPRESSION = 3,   // the word at the expression's result; value: the task address of the
                                      // expression's length field
    CRSH_DWARF_RULE_VAL_EXPRESSION = 4, // the expression's result
    CRSH_DWARF_RULE_SAME_VALUE = 5,   // the current value of the same register
};

enum crsh_dwarf_cfa_type : std::uint32_t {
    CRSH_DWARF_CFA_UNDEFINED = 0,
    CRSH_DWARF_CFA_EXPRESSION = 1,       // value: the expression's task address; length: its length
    CRSH_DWARF_CFA_REGISTER = 2,         // register + unsigned offset
    CRSH_DWARF_CFA_REGISTER_SIGNED = 3,  // register + signed offset
};

struct crsh_dwarf_rule {
    std::uint32_t regnum; // DWARF register number
    std::uint32_t type;   // crsh_dwarf_rule_type
    std::uint64_t value;  // an offset (two's complement), a register number or a task address
};

struct crsh_dwarf_cfa_rule {
    std::uint32_t type; // crsh_dwarf_cfa_type
    std::uint32_t regnum;
    std::uint64_t value; // the offset (two's complement when signed) or the expression's address
    std::uint64_t length;
};

constexpr std::size_t CRSH_DWARF_MAX_RULES = 100;
constexpr std::size_t CRSH_DWARF_MAX_STATE_LEVELS = 6;
constexpr std::size_t CRSH_DWARF_RULE_BUCKETS = 14;
constexpr std::uint8_t CRSH_DWARF_NO_ENTRY = 255;
constexpr std::size_t CRSH_DWARF_EXPRESSION_STACK = 100;
// The most operations one expression may run (its branches can loop).
constexpr std::size_t CRSH_DWARF_EXPRESSION_MAX_STEPS = 10000;

// The rules in force: a pool of entries chained per register bucket, with up to five remembered levels.
struct crsh_dwarf_cfa_state {
    struct {
        crsh_dwarf_rule rule;
        std::uint8_t next;
    } entries[CRSH_DWARF_MAX_RULES];
    struct {
        crsh_dwarf_cfa_rule cfa;
        std::uint8_t count;
        std::uint8_t buckets[CRSH_DWARF_RULE_BUCKETS];
    } levels[CRSH_DWARF_MAX_STATE_LEVELS];
    std::uint8_t level;
    std::uint8_t free_head;
};

void crsh_dwarf_cfa_state_init(crsh_dwarf_cfa_state* state);
// False when the pool is exhausted.
bool crsh_dwarf_cfa_state_set_rule(crsh_dwarf_cfa_state* state, std::uint32_t regnum, std::uint32_t type,
                                   std::uint64_t value);
bool crsh_dwarf_cfa_state_get_rule(const crsh_dwarf_cfa_state* state, std::uint32_t regnum, crsh_dwarf_rule* rule);
void crsh_dwarf_cfa_state_remove_rule(crsh_dwarf_cfa_state* state, std::uint32_t regnum);
std::size_t crsh_dwarf_cfa_state_rule_count(const crsh_dwarf_cfa_state* state);
void crsh_dwarf_cfa_state_set_cfa_register(crsh_dwarf_cfa_state* state, std::uint32_t regnum, std::uint64_t offset);
void crsh_dwarf_cfa_state_set_cfa_register_signed(crsh_dwarf_cfa_state* state, std::uint32_t regnum,
                                                  std::int64_t offset);
void crsh_dwarf_cfa_state_set_cfa_expression(crsh_dwarf_cfa_state* state, crsh_vm_address_t address,
                                             std::uint64_t length);
crsh_dwarf_cfa_rule crsh_dwarf_cfa_state_get_cfa(const crsh_dwarf_cfa_state* state);
// Remembers the current rules and CFA (they stay in force); false at the sixth level or when the copy
// does not fit the pool.
bool crsh_dwarf_cfa_state_push(crsh_dwarf_cfa_state* state);
// Back to the remembered level; false at level 0.
bool crsh_dwarf_cfa_state_pop(crsh_dwarf_cfa_state* state);

// Iteration over the current level's rules: bucket 0 to 13, each chain in order.
struct crsh_dwarf_cfa_state_iterator {
    const crsh_dwarf_cfa_state* state;
    std::uint8_t bucket;
    std::uint8_t entry;
};
void crsh_dwarf_cfa_state_iterator_init(crsh_dwarf_cfa_state_iterator* iterator, const crsh_dwarf_cfa_state* state);
bool crsh_dwarf_cfa_state_iterator_next(crsh_dwarf_cfa_state_iterator* iterator, crsh_dwarf_rule* rule);

// Runs one block of call-frame instructions (instruction_length bytes at section_base + instruction_offset)
// from initial_location; with a target, stops once the location has passed it. ptr_state (may be null)
// gives the bases for a set_loc pointer in the CIE's encoding.
template <typename machine_ptr>
crsh_error_t crsh_dwarf_cfa_eval_program(crsh_dwarf_cfa_state* state, const crsh_async_mobject* mobj,
                                         const machine_ptr* target, machine_ptr initial_location,
                                         const crsh_dwarf_cie_info* cie, const crsh_dwarf_ptr_state* ptr_state,
                                         const crsh_async_byteorder* byteorder, crsh_vm_address_t section_base,
                                         std::uint64_t instruction_offset, std::uint64_t instruction_length);

// The caller's registers from the rules and the current registers.
template <typename machine_ptr>
crsh_error_t crsh_dwarf_cfa_apply(const crsh_dwarf_cfa_state* state, crsh_task_t task, const crsh_dwarf_cie_info* cie,
                                  const crsh_thread_state* current, const crsh_async_byteorder* byteorder,
                                  crsh_thread_state* next);

// Runs the expression of length bytes at address + offset with the initial values pushed in order (the
// last on top) and gives the value left on top. More than CRSH_DWARF_EXPRESSION_MAX_STEPS operations is
// CRSH_ERR_INVALID_ARGUMENT.
template <typename machine_ptr>
crsh_error_t crsh_dwarf_expression_eval(const crsh_async_mobject* mobj, crsh_task_t task,
                                        const crsh_thread_state* current, const crsh_async_byteorder* byteorder,
                                        crsh_vm_address_t address, crsh_vm_off_t offset, crsh_vm_off_t length,
                                        const machine_ptr* initial, std::size_t count, machine_ptr* result);

// The cursor's second reader.
crsh_frame_error_t crsh_frame_read_dwarf_unwind(crsh_task_t task, crsh_image_list* image_list,
                                                const crsh_thread_state* current, const crsh_thread_state* previous,
                                                crsh_thread_state* next);

#define CRSH_DWARF_UNWIND_FAMILY(machine_ptr)                                                                          \
    extern template crsh_error_t crsh_dwarf_cfa_eval_program<machine_ptr>(                                             \
        crsh_dwarf_cfa_state*, const crsh_async_mobject*, const machine_ptr*, machine_ptr, const crsh_dwarf_cie_info*, \
        const crsh_dwarf_ptr_state*, const crsh_async_byteorder*, crsh_vm_address_t, std::uint64_t, std::uint64_t);   \
    extern template crsh_error_t crsh_dwarf_cfa_apply<machine_ptr>(const crsh_dwarf_cfa_state*, crsh_task_t,          \
                                                                   const crsh_dwarf_cie_info*,                         \
                                                                   const crsh_thread_state*,                           \
                                                                   const crsh_async_byteorder*, crsh_thread_state*);   \
    extern template crsh_error_t crsh_dwarf_expression_eval<machine_ptr>(                                              \
        const crsh_async_mobject*, crsh_task_t, const crsh_thread_state*, const crsh_async_byteorder*,                 \
        crsh_vm_address_t, crsh_vm_off_t, crsh_vm_off_t, const machine_ptr*, std::size_t, machine_ptr*);
CRSH_DWARF_UNWIND_FAMILY(std::uint32_t)
CRSH_DWARF_UNWIND_FAMILY(std::uint64_t)
#undef CRSH_DWARF_UNWIND_FAMILY
