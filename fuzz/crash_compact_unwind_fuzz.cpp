// Compact unwind data over arbitrary bytes taken as an __unwind_info section: the section reader for each
// CPU type, the lookup of several addresses, decoding every encoding found for arm64, x86-64 and x86,
// applying the arm64 entries to a state over a small fake stack, and the x86 register permutations.
// No crash, no sanitizer report. Corpus: fuzz/corpus/crash_compact_unwind_fuzz/.
#include "crashreporter/crsh_compact_unwind.h"

#include "GuardedInput.h"

#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr std::size_t kMaxInput = 1 << 16;

std::uint64_t fakeStack[64];

void decodeAndApply(std::uint32_t functionOffset, std::uint32_t encoding)
{
    for (std::int32_t cpu : {CRSH_CPU_TYPE_ARM64, CRSH_CPU_TYPE_X86_64, CRSH_CPU_TYPE_X86}) {
        crsh_cu_entry entry;
        if (crsh_cu_entry_decode(&entry, cpu, encoding) != CRSH_ERR_NONE)
            continue;
        crsh_thread_state current;
        (void)crsh_thread_state_init(&current, CRSH_CPU_TYPE_ARM64);
        const auto stack = reinterpret_cast<std::uint64_t>(&fakeStack[0]);
        crsh_thread_state_set_reg(&current, CRSH_REG_IP, 0x100000 + functionOffset);
        crsh_thread_state_set_reg(&current, CRSH_REG_SP, stack);
        crsh_thread_state_set_reg(&current, CRSH_REG_FP, stack + 32 * sizeof(std::uint64_t));
        crsh_thread_state_set_reg(&current, CRSH_ARM64_LR, 0x200000);
        crsh_thread_state next;
        (void)crsh_cu_entry_apply(getpid(), stack, &current, &entry, &next);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size > kMaxInput)
        return 0;
    for (std::size_t i = 0; i < 64; ++i)
        fakeStack[i] = 0x1000 * i;
    std::uint8_t* start = fuzzsupport::GuardedInput<kMaxInput>::place(data, size);
    const auto base = reinterpret_cast<crsh_vm_address_t>(start);
    crsh_async_mobject mobj;
    if (crsh_async_mobject_init(&mobj, getpid(), base, size, true) != CRSH_ERR_NONE)
        return 0;

    std::uint32_t chosen = 0;
    std::memcpy(&chosen, data, size < sizeof chosen ? size : sizeof chosen);
    for (const crsh_async_byteorder* byteorder : {&crsh_async_byteorder_direct, &crsh_async_byteorder_swapped}) {
        for (std::int32_t cpu : {CRSH_CPU_TYPE_ARM64, CRSH_CPU_TYPE_X86_64, CRSH_CPU_TYPE_X86, CRSH_CPU_TYPE_ARM}) {
            crsh_cu_reader reader;
            if (crsh_cu_reader_init(&reader, &mobj, byteorder, cpu) != CRSH_ERR_NONE)
                continue;
            for (std::uint32_t address : {0u, 1u, 0x1000u, 0x7FFFFFu, chosen, chosen >> 8, ~0u}) {
                std::uint32_t functionOffset;
                std::uint32_t encoding;
                if (crsh_cu_reader_find(&reader, address, &functionOffset, &encoding) == CRSH_ERR_NONE)
                    decodeAndApply(functionOffset, encoding);
            }
            crsh_cu_reader_free(&reader);
        }
    }
    // Every word of the input as an encoding and as a permutation.
    for (std::size_t i = 0; i + 4 <= size && i < 256; i += 4) {
        std::uint32_t word;
        std::memcpy(&word, data + i, 4);
        decodeAndApply(word >> 8, word);
        std::uint32_t registers[6];
        (void)crsh_cu_permutation_decode(word & 0x3FF, (word >> 10) & 7, registers);
    }
    crsh_async_mobject_free(&mobj);
    return 0;
}
