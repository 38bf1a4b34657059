// The service addresses the push client is built with, as one value: where it looks the service up,
// where it connects, where it sends UDP reports and its two HTTP endpoints. No other code takes a host
// or a port from anywhere else.
//
// The compiled-in values name hosts in the reserved ".invalid" domain and documentation addresses
// (192.0.2.0/24) that no real service answers; the application and the tests install the endpoints
// they mean with setShared() (the loopback push server hands out its own).
//
// Thread: shared() and setShared() from any thread; shared() returns a copy.
#pragma once

#include "platform/core/Error.h"

#include <array>
#include <cstdint>
#include <string>

namespace push {

struct PULSEHostPort {
    std::string host;
    std::uint16_t port = 0;
    friend bool operator==(const PULSEHostPort&, const PULSEHostPort&) = default;
};

struct PULSEEndpoints {
    // Names of the lookup service, tried in order, and its address for when none resolves.
    std::array<std::string, 3> lookupHosts;
    std::string lookupAddress;
    // Lookup ports: the first one first (19000), then the second (80).
    std::array<std::uint16_t, 2> lookupPorts{};
    // The push server by name (port 7000), and the address used when no lookup succeeded.
    PULSEHostPort connectHost;
    PULSEHostPort defaultConnectAddress;
    // Where UDP reports go when no lookup named a server (port 9001).
    PULSEHostPort defaultReportAddress;
    // The HTTP endpoints: statistics (path "/v2/report") and user (path "/v1/user/").
    std::string statisticsURL;
    std::string userURL;

    friend bool operator==(const PULSEEndpoints&, const PULSEEndpoints&) = default;

    static PULSEEndpoints builtIn();
    static PULSEEndpoints shared();
    static void setShared(PULSEEndpoints endpoints);
    // Back to the built-in values (tests).
    static void resetShared();
    // Installs the endpoints of a "PushEndpoints.plist" dictionary (at most kMaxFileBytes): "LookupHosts"
    // (three strings), "LookupAddress", "LookupPorts" (two integers), "ConnectHost", "ConnectPort",
    // "DefaultConnectAddress" and "DefaultReportAddress" ("host:port"), "StatisticsURL", "UserURL".
    // Missing keys keep the current values; a file that is unreadable or has a malformed entry changes
    // nothing and says why.
    static constexpr long long kMaxFileBytes = 64 * 1024;
    static platform::Status loadFile(const std::string& path);
    static platform::Result<PULSEEndpoints> fromDictionary(const platform::Value& plist, PULSEEndpoints base);
};

} // namespace push
