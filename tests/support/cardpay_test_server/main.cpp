// The loopback payment server as a program of its own, for trying the payment road by hand and for the
// application's end-to-end test:
//
//     cardpay-test-server --scenario FILE [--port N] [--drop-after-request CMD]...
//                         [--poll-fault hold|drop|500 --after CMD [--heal-after N] [--heal-on CMD]]
//
// Serves the scenario (see support/CardPayTestServer.h; tests/support/cardpay/sample-order.json is the
// sample order) on 127.0.0.1 at port N, or at a port the system picks, and prints the URL to post to as
// its first line; then one line per command received (and per malformed request), until SIGINT or
// SIGTERM. Exit status: 0 when stopped by a signal, 1 when the port cannot be had, 2 for bad arguments
// or a bad scenario file.
#include "support/CardPayTestServer.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: cardpay-test-server --scenario FILE [--port N] [--drop-after-request CMD]...\n"
    "                           [--poll-fault hold|drop|500 --after CMD [--heal-after N] [--heal-on CMD]]\n"
    "\n"
    "Answers the bank-card client's commands from a scenario file (JSON) on 127.0.0.1.\n"
    "  --scenario FILE  the scenario, e.g. tests/support/cardpay/sample-order.json\n"
    "  --port N         the port to listen on (1-65535); default: one the system picks\n"
    "  --poll-fault F   from the command --after CMD on, the result poll (\"query\") is held (hold),\n"
    "                   its connection dropped (drop) or answered HTTP 500 (500), until it heals:\n"
    "  --heal-after N   after N such polls (1-1000), and/or\n"
    "  --heal-on CMD    when the command CMD arrives\n"
    "  --drop-after-request CMD\n"
    "                   read each CMD request, then close its connection without a reply\n"
    "Prints the URL to post to, then one line per command received, until interrupted.\n";

struct Options {
    std::string scenario;
    std::uint16_t port = 0;
    std::vector<std::string> dropAfterRequest; // commands
    bool help = false;
    std::optional<testsupport::CardPayTestServer::PollFault> pollFault;
};

// The poll-fault options (--poll-fault, --after, --heal-after, --heal-on) with their values, or an error.
std::variant<std::optional<testsupport::CardPayTestServer::PollFault>, std::string> parsePollFault(
    const std::map<std::string, std::string>& given) {
    using Fault = testsupport::CardPayTestServer::Fault;
    if (given.empty())
        return std::optional<testsupport::CardPayTestServer::PollFault>();
    if (!given.contains("--poll-fault") || !given.contains("--after"))
        return std::string("--poll-fault and --after go together");
    testsupport::CardPayTestServer::PollFault fault;
    const std::string& kind = given.at("--poll-fault");
    if (kind == "hold")
        fault.fault = Fault::Hold;
    else if (kind == "drop")
        fault.fault = Fault::Drop;
    else if (kind == "500")
        fault.fault = Fault::HTTP500;
    else
        return "--poll-fault is hold, drop or 500 (got \"" + kind + "\")";
    fault.after = given.at("--after");
    if (given.contains("--heal-after")) {
        const std::string& count = given.at("--heal-after");
        if (count.empty() || count.size() > 4 || count.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(count) < 1 || std::stoi(count) > 1000)
            return "--heal-after needs a number from 1 to 1000 (got \"" + count + "\")";
        fault.healAfter = std::stoi(count);
    }
    if (given.contains("--heal-on"))
        fault.healOn = given.at("--heal-on");
    return std::optional(fault);
}

// A port number: decimal digits only, 1 to 65535.
std::optional<std::uint16_t> parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long value = std::stoul(text);
    if (value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// The options, or an error message.
std::variant<Options, std::string> parse(const std::vector<std::string>& arguments) {
    Options options;
    std::map<std::string, std::string> pollFault;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--poll-fault" || argument == "--after" || argument == "--heal-after" || argument == "--heal-on") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty())
                return argument + " needs a value";
            if (!pollFault.emplace(argument, arguments[++i]).second)
                return argument + " is given twice";
        } else if (argument == "--drop-after-request") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty())
                return argument + " needs a command";
            options.dropAfterRequest.push_back(arguments[++i]);
        } else if (argument == "--scenario" || argument == "--port") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty())
                return argument + " needs a value";
            const std::string& value = arguments[++i];
            const bool given = argument == "--scenario" ? !options.scenario.empty() : options.port != 0;
            if (given)
                return argument + " is given twice";
            if (argument == "--scenario") {
                options.scenario = value;
            } else if (const auto port = parsePort(value)) {
                options.port = *port;
            } else {
                return "--port needs a number from 1 to 65535 (got \"" + value + "\")";
            }
        } else {
            return "unknown argument \"" + argument + "\"";
        }
    }
    if (!options.help && options.scenario.empty())
        return std::string("--scenario FILE is required");
    auto fault = parsePollFault(pollFault);
    if (const auto* message = std::get_if<std::string>(&fault))
        return *message;
    options.pollFault = std::get<0>(fault);
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parse(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* message = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "cardpay-test-server: %s\n\n%s", message->c_str(), kUsage);
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    auto scenario = testsupport::CardPayTestServer::loadScenario(options.scenario);
    if (!scenario.ok()) {
        std::fprintf(stderr, "cardpay-test-server: scenario %s: %s\n", options.scenario.c_str(),
                     scenario.error().localizedDescription().c_str());
        return 2;
    }

    // The signals are waited for here, not handled: block them before the server's threads start.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::optional<testsupport::CardPayTestServer> server;
    try {
        server.emplace(std::move(*scenario), options.port);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "cardpay-test-server: %s\n", error.what());
        return 1;
    }
    // A command the server refuses never arrives: a fault named after it would never start or heal.
    std::vector<const std::string*> named;
    for (const auto& cmd : options.dropAfterRequest)
        named.push_back(&cmd);
    if (options.pollFault)
        named.insert(named.end(), {&options.pollFault->after, &options.pollFault->healOn});
    for (const std::string* cmd : named) {
        if (!cmd->empty() && !server->knowsCommand(*cmd)) {
            std::fprintf(stderr, "cardpay-test-server: unknown command \"%s\" (neither the client's nor the scenario's)\n", cmd->c_str());
            return 2;
        }
    }
    if (options.pollFault)
        server->setPollFault(*options.pollFault);
    for (const auto& cmd : options.dropAfterRequest)
        server->setFault(cmd, testsupport::CardPayTestServer::Fault::NoReply);
    std::printf("%s\n", server->url().c_str());
    std::fflush(stdout);

    std::size_t commandsShown = 0;
    std::size_t malformedShown = 0;
    const timespec tick{0, 200'000'000};
    while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
        const auto commands = server->commands();
        for (; commandsShown < commands.size(); ++commandsShown)
            std::printf("%s %s\n", commands[commandsShown].cmd.c_str(), commands[commandsShown].body.c_str());
        const auto malformed = server->malformed();
        for (; malformedShown < malformed.size(); ++malformedShown)
            std::printf("malformed: %s\n", malformed[malformedShown].c_str());
        std::fflush(stdout);
    }
    server->stop();
    return 0;
}
