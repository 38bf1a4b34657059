// Header lists out of libsoup's header objects (private to the engine).
#pragma once

#include "webengine/RoutedRequest.h"

typedef struct _SoupMessageHeaders SoupMessageHeaders;

namespace webengine {

// The headers in their order; empty for null.
HeaderList headerListOf(SoupMessageHeaders* headers);

} // namespace webengine
