// The list of loaded images that a crash handler reads: it finds the image holding an address, and lists
// every image in a report, without asking the dynamic loader (which takes locks).
//
// Writers (whoever lists and unlists images) serialise on the list's spin lock. Readers — the crash
// handler, the frame readers, the report writer — take no lock: each brackets its whole use of the list
// and of the records it obtains with crsh_image_list_set_reading(list, true) ... (list, false).
// Image records are never freed while the list lives: a removed one is kept until crsh_image_list_free,
// since a reader may still hold it.
#pragma once

#include "crashreporter/crsh_macho.h"
#include "crashreporter/crsh_safe_list.h"

struct crsh_image_list {
    crsh_task_t task;
    crsh_safe_list<crsh_macho_image*>* list;
    std::atomic<void*> retired; // removed records, kept until the list is freed
};

using crsh_image_list_node = crsh_safe_list<crsh_macho_image*>::Node;

crsh_error_t crsh_image_list_init(crsh_image_list* list, crsh_task_t task);

// Reads the image at header_addr and lists it. On failure (the image's error, or CRSH_ERR_NO_MEMORY when
// no record or node could be had) nothing is listed and nothing is kept.
crsh_error_t crsh_image_list_append(crsh_image_list* list, crsh_vm_address_t header_addr, const char* name);

// Lists an object of this machine's own loader (see crsh_macho_image_init_native).
crsh_error_t crsh_image_list_append_native(crsh_image_list* list, crsh_vm_address_t base, crsh_vm_size_t text_size,
                                           const char* name, const std::uint8_t* uuid,
                                           const crsh_elf_object_source* elf = nullptr);

// Lists every object loaded now, once (outside crash context: it asks the loader, which takes its lock).
// This machine's loader tells nobody of later loads, so objects loaded afterwards are not listed. The
// main program is named by its path; an object's identifier is the first 16 bytes of its GNU build-id.
// Each record knows the object's call-frame search table and, when its file (an absolute path) can be
// read, the file's symbol table.
crsh_error_t crsh_image_list_append_loaded_objects(crsh_image_list* list);

// Unlists the first image whose header is at header_addr; nothing happens when none is listed.
void crsh_image_list_remove(crsh_image_list* list, crsh_vm_address_t header_addr);

void crsh_image_list_set_reading(crsh_image_list* list, bool reading);

// The first image (current none) or the one after current; none at the end.
crsh_macho_image* crsh_image_list_next(crsh_image_list* list, crsh_macho_image* current);

// The first listed image whose __TEXT segment holds address.
crsh_macho_image* crsh_image_list_find(crsh_image_list* list, crsh_vm_address_t address);

// Releases every image record, listed or removed, and the list itself. No reader may be walking.
void crsh_image_list_free(crsh_image_list* list);
