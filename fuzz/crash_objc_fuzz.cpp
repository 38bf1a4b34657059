// The class-metadata reader over arbitrary bytes placed in memory as an image: the method walk, method
// lookup and symbol lookup by both strategies. Pointer words of the __DATA segment that fall inside the
// input are taken as offsets into it and slid to its placed address, as a loader would, so that the
// fuzzer can reach real class, category and method-list records. No crash, no sanitizer report.
// Corpus: fuzz/corpus/crash_objc_fuzz/ (the class-metadata test image).
#include "crashreporter/crsh_objc.h"

#include "GuardedInput.h"

#include <unistd.h>

#include <cstring>

namespace {

constexpr std::size_t kMaxInput = 1 << 20;

void touchName(crsh_vm_address_t, const char* name, void*)
{
    volatile std::size_t length = std::strlen(name);
    (void)length;
}

void touchMethod(bool, crsh_objc_string* className, crsh_objc_string* methodName, crsh_vm_address_t, void*)
{
    const char* text = nullptr;
    for (crsh_objc_string* string : {className, methodName}) {
        if (crsh_objc_string_pointer(string, &text) == CRSH_ERR_NONE) {
            volatile std::size_t length = std::strlen(text);
            (void)length;
        }
    }
}

// Slides the __DATA segment's words that hold offsets inside the input.
void slide(const crsh_macho_image* image, std::uint8_t* start, std::size_t size)
{
    crsh_macho_segment data;
    if (crsh_macho_image_map_segment(image, "__DATA", &data) != CRSH_ERR_NONE)
        return;
    std::uint64_t first = data.fileoff;
    std::uint64_t end = data.fileoff + data.filesize;
    crsh_macho_segment_free(&data);
    if (first >= size || end < first)
        return;
    end = end > size ? size : end;
    for (std::uint64_t offset = first; offset + 8 <= end; offset += 8) {
        std::uint64_t word;
        std::memcpy(&word, start + offset, sizeof word);
        if (word != 0 && word < size) {
            word += reinterpret_cast<std::uint64_t>(start);
            std::memcpy(start + offset, &word, sizeof word);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kMaxInput)
        return 0;
    std::uint8_t* start = fuzzsupport::GuardedInput<kMaxInput>::place(data, size);
    crsh_macho_image image{};
    if (crsh_macho_image_init(&image, getpid(), "fuzz", reinterpret_cast<crsh_vm_address_t>(start)) != CRSH_ERR_NONE)
        return 0;
    slide(&image, start, size);

    crsh_objc_cache cache;
    (void)crsh_objc_cache_init(&cache);
    (void)crsh_objc_enumerate_methods(&image, &cache, touchMethod, nullptr);
    const crsh_vm_address_t pc = image.header_addr + size / 2;
    (void)crsh_find_symbol(&image, CRSH_SYMBOL_STRATEGY_SYMBOL_TABLE | CRSH_SYMBOL_STRATEGY_OBJC, &cache, pc,
                           touchName, nullptr);
    crsh_objc_cache_free(&cache);
    crsh_macho_image_free(&image);
    return 0;
}
