#include "app/HostOptions.h"

namespace app {

namespace {

platform::Error usageError(const std::string& message)
{
    return platform::Error("HYBHostOptions", 1, message);
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
        } else if (!onlyPositional && (argument == "--screenshot" || argument.rfind("--screenshot=", 0) == 0)) {
            std::string file;
            if (argument == "--screenshot") {
                if (i + 1 >= arguments.size())
                    return usageError("--screenshot needs a file name");
                file = arguments[++i];
            } else {
                file = argument.substr(std::string("--screenshot=").size());
            }
            if (file.empty())
                return usageError("--screenshot needs a file name");
            options.screenshot = file;
        } else if (!onlyPositional && argument.size() > 1 && argument[0] == '-') {
            return usageError("unknown option " + argument);
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
    return "Usage: " + program + " [--headless] [--screenshot FILE.png] [--help] [BUNDLE]\n"
           "\n"
           "Runs the hybrid application: a window with the web view showing the bundle's start page.\n"
           "\n"
           "  BUNDLE               the bundle folder (www/, config.xml); default: the sample bundle\n"
           "  --headless           show no window; without a display, run on a private virtual display (Xvfb)\n"
           "  --screenshot FILE    write the page as a PNG file once it has loaded, then exit\n"
           "  --help               print this text\n";
}

} // namespace app
