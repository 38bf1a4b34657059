#include "push/PULSEEndpoints.h"

#include <mutex>

namespace push {

namespace {

struct SharedEndpoints {
    std::mutex mutex;
    PULSEEndpoints endpoints = PULSEEndpoints::builtIn();
};

SharedEndpoints& sharedEndpoints() {
    static SharedEndpoints shared;
    return shared;
}

} // namespace

PULSEEndpoints PULSEEndpoints::builtIn() {
    PULSEEndpoints e;
    e.lookupHosts = {"lookup0.pulse.invalid", "lookup1.pulse.invalid", "lookup2.pulse.invalid"};
    e.lookupAddress = "192.0.2.1";
    e.lookupPorts = {19000, 80};
    e.connectHost = {"connect.pulse.invalid", 7000};
    e.defaultConnectAddress = {"192.0.2.2", 7000};
    e.defaultReportAddress = {"192.0.2.3", 9001};
    e.statisticsURL = "http://stats.pulse.invalid/v2/report";
    e.userURL = "http://stats.pulse.invalid/v1/user/";
    return e;
}

PULSEEndpoints PULSEEndpoints::shared() {
    auto& shared = sharedEndpoints();
    std::lock_guard lock(shared.mutex);
    return shared.endpoints;
}

void PULSEEndpoints::setShared(PULSEEndpoints endpoints) {
    auto& shared = sharedEndpoints();
    std::lock_guard lock(shared.mutex);
    shared.endpoints = std::move(endpoints);
}

void PULSEEndpoints::resetShared() {
    setShared(builtIn());
}

} // namespace push
