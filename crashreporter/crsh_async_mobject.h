// A memory object: a private, read-only snapshot of a range of the task's memory, reached through
// bounds-checked accessors. Readers of data they cannot trust (load commands, unwind sections, symbol
// tables) go through one, so that a bad offset is an error code and never a fault.
//
// The snapshot is taken with the checked reads of crsh_async.h (crsh_async_read_prefix) into pages
// reserved with mmap; later changes by the task are not seen. Creation and free are async-signal-safe; every accessor is a pointer check.
// An object is immutable after creation and may be read from any thread; free it exactly once.
#pragma once

#include "crashreporter/crsh_async.h"

// The largest snapshot: a longer range is cut to it, or refused when it must be mapped in full. A build may
// lower it (the fuzz build does, so that inputs aiming segments at large readable neighbours stay fast).
#ifndef CRSH_ASYNC_MOBJECT_MAX_LENGTH_BYTES
#define CRSH_ASYNC_MOBJECT_MAX_LENGTH_BYTES (64 * 1024 * 1024)
#endif
constexpr crsh_vm_size_t CRSH_ASYNC_MOBJECT_MAX_LENGTH = CRSH_ASYNC_MOBJECT_MAX_LENGTH_BYTES;

struct crsh_async_mobject {
    crsh_task_t task;
    std::uintptr_t address;        // where the requested start address is visible here
    crsh_vm_address_t task_address; // the requested start address
    crsh_vm_size_t length;          // the usable length (less than requested when only part was mapped)
    crsh_vm_address_t vm_slide;     // task_address - address, wrapping
    std::uintptr_t vm_address;      // the whole page-aligned mapping, released by free
    std::size_t vm_length;
};

// Maps length bytes at task_address. Without require_full the object ends at the first page that cannot
// be read (CRSH_ERR_NO_MEMORY when not even the first can); with it, any such page fails the creation.
crsh_error_t crsh_async_mobject_init(crsh_async_mobject* object, crsh_task_t task, crsh_vm_address_t task_address,
                                     crsh_vm_size_t length, bool require_full);
void crsh_async_mobject_free(crsh_async_mobject* object);

crsh_vm_address_t crsh_async_mobject_base_address(const crsh_async_mobject* object);
crsh_vm_size_t crsh_async_mobject_length(const crsh_async_mobject* object);
crsh_task_t crsh_async_mobject_task(const crsh_async_mobject* object);

// True when [pointer + offset, pointer + offset + length) lies inside the object, with no overflow.
bool crsh_async_mobject_verify_local_pointer(const crsh_async_mobject* object, std::uintptr_t pointer,
                                             crsh_vm_off_t offset, crsh_vm_size_t length);

// The local pointer of task address + offset when the whole range of length bytes is inside the object.
const void* crsh_async_mobject_remap_address(const crsh_async_mobject* object, crsh_vm_address_t address,
                                             crsh_vm_off_t offset, crsh_vm_size_t length);

// One value at address + offset, converted through the byte order; CRSH_ERR_INVALID_ARGUMENT outside.
crsh_error_t crsh_async_mobject_read_uint8(const crsh_async_mobject* object, crsh_vm_address_t address,
                                           crsh_vm_off_t offset, std::uint8_t* result);
crsh_error_t crsh_async_mobject_read_uint16(const crsh_async_mobject* object, const crsh_async_byteorder* byteorder,
                                            crsh_vm_address_t address, crsh_vm_off_t offset, std::uint16_t* result);
crsh_error_t crsh_async_mobject_read_uint32(const crsh_async_mobject* object, const crsh_async_byteorder* byteorder,
                                            crsh_vm_address_t address, crsh_vm_off_t offset, std::uint32_t* result);
crsh_error_t crsh_async_mobject_read_uint64(const crsh_async_mobject* object, const crsh_async_byteorder* byteorder,
                                            crsh_vm_address_t address, crsh_vm_off_t offset, std::uint64_t* result);
