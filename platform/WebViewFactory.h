// Which engine makes the application's web views. Code that needs a web view (the runtime's view
// controller, the in-app browser) asks here and never names an engine: without an installed maker the
// headless engine answers (unit tests, tools); the application installs the real engine at start-up.
//
// Guarantees: main thread only, like the web views themselves. The maker is called once per web view.
#pragma once

#include "platform/Geometry.h"

#include <functional>
#include <memory>

namespace platform {

class WebView;

class WebViewFactory {
public:
    using Maker = std::function<std::shared_ptr<WebView>(Rect frame)>;

    static std::shared_ptr<WebView> makeWebView(Rect frame);
    // Installs the engine's maker; an empty maker restores the headless engine.
    static void setMaker(Maker maker);
};

} // namespace platform
