#include "crashreporter/crsh_image_list.h"

#include <new>

namespace {

// A removed record waits here until the whole list is freed.
struct RetiredImage {
    crsh_macho_image image;
    RetiredImage* retired_next = nullptr;
};

RetiredImage* retiredOf(crsh_macho_image* image)
{
    // Every record is allocated as the first member of a RetiredImage.
    return reinterpret_cast<RetiredImage*>(image);
}

void releaseRecord(crsh_macho_image* image)
{
    crsh_macho_image_free(image);
    delete retiredOf(image);
}

} // namespace

crsh_error_t crsh_image_list_init(crsh_image_list* list, crsh_task_t task)
{
    list->task = task;
    list->retired.store(nullptr);
    list->list = new (std::nothrow) crsh_safe_list<crsh_macho_image*>();
    return list->list != nullptr ? CRSH_ERR_NONE : CRSH_ERR_NO_MEMORY;
}

namespace {

template <typename Init>
crsh_error_t appendRecord(crsh_image_list* list, Init init)
{
    auto* record = new (std::nothrow) RetiredImage();
    if (record == nullptr)
        return CRSH_ERR_NO_MEMORY;
    crsh_error_t error = init(&record->image);
    if (error != CRSH_ERR_NONE) {
        delete record;
        return error;
    }
    if (!list->list->append(&record->image)) {
        releaseRecord(&record->image);
        return CRSH_ERR_NO_MEMORY;
    }
    return CRSH_ERR_NONE;
}

} // namespace

crsh_error_t crsh_image_list_append(crsh_image_list* list, crsh_vm_address_t header_addr, const char* name)
{
    return appendRecord(list, [&](crsh_macho_image* image) {
        return crsh_macho_image_init(image, list->task, name, header_addr);
    });
}

crsh_error_t crsh_image_list_append_native(crsh_image_list* list, crsh_vm_address_t base, crsh_vm_size_t text_size,
                                           const char* name, const std::uint8_t* uuid,
                                           const crsh_elf_object_source* elf)
{
    return appendRecord(list, [&](crsh_macho_image* image) {
        return crsh_macho_image_init_native(image, list->task, name, base, text_size, uuid, elf);
    });
}

void crsh_image_list_remove(crsh_image_list* list, crsh_vm_address_t header_addr)
{
    // Found and unlinked under the writers' lock, so a removal is never missed by a walk that another
    // writer's change led astray, and two writers removing one image retire it once. Announced as a
    // reader meanwhile, so the unlinked node always goes to the free list for the next append.
    crsh_macho_image* image = nullptr;
    list->list->setReading(true);
    const bool removed = list->list->removeFirst(
        [&](crsh_macho_image* candidate) { return candidate->header_addr == header_addr; }, image);
    list->list->setReading(false);
    if (!removed)
        return;
    RetiredImage* retired = retiredOf(image);
    void* first = list->retired.load(std::memory_order_relaxed);
    do {
        retired->retired_next = static_cast<RetiredImage*>(first);
    } while (!list->retired.compare_exchange_weak(first, retired, std::memory_order_release, std::memory_order_relaxed));
}

void crsh_image_list_set_reading(crsh_image_list* list, bool reading)
{
    list->list->setReading(reading);
}

crsh_macho_image* crsh_image_list_next(crsh_image_list* list, crsh_macho_image* current)
{
    crsh_image_list_node* node;
    if (current == nullptr) {
        node = list->list->head();
    } else {
        auto* currentNode = static_cast<crsh_image_list_node*>(current->node.load(std::memory_order_acquire));
        if (currentNode == nullptr)
            return nullptr;
        node = crsh_safe_list<crsh_macho_image*>::next(currentNode);
    }
    if (node == nullptr)
        return nullptr;
    crsh_macho_image* image = crsh_safe_list<crsh_macho_image*>::value(node);
    // A record keeps the first node it was reached through.
    void* expected = nullptr;
    image->node.compare_exchange_strong(expected, node, std::memory_order_acq_rel);
    return image;
}

crsh_macho_image* crsh_image_list_find(crsh_image_list* list, crsh_vm_address_t address)
{
    for (crsh_macho_image* image = crsh_image_list_next(list, nullptr); image != nullptr;
         image = crsh_image_list_next(list, image)) {
        if (crsh_macho_image_contains_address(image, address))
            return image;
    }
    return nullptr;
}

void crsh_image_list_free(crsh_image_list* list)
{
    if (list->list == nullptr)
        return;
    list->list->setReading(true);
    for (auto* node = list->list->head(); node != nullptr; node = crsh_safe_list<crsh_macho_image*>::next(node))
        releaseRecord(crsh_safe_list<crsh_macho_image*>::value(node));
    list->list->setReading(false);
    auto* retired = static_cast<RetiredImage*>(list->retired.exchange(nullptr));
    while (retired != nullptr) {
        RetiredImage* following = retired->retired_next;
        releaseRecord(&retired->image);
        retired = following;
    }
    delete list->list;
    list->list = nullptr;
}
