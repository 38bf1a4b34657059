// The Mach-O image reader over arbitrary bytes placed in memory as an image: record creation, the
// load-command walk, segment and section mapping, symbol lookup by pc and by name, and the image list.
// No crash, no sanitizer report. Corpus: fuzz/corpus/crash_macho_fuzz/.
#include "crashreporter/crsh_image_list.h"
#include "crashreporter/crsh_macho.h"

#include "GuardedInput.h"

#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr std::size_t kMaxInput = 1 << 20;

void ignoreSymbol(crsh_vm_address_t, const char* name, void*)
{
    // Touch every byte of the name: it must lie inside the string table.
    volatile std::size_t length = std::strlen(name);
    (void)length;
}

void exercise(const crsh_macho_image* image)
{
    int commands = 0;
    for (const auto* command = crsh_macho_image_next_command(image, nullptr); command != nullptr && commands < 100000;
         command = crsh_macho_image_next_command(image, command))
        ++commands;
    crsh_macho_image_find_command_after(image, crsh_macho_image_find_command(image, CRSH_LC_SYMTAB), CRSH_LC_DYSYMTAB);

    crsh_macho_segment segment;
    for (const char* name : {"__TEXT", "__LINKEDIT", "__DATA"}) {
        if (crsh_macho_image_map_segment(image, name, &segment) == CRSH_ERR_NONE)
            crsh_macho_segment_free(&segment);
    }
    crsh_async_mobject section;
    for (const char* name : {"__text", "__eh_frame", "__unwind_info"}) {
        if (crsh_macho_image_map_section(image, "__TEXT", name, &section) == CRSH_ERR_NONE)
            crsh_async_mobject_free(&section);
    }

    const crsh_vm_address_t header = image->header_addr;
    // Each lookup scans the whole symbol table: two are enough to reach every path.
    for (crsh_vm_address_t pc : {header + image->text_size / 2, image->vmaddr_slide + 0x1000}) {
        (void)crsh_macho_find_symbol_by_pc(image, pc, ignoreSymbol, nullptr);
        (void)crsh_macho_image_contains_address(image, pc);
    }
    crsh_vm_address_t address;
    (void)crsh_macho_find_symbol_by_name(image, "_main", &address);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kMaxInput)
        return 0;
    std::uint8_t* start = fuzzsupport::GuardedInput<kMaxInput>::place(data, size);
    const auto header = reinterpret_cast<crsh_vm_address_t>(start);

    crsh_macho_image image{};
    if (crsh_macho_image_init(&image, getpid(), "fuzz", header) == CRSH_ERR_NONE) {
        exercise(&image);
        crsh_macho_image_free(&image);
    }

    crsh_image_list list{};
    if (crsh_image_list_init(&list, getpid()) != CRSH_ERR_NONE)
        return 0;
    (void)crsh_image_list_append(&list, header, "fuzz");
    crsh_image_list_set_reading(&list, true);
    (void)crsh_image_list_find(&list, header + 0x100);
    crsh_image_list_set_reading(&list, false);
    crsh_image_list_remove(&list, header);
    crsh_image_list_free(&list);
    return 0;
}
