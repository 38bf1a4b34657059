// The application's command line:
// hybridhost [--headless] [--screenshot FILE.png] [--device FILE] [--cardpay-demo URL] [--help] [BUNDLE]
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
    // The payment server to open the bank-card payment road against once the start page has loaded
    // (an "http://" or "https://" URL); empty: the road is not opened.
    std::string cardpayDemo;
    bool help = false;

    // Bad arguments give an error whose description says what is wrong.
    static platform::Result<HostOptions> parse(const std::vector<std::string>& arguments);
    static std::string usage(const std::string& program);
};

} // namespace app
