// Feeds device-file text to the device-file reader; what reads well is applied to the simulated device
// services (and the main loop turned, so their queued deliveries run), then they are reset. Seed pictures
// go to the photo library of a temporary home.
#include "app/DeviceFile.h"
#include "platform/application/Application.h"
#include "platform/device/BluetoothCentralManager.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/GeocoderPlaces.h"
#include "platform/device/LocationSimulator.h"
#include "platform/device/Telephony.h"
#include "platform/files/AppFolders.h"
#include "platform/runloop/Clock.h"
#include "platform/runloop/RunLoop.h"
#include "support/PrivateEnvironment.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool homed = [] {
        const std::string home = hybtest::makeTemporaryFolder("device-file-fuzz");
        if (home.empty())
            std::abort();
        platform::AppFolders::install(platform::AppFolders(home, home + "/Fuzz.app"));
        return true;
    }();
    (void)homed;
    auto file = app::DeviceFile::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!file.ok()) {
        if (file.error().localizedDescription().empty())
            __builtin_trap(); // every refusal says why
        return 0;
    }
    file->apply();
    platform::LocationSimulator::shared().resetToDefaults();
    platform::GeocoderPlaces::shared().resetToDefaults();
    platform::BluetoothCentralManager::resetToDefaults();
    (void)platform::Telephony::setCurrentRadioAccessTechnology("");
    platform::CaptureDevice::resetToDefaults();
    while (platform::RunLoop::main().runOnce(platform::Clock::current().now()) == platform::RunLoop::RunResult::Handled) {
    }
    return 0;
}
