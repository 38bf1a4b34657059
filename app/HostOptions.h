// The application's command line:
// hybridhost [--headless] [--screenshot FILE.png] [--device FILE] [--cardpay-demo URL] [--help] [BUNDLE]
#pragma once

#include "platform/core/Error.h"

#include <string>
#include <string_view>
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

// A message as one line of text for the terminal: control characters (a newline, a carriage return, an
// escape sequence's ESC...) in it, as a path or a page's text may hold them, are written as escapes ("\n",
// "\r", "\t", "\x1b"; a backslash stays as it is), and so are the C1 controls, the characters that turn
// the direction of the text after them and the line and paragraph separators ("\u009b", "\u202e",
// "\u2028"), so that "hybridhost: <what> at <path>: <why>" stays one line and the terminal shows what
// the file is called rather than obeying it.
std::string oneLine(std::string_view message);

} // namespace app
