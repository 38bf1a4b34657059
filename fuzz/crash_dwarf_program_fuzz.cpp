// Call-frame instructions and DWARF expressions over arbitrary bytes: the input is split into a CIE's and
// an FDE's instruction blocks that run up to a chosen target and are applied to a fixed arm64 state, whose
// stack and frame pointers point into a small fake stack; the whole input also runs as an expression.
// The first byte picks the width and byte order and the split; the second the target.
// No crash, no sanitizer report. Corpus: fuzz/corpus/crash_dwarf_program_fuzz/.
#include "crashreporter/crsh_dwarf_unwind.h"

#include "GuardedInput.h"

#include <unistd.h>

namespace {

constexpr std::size_t kMaxInput = 1 << 12;

std::uint64_t fakeStack[64];

template <typename machine_ptr>
void run(const crsh_async_mobject* mobj, const crsh_async_byteorder* byteorder, std::size_t split, std::uint8_t target,
         const crsh_thread_state* current)
{
    const crsh_vm_address_t base = crsh_async_mobject_base_address(mobj);
    const std::size_t length = static_cast<std::size_t>(crsh_async_mobject_length(mobj));
    crsh_dwarf_cie_info cie{};
    cie.code_alignment_factor = 4;
    cie.data_alignment_factor = -8;
    cie.return_address_register = 30;
    cie.has_eh_augmentation = true;
    cie.has_pointer_encoding = true;
    cie.pointer_encoding = CRSH_DW_EH_PE_pcrel | CRSH_DW_EH_PE_sdata4;
    crsh_dwarf_ptr_state ptrState{};
    ptrState.byteorder = byteorder;
    ptrState.frame_section_base = {true, base, 0x1000};

    crsh_dwarf_cfa_state state;
    crsh_dwarf_cfa_state_init(&state);
    const machine_ptr location = 0x1000;
    const machine_ptr targetAddress = static_cast<machine_ptr>(location + 4 * target);
    if (crsh_dwarf_cfa_eval_program<machine_ptr>(&state, mobj, &targetAddress, location, &cie, &ptrState, byteorder,
                                                 base, 0, split) == CRSH_ERR_NONE &&
        crsh_dwarf_cfa_eval_program<machine_ptr>(&state, mobj, &targetAddress, location, &cie, &ptrState, byteorder,
                                                 base, split, length - split) == CRSH_ERR_NONE) {
        crsh_thread_state next;
        (void)crsh_dwarf_cfa_apply<machine_ptr>(&state, getpid(), &cie, current, byteorder, &next);
    }
    // Without a target, every instruction runs.
    crsh_dwarf_cfa_state_init(&state);
    (void)crsh_dwarf_cfa_eval_program<machine_ptr>(&state, mobj, nullptr, location, &cie, nullptr, byteorder, base, 0,
                                                   length);

    const machine_ptr initial[2] = {static_cast<machine_ptr>(reinterpret_cast<std::uintptr_t>(&fakeStack[8])),
                                    static_cast<machine_ptr>(target)};
    machine_ptr result;
    (void)crsh_dwarf_expression_eval<machine_ptr>(mobj, getpid(), current, byteorder, base, 0,
                                                  static_cast<crsh_vm_off_t>(length), initial, 2, &result);
    (void)crsh_dwarf_expression_eval<machine_ptr>(mobj, getpid(), current, byteorder, base,
                                                  static_cast<crsh_vm_off_t>(split),
                                                  static_cast<crsh_vm_off_t>(length - split), nullptr, 0, &result);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3 || size > kMaxInput + 2)
        return 0;
    const std::uint8_t flags = data[0];
    const std::uint8_t target = data[1];
    const std::size_t length = size - 2;
    const std::size_t split = (flags >> 2) % (length + 1);
    const crsh_async_byteorder* byteorder =
        (flags & 2) != 0 ? &crsh_async_byteorder_swapped : &crsh_async_byteorder_direct;
    for (std::size_t i = 0; i < 64; ++i)
        fakeStack[i] = reinterpret_cast<std::uintptr_t>(&fakeStack[(i * 7) % 64]);
    std::uint8_t* start = fuzzsupport::GuardedInput<kMaxInput>::place(data + 2, length);
    crsh_async_mobject mobj;
    if (crsh_async_mobject_init(&mobj, getpid(), reinterpret_cast<crsh_vm_address_t>(start), length, true) !=
        CRSH_ERR_NONE)
        return 0;

    crsh_thread_state current;
    (void)crsh_thread_state_init(&current, CRSH_CPU_TYPE_ARM64);
    const auto stack = reinterpret_cast<std::uint64_t>(&fakeStack[0]);
    for (crsh_regnum_t i = 3; i < CRSH_ARM64_REG_COUNT; ++i)
        crsh_thread_state_set_reg(&current, i, 0x1000 * i);
    crsh_thread_state_set_reg(&current, CRSH_REG_IP, 0x1000 + 4 * target);
    crsh_thread_state_set_reg(&current, CRSH_REG_SP, stack + 16 * sizeof(std::uint64_t));
    crsh_thread_state_set_reg(&current, CRSH_REG_FP, stack + 32 * sizeof(std::uint64_t));
    if ((flags & 1) != 0)
        run<std::uint64_t>(&mobj, byteorder, split, target, &current);
    else
        run<std::uint32_t>(&mobj, byteorder, split, target, &current);
    crsh_async_mobject_free(&mobj);
    return 0;
}
