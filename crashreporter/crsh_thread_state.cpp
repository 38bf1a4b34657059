#include "crashreporter/crsh_thread_state.h"

#include "crashreporter/crsh_macho.h"

#include <cstdlib>
#include <iterator>

namespace {

struct DwarfMapping {
    std::uint32_t dwarf;
    crsh_regnum_t index;
};

constexpr DwarfMapping kArm64Dwarf[] = {
    {0, 3},   {1, 4},   {2, 5},   {3, 6},   {4, 7},   {5, 8},   {6, 9},   {7, 10},  {8, 11},  {9, 12},  {10, 13},
    {11, 14}, {12, 15}, {13, 16}, {14, 17}, {15, 18}, {16, 19}, {17, 20}, {18, 21}, {19, 22}, {20, 23}, {21, 24},
    {22, 25}, {23, 26}, {24, 27}, {25, 28}, {26, 29}, {27, 30}, {28, 31}, {29, CRSH_REG_FP}, {30, CRSH_ARM64_LR},
    {31, CRSH_REG_SP},
};
static_assert(sizeof kArm64Dwarf / sizeof kArm64Dwarf[0] == 32);

constexpr DwarfMapping kArmDwarf[] = {
    {0, 3},  {1, 4},  {2, 5},  {3, 6},  {4, 7},  {5, 8},  {6, 9},           {7, CRSH_REG_FP},
    {8, 10}, {9, 11}, {10, 12}, {11, 13}, {12, 14}, {13, CRSH_REG_SP}, {14, CRSH_ARM_LR}, {15, CRSH_REG_IP},
};
static_assert(sizeof kArmDwarf / sizeof kArmDwarf[0] == 16);

// By the x86-64 ABI: 0 rax, 1 rdx, 2 rcx, 3 rbx, 4 rsi, 5 rdi, 6 rbp, 7 rsp, 8 to 15 r8 to r15, 16 the
// return address (rip).
constexpr DwarfMapping kX86_64Dwarf[] = {
    {0, CRSH_X86_64_RAX}, {1, CRSH_X86_64_RDX}, {2, CRSH_X86_64_RCX}, {3, CRSH_X86_64_RBX}, {4, CRSH_X86_64_RSI},
    {5, CRSH_X86_64_RDI}, {6, CRSH_REG_FP},     {7, CRSH_REG_SP},     {8, 9},  {9, 10}, {10, 11}, {11, 12},
    {12, 13},             {13, 14},             {14, 15},             {15, 16}, {16, CRSH_REG_IP},
};
static_assert(sizeof kX86_64Dwarf / sizeof kX86_64Dwarf[0] == 17);

constexpr const char* kX86_64Names[CRSH_X86_64_REG_COUNT] = {
    "rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8", "r9",
    "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs", "fs", "gs",
};

constexpr const char* kArm64Names[CRSH_ARM64_REG_COUNT] = {
    "pc",  "fp",  "sp",  "x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",  "x7",  "x8",
    "x9",  "x10", "x11", "x12", "x13", "x14", "x15", "x16", "x17", "x18", "x19", "x20",
    "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "lr",  "cpsr",
};
constexpr const char* kArmNames[CRSH_ARM_REG_COUNT] = {
    "pc", "r7", "sp", "r0", "r1", "r2", "r3", "r4", "r5", "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cpsr",
};

// x19 to x28 (indices 22 to 31) and fp.
constexpr std::uint64_t kArm64CalleeSaved = (std::uint64_t{0x3FF} << 22) | (std::uint64_t{1} << CRSH_REG_FP);
// r4, r5, r6 (7, 8, 9), r7 (1), r8 (10), r10 (12), r11 (13).
constexpr std::uint64_t kArmCalleeSaved = (1u << 7) | (1u << 8) | (1u << 9) | (1u << 1) | (1u << 10) | (1u << 12) |
                                          (1u << 13);

// rbx, rbp, r12 to r15.
constexpr std::uint64_t kX86_64CalleeSaved = (std::uint64_t{1} << CRSH_X86_64_RBX) | (std::uint64_t{1} << CRSH_REG_FP) |
                                             (std::uint64_t{0xF} << (CRSH_X86_64_R8 + 4));

bool is64(const crsh_thread_state* state)
{
    return state->arm_state.ash.flavor == CRSH_ARM_THREAD_STATE64;
}

bool isX86_64(const crsh_thread_state* state)
{
    return state->arm_state.ash.flavor == CRSH_X86_THREAD_STATE64;
}

struct DwarfTable {
    const DwarfMapping* entries;
    std::size_t count;
};

DwarfTable dwarfTable(const crsh_thread_state* state)
{
    if (isX86_64(state))
        return {kX86_64Dwarf, std::size(kX86_64Dwarf)};
    if (is64(state))
        return {kArm64Dwarf, std::size(kArm64Dwarf)};
    return {kArmDwarf, std::size(kArmDwarf)};
}

void checkIndex(const crsh_thread_state* state, crsh_regnum_t index)
{
    if (index >= crsh_thread_state_get_reg_count(state))
        abort(); // a caller's bug: there is no such register
}

std::uint64_t* arm64Field(crsh_arm64_thread_state* ts, crsh_regnum_t index)
{
    switch (index) {
    case CRSH_REG_IP: return &ts->pc;
    case CRSH_REG_FP: return &ts->fp;
    case CRSH_REG_SP: return &ts->sp;
    case CRSH_ARM64_LR: return &ts->lr;
    default: return &ts->x[index - CRSH_ARM64_X0];
    }
}

std::uint32_t* armField(crsh_arm_thread_state* ts, crsh_regnum_t index)
{
    switch (index) {
    case CRSH_REG_IP: return &ts->pc;
    case CRSH_REG_FP: return &ts->r[7];
    case CRSH_REG_SP: return &ts->sp;
    case CRSH_ARM_LR: return &ts->lr;
    case CRSH_ARM_CPSR: return &ts->cpsr;
    default: return index < 10 ? &ts->r[index - 3] : &ts->r[index - 10 + 8];
    }
}

} // namespace

crsh_error_t crsh_thread_state_init(crsh_thread_state* state, std::int32_t cpu_type)
{
    crsh_async_memset(state, 0, sizeof *state);
    state->stack_direction = CRSH_STACK_DIRECTION_DOWN;
    if (cpu_type == CRSH_CPU_TYPE_ARM64) {
        state->arm_state.ash.flavor = CRSH_ARM_THREAD_STATE64;
        state->arm_state.ash.count = CRSH_ARM_THREAD_STATE64_COUNT;
        state->greg_size = 8;
        return CRSH_ERR_NONE;
    }
    if (cpu_type == CRSH_CPU_TYPE_X86_64) {
        state->arm_state.ash.flavor = CRSH_X86_THREAD_STATE64;
        state->arm_state.ash.count = CRSH_X86_THREAD_STATE64_COUNT;
        state->greg_size = 8;
        return CRSH_ERR_NONE;
    }
    if (cpu_type == CRSH_CPU_TYPE_ARM) {
        state->arm_state.ash.flavor = CRSH_ARM_THREAD_STATE32;
        state->arm_state.ash.count = CRSH_ARM_THREAD_STATE32_COUNT;
        state->greg_size = 4;
        return CRSH_ERR_NONE;
    }
    return CRSH_ERR_NOT_SUPPORTED;
}

void crsh_thread_state_mcontext_init(crsh_thread_state* state, const crsh_arm64_mcontext* mcontext)
{
    (void)crsh_thread_state_init(state, CRSH_CPU_TYPE_ARM64);
    crsh_async_memcpy(&state->arm_state.uts.ts_64, &mcontext->ss, sizeof mcontext->ss);
    state->valid_regs = (std::uint64_t{1} << CRSH_ARM64_REG_COUNT) - 1;
}

#if !defined(__x86_64__)
// Only this machine's own processor has a register reader (crsh_thread_state_x86_64.cpp).
crsh_error_t crsh_thread_state_thread_init(crsh_thread_state* state, crsh_thread_t)
{
    crsh_async_memset(state, 0, sizeof *state);
    state->stack_direction = CRSH_STACK_DIRECTION_DOWN;
    return CRSH_ERR_INTERNAL;
}
#endif

void crsh_thread_state_copy(crsh_thread_state* destination, const crsh_thread_state* source)
{
    crsh_async_memcpy(destination, source, sizeof *destination);
}

bool crsh_thread_state_has_reg(const crsh_thread_state* state, crsh_regnum_t index)
{
    return index < 64 && (state->valid_regs & (std::uint64_t{1} << index)) != 0;
}

void crsh_thread_state_clear_reg(crsh_thread_state* state, crsh_regnum_t index)
{
    if (index < 64)
        state->valid_regs &= ~(std::uint64_t{1} << index);
}

void crsh_thread_state_clear_all_regs(crsh_thread_state* state)
{
    state->valid_regs = 0;
}

void crsh_thread_state_clear_volatile_regs(crsh_thread_state* state)
{
    state->valid_regs &= isX86_64(state) ? kX86_64CalleeSaved : is64(state) ? kArm64CalleeSaved : kArmCalleeSaved;
}

std::uint64_t crsh_thread_state_get_reg(const crsh_thread_state* state, crsh_regnum_t index)
{
    checkIndex(state, index);
    auto* mutableState = const_cast<crsh_thread_state*>(state);
    if (isX86_64(state))
        return state->arm_state.uts.ts_x86_64.regs[index];
    if (is64(state))
        return index == CRSH_ARM64_CPSR ? state->arm_state.uts.ts_64.cpsr
                                        : *arm64Field(&mutableState->arm_state.uts.ts_64, index);
    return *armField(&mutableState->arm_state.uts.ts_32, index);
}

void crsh_thread_state_set_reg(crsh_thread_state* state, crsh_regnum_t index, std::uint64_t value)
{
    checkIndex(state, index);
    if (isX86_64(state)) {
        state->arm_state.uts.ts_x86_64.regs[index] = value;
    } else if (is64(state)) {
        if (index == CRSH_ARM64_CPSR)
            state->arm_state.uts.ts_64.cpsr = static_cast<std::uint32_t>(value);
        else
            *arm64Field(&state->arm_state.uts.ts_64, index) = value;
    } else {
        *armField(&state->arm_state.uts.ts_32, index) = static_cast<std::uint32_t>(value);
    }
    state->valid_regs |= std::uint64_t{1} << index;
}

const char* crsh_thread_state_get_reg_name(const crsh_thread_state* state, crsh_regnum_t index)
{
    checkIndex(state, index);
    return isX86_64(state) ? kX86_64Names[index] : is64(state) ? kArm64Names[index] : kArmNames[index];
}

std::size_t crsh_thread_state_get_reg_count(const crsh_thread_state* state)
{
    return isX86_64(state) ? CRSH_X86_64_REG_COUNT : is64(state) ? CRSH_ARM64_REG_COUNT : CRSH_ARM_REG_COUNT;
}

crsh_stack_direction_t crsh_thread_state_get_stack_direction(const crsh_thread_state* state)
{
    return static_cast<crsh_stack_direction_t>(state->stack_direction);
}

std::size_t crsh_thread_state_get_greg_size(const crsh_thread_state* state)
{
    return static_cast<std::size_t>(state->greg_size);
}

bool crsh_thread_state_map_dwarf_reg(const crsh_thread_state* state, std::uint64_t dwarf_reg, crsh_regnum_t* index)
{
    DwarfTable table = dwarfTable(state);
    for (std::size_t i = 0; i < table.count; ++i) {
        if (table.entries[i].dwarf == dwarf_reg) {
            *index = table.entries[i].index;
            return true;
        }
    }
    return false;
}

bool crsh_thread_state_map_reg_to_dwarf(const crsh_thread_state* state, crsh_regnum_t index, std::uint64_t* dwarf_reg)
{
    DwarfTable table = dwarfTable(state);
    for (std::size_t i = 0; i < table.count; ++i) {
        if (table.entries[i].index == index) {
            *dwarf_reg = table.entries[i].dwarf;
            return true;
        }
    }
    return false;
}
