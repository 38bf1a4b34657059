// The application's command line: hybridhost [--headless] [--screenshot FILE.png] [--device FILE] [--help] [BUNDLE]
#pragma once

#include "platform/Error.h"

#include <string>
#include <vector>

namespace app {

struct HostOptions {
    // The bundle folder (holding www/ and config.xml); empty means the sample bundle.
    std::string bundle;
    // Show nothing on screen; use a private virtual display when there is no display.
    bool headless = false;
    // Write the page as a PNG once it has loaded, then exit.
    std::string screenshot;
    // The device file (what the simulated device reports); empty means the sample, app/device.json.
    std::string device;
    bool help = false;

    // Bad arguments give an error whose description says what is wrong.
    static platform::Result<HostOptions> parse(const std::vector<std::string>& arguments);
    static std::string usage(const std::string& program);
};

} // namespace app
