// The sample bundle's push files for the engine tests: the page's push script, "PushConfig.plist", and a
// "PushEndpoints.plist" that keeps the push client on the loopback interface (every name "localhost",
// every address 127.0.0.1), at the ports of an in-process push service or at ports where nothing listens.
#pragma once

#include "support/ClosedPort.h"
#include "support/PushTestServer.h"
#include "support/SourceTree.h"
#include "support/TempHome.h"

#include "platform/core/Value.h"
#include "platform/formats/PropertyList.h"

#include <cstdint>
#include <string>

namespace e2e {

struct PushPorts {
    std::uint16_t push = testsupport::closedPort();
    std::uint16_t lookup0 = testsupport::closedPort();
    std::uint16_t lookup1 = testsupport::closedPort();
    std::uint16_t reports = testsupport::closedPort();
    std::uint16_t http = testsupport::closedPort();
};

inline std::string pushEndpointsPlist(const PushPorts& ports = {}) {
    auto at = [](std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); };
    platform::Dictionary endpoints;
    endpoints.set("LookupHosts", platform::Array{"localhost", "localhost", "localhost"});
    endpoints.set("LookupAddress", "127.0.0.1");
    endpoints.set("LookupPorts", platform::Array{static_cast<int>(ports.lookup0), static_cast<int>(ports.lookup1)});
    endpoints.set("ConnectHost", "localhost");
    endpoints.set("ConnectPort", static_cast<int>(ports.push));
    endpoints.set("DefaultConnectAddress", at(ports.push));
    endpoints.set("DefaultReportAddress", at(ports.reports));
    endpoints.set("StatisticsURL", "http://" + at(ports.http) + "/v2/report");
    endpoints.set("UserURL", "http://" + at(ports.http) + "/v1/user/");
    auto text = platform::PropertyList::write(platform::Value(endpoints), platform::PropertyList::Format::XML);
    return text.ok() ? *text : std::string();
}

// The page's push script, the sample's push configuration and endpoints at the given ports.
inline void writeSamplePushFiles(const hybtest::TempHome& home, const PushPorts& ports = {}) {
    home.writeBundleFile("www/pulse.js", hybtest::readSourceFile("app/bundle/www/pulse.js"));
    home.writeBundleFile("PushConfig.plist", hybtest::readSourceFile("app/bundle/PushConfig.plist"));
    home.writeBundleFile("PushEndpoints.plist", pushEndpointsPlist(ports));
}

// The sample's app key, lower-cased as the client sends it.
inline std::string sampleAppKey() {
    auto config = platform::PropertyList::read(hybtest::readSourceFile("app/bundle/PushConfig.plist"));
    std::string key = config.ok() ? config->dictionaryOrEmpty()["APP_KEY"].stringOr("") : std::string();
    for (char& c : key)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return key;
}

} // namespace e2e
