// push-test-server [--bundle DIR]: runs the loopback push server until "quit" (or the end of standard
// input). Prints its endpoints; with --bundle, writes DIR/PushEndpoints.plist so that the application
// talks to it. Commands, one per line: "restart", "quit".
#include "support/PushTestServer.h"

#include "platform/PropertyList.h"
#include "platform/Value.h"

#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    std::string bundle;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bundle") == 0 && i + 1 < argc) {
            bundle = argv[++i];
        } else {
            std::cerr << "usage: push-test-server [--bundle DIR]\n";
            return 2;
        }
    }

    testsupport::PushTestServer server;
    const std::string address = "127.0.0.1:" + std::to_string(server.pushPort());
    std::cout << "push " << address << std::endl;
    if (!bundle.empty()) {
        platform::Dictionary endpoints;
        endpoints.set("ConnectHost", "127.0.0.1");
        endpoints.set("ConnectPort", static_cast<int>(server.pushPort()));
        endpoints.set("DefaultConnectAddress", address);
        const std::string path = bundle + "/PushEndpoints.plist";
        auto written = platform::PropertyList::writeFile(platform::Value(endpoints), path, platform::PropertyList::Format::XML);
        if (!written.ok()) {
            std::cerr << "cannot write " << path << ": " << written.error().localizedDescription() << "\n";
            return 1;
        }
        std::cout << "wrote " << path << std::endl;
    }

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit")
            break;
        if (line == "restart") {
            server.restart();
            std::cout << "restarted" << std::endl;
        } else if (!line.empty()) {
            std::cout << "unknown command: " << line << std::endl;
        }
    }
    for (const auto& fault : server.faults())
        std::cout << "fault: " << fault << std::endl;
    return 0;
}
