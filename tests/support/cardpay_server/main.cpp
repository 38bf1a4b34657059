// The loopback payment server as a program of its own, for trying the payment road by hand:
//
//     cardpay_server [SCENARIO.json]
//
// Serves the scenario (default: the sample order of the source tree) on 127.0.0.1 at a port the system
// picks, prints the URL to post to, then one line per command received (and per malformed request)
// until interrupted.
#include "support/CardPayTestServer.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h"))) {
        std::fprintf(stderr, "usage: %s [SCENARIO.json]\n", argv[0]);
        return argc > 2 ? 2 : 0;
    }
    const std::string path = argc == 2 ? argv[1] : testsupport::CardPayTestServer::sampleScenarioPath();
    auto scenario = testsupport::CardPayTestServer::loadScenario(path);
    if (!scenario.ok()) {
        std::fprintf(stderr, "%s\n", scenario.error().localizedDescription().c_str());
        return 2;
    }

    // The signals are waited for here, not handled: block them before the server's threads start.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    testsupport::CardPayTestServer server(std::move(*scenario));
    std::printf("%s\n", server.url().c_str());
    std::fflush(stdout);

    std::size_t commandsShown = 0;
    std::size_t malformedShown = 0;
    const timespec tick{0, 200'000'000};
    while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
        const auto commands = server.commands();
        for (; commandsShown < commands.size(); ++commandsShown)
            std::printf("%s %s\n", commands[commandsShown].cmd.c_str(), commands[commandsShown].body.c_str());
        const auto malformed = server.malformed();
        for (; malformedShown < malformed.size(); ++malformedShown)
            std::printf("malformed: %s\n", malformed[malformedShown].c_str());
        std::fflush(stdout);
    }
    server.stop();
    return 0;
}
