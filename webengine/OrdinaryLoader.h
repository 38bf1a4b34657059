// Loads a page's sub-resource the ordinary way when no URL protocol of the application takes it: file URLs
// from disk (streamed), http and https through libsoup; any other scheme fails as unsupported.
//
// Main thread only. The answer may come later, from the main loop; the request is kept alive until then.
#pragma once

#include "webengine/RoutedRequest.h"

#include <memory>

namespace webengine {

class OrdinaryLoader {
public:
    static void load(const std::shared_ptr<RoutedRequest>& request, const std::string& userAgent);
};

} // namespace webengine
