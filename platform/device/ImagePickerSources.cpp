#include "platform/device/ImagePickerSources.h"

#include <array>
#include <atomic>
#include <cstddef>

namespace platform {

namespace {

constexpr std::size_t kSourceCount = 3;

std::array<std::atomic<bool>, kSourceCount>& availability() {
    static std::array<std::atomic<bool>, kSourceCount> sources{true, true, true};
    return sources;
}

std::atomic<bool>* slot(ImagePickerSourceType type) {
    const auto index = static_cast<std::size_t>(type);
    return index < kSourceCount ? &availability()[index] : nullptr;
}

} // namespace

bool ImagePickerSources::isSourceTypeAvailable(ImagePickerSourceType type) {
    const std::atomic<bool>* source = slot(type);
    return source && source->load();
}

void ImagePickerSources::setSourceTypeAvailable(ImagePickerSourceType type, bool available) {
    if (std::atomic<bool>* source = slot(type))
        source->store(available);
}

void ImagePickerSources::resetToDefaults() {
    for (std::atomic<bool>& source : availability())
        source.store(true);
}

} // namespace platform
