// This machine's objects from bytes: the first input byte picks what the rest is.
// - Even: an object's file. It is written to a memory file and read as a listed object would be (header,
//   section headers, build-id notes, the symbol and string tables mapped), then symbols are looked up.
// - Odd: an .eh_frame_hdr search table in memory. The table is searched for several addresses, and the
//   DWARF frame reader unwinds a frame through it (the FDE it names may point anywhere: reads are checked).
// No crash, no sanitizer report, no hang. Corpus: fuzz/corpus/crash_elf_fuzz/.
#include "crashreporter/crsh_dwarf_unwind.h"
#include "crashreporter/crsh_elf.h"
#include "crashreporter/crsh_image_list.h"

#include "GuardedInput.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr std::size_t kMaxInput = 1 << 16;
constexpr std::uint64_t kBias = 0x100000;

void ignoreSymbol(crsh_vm_address_t, const char*, void*) {}

void readObjectFile(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("object", MFD_CLOEXEC);
    if (fd < 0)
        return;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const std::uint8_t buildId[16] = {};
        for (const std::uint8_t* id : {static_cast<const std::uint8_t*>(nullptr), buildId}) {
            crsh_elf_object object;
            crsh_elf_object_source source{};
            source.load_bias = kBias;
            source.path = path.c_str();
            source.build_id = id;
            crsh_elf_object_init(&object, source);
            for (std::uint64_t pc : {kBias, kBias + 0x1000, kBias + 0x123456, ~std::uint64_t{0}, std::uint64_t{0}})
                for (std::size_t characters : {std::size_t{1}, std::size_t{16}, std::size_t{255}})
                    (void)crsh_elf_find_symbol_by_pc(&object, pc, characters, ignoreSymbol, nullptr);
            crsh_elf_object_free(&object);
        }
    }
    close(fd);
}

void searchTable(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t* table = fuzzsupport::GuardedInput<kMaxInput>::place(data, size);
    const auto start = reinterpret_cast<crsh_vm_address_t>(table);
    crsh_elf_object object{};
    object.present = true;
    object.eh_frame_hdr = start;
    object.eh_frame_hdr_size = size;
    for (crsh_vm_address_t pc : {start, start + size / 2, start + 0x10000, crsh_vm_address_t{0}, ~crsh_vm_address_t{0}}) {
        crsh_vm_address_t fde;
        (void)crsh_elf_find_fde(getpid(), &object, pc, &fde);
    }

    // A listed object whose code is the page range the table claims, unwound from inside it.
    crsh_image_list list;
    if (crsh_image_list_init(&list, getpid()) != CRSH_ERR_NONE)
        return;
    crsh_elf_object_source source{};
    source.eh_frame_hdr = start;
    source.eh_frame_hdr_size = size;
    if (crsh_image_list_append_native(&list, start & ~crsh_vm_address_t{0xFFF}, 0x20000, "fuzz", nullptr, &source) ==
        CRSH_ERR_NONE) {
        crsh_thread_state current;
        (void)crsh_thread_state_init(&current, CRSH_CPU_TYPE_X86_64);
        crsh_thread_state_set_reg(&current, CRSH_REG_IP, start + size / 2);
        crsh_thread_state_set_reg(&current, CRSH_REG_SP, start);
        crsh_thread_state_set_reg(&current, CRSH_REG_FP, start);
        crsh_thread_state next;
        (void)crsh_frame_read_dwarf_unwind(getpid(), &list, &current, nullptr, &next);
        (void)crsh_frame_read_dwarf_unwind(getpid(), &list, &current, &current, &next);
    }
    crsh_image_list_free(&list);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1 || size > kMaxInput + 1)
        return 0;
    if ((data[0] & 1) == 0)
        readObjectFile(data + 1, size - 1);
    else
        searchTable(data + 1, size - 1);
    return 0;
}
