// This machine's part of the thread state: reading a Linux signal's x86-64 machine context, a stopped
// thread's registers through its tracer, and capturing the calling thread's registers. The phone
// platform's own capture is arm64; this is its x86-64 twin.
#include "crashreporter/crsh_thread_state.h"

#if defined(__x86_64__)

#include "crashreporter/crsh_macho.h"

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <unistd.h>

namespace {

struct GregMapping {
    int greg;
    crsh_regnum_t index;
};

constexpr GregMapping kGregs[] = {
    {REG_RIP, CRSH_REG_IP},        {REG_RBP, CRSH_REG_FP},        {REG_RSP, CRSH_REG_SP},
    {REG_RAX, CRSH_X86_64_RAX},    {REG_RBX, CRSH_X86_64_RBX},    {REG_RCX, CRSH_X86_64_RCX},
    {REG_RDX, CRSH_X86_64_RDX},    {REG_RDI, CRSH_X86_64_RDI},    {REG_RSI, CRSH_X86_64_RSI},
    {REG_R8, crsh_x86_64_r(8)},    {REG_R9, crsh_x86_64_r(9)},    {REG_R10, crsh_x86_64_r(10)},
    {REG_R11, crsh_x86_64_r(11)},  {REG_R12, crsh_x86_64_r(12)},  {REG_R13, crsh_x86_64_r(13)},
    {REG_R14, crsh_x86_64_r(14)},  {REG_R15, crsh_x86_64_r(15)},  {REG_EFL, CRSH_X86_64_RFLAGS},
};

} // namespace

void crsh_thread_state_mcontext_init(crsh_thread_state* state, const mcontext_t* mcontext)
{
    (void)crsh_thread_state_init(state, CRSH_CPU_TYPE_X86_64);
    for (const GregMapping& mapping : kGregs)
        crsh_thread_state_set_reg(state, mapping.index, static_cast<std::uint64_t>(mcontext->gregs[mapping.greg]));
    // cs, gs and fs share one word, 16 bits each from the low end.
    const auto segments = static_cast<std::uint64_t>(mcontext->gregs[REG_CSGSFS]);
    crsh_thread_state_set_reg(state, CRSH_X86_64_CS, segments & 0xFFFF);
    crsh_thread_state_set_reg(state, CRSH_X86_64_GS, (segments >> 16) & 0xFFFF);
    crsh_thread_state_set_reg(state, CRSH_X86_64_FS, (segments >> 32) & 0xFFFF);
}

crsh_error_t crsh_thread_state_thread_init(crsh_thread_state* state, crsh_thread_t thread)
{
    crsh_async_errno_keeper keeper;
    (void)crsh_thread_state_init(state, CRSH_CPU_TYPE_X86_64);
    user_regs_struct regs;
    crsh_async_memset(&regs, 0, sizeof regs);
    // The raw call: only a thread stopped under this process as its tracer answers.
    if (thread <= 0 || syscall(SYS_ptrace, PTRACE_GETREGS, static_cast<long>(thread), 0L, &regs) != 0)
        return CRSH_ERR_INTERNAL;
    const struct {
        unsigned long long value;
        crsh_regnum_t index;
    } registers[] = {
        {regs.rip, CRSH_REG_IP},        {regs.rbp, CRSH_REG_FP},        {regs.rsp, CRSH_REG_SP},
        {regs.rax, CRSH_X86_64_RAX},    {regs.rbx, CRSH_X86_64_RBX},    {regs.rcx, CRSH_X86_64_RCX},
        {regs.rdx, CRSH_X86_64_RDX},    {regs.rdi, CRSH_X86_64_RDI},    {regs.rsi, CRSH_X86_64_RSI},
        {regs.r8, crsh_x86_64_r(8)},    {regs.r9, crsh_x86_64_r(9)},    {regs.r10, crsh_x86_64_r(10)},
        {regs.r11, crsh_x86_64_r(11)},  {regs.r12, crsh_x86_64_r(12)},  {regs.r13, crsh_x86_64_r(13)},
        {regs.r14, crsh_x86_64_r(14)},  {regs.r15, crsh_x86_64_r(15)},  {regs.eflags, CRSH_X86_64_RFLAGS},
        {regs.cs & 0xFFFF, CRSH_X86_64_CS}, {regs.fs & 0xFFFF, CRSH_X86_64_FS}, {regs.gs & 0xFFFF, CRSH_X86_64_GS},
    };
    for (const auto& reg : registers)
        crsh_thread_state_set_reg(state, reg.index, static_cast<std::uint64_t>(reg.value));
    return CRSH_ERR_NONE;
}

// Called by the capture routine below with the callee-saved registers it stored (rbx, r12 to r15) and its
// own frame record (the caller's rbp, then the return address).
extern "C" crsh_error_t crsh_async_thread_state_current_fill(const std::uint64_t* saved, const std::uint64_t* frame,
                                                             crsh_thread_state_cb callback, void* context)
{
    crsh_thread_state state;
    (void)crsh_thread_state_init(&state, CRSH_CPU_TYPE_X86_64);
    crsh_thread_state_set_reg(&state, CRSH_REG_IP, frame[1]);
    crsh_thread_state_set_reg(&state, CRSH_REG_FP, frame[0]);
    crsh_thread_state_set_reg(&state, CRSH_REG_SP, reinterpret_cast<std::uint64_t>(frame + 2));
    crsh_thread_state_set_reg(&state, CRSH_X86_64_RBX, saved[0]);
    for (unsigned n = 12; n <= 15; ++n)
        crsh_thread_state_set_reg(&state, crsh_x86_64_r(n), saved[n - 11]);
    return callback(&state, context);
}

// Stores rbx and r12 to r15 before any compiled code can touch them, makes a frame record, and hands both
// to the filler: (saved, frame, callback, context).
asm(R"(
    .text
    .globl crsh_async_thread_state_current
    .type crsh_async_thread_state_current, @function
crsh_async_thread_state_current:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $48, %rsp
    movq %rbx, 0(%rsp)
    movq %r12, 8(%rsp)
    movq %r13, 16(%rsp)
    movq %r14, 24(%rsp)
    movq %r15, 32(%rsp)
    movq %rsi, %rcx
    movq %rdi, %rdx
    movq %rsp, %rdi
    movq %rbp, %rsi
    call crsh_async_thread_state_current_fill@PLT
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size crsh_async_thread_state_current, .-crsh_async_thread_state_current
)");

#endif
