#include "push/PULSEEndpoints.h"

#include "platform/formats/PropertyList.h"

#include <charconv>
#include <filesystem>
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

namespace {

platform::Error malformed(const std::string& key) {
    return platform::Error("PULSEEndpoints", 1, "malformed entry \"" + key + "\"");
}

std::optional<std::uint16_t> portOf(const platform::Value* value) {
    const std::int64_t* port = value ? value->getInteger() : nullptr;
    if (!port || *port <= 0 || *port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

std::optional<PULSEHostPort> hostPortOf(const platform::Value* value) {
    const std::string* text = value ? value->getString() : nullptr;
    if (!text)
        return std::nullopt;
    const auto colon = text->rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    unsigned port = 0;
    const char* end = text->data() + text->size();
    auto [at, error] = std::from_chars(text->data() + colon + 1, end, port);
    if (error != std::errc() || at != end || port == 0 || port > 65535)
        return std::nullopt;
    return PULSEHostPort{text->substr(0, colon), static_cast<std::uint16_t>(port)};
}

} // namespace

platform::Result<PULSEEndpoints> PULSEEndpoints::fromDictionary(const platform::Value& plist, PULSEEndpoints e) {
    const platform::Dictionary* d = plist.getDictionary();
    if (!d)
        return platform::Error("PULSEEndpoints", 1, "not a dictionary");
    auto text = [&](const char* key, std::string& into) -> bool {
        const platform::Value* v = d->find(key);
        if (!v)
            return true;
        if (!v->getString())
            return false;
        into = *v->getString();
        return true;
    };
    if (const platform::Value* hosts = d->find("LookupHosts")) {
        const platform::Array* list = hosts->getArray();
        if (!list || list->size() != e.lookupHosts.size())
            return malformed("LookupHosts");
        for (std::size_t i = 0; i < list->size(); ++i) {
            if (!(*list)[i].getString())
                return malformed("LookupHosts");
            e.lookupHosts[i] = *(*list)[i].getString();
        }
    }
    if (const platform::Value* ports = d->find("LookupPorts")) {
        const platform::Array* list = ports->getArray();
        if (!list || list->size() != e.lookupPorts.size())
            return malformed("LookupPorts");
        for (std::size_t i = 0; i < list->size(); ++i) {
            auto port = portOf(&(*list)[i]);
            if (!port)
                return malformed("LookupPorts");
            e.lookupPorts[i] = *port;
        }
    }
    if (!text("LookupAddress", e.lookupAddress))
        return malformed("LookupAddress");
    if (!text("ConnectHost", e.connectHost.host))
        return malformed("ConnectHost");
    if (const platform::Value* port = d->find("ConnectPort")) {
        auto value = portOf(port);
        if (!value)
            return malformed("ConnectPort");
        e.connectHost.port = *value;
    }
    for (auto [key, into] : {std::pair{"DefaultConnectAddress", &e.defaultConnectAddress},
                             std::pair{"DefaultReportAddress", &e.defaultReportAddress}}) {
        if (const platform::Value* v = d->find(key)) {
            auto value = hostPortOf(v);
            if (!value)
                return malformed(key);
            *into = *value;
        }
    }
    if (!text("StatisticsURL", e.statisticsURL))
        return malformed("StatisticsURL");
    if (!text("UserURL", e.userURL))
        return malformed("UserURL");
    return e;
}

platform::Status PULSEEndpoints::loadFile(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error)
        return platform::Error("PULSEEndpoints", 2, path + ": " + error.message());
    if (size > static_cast<std::uintmax_t>(kMaxFileBytes))
        return platform::Error("PULSEEndpoints", 3, path + ": larger than " + std::to_string(kMaxFileBytes) + " bytes");
    auto plist = platform::PropertyList::readFile(path);
    if (!plist)
        return plist.error();
    auto endpoints = fromDictionary(*plist, shared());
    if (!endpoints)
        return endpoints.error();
    setShared(std::move(*endpoints));
    return {};
}

} // namespace push
