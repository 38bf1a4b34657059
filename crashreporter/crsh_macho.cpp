#include "crashreporter/crsh_macho.h"

#include "crashreporter/crsh_macho_fields.h"
#include "crashreporter/crsh_sysctl.h"

#include <cstdlib>
#include <cstring>

using namespace crsh_macho_fields;

namespace {

std::uintptr_t commandsEnd(const crsh_macho_image* image)
{
    return image->load_cmds.address + image->load_cmds.length;
}

// The command at local address p when its head and its whole declared size lie inside the mapping.
const crsh_macho_load_command* commandAt(const crsh_macho_image* image, std::uintptr_t p)
{
    if (!crsh_async_mobject_verify_local_pointer(&image->load_cmds, p, 0, sizeof(crsh_macho_load_command)))
        return nullptr;
    const auto* command = reinterpret_cast<const crsh_macho_load_command*>(p);
    std::uint32_t size = load32(image, command, offsetof(crsh_macho_load_command, cmdsize));
    // A command shorter than its head would keep the walk in place for ever.
    if (size < sizeof(crsh_macho_load_command) || !crsh_async_mobject_verify_local_pointer(&image->load_cmds, p, 0, size))
        return nullptr;
    return command;
}

// Where the walk goes after previous (or starts); 0 at the end of the commands.
std::uintptr_t nextCommandAddress(const crsh_macho_image* image, const crsh_macho_load_command* previous)
{
    if (previous == nullptr)
        return image->byteorder->swap32(image->header.sizeofcmds) >= sizeof(crsh_macho_load_command)
                   ? image->load_cmds.address
                   : 0;
    std::uintptr_t next;
    std::uint32_t size = load32(image, previous, offsetof(crsh_macho_load_command, cmdsize));
    if (__builtin_add_overflow(reinterpret_cast<std::uintptr_t>(previous), size, &next) || next >= commandsEnd(image))
        return 0;
    return next;
}

std::uint32_t segmentCommandType(const crsh_macho_image* image)
{
    return image->m64 ? CRSH_LC_SEGMENT_64 : CRSH_LC_SEGMENT;
}

std::size_t segmentFixedSize(const crsh_macho_image* image)
{
    return image->m64 ? kSegmentSize64 : kSegmentSize32;
}

bool hasName(const void* field, const char* name)
{
    return crsh_async_strncmp(static_cast<const char*>(field), name, kNameLength) == 0;
}

// Checks every load command and finds __TEXT. A malformed command anywhere rejects the image.
crsh_error_t readCommands(crsh_macho_image* image)
{
    bool foundText = false;
    const crsh_macho_load_command* command = nullptr;
    for (std::uintptr_t at = nextCommandAddress(image, nullptr); at != 0; at = nextCommandAddress(image, command)) {
        command = commandAt(image, at);
        if (command == nullptr)
            return CRSH_ERR_INVALID_ARGUMENT;
        if (foundText || load32(image, command, 0) != segmentCommandType(image))
            continue;
        if (load32(image, command, 4) < segmentFixedSize(image))
            return CRSH_ERR_INVALID_ARGUMENT;
        if (!hasName(reinterpret_cast<const char*>(command) + kSegmentName, "__TEXT"))
            continue;
        image->text_vmaddr = loadWord(image, command, kSegmentVMAddr, kSegmentVMAddr);
        image->text_size = loadWord(image, command, kSegmentVMSize32, kSegmentVMSize64);
        foundText = true;
    }
    return foundText ? CRSH_ERR_NONE : CRSH_ERR_INVALID_ARGUMENT;
}

void releaseImage(crsh_macho_image* image)
{
    crsh_async_mobject_free(&image->load_cmds);
    if (image->elf.present)
        crsh_elf_object_free(&image->elf);
    image->elf = {};
    std::free(image->name);
    image->name = nullptr;
}

} // namespace

crsh_error_t crsh_macho_image_init(crsh_macho_image* image, crsh_task_t task, const char* name,
                                   crsh_vm_address_t header_addr)
{
    image->task = task;
    image->header_addr = header_addr;
    image->load_cmds = {};
    image->name = nullptr;
    image->has_uuid = false;
    image->elf = {};
    if (name != nullptr && (image->name = crsh_strdup_utf8(name)) == nullptr)
        return CRSH_ERR_NO_MEMORY;

    if (crsh_async_read_addr(task, header_addr, &image->header, sizeof image->header) != CRSH_KERN_SUCCESS) {
        releaseImage(image);
        return CRSH_ERR_INTERNAL;
    }
    switch (image->header.magic) {
    case CRSH_MH_MAGIC:
    case CRSH_MH_MAGIC_64:
        image->byteorder = &crsh_async_byteorder_direct;
        break;
    case CRSH_MH_CIGAM:
    case CRSH_MH_CIGAM_64:
        image->byteorder = &crsh_async_byteorder_swapped;
        break;
    default:
        releaseImage(image);
        return CRSH_ERR_INVALID_ARGUMENT;
    }
    image->m64 = image->header.magic == CRSH_MH_MAGIC_64 || image->header.magic == CRSH_MH_CIGAM_64;
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);

    crsh_vm_address_t commands;
    if (!crsh_async_address_apply_offset(header_addr, image->header_size, &commands)) {
        releaseImage(image);
        return CRSH_ERR_INVALID_ARGUMENT;
    }
    crsh_error_t error = crsh_async_mobject_init(&image->load_cmds, task, commands,
                                                 image->byteorder->swap32(image->header.sizeofcmds), true);
    if (error != CRSH_ERR_NONE) {
        image->load_cmds = {};
        releaseImage(image);
        return error;
    }
    if ((error = readCommands(image)) != CRSH_ERR_NONE) {
        releaseImage(image);
        return error;
    }
    image->vmaddr_slide = header_addr - image->text_vmaddr;
    return CRSH_ERR_NONE;
}

void crsh_macho_image_free(crsh_macho_image* image)
{
    releaseImage(image);
}

crsh_error_t crsh_macho_image_init_native(crsh_macho_image* image, crsh_task_t task, const char* name,
                                          crsh_vm_address_t base, crsh_vm_size_t text_size, const std::uint8_t* uuid,
                                          const crsh_elf_object_source* elf)
{
    image->task = task;
    image->header_addr = base;
    image->vmaddr_slide = base;
    image->load_cmds = {};
    image->name = nullptr;
    image->elf = {};
    if (name != nullptr && (image->name = crsh_strdup_utf8(name)) == nullptr)
        return CRSH_ERR_NO_MEMORY;
    crsh_async_memset(&image->header, 0, sizeof image->header);
    // Only the fields the reader uses: the width and the CPU; no commands.
    image->header.magic = CRSH_MH_MAGIC_64;
#if defined(__aarch64__)
    image->header.cputype = CRSH_CPU_TYPE_ARM64;
#else
    image->header.cputype = CRSH_CPU_TYPE_X86_64;
    image->header.cpusubtype = 3;
#endif
    image->byteorder = &crsh_async_byteorder_direct;
    image->m64 = true;
    image->header_size = 32;
    image->ncmds = 0;
    image->text_vmaddr = 0;
    image->text_size = text_size;
    image->has_uuid = uuid != nullptr;
    if (uuid != nullptr)
        crsh_async_memcpy(image->uuid, uuid, CRSH_IMAGE_UUID_BYTES);
    if (elf != nullptr)
        crsh_elf_object_init(&image->elf, *elf);
    return CRSH_ERR_NONE;
}

bool crsh_macho_image_uuid(const crsh_macho_image* image, std::uint8_t (&uuid)[CRSH_IMAGE_UUID_BYTES])
{
    if (image->has_uuid) {
        crsh_async_memcpy(uuid, image->uuid, CRSH_IMAGE_UUID_BYTES);
        return true;
    }
    const auto* command = crsh_macho_image_find_command(image, CRSH_LC_UUID);
    if (command == nullptr || load32(image, command, 4) < sizeof(crsh_macho_load_command) + CRSH_IMAGE_UUID_BYTES)
        return false;
    crsh_async_memcpy(uuid, reinterpret_cast<const std::uint8_t*>(command) + sizeof(crsh_macho_load_command),
                      CRSH_IMAGE_UUID_BYTES);
    return true;
}

const crsh_macho_load_command* crsh_macho_image_next_command(const crsh_macho_image* image,
                                                             const crsh_macho_load_command* previous)
{
    std::uintptr_t at = nextCommandAddress(image, previous);
    return at != 0 ? commandAt(image, at) : nullptr;
}

const crsh_macho_load_command* crsh_macho_image_find_command_after(const crsh_macho_image* image,
                                                                   const crsh_macho_load_command* previous,
                                                                   std::uint32_t type)
{
    for (const auto* command = crsh_macho_image_next_command(image, previous); command != nullptr;
         command = crsh_macho_image_next_command(image, command)) {
        if (load32(image, command, 0) == type)
            return command;
    }
    return nullptr;
}

const crsh_macho_load_command* crsh_macho_image_find_command(const crsh_macho_image* image, std::uint32_t type)
{
    return crsh_macho_image_find_command_after(image, nullptr, type);
}

const crsh_macho_load_command* crsh_macho_image_find_segment_command(const crsh_macho_image* image,
                                                                     const char* segname)
{
    const std::uint32_t type = segmentCommandType(image);
    for (const auto* command = crsh_macho_image_find_command(image, type); command != nullptr;
         command = crsh_macho_image_find_command_after(image, command, type)) {
        if (load32(image, command, 4) < segmentFixedSize(image))
            continue;
        if (hasName(reinterpret_cast<const char*>(command) + kSegmentName, segname))
            return command;
    }
    return nullptr;
}

crsh_error_t crsh_macho_image_map_segment(const crsh_macho_image* image, const char* segname,
                                          crsh_macho_segment* segment)
{
    const auto* command = crsh_macho_image_find_segment_command(image, segname);
    if (command == nullptr)
        return CRSH_ERR_NOT_FOUND;
    crsh_vm_address_t start = image->vmaddr_slide + loadWord(image, command, kSegmentVMAddr, kSegmentVMAddr);
    crsh_vm_size_t size = loadWord(image, command, kSegmentVMSize32, kSegmentVMSize64);
    crsh_error_t error = crsh_async_mobject_init(&segment->mobj, image->task, start, size, false);
    if (error != CRSH_ERR_NONE)
        return error;
    segment->fileoff = loadWord(image, command, kSegmentFileOff32, kSegmentFileOff64);
    segment->filesize = loadWord(image, command, kSegmentFileSize32, kSegmentFileSize64);
    return CRSH_ERR_NONE;
}

void crsh_macho_segment_free(crsh_macho_segment* segment)
{
    crsh_async_mobject_free(&segment->mobj);
}

crsh_error_t crsh_macho_image_map_section(const crsh_macho_image* image, const char* segname, const char* sectname,
                                          crsh_async_mobject* mobj)
{
    const auto* command = crsh_macho_image_find_segment_command(image, segname);
    if (command == nullptr)
        return CRSH_ERR_NOT_FOUND;
    const std::size_t fixed = segmentFixedSize(image);
    const std::size_t sectionSize = image->m64 ? kSectionSize64 : kSectionSize32;
    const std::uint32_t count = load32(image, command, image->m64 ? kSegmentNSects64 : kSegmentNSects32);
    const std::uint32_t commandSize = load32(image, command, 4);
    // The section headers must lie inside their own command (which lies inside the mapping).
    if (count > (commandSize - fixed) / sectionSize)
        return CRSH_ERR_INVALID_ARGUMENT;
    const char* section = reinterpret_cast<const char*>(command) + fixed;
    for (std::uint32_t i = 0; i < count; ++i, section += sectionSize) {
        if (!hasName(section + kSectionName, sectname))
            continue;
        crsh_vm_address_t start = image->vmaddr_slide + loadWord(image, section, kSectionAddr, kSectionAddr);
        crsh_vm_size_t size = loadWord(image, section, kSectionLength32, kSectionLength64);
        return crsh_async_mobject_init(mobj, image->task, start, size, true);
    }
    return CRSH_ERR_NOT_FOUND;
}

bool crsh_macho_image_contains_address(const crsh_macho_image* image, crsh_vm_address_t address)
{
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

std::int32_t crsh_macho_image_cpu_type(const crsh_macho_image* image)
{
    return static_cast<std::int32_t>(image->byteorder->swap32(static_cast<std::uint32_t>(image->header.cputype)));
}

std::int32_t crsh_macho_image_cpu_subtype(const crsh_macho_image* image)
{
    return static_cast<std::int32_t>(image->byteorder->swap32(static_cast<std::uint32_t>(image->header.cpusubtype)));
}

const crsh_macho_header* crsh_macho_image_header(const crsh_macho_image* image)
{
    return &image->header;
}

std::uint32_t crsh_macho_image_header_size(const crsh_macho_image* image)
{
    return image->header_size;
}

const crsh_async_byteorder* crsh_macho_image_byteorder(const crsh_macho_image* image)
{
    return image->byteorder;
}

bool crsh_macho_image_is_arm64(const crsh_macho_image* image)
{
    return crsh_macho_image_cpu_type(image) == CRSH_CPU_TYPE_ARM64;
}
