// Reads arbitrary bytes as a property list (either form); whatever reads must write in binary form and
// read back to the same value.
#include "platform/PropertyList.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool hasNaN(const platform::Value& v) {
    if (const double* d = v.getDouble())
        return std::isnan(*d);
    for (const auto& item : v.arrayOrEmpty())
        if (hasNaN(item))
            return true;
    for (const auto& entry : v.dictionaryOrEmpty())
        if (hasNaN(entry.value))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto value = platform::PropertyList::read(bytes);
    if (!value.ok())
        return 0;
    auto written = platform::PropertyList::write(value.value(), platform::PropertyList::Format::Binary);
    if (!written.ok())
        return 0; // e.g. strings with NUL bytes or dates out of range: refused, not corrupted
    auto again = platform::PropertyList::read(written.value());
    if (!again.ok())
        std::abort();
    if (!hasNaN(value.value()) && !(again.value() == value.value()))
        std::abort();
    return 0;
}
