// Sends any JSON argument array to the Navigation service's actions ("navigate" alone, then twice in a
// row so that the second replaces the first, "isAppAvailable" and "availableApps"), with a geocoder that
// knows two places and answers on the next turn of the main loop, which is drained after each call.
// Every call must be answered exactly once.
#include "CallbackCountingDelegate.h"
#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/device/GeocoderPlaces.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/Clock.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/HeadlessWebView.h"
#include "plugins/LaunchNavigator.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

namespace {

using CountingDelegate = fuzzing::CallbackCountingDelegate;

void drainMainLoop() {
    while (platform::RunLoop::main().runOnce(platform::Clock::current().now()) == platform::RunLoop::RunResult::Handled) {
    }
}

bool setUp() {
    platform::Log::setCaptureHook([](std::string_view) {});
    platform::Application::shared().setInstalledSchemes({"http", "comgooglemaps", "uber", "iosamap", "baidumap", "waze"});
    platform::GeocoderPlaces::shared().add(platform::Placemark(
        {52.5163, 13.3777}, platform::Dictionary{{"Name", "Gate"}, {"Thoroughfare", "Pariser Platz"}, {"City", "Berlin"}}));
    platform::GeocoderPlaces::shared().add(platform::Placemark({39.9163, 116.3972}, platform::Dictionary{{"Name", "Museum"}, {"City", "Beijing"}}));
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = setUp();
    (void)ready;
    auto parsed = platform::JSON::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed.ok() || !parsed->isArray())
        return 0;
    const platform::Array& arguments = *parsed->getArray();

    auto delegate = std::make_shared<CountingDelegate>();
    auto navigator = std::make_shared<plugins::LaunchNavigator>(platform::HeadlessWebView::create());
    navigator->setCommandDelegate(delegate);
    navigator->pluginInitialize();
    auto run = [&](const char* action, const char* callbackId) {
        if (!navigator->performAction(action, runtime::HYBInvokedUrlCommand(arguments, callbackId, "Navigation", action)))
            __builtin_trap();
    };
    run("navigate", "alone");
    drainMainLoop();
    run("navigate", "replaced");
    run("navigate", "replacing");
    drainMainLoop();
    run("isAppAvailable", "available");
    run("availableApps", "apps");
    drainMainLoop();
    for (const char* callbackId : {"alone", "replaced", "replacing", "available", "apps"}) {
        if (delegate->answers[callbackId] != 1)
            __builtin_trap();
    }
    if (delegate->answers.size() != 5)
        __builtin_trap();
    platform::Application::shared().clearOpenedURLs();
    platform::MapItem::clearOpenedMaps();
    return 0;
}
