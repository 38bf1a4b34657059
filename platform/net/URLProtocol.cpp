#include "platform/net/URLProtocol.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform {

namespace {
struct Registry {
    std::mutex mutex;
    std::vector<URLProtocol::Class> classes; // oldest first
};

Registry& registry() {
    // Never destroyed: the URL-loading thread may ask it until the very end of the process.
    static auto* r = new Registry;
    return *r;
}
} // namespace

void URLProtocol::registerClass(Class protocolClass) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.classes, [&](const Class& c) { return c.name == protocolClass.name; });
    r.classes.push_back(std::move(protocolClass));
}

void URLProtocol::unregisterClass(const std::string& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.classes, [&](const Class& c) { return c.name == name; });
}

std::optional<URLProtocol::Class> URLProtocol::classForRequest(const URLRequest& request) {
    std::vector<Class> classes;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        classes = r.classes;
    }
    // Asked outside the lock: a class may register another from canInitWithRequest.
    for (auto it = classes.rbegin(); it != classes.rend(); ++it)
        if (it->canInitWithRequest && it->canInitWithRequest(request))
            return *it;
    return std::nullopt;
}

bool URLProtocol::redirectIsRefused(const URLRequest& request) {
    std::vector<Class> classes;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        classes = r.classes;
    }
    return std::any_of(classes.begin(), classes.end(), [&](const Class& c) { return c.refusesRedirectTo && c.refusesRedirectTo(request); });
}

void URLProtocolClient::whenReaderHasRoom(URLProtocol&, std::function<void()> more) { more(); }

URLProtocol::URLProtocol(URLRequest request, std::shared_ptr<URLProtocolClient> client)
    : m_request(std::move(request)), m_client(std::move(client)) {}

} // namespace platform
