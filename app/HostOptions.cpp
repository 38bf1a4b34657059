#include "app/HostOptions.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace app {

namespace {

platform::Error usageError(const std::string& message)
{
    return platform::Error("HYBHostOptions", 1, message);
}

// "--name VALUE" or "--name=VALUE".
bool takesValue(const std::string& argument, const std::string& name)
{
    return argument == name || argument.rfind(name + "=", 0) == 0;
}

// The value of the option at arguments[i] (advancing i past a separate value); empty values are refused.
platform::Result<std::string> valueOf(const std::vector<std::string>& arguments, size_t& i, const std::string& name,
                                      const std::string& what)
{
    std::string value;
    if (arguments[i] == name) {
        if (i + 1 >= arguments.size())
            return usageError(name + " needs " + what);
        value = arguments[++i];
    } else {
        value = arguments[i].substr(name.size() + 1);
    }
    if (value.empty())
        return usageError(name + " needs " + what);
    return value;
}

// "http://" or "https://" followed by a host, no blanks or control characters.
// Longer than any server address a command line needs; the address is not echoed back past it.
constexpr std::size_t kMaxServerURLLength = 2048;

bool isWebURL(const std::string& text)
{
    std::string_view rest;
    for (std::string_view scheme : {"http://", "https://"})
        if (text.size() > scheme.size() && text.compare(0, scheme.size(), scheme) == 0)
            rest = std::string_view(text).substr(scheme.size());
    if (rest.empty() || rest.front() == '/')
        return false;
    return std::none_of(rest.begin(), rest.end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

} // namespace

platform::Result<HostOptions> HostOptions::parse(const std::vector<std::string>& arguments)
{
    HostOptions options;
    bool onlyPositional = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!onlyPositional && argument == "--") {
            onlyPositional = true;
        } else if (!onlyPositional && (argument == "--help" || argument == "-h")) {
            options.help = true;
        } else if (!onlyPositional && argument == "--headless") {
            options.headless = true;
        } else if (!onlyPositional && takesValue(argument, "--screenshot")) {
            auto file = valueOf(arguments, i, "--screenshot", "a file name");
            if (!file.ok())
                return file.error();
            options.screenshot = *file;
        } else if (!onlyPositional && takesValue(argument, "--device")) {
            auto file = valueOf(arguments, i, "--device", "a file name");
            if (!file.ok())
                return file.error();
            options.device = *file;
        } else if (!onlyPositional && takesValue(argument, "--cardpay-demo")) {
            auto url = valueOf(arguments, i, "--cardpay-demo", "the payment server's URL");
            if (!url.ok())
                return url.error();
            if (url->size() > kMaxServerURLLength)
                return usageError("--cardpay-demo takes a URL of at most " + std::to_string(kMaxServerURLLength) + " characters (got " +
                                  std::to_string(url->size()) + ")");
            if (!isWebURL(*url))
                return usageError("--cardpay-demo needs an http:// or https:// URL (got " + *url + ")");
            options.cardpayDemo = *url;
        } else if (!onlyPositional && argument.size() > 1 && argument[0] == '-') {
            return usageError("unknown option " + argument);
        } else if (argument.empty()) {
            // An empty path names no folder; it would otherwise run the sample bundle unasked.
            return usageError("the bundle folder is an empty path (give none to run the sample bundle)");
        } else if (options.bundle.empty()) {
            options.bundle = argument;
        } else {
            return usageError("only one bundle folder may be given (got " + options.bundle + " and " + argument + ")");
        }
    }
    return options;
}

std::string HostOptions::usage(const std::string& program)
{
    return "Usage: " + program + " [--headless] [--screenshot FILE.png] [--device FILE] [--cardpay-demo URL] [--help] [BUNDLE]\n"
           "\n"
           "Runs the hybrid application: a window with the web view showing the bundle's start page.\n"
           "\n"
           "  BUNDLE               the bundle folder (www/, config.xml); default: the sample bundle\n"
           "  --headless           show no window; without a display, run on a private virtual display (Xvfb)\n"
           "  --screenshot FILE    write the page as a PNG file once it has loaded, then exit\n"
           "  --device FILE        a JSON device file: what the simulated device reports (system version,\n"
           "                       idiom and model, screen size and scale, location services and position,\n"
           "                       route and geocoder places, permissions, Bluetooth, radio technology,\n"
           "                       advertising identifier, Wi-Fi interface, installed app schemes, platform\n"
           "                       classes present, cameras and their pictures, camera input failing, the\n"
           "                       photo library's pictures; keys in app/DeviceFile.h);\n"
           "                       default: the sample app/device.json. A bad file stops with status 2\n"
           "  --cardpay-demo URL   once the start page has loaded, open the bank-card payment road for a\n"
           "                       sample order against the payment server at URL (see cardpay-test-server);\n"
           "                       the result is written to standard output as JSON when the road ends.\n"
           "                       With --screenshot, the PNG is taken once the order screen shows\n"
           "  --help               print this text\n";
}

namespace {

// The character `text` starts with when a terminal would obey it or show it other than as text: a C1
// control (which it may obey as it does ESC sequences), a mark or embedding that turns the direction of
// what follows, a line or paragraph separator. Sets `length` to its UTF-8 length; 0 when it is none.
std::uint32_t hiddenCharacter(std::string_view text, std::size_t& length)
{
    auto at = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    length = 0;
    if (at(0) == 0xc2 && at(1) >= 0x80 && at(1) <= 0x9f) {
        length = 2;
        return at(1);
    }
    if (at(0) == 0xd8 && at(1) == 0x9c) {
        length = 2;
        return 0x061c;
    }
    if (at(0) != 0xe2 || (at(1) & 0xc0) != 0x80 || (at(2) & 0xc0) != 0x80)
        return 0;
    const std::uint32_t codePoint = 0x2000 | ((at(1) & 0x3fu) << 6) | (at(2) & 0x3fu);
    if (codePoint == 0x200e || codePoint == 0x200f || (codePoint >= 0x2028 && codePoint <= 0x202e) ||
        (codePoint >= 0x2066 && codePoint <= 0x2069)) {
        length = 3;
        return codePoint;
    }
    return 0;
}

} // namespace

std::string oneLine(std::string_view message)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line;
    line.reserve(message.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        const auto byte = static_cast<unsigned char>(c);
        std::size_t length = 0;
        const std::uint32_t hidden = byte >= 0x80 ? hiddenCharacter(message.substr(i), length) : 0;
        if (length > 0) {
            line += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                line += kHex[(hidden >> shift) & 0xf];
            i += length - 1;
        } else if (byte >= 0x20 && byte != 0x7f) {
            line += c;
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else {
            line += "\\x";
            line += kHex[byte >> 4];
            line += kHex[byte & 0xf];
        }
    }
    return line;
}

} // namespace app
