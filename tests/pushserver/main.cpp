// push-test-server [--bundle DIR] [--close-after-login] [--dead-addresses N]: runs the loopback push
// service (push server, lookup service and UDP report sink) until "quit" or the end of standard input,
// and prints its endpoints. With --bundle it answers registrations for the app key of
// DIR/PushConfig.plist and writes DIR/PushEndpoints.plist, so that the application started on DIR talks
// to it; the file names ports that die with the server, so it removes the file again when it stops
// ("quit", the end of its input, SIGINT, SIGTERM or SIGHUP), unless another has taken its place. Hostile
// modes:
//   --close-after-login   every connection is closed right after its login answer
//   --dead-addresses N    the lookup answers N addresses where nothing listens (at most 64) and the
//                         push server's address after them; the default connect address it names and
//                         the built-in ones are dead too, so that only the end of the list lets the
//                         device in
// Commands, one per line:
//   push TEXT   a pushed message {"message": TEXT} to the device logged in last (held until it logs in
//               again when it is not connected; not pushed at all while no device has logged in)
//   burst N [broken]
//               N pushed messages {"message": "burst message ID"} in one write to the connected device
//               (at most 100000), then, with "broken", a packet whose length word is 40 too big
//   restart     closes every connection and listens again on the same port
//   stop-reading the newest connection reads nothing more (and still writes)
//   reset       resets every connection (the listener stays)
//   stats       the messages held (no receipt yet) and the receipts received (and for how many messages)
//   quit
#include "support/ClosedPort.h"
#include "support/PushLookupServer.h"
#include "support/PushReportSink.h"
#include "support/PushTestServer.h"

#include "platform/core/Value.h"
#include "platform/formats/JSON.h"
#include "platform/formats/PropertyList.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

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

constexpr long kMaxDeadAddresses = 64;
constexpr long kMaxBurst = 100000;

// A decimal count from 0 to `limit`; -1 for anything else.
long count(const char* text, long limit) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > limit)
        return -1;
    return value;
}

// The endpoints file this server wrote (empty until then) and which file it is, for the signal handler.
char writtenEndpoints[4096];
dev_t writtenDevice = 0;
ino_t writtenInode = 0;

// Removes the endpoints file when it is still the one this server wrote. Async-signal-safe.
void removeWrittenEndpoints() {
    struct stat now {};
    if (writtenEndpoints[0] != '\0' && ::stat(writtenEndpoints, &now) == 0 && now.st_dev == writtenDevice && now.st_ino == writtenInode)
        ::unlink(writtenEndpoints);
}

void stopOnSignal(int signum) {
    removeWrittenEndpoints();
    ::signal(signum, SIG_DFL);
    ::raise(signum);
}

} // namespace

int main(int argc, char** argv) {
    std::string bundle;
    bool closeAfterLogin = false;
    long deadAddresses = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bundle") == 0 && i + 1 < argc) {
            bundle = argv[++i];
        } else if (std::strcmp(argv[i], "--close-after-login") == 0) {
            closeAfterLogin = true;
        } else if (std::strcmp(argv[i], "--dead-addresses") == 0 && i + 1 < argc &&
                   (deadAddresses = count(argv[++i], kMaxDeadAddresses)) >= 0) {
        } else {
            std::cerr << "usage: push-test-server [--bundle DIR] [--close-after-login] [--dead-addresses N (0-64)]\n";
            return 2;
        }
    }

    testsupport::PushTestServer server;
    testsupport::PushLookupServer lookup;
    testsupport::PushReportSink sink;
    const std::string address = "127.0.0.1:" + std::to_string(server.pushPort());
    const std::string sinkAddress = "127.0.0.1:" + std::to_string(sink.port());
    // No statistics endpoint: its addresses name a port where nothing listens.
    const std::string closed = "127.0.0.1:" + std::to_string(testsupport::closedPort());
    // Every dead address is the closed port on its own loopback host (127.0.1.x).
    std::vector<std::string> dead;
    for (long i = 0; i < deadAddresses; ++i)
        dead.push_back("127.0.1." + std::to_string(i + 1) + closed.substr(closed.find(':')));
    for (int port = 0; port < 2; ++port) {
        if (dead.empty()) {
            lookup.setReply(port, testsupport::PushLookupServer::reply(closed, {address, address, closed}, sinkAddress, {}));
        } else {
            std::vector<std::string> others(dead.begin() + 1, dead.end());
            others.push_back(address);
            lookup.setReply(port, testsupport::PushLookupServer::reply(closed, {dead.front(), closed, closed}, sinkAddress, others));
        }
    }
    server.setCloseAfterLogin(closeAfterLogin);
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
        // With dead addresses only the end of the looked-up list answers.
        endpoints.set("ConnectHost", "127.0.0.1");
        endpoints.set("ConnectPort", static_cast<int>(dead.empty() ? server.pushPort() : testsupport::closedPort()));
        endpoints.set("DefaultConnectAddress", dead.empty() ? address : closed);
        endpoints.set("DefaultReportAddress", sinkAddress);
        endpoints.set("StatisticsURL", "http://" + closed + "/v2/report");
        endpoints.set("UserURL", "http://" + closed + "/v1/user/");
        const std::string path = bundle + "/PushEndpoints.plist";
        auto written = platform::PropertyList::writeFile(platform::Value(endpoints), path, platform::PropertyList::Format::XML);
        if (!written.ok()) {
            std::cerr << "cannot write " << path << ": " << written.error().localizedDescription() << "\n";
            return 1;
        }
        struct stat made {};
        if (path.size() < sizeof writtenEndpoints && ::stat(path.c_str(), &made) == 0) {
            writtenDevice = made.st_dev;
            writtenInode = made.st_ino;
            std::memcpy(writtenEndpoints, path.c_str(), path.size() + 1);
        }
        struct sigaction stop {};
        stop.sa_handler = stopOnSignal;
        sigemptyset(&stop.sa_mask);
        for (int signum : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signum, &stop, nullptr);
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
        } else if (line == "stop-reading") {
            server.stopReading();
            std::cout << "the newest connection reads nothing more" << std::endl;
        } else if (line == "reset") {
            server.resetConnections();
            std::cout << "connections reset" << std::endl;
        } else if (line == "stats") {
            const auto receipts = server.receipts();
            const std::set<std::uint64_t> messages(receipts.begin(), receipts.end());
            std::cout << "held " << server.heldMessages() << ", receipts " << receipts.size() << " for " << messages.size()
                      << " messages" << std::endl;
        } else if (line.rfind("burst ", 0) == 0) {
            const std::string rest = line.substr(6);
            const std::size_t space = rest.find(' ');
            const long n = count(rest.substr(0, space).c_str(), kMaxBurst);
            const bool broken = space != std::string::npos && rest.substr(space + 1) == "broken";
            if (n < 1 || (space != std::string::npos && !broken)) {
                std::cout << "usage: burst N [broken] (N from 1 to " << kMaxBurst << ")" << std::endl;
                continue;
            }
            const auto textOf = [](std::uint64_t id) {
                const auto text = platform::JSON::writeCompact(platform::Value(platform::Dictionary{{"message", "burst message " + std::to_string(id)}}));
                return text.ok() ? *text : std::string("{}");
            };
            if (server.pushBurst(nextMessageId, static_cast<std::size_t>(n), textOf, broken) ==
                testsupport::PushTestServer::PushOutcome::Sent) {
                std::cout << "pushed messages " << nextMessageId << "-" << nextMessageId + n - 1 << (broken ? " and a broken packet" : "")
                          << std::endl;
                nextMessageId += static_cast<std::uint64_t>(n);
            } else {
                std::cout << "not pushed: no device is connected" << std::endl;
            }
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
    removeWrittenEndpoints();
    for (const auto& fault : server.faults())
        std::cout << "fault: " << fault << std::endl;
    return 0;
}
