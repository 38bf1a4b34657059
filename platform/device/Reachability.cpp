#include "platform/device/Reachability.h"

#include "platform/runloop/ThreadHooks.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/RunLoopCore.h"
#include "platform/device/InterfaceAddresses.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace platform {

namespace {

ReachabilityFlags systemFlags(bool local) {
    if (local)
        return kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
    auto list = InterfaceAddresses::list();
    if (!list.ok())
        return 0;
    if (InterfaceAddresses::isWifiConnected(*list))
        return kReachabilityFlagsReachable;
    // Any other way out of the device is its mobile network.
    const bool other = std::any_of(list->begin(), list->end(), [](const InterfaceAddress& entry) {
        constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
        return entry.name != kWifiInterfaceName && (entry.flags & kUp) == kUp && !(entry.flags & IFF_LOOPBACK) &&
               entry.family != InterfaceAddress::Family::Other;
    });
    return other ? kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN : 0;
}

class Registry {
public:
    ~Registry() { stopWatcher(); }

    std::mutex mutex;
    std::vector<std::weak_ptr<Reachability>> scheduled;
    std::optional<ReachabilityFlags> override;

    // Starts the netlink watcher once (call with the mutex held).
    void startWatcherLocked() {
        if (m_started)
            return;
        m_started = true;
        int nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (nl < 0)
            return;  // no netlink here: changes come only from the test hooks
        struct sockaddr_nl addr {};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        int stop = ::eventfd(0, EFD_CLOEXEC);
        if (stop < 0 || ::bind(nl, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(nl);
            if (stop >= 0)
                ::close(stop);
            return;
        }
        m_netlink = nl;
        m_stop = stop;
        m_thread = std::thread([nl, stop] {
            enterPlatformThread();
            struct pollfd fds[2] = {{nl, POLLIN, 0}, {stop, POLLIN, 0}};
            char buffer[8192];
            for (;;) {
                if (::poll(fds, 2, -1) < 0)
                    continue;
                if (fds[1].revents)
                    return;
                if (fds[0].revents & POLLIN) {
                    while (::recv(nl, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
                    }
                    Reachability::systemChanged();
                } else if (fds[0].revents) {
                    return;  // the socket failed
                }
            }
        });
    }

private:
    void stopWatcher() {
        if (m_thread.joinable()) {
            std::uint64_t one = 1;
            (void)!::write(m_stop, &one, sizeof one);
            m_thread.join();
        }
        if (m_netlink >= 0)
            ::close(m_netlink);
        if (m_stop >= 0)
            ::close(m_stop);
    }

    bool m_started = false;
    int m_netlink = -1;
    int m_stop = -1;
    std::thread m_thread;
};

Registry& registry() {
    static Registry r;
    return r;
}

bool isLoopbackName(const std::string& host) { return host == "localhost" || host == "localhost." || host == "::1"; }

} // namespace

std::shared_ptr<Reachability> Reachability::createWithAddress(const std::string& ipv4) {
    struct in_addr addr {};
    if (::inet_pton(AF_INET, ipv4.c_str(), &addr) != 1)
        return nullptr;
    bool loopback = (ntohl(addr.s_addr) >> 24) == 127;
    return std::shared_ptr<Reachability>(new Reachability(Target{loopback}));
}

std::shared_ptr<Reachability> Reachability::createWithName(const std::string& hostName) {
    if (hostName.empty())
        return nullptr;
    struct in_addr addr {};
    bool loopback = isLoopbackName(hostName) || (::inet_pton(AF_INET, hostName.c_str(), &addr) == 1 && (ntohl(addr.s_addr) >> 24) == 127);
    return std::shared_ptr<Reachability>(new Reachability(Target{loopback}));
}

Reachability::~Reachability() = default;

ReachabilityFlags Reachability::flags() const {
    {
        std::lock_guard lock(registry().mutex);
        if (registry().override)
            return *registry().override;
    }
    return systemFlags(m_target.local);
}

bool Reachability::getFlags(ReachabilityFlags& flags) const {
    flags = this->flags();
    return true;
}

void Reachability::setCallback(Callback callback) {
    std::lock_guard lock(m_mutex);
    m_callback = std::move(callback);
}

bool Reachability::scheduleWithRunLoop(RunLoop& loop) {
    ReachabilityFlags now = flags();
    {
        std::lock_guard lock(m_mutex);
        if (m_scheduled)
            return false;
        m_scheduled = true;
        m_loop = loop.core().weak_from_this();
        ++m_scheduleGeneration;
        m_lastReported = now;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.scheduled, [](const auto& w) { return w.expired(); });
    r.scheduled.push_back(weak_from_this());
    r.startWatcherLocked();
    return true;
}

void Reachability::unscheduleFromRunLoop() {
    {
        std::lock_guard lock(m_mutex);
        m_scheduled = false;
        m_loop.reset();
        ++m_scheduleGeneration;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.scheduled, [this](const auto& w) {
        auto p = w.lock();
        return !p || p.get() == this;
    });
}

void Reachability::reportIfChanged() {
    ReachabilityFlags now = flags();
    std::shared_ptr<RunLoopCore> loop;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!m_scheduled || m_lastReported == now)
            return;
        loop = m_loop.lock();
        if (!loop)
            return; // the loop's thread has ended
        m_lastReported = now;
        generation = m_scheduleGeneration;
    }
    std::weak_ptr<Reachability> weak = weak_from_this();
    loop->perform([weak, now, generation] {
        auto self = weak.lock();
        if (!self)
            return;
        Callback callback;
        {
            std::lock_guard lock(self->m_mutex);
            if (self->m_scheduleGeneration != generation || !self->m_scheduled)
                return;
            callback = self->m_callback;
        }
        if (callback)
            callback(*self, now);
    });
}

void Reachability::setOverrideFlags(std::optional<ReachabilityFlags> flags) {
    {
        std::lock_guard lock(registry().mutex);
        registry().override = flags;
    }
    systemChanged();
}

std::optional<ReachabilityFlags> Reachability::overrideFlags() {
    std::lock_guard lock(registry().mutex);
    return registry().override;
}

void Reachability::systemChanged() {
    std::vector<std::shared_ptr<Reachability>> alive;
    {
        std::lock_guard lock(registry().mutex);
        for (const auto& w : registry().scheduled)
            if (auto p = w.lock())
                alive.push_back(std::move(p));
    }
    for (const auto& r : alive)
        r->reportIfChanged();
}

} // namespace platform
