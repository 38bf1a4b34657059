// The register set of one stack frame, shared by the frame cursor and every frame reader: the platform's
// ARM thread state (64- or 32-bit, told apart by its flavour) with a set of the registers that hold a
// value. So that real crashes on this machine's processor can be walked too, an x86-64 flavour sits beside
// them (the only addition made for the host; the report names its registers like any other). Registers are named by architecture-neutral indices; 0, 1 and 2 are always the instruction
// pointer, the frame pointer and the stack pointer. A state is a plain value; every operation is
// async-signal-safe.
#pragma once

#include "crashreporter/crsh_async.h"

#include <cstdint>

#if defined(__x86_64__)
#include <ucontext.h>
#endif

constexpr std::uint32_t CRSH_ARM_THREAD_STATE = 1;
constexpr std::uint32_t CRSH_ARM_THREAD_STATE32 = 9;
constexpr std::uint32_t CRSH_ARM_THREAD_STATE64 = 6;
constexpr std::uint32_t CRSH_ARM_THREAD_STATE32_COUNT = 17;
constexpr std::uint32_t CRSH_ARM_THREAD_STATE64_COUNT = 68;
constexpr std::uint32_t CRSH_ARM_UNIFIED_THREAD_STATE_COUNT = 70;
constexpr std::uint32_t CRSH_X86_THREAD_STATE64 = 4;
constexpr std::uint32_t CRSH_X86_THREAD_STATE64_COUNT = 42;

enum crsh_stack_direction_t : std::uint32_t {
    CRSH_STACK_DIRECTION_UP = 1,   // the stack grows towards higher addresses
    CRSH_STACK_DIRECTION_DOWN = 2, // towards lower addresses
};

using crsh_regnum_t = std::uint32_t;
constexpr crsh_regnum_t CRSH_REG_IP = 0;
constexpr crsh_regnum_t CRSH_REG_FP = 1;
constexpr crsh_regnum_t CRSH_REG_SP = 2;

// arm64 indices: 0 pc, 1 fp, 2 sp, 3 to 31 x0 to x28, 32 lr, 33 cpsr.
constexpr crsh_regnum_t CRSH_ARM64_X0 = 3;
constexpr crsh_regnum_t CRSH_ARM64_LR = 32;
constexpr crsh_regnum_t CRSH_ARM64_CPSR = 33;
constexpr crsh_regnum_t CRSH_ARM64_REG_COUNT = 34;
constexpr crsh_regnum_t crsh_arm64_x(unsigned n) { return CRSH_ARM64_X0 + n; } // x0 to x28

// arm indices: 0 pc, 1 r7, 2 sp, 3 to 9 r0 to r6, 10 to 14 r8 to r12, 15 lr, 16 cpsr.
constexpr crsh_regnum_t CRSH_ARM_LR = 15;
constexpr crsh_regnum_t CRSH_ARM_CPSR = 16;
constexpr crsh_regnum_t CRSH_ARM_REG_COUNT = 17;

// x86-64 indices: 0 rip, 1 rbp, 2 rsp, 3 rax, 4 rbx, 5 rcx, 6 rdx, 7 rdi, 8 rsi, 9 to 16 r8 to r15,
// 17 rflags, 18 cs, 19 fs, 20 gs.
constexpr crsh_regnum_t CRSH_X86_64_RAX = 3;
constexpr crsh_regnum_t CRSH_X86_64_RBX = 4;
constexpr crsh_regnum_t CRSH_X86_64_RCX = 5;
constexpr crsh_regnum_t CRSH_X86_64_RDX = 6;
constexpr crsh_regnum_t CRSH_X86_64_RDI = 7;
constexpr crsh_regnum_t CRSH_X86_64_RSI = 8;
constexpr crsh_regnum_t CRSH_X86_64_R8 = 9;
constexpr crsh_regnum_t CRSH_X86_64_RFLAGS = 17;
constexpr crsh_regnum_t CRSH_X86_64_CS = 18;
constexpr crsh_regnum_t CRSH_X86_64_FS = 19;
constexpr crsh_regnum_t CRSH_X86_64_GS = 20;
constexpr crsh_regnum_t CRSH_X86_64_REG_COUNT = 21;
constexpr crsh_regnum_t crsh_x86_64_r(unsigned n) { return CRSH_X86_64_R8 + (n - 8); } // r8 to r15
constexpr crsh_regnum_t CRSH_X86_64_R12 = crsh_x86_64_r(12), CRSH_X86_64_R13 = crsh_x86_64_r(13),
                        CRSH_X86_64_R14 = crsh_x86_64_r(14), CRSH_X86_64_R15 = crsh_x86_64_r(15),
                        CRSH_X86_64_RBP = CRSH_REG_FP;

// Held by register index.
struct crsh_x86_64_thread_state {
    std::uint64_t regs[CRSH_X86_64_REG_COUNT];
};
static_assert(sizeof(crsh_x86_64_thread_state) == CRSH_X86_THREAD_STATE64_COUNT * 4);

struct crsh_arm64_thread_state {
    std::uint64_t x[29];
    std::uint64_t fp;
    std::uint64_t lr;
    std::uint64_t sp;
    std::uint64_t pc;
    std::uint32_t cpsr;
    std::uint32_t pad;
};
static_assert(sizeof(crsh_arm64_thread_state) == CRSH_ARM_THREAD_STATE64_COUNT * 4);

struct crsh_arm_thread_state {
    std::uint32_t r[13];
    std::uint32_t sp;
    std::uint32_t lr;
    std::uint32_t pc;
    std::uint32_t cpsr;
};
static_assert(sizeof(crsh_arm_thread_state) == CRSH_ARM_THREAD_STATE32_COUNT * 4);

// The platform's unified ARM state: a flavour header and either state (or this machine's x86-64 one).
struct crsh_arm_unified_thread_state {
    struct {
        std::uint32_t flavor;
        std::uint32_t count;
    } ash;
    union {
        crsh_arm64_thread_state ts_64;
        crsh_arm_thread_state ts_32;
        crsh_x86_64_thread_state ts_x86_64;
    } uts;
};

// A signal's arm64 machine context: the exception state, then the thread state (the vector registers
// that follow it are not read).
struct crsh_arm64_mcontext {
    struct {
        std::uint64_t far;
        std::uint32_t esr;
        std::uint32_t exception;
    } es;
    crsh_arm64_thread_state ss;
};

struct crsh_thread_state {
    std::uint32_t stack_direction;
    std::uint64_t greg_size;
    std::uint64_t valid_regs; // bit i: register i holds a value
    crsh_arm_unified_thread_state arm_state;
};

// Clears the state for CRSH_CPU_TYPE_ARM64, CRSH_CPU_TYPE_ARM or CRSH_CPU_TYPE_X86_64;
// CRSH_ERR_NOT_SUPPORTED for any other.
crsh_error_t crsh_thread_state_init(crsh_thread_state* state, std::int32_t cpu_type);
// The arm64 state of a signal's machine context, every register valid.
void crsh_thread_state_mcontext_init(crsh_thread_state* state, const crsh_arm64_mcontext* mcontext);
#if defined(__x86_64__)
// The x86-64 state of a Linux signal's machine context (ucontext_t's uc_mcontext), every register valid.
void crsh_thread_state_mcontext_init(crsh_thread_state* state, const mcontext_t* mcontext);

using crsh_thread_state_cb = crsh_error_t (*)(crsh_thread_state* state, void* context);
// Captures the calling thread: rip = this call's return address, rsp = the caller's stack pointer after
// the call returns, rbp and the callee-saved rbx, r12 to r15 as the caller has them (the others are not
// valid); then calls callback(state, context) and returns its result. The state lives on this call's stack.
extern "C" crsh_error_t crsh_async_thread_state_current(crsh_thread_state_cb callback, void* context);
#endif

// The registers of a live thread that the caller has suspended (crsh_thread_suspend.h): a thread of
// another process, stopped under the caller as its tracer. CRSH_ERR_INTERNAL, the code for a state that
// cannot be read, for any other thread (a process cannot read its own threads' registers here).
crsh_error_t crsh_thread_state_thread_init(crsh_thread_state* state, crsh_thread_t thread);

void crsh_thread_state_copy(crsh_thread_state* destination, const crsh_thread_state* source);

bool crsh_thread_state_has_reg(const crsh_thread_state* state, crsh_regnum_t index);
void crsh_thread_state_clear_reg(crsh_thread_state* state, crsh_regnum_t index);
void crsh_thread_state_clear_all_regs(crsh_thread_state* state);        // the valid set only
void crsh_thread_state_clear_volatile_regs(crsh_thread_state* state);   // keeps the callee-saved ones

// An index at or beyond the register count aborts the process in get, set and name.
std::uint64_t crsh_thread_state_get_reg(const crsh_thread_state* state, crsh_regnum_t index);
void crsh_thread_state_set_reg(crsh_thread_state* state, crsh_regnum_t index, std::uint64_t value);
const char* crsh_thread_state_get_reg_name(const crsh_thread_state* state, crsh_regnum_t index);
std::size_t crsh_thread_state_get_reg_count(const crsh_thread_state* state);

crsh_stack_direction_t crsh_thread_state_get_stack_direction(const crsh_thread_state* state);
std::size_t crsh_thread_state_get_greg_size(const crsh_thread_state* state);

// Between register indices and DWARF register numbers; false when there is no counterpart.
bool crsh_thread_state_map_dwarf_reg(const crsh_thread_state* state, std::uint64_t dwarf_reg, crsh_regnum_t* index);
bool crsh_thread_state_map_reg_to_dwarf(const crsh_thread_state* state, crsh_regnum_t index, std::uint64_t* dwarf_reg);
