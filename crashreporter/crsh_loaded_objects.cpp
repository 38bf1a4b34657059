// The image list's source on this machine: the phone platform's loader calls back for every image it
// adds; here the process's objects are listed once from the loader's own table, each with its call-frame
// search table and its file's symbol table.
#include "crashreporter/crsh_image_list.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

constexpr std::uint32_t kBuildIdNote = 3; // NT_GNU_BUILD_ID

// The first 16 bytes of the object's GNU build-id (zero-padded when shorter); false when it has none.
bool buildId(const dl_phdr_info* info, std::uint8_t (&uuid)[CRSH_IMAGE_UUID_BYTES])
{
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_NOTE)
            continue;
        const auto* notes = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + header.p_vaddr);
        std::size_t at = 0;
        while (header.p_memsz - at >= sizeof(ElfW(Nhdr))) {
            ElfW(Nhdr) note;
            std::memcpy(&note, notes + at, sizeof note);
            const std::size_t nameBytes = (note.n_namesz + 3) & ~std::size_t{3};
            const std::size_t descBytes = (note.n_descsz + 3) & ~std::size_t{3};
            const std::size_t body = at + sizeof note;
            if (nameBytes > header.p_memsz - body || descBytes > header.p_memsz - body - nameBytes)
                break;
            if (note.n_type == kBuildIdNote && note.n_namesz == 4 && std::memcmp(notes + body, "GNU", 4) == 0) {
                std::memset(uuid, 0, sizeof uuid);
                std::memcpy(uuid, notes + body + nameBytes, std::min<std::size_t>(note.n_descsz, sizeof uuid));
                return true;
            }
            at = body + nameBytes + descBytes;
        }
    }
    return false;
}

int listObject(dl_phdr_info* info, std::size_t, void* context)
{
    auto* list = static_cast<crsh_image_list*>(context);
    ElfW(Addr) first = ~ElfW(Addr){0};
    ElfW(Addr) textEnd = 0;
    crsh_elf_object_source elf{};
    elf.load_bias = info->dlpi_addr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_GNU_EH_FRAME) {
            elf.eh_frame_hdr = info->dlpi_addr + header.p_vaddr;
            elf.eh_frame_hdr_size = header.p_memsz;
        }
        if (header.p_type != PT_LOAD)
            continue;
        first = std::min(first, header.p_vaddr - header.p_offset); // where the file's first byte is loaded
        if ((header.p_flags & PF_X) != 0)
            textEnd = std::max(textEnd, header.p_vaddr + header.p_memsz);
    }
    if (textEnd == 0 || textEnd <= first)
        return 0; // nothing executable: no frame can be in it

    std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (name.empty()) { // the main program
        char path[4096];
        ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        if (length > 0)
            name.assign(path, static_cast<std::size_t>(length));
    }
    std::uint8_t uuid[CRSH_IMAGE_UUID_BYTES];
    const bool hasUuid = buildId(info, uuid);
    // Only a full path names the object's file (the kernel's own object has a bare name and no file).
    elf.path = name.rfind('/', 0) == 0 ? name.c_str() : nullptr;
    elf.build_id = hasUuid ? uuid : nullptr;
    // An object that cannot be listed is left out; the others still are.
    (void)crsh_image_list_append_native(list, info->dlpi_addr + first, textEnd - first, name.c_str(),
                                        hasUuid ? uuid : nullptr, &elf);
    return 0;
}

} // namespace

crsh_error_t crsh_image_list_append_loaded_objects(crsh_image_list* list)
{
    dl_iterate_phdr(listObject, list);
    return CRSH_ERR_NONE;
}
