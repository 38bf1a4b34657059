#include "crashreporter/crsh_async_mobject.h"

#include <sys/mman.h>

#include <cerrno>

namespace {

template <typename T>
crsh_error_t readValue(const crsh_async_mobject* object, T (*convert)(T), crsh_vm_address_t address,
                       crsh_vm_off_t offset, T* result)
{
    const void* local = crsh_async_mobject_remap_address(object, address, offset, sizeof(T));
    if (local == nullptr)
        return CRSH_ERR_INVALID_ARGUMENT;
    *result = convert(crsh_async_load<T>(local));
    return CRSH_ERR_NONE;
}

} // namespace

crsh_error_t crsh_async_mobject_init(crsh_async_mobject* object, crsh_task_t task, crsh_vm_address_t task_address,
                                     crsh_vm_size_t length, bool require_full)
{
    const crsh_vm_address_t mask = crsh_async_page_size() - 1;
    if (length == 0)
        return CRSH_ERR_INVALID_ARGUMENT;
    crsh_vm_address_t end;
    if (__builtin_add_overflow(task_address, length, &end) || __builtin_add_overflow(end, mask, &end))
        return CRSH_ERR_INVALID_ARGUMENT;
    const crsh_vm_address_t pageStart = task_address & ~mask;
    crsh_vm_size_t total = (end & ~mask) - pageStart;
    // The snapshot is a copy: a length that comes from an image is bounded before memory is spent on it.
    if (total > CRSH_ASYNC_MOBJECT_MAX_LENGTH) {
        if (require_full)
            return CRSH_ERR_NO_MEMORY;
        total = CRSH_ASYNC_MOBJECT_MAX_LENGTH;
    }

    int savedErrno = errno;
    void* reservation = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reservation == MAP_FAILED) {
        errno = savedErrno;
        return CRSH_ERR_INTERNAL;
    }
    std::size_t covered = crsh_async_read_prefix(task, pageStart, reservation, total) & ~static_cast<std::size_t>(mask);
    const crsh_vm_size_t inPage = task_address - pageStart;
    if (covered <= inPage || (require_full && covered < total)) {
        munmap(reservation, total);
        errno = savedErrno;
        return CRSH_ERR_NO_MEMORY;
    }
    if (covered < total)
        munmap(static_cast<char*>(reservation) + covered, total - covered);
    mprotect(reservation, covered, PROT_READ);
    errno = savedErrno;

    object->task = task;
    object->vm_address = reinterpret_cast<std::uintptr_t>(reservation);
    object->vm_length = covered;
    object->address = object->vm_address + inPage;
    object->task_address = task_address;
    object->length = length < covered - inPage ? length : covered - inPage;
    object->vm_slide = task_address - object->address;
    return CRSH_ERR_NONE;
}

void crsh_async_mobject_free(crsh_async_mobject* object)
{
    if (object->vm_address == 0)
        return;
    int savedErrno = errno;
    munmap(reinterpret_cast<void*>(object->vm_address), object->vm_length);
    errno = savedErrno;
    object->vm_address = 0;
    object->vm_length = 0;
    object->length = 0;
}

crsh_vm_address_t crsh_async_mobject_base_address(const crsh_async_mobject* object)
{
    return object->task_address;
}

crsh_vm_size_t crsh_async_mobject_length(const crsh_async_mobject* object)
{
    return object->length;
}

crsh_task_t crsh_async_mobject_task(const crsh_async_mobject* object)
{
    return object->task;
}

bool crsh_async_mobject_verify_local_pointer(const crsh_async_mobject* object, std::uintptr_t pointer,
                                             crsh_vm_off_t offset, crsh_vm_size_t length)
{
    crsh_vm_address_t start;
    if (!crsh_async_address_apply_offset(pointer, offset, &start))
        return false;
    if (start < object->address)
        return false;
    crsh_vm_address_t end;
    if (__builtin_add_overflow(start, length, &end))
        return false;
    return end <= object->address + object->length;
}

const void* crsh_async_mobject_remap_address(const crsh_async_mobject* object, crsh_vm_address_t address,
                                             crsh_vm_off_t offset, crsh_vm_size_t length)
{
    // Checked in task addresses, so that nothing wraps on the way into the mapping.
    crsh_vm_address_t start;
    if (!crsh_async_address_apply_offset(address, offset, &start))
        return nullptr;
    if (start < object->task_address)
        return nullptr;
    crsh_vm_size_t into = start - object->task_address;
    if (into > object->length || length > object->length - into)
        return nullptr;
    return reinterpret_cast<const void*>(object->address + into);
}

crsh_error_t crsh_async_mobject_read_uint8(const crsh_async_mobject* object, crsh_vm_address_t address,
                                           crsh_vm_off_t offset, std::uint8_t* result)
{
    return readValue<std::uint8_t>(object, [](std::uint8_t value) { return value; }, address, offset, result);
}

crsh_error_t crsh_async_mobject_read_uint16(const crsh_async_mobject* object, const crsh_async_byteorder* byteorder,
                                            crsh_vm_address_t address, crsh_vm_off_t offset, std::uint16_t* result)
{
    return readValue(object, byteorder->swap16, address, offset, result);
}

crsh_error_t crsh_async_mobject_read_uint32(const crsh_async_mobject* object, const crsh_async_byteorder* byteorder,
                                            crsh_vm_address_t address, crsh_vm_off_t offset, std::uint32_t* result)
{
    return readValue(object, byteorder->swap32, address, offset, result);
}

crsh_error_t crsh_async_mobject_read_uint64(const crsh_async_mobject* object, const crsh_async_byteorder* byteorder,
                                            crsh_vm_address_t address, crsh_vm_off_t offset, std::uint64_t* result)
{
    return readValue(object, byteorder->swap64, address, offset, result);
}
