// A defaulting read of an array element.
#pragma once

#include "platform/core/Value.h"

#include <cstddef>

namespace runtime {

// The element at the index when the index is inside the array and the element is not null; the
// default otherwise.
platform::Value objectAtIndex(const platform::Array& array, std::size_t index, const platform::Value& defaultValue);

} // namespace runtime
