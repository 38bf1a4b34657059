// push-test-server [--bundle DIR]: runs the loopback push service (push server, lookup service and UDP
// report sink) until "quit" or the end of standard input, and prints its endpoints. With --bundle it
// answers registrations for the app key of DIR/PushConfig.plist and writes DIR/PushEndpoints.plist, so
// that the application started on DIR talks to it. Commands, one per line:
//   push TEXT   a pushed message {"message": TEXT} to the device logged in last (held until it logs in
//               again when it is not connected; not pushed at all while no device has logged in)
//   restart     closes every connection and listens again on the same port
//   quit
#include "support/PushLookupServer.h"
#include "support/PushReportSink.h"
#include "support/PushTestServer.h"

#include "platform/JSON.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <string>

namespace {

// The app key of the bundle's push configuration, lower-cased as the client sends it ("" when none).
std::string appKeyOf(const std::string& bundle) {
    auto config = platform::PropertyList::readFile(bundle + "/PushConfig.plist");
    if (!config.ok() || !config->isDictionary())
        return {};
    std::string key = config->dictionaryOrEmpty()["APP_KEY"].stringOr("");
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

} // namespace

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
    testsupport::PushLookupServer lookup;
    testsupport::PushReportSink sink;
    const std::string address = "127.0.0.1:" + std::to_string(server.pushPort());
    const std::string sinkAddress = "127.0.0.1:" + std::to_string(sink.port());
    // No statistics endpoint: its addresses name a port where nothing listens.
    const std::string closed = "127.0.0.1:" + std::to_string(testsupport::PushTestServer::closedPort());
    for (int port = 0; port < 2; ++port)
        lookup.setReply(port, testsupport::PushLookupServer::reply(closed, {address, address, closed}, sinkAddress, {}));
    std::cout << "push " << address << "\nlookup 127.0.0.1:" << lookup.port(0) << " 127.0.0.1:" << lookup.port(1)
              << "\nreports " << sinkAddress << std::endl;
    if (!bundle.empty()) {
        const std::string appKey = appKeyOf(bundle);
        if (appKey.empty()) {
            std::cerr << "no APP_KEY in " << bundle << "/PushConfig.plist\n";
            return 1;
        }
        server.setSessionAnswers(appKey);
        platform::Dictionary endpoints;
        endpoints.set("LookupHosts", platform::Array{"localhost", "localhost", "localhost"});
        endpoints.set("LookupAddress", "127.0.0.1");
        endpoints.set("LookupPorts", platform::Array{static_cast<int>(lookup.port(0)), static_cast<int>(lookup.port(1))});
        endpoints.set("ConnectHost", "127.0.0.1");
        endpoints.set("ConnectPort", static_cast<int>(server.pushPort()));
        endpoints.set("DefaultConnectAddress", address);
        endpoints.set("DefaultReportAddress", sinkAddress);
        endpoints.set("StatisticsURL", "http://" + closed + "/v2/report");
        endpoints.set("UserURL", "http://" + closed + "/v1/user/");
        const std::string path = bundle + "/PushEndpoints.plist";
        auto written = platform::PropertyList::writeFile(platform::Value(endpoints), path, platform::PropertyList::Format::XML);
        if (!written.ok()) {
            std::cerr << "cannot write " << path << ": " << written.error().localizedDescription() << "\n";
            return 1;
        }
        std::cout << "wrote " << path << " (app key " << appKey << ")" << std::endl;
    }

    std::uint64_t nextMessageId = 1;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit")
            break;
        if (line == "restart") {
            server.restart();
            std::cout << "restarted" << std::endl;
        } else if (line.rfind("push ", 0) == 0) {
            auto text = platform::JSON::writeCompact(platform::Value(platform::Dictionary{{"message", line.substr(5)}}));
            if (!text.ok()) {
                std::cout << "not pushed: " << text.error().localizedDescription() << std::endl;
                continue;
            }
            switch (server.pushMessage(1, nextMessageId, *text)) {
            case testsupport::PushTestServer::PushOutcome::Sent:
                std::cout << "pushed message " << nextMessageId++ << std::endl;
                break;
            case testsupport::PushTestServer::PushOutcome::Held:
                std::cout << "message " << nextMessageId++ << " held: the device is not connected; it is pushed when it logs in again"
                          << std::endl;
                break;
            case testsupport::PushTestServer::PushOutcome::Dropped:
                std::cout << "not pushed: no device has logged in yet (start the application on the bundle first)"
                          << std::endl;
                break;
            }
        } else if (!line.empty()) {
            std::cout << "unknown command: " << line << std::endl;
        }
    }
    for (const auto& fault : server.faults())
        std::cout << "fault: " << fault << std::endl;
    return 0;
}
