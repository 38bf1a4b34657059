// The speed test: name resolution plus TCP connection time to the targets a configuration orders.
#include "stats/MXStatDispatcher.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatLog.h"
#include "stats/MXStatReachability.h"

#include "platform/runloop/Clock.h"
#include "platform/text/DateFormatter.h"
#include "platform/text/URL.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace stats {

namespace {

constexpr const char* kTimeFormat = "yyyy/MM/dd HH:mm:ss:SSS";

std::mutex& resolverMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

MXStatDispatcher::Resolver& resolverSlot() {
    static auto* resolver = new MXStatDispatcher::Resolver();
    return *resolver;
}

std::optional<std::string> resolveWithGetaddrinfo(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    std::optional<std::string> address;
    for (addrinfo* entry = found; entry && !address; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            address = text;
    }
    freeaddrinfo(found);
    return address;
}

// Resolves on a thread of its own and waits at most the limit on the installed clock. A resolution that
// outlives the limit finishes on its thread and its answer is dropped.
std::optional<std::string> resolveWithin(const std::string& host, double limitSeconds) {
    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<std::string> address;
    };
    MXStatDispatcher::Resolver resolver;
    {
        std::lock_guard lock(resolverMutex());
        resolver = resolverSlot();
    }
    if (!resolver)
        resolver = resolveWithGetaddrinfo;
    auto pending = std::make_shared<Pending>();
    std::thread([pending, resolver = std::move(resolver), host] {
        auto address = resolver(host);
        std::lock_guard lock(pending->mutex);
        pending->address = std::move(address);
        pending->finished = true;
        pending->done.notify_all();
    }).detach();

    platform::Clock& clock = platform::Clock::current();
    const auto deadline = clock.now() + platform::seconds(limitSeconds);
    std::unique_lock lock(pending->mutex);
    while (!pending->finished) {
        const auto now = clock.now();
        if (now >= deadline)
            return std::nullopt;
        // A virtual clock moves without waking anyone: look again shortly.
        if (clock.isVirtual())
            pending->done.wait_for(lock, std::chrono::milliseconds(5));
        else
            pending->done.wait_for(lock, deadline - now);
    }
    return pending->address;
}

std::int64_t wallMilliseconds() {
    return static_cast<std::int64_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970 * 1000.0));
}

} // namespace

void MXStatDispatcher::setResolver(Resolver resolver) {
    std::lock_guard lock(resolverMutex());
    resolverSlot() = std::move(resolver);
}

std::string MXStatDispatcher::GetCurTime() {
    return platform::DateFormatter(kTimeFormat).format(platform::Clock::current().wallNow());
}

std::vector<std::string> MXStatDispatcher::splitSpeedString(const std::string& targets) {
    std::vector<std::string> urls;
    std::size_t start = 0;
    while (start <= targets.size()) {
        std::size_t end = targets.find(';', start);
        if (end == std::string::npos)
            end = targets.size();
        std::string piece = targets.substr(start, end - start);
        if (!piece.empty()) {
            for (char& c : piece)
                if (c == ',')
                    c = ':';
            urls.push_back("http://" + piece);
        }
        start = end + 1;
    }
    return urls;
}

MXStatTestSpeed MXStatDispatcher::taSocket(const std::string& urlText) {
    MXStatTestSpeed result;
    const auto url = platform::URL::fromString(urlText);
    const auto startSeconds = static_cast<std::int64_t>(platform::Clock::current().wallNow().secondsSince1970);
    if (!url || !url->host() || url->host()->empty() || (url->port() && (*url->port() < 1 || *url->port() > 65535))) {
        MXStatLog("[ERROR]Not a speed-test target: %s", urlText.c_str());
        result.st = -1;
        return result;
    }
    result.dm = *url->host();
    const int port = url->port().value_or(80);
    result.pt = port;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        MXStatLog("Failed to create socket.");
        result.st = -1;
        return result;
    }
    const std::int64_t t0 = wallMilliseconds();
    const auto address = resolveWithin(*result.dm, kResolveSeconds);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    if (!address || inet_pton(AF_INET, address->c_str(), &peer.sin_addr) != 1) {
        ::close(fd);
        result.st = -1;
        return result;
    }
    result.rip = *address;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        MXStatLog("errorInfo socket. %s >> Failed to connect to %s:%d", reason.c_str(), result.dm->c_str(), port);
        result.st = -1;
        return result;
    }
    const std::int64_t t1 = wallMilliseconds();
    result.tm = (t1 - t0) / 10; // hundredths of a second
    result.st = 0;
    result.ts = startSeconds;
    ::close(fd);
    return result;
}

void MXStatDispatcher::speedTest(const std::string& targets) {
    auto urls = splitSpeedString(targets);
    if (urls.size() > kMaxSpeedTargets) {
        MXStatLog("[WARN]Speed test of %lu targets: only the first %lu are tested",
                  static_cast<unsigned long>(urls.size()), static_cast<unsigned long>(kMaxSpeedTargets));
        urls.resize(kMaxSpeedTargets);
    }
    std::string sp = "[";
    for (std::size_t i = 0; i < urls.size(); ++i) {
        if (i)
            sp += ',';
        sp += taSocket(urls[i]).toJsonString();
    }
    sp += ']';
    MXStatConfig& settings = MXStatConfig::getInstance();
    settings.setSp(sp);
    const auto internet = MXStatReachability::reachabilityForInternetConnection();
    if (internet) {
        const auto flags = internet->reachabilityFlags();
        if (internet->isReachableWithFlags(flags) && MXStatReachability::isReachableViaWiFiWithFlags(flags))
            settings.setCn(std::string("WIFI"));
        else if (internet->isReachableWithFlags(flags) && MXStatReachability::isReachableViaWWANWithFlags(flags))
            settings.setCn(std::string("CellNetwork"));
    }
    const std::string& mccmnc = MXStatHelper::getInstance().getEnv().mccmnc;
    if (!mccmnc.empty())
        settings.setOp(mccmnc);
}

} // namespace stats
