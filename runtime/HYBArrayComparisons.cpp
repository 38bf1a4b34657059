#include "runtime/HYBArrayComparisons.h"

namespace runtime {

platform::Value objectAtIndex(const platform::Array& array, std::size_t index, const platform::Value& defaultValue) {
    if (index >= array.size() || array[index].isNull())
        return defaultValue;
    return array[index];
}

} // namespace runtime
