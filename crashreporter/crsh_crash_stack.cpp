#include "crashreporter/crsh_crash_stack.h"

#include <sys/mman.h>

#include <cstdint>

// Calls work(context) with the stack pointer at top (16-byte aligned) and answers its result; the caller's
// stack is back when it returns. Its frame record links the two stacks, so a debugger walks through it.
extern "C" int crsh_crash_stack_call(int (*work)(void*), void* context, void* top);

#if defined(__x86_64__)
asm(R"(
    .text
    .globl crsh_crash_stack_call
    .hidden crsh_crash_stack_call
    .type crsh_crash_stack_call, @function
crsh_crash_stack_call:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdx, %rsp
    movq %rdi, %rax
    movq %rsi, %rdi
    callq *%rax
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size crsh_crash_stack_call, .-crsh_crash_stack_call
)");
#define CRSH_CRASH_STACK_SWITCHES 1
#elif defined(__aarch64__)
asm(R"(
    .text
    .globl crsh_crash_stack_call
    .hidden crsh_crash_stack_call
    .type crsh_crash_stack_call, %function
crsh_crash_stack_call:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    mov x29, sp
    .cfi_def_cfa_register x29
    mov sp, x2
    mov x3, x0
    mov x0, x1
    blr x3
    mov sp, x29
    .cfi_def_cfa_register sp
    ldp x29, x30, [sp], #16
    .cfi_def_cfa_offset 0
    .cfi_restore x29
    .cfi_restore x30
    ret
    .cfi_endproc
    .size crsh_crash_stack_call, .-crsh_crash_stack_call
)");
#define CRSH_CRASH_STACK_SWITCHES 1
#else
#define CRSH_CRASH_STACK_SWITCHES 0
#endif

crsh_error_t crsh_crash_stack_prepare(crsh_crash_stack* stack)
{
    const std::size_t guard = crsh_async_page_size();
    const std::size_t bytes = guard + CRSH_CRASH_STACK_BYTES;
    void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        return CRSH_ERR_NO_MEMORY;
    // The stack grows down towards the guard page: an overflow faults instead of writing past it.
    if (mprotect(mapping, guard, PROT_NONE) != 0) {
        munmap(mapping, bytes);
        return CRSH_ERR_NO_MEMORY;
    }
    stack->mapping = mapping;
    stack->mapping_bytes = bytes;
    return CRSH_ERR_NONE;
}

void crsh_crash_stack_release(crsh_crash_stack* stack)
{
    if (stack->mapping != nullptr)
        munmap(stack->mapping, stack->mapping_bytes);
    stack->mapping = nullptr;
    stack->mapping_bytes = 0;
}

int crsh_crash_stack_run(const crsh_crash_stack* stack, int (*work)(void* context), void* context)
{
#if CRSH_CRASH_STACK_SWITCHES
    if (stack->mapping != nullptr) {
        const auto top = (reinterpret_cast<std::uintptr_t>(stack->mapping) + stack->mapping_bytes) & ~std::uintptr_t{15};
        return crsh_crash_stack_call(work, context, reinterpret_cast<void*>(top));
    }
#else
    (void)stack;
#endif
    return work(context);
}
