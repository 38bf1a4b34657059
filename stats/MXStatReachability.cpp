#include "stats/MXStatReachability.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

namespace stats {

using platform::ReachabilityFlags;

std::shared_ptr<MXStatReachability> MXStatReachability::wrap(std::shared_ptr<platform::Reachability> reachability) {
    if (!reachability)
        return nullptr;
    return std::shared_ptr<MXStatReachability>(new MXStatReachability(std::move(reachability)));
}

MXStatReachability::MXStatReachability(std::shared_ptr<platform::Reachability> reachability)
    : m_reachability(std::move(reachability)) {}

MXStatReachability::~MXStatReachability() {
    m_reachability->unscheduleFromRunLoop();
}

std::shared_ptr<MXStatReachability> MXStatReachability::reachabilityForInternetConnection() {
    return wrap(platform::Reachability::createWithAddress("0.0.0.0"));
}

std::shared_ptr<MXStatReachability> MXStatReachability::reachabilityForLocalWiFi() {
    return wrap(platform::Reachability::createWithAddress("169.254.0.0"));
}

std::shared_ptr<MXStatReachability> MXStatReachability::reachabilityWithHostname(const std::string& hostName) {
    return wrap(platform::Reachability::createWithName(hostName));
}

std::shared_ptr<MXStatReachability> MXStatReachability::reachabilityWithAddress(const std::string& ipv4) {
    return wrap(platform::Reachability::createWithAddress(ipv4));
}

bool MXStatReachability::readFlags(ReachabilityFlags& flags) const {
    flags = 0;
    return m_reachability->getFlags(flags);
}

ReachabilityFlags MXStatReachability::reachabilityFlags() const {
    ReachabilityFlags flags = 0;
    return readFlags(flags) ? flags : 0;
}

namespace {
bool isReachableFor(ReachabilityFlags flags, bool reachableOnWWAN) {
    if (!(flags & platform::kReachabilityFlagsReachable))
        return false;
    const ReachabilityFlags onDemandOnly =
        platform::kReachabilityFlagsConnectionRequired | platform::kReachabilityFlagsTransientConnection;
    if ((flags & onDemandOnly) == onDemandOnly)
        return false;
    if (flags & platform::kReachabilityFlagsIsWWAN)
        return reachableOnWWAN;
    return true;
}
} // namespace

bool MXStatReachability::isReachableWithFlags(ReachabilityFlags flags) const {
    return isReachableFor(flags, reachableOnWWAN());
}

bool MXStatReachability::isReachable() const {
    return isReachableWithFlags(reachabilityFlags());
}

bool MXStatReachability::isReachableViaWWANWithFlags(ReachabilityFlags flags) {
    return (flags & platform::kReachabilityFlagsReachable) && (flags & platform::kReachabilityFlagsIsWWAN);
}

bool MXStatReachability::isReachableViaWiFiWithFlags(ReachabilityFlags flags) {
    return (flags & platform::kReachabilityFlagsReachable) && !(flags & platform::kReachabilityFlagsIsWWAN);
}

bool MXStatReachability::isReachableViaWWAN() const {
    return isReachableViaWWANWithFlags(reachabilityFlags());
}

bool MXStatReachability::isReachableViaWiFi() const {
    return isReachableViaWiFiWithFlags(reachabilityFlags());
}

bool MXStatReachability::isConnectionRequired() const {
    return reachabilityFlags() & platform::kReachabilityFlagsConnectionRequired;
}

bool MXStatReachability::isConnectionOnDemand() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return (flags & platform::kReachabilityFlagsConnectionRequired) &&
           (flags & (platform::kReachabilityFlagsConnectionOnTraffic | platform::kReachabilityFlagsConnectionOnDemand));
}

bool MXStatReachability::isInterventionRequired() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return (flags & platform::kReachabilityFlagsConnectionRequired) && (flags & platform::kReachabilityFlagsInterventionRequired);
}

MXStatNetworkStatus MXStatReachability::statusForFlags(ReachabilityFlags flags) {
    if (!(flags & platform::kReachabilityFlagsReachable))
        return MXStatNotReachable;
    return (flags & platform::kReachabilityFlagsIsWWAN) ? MXStatReachableViaWWAN : MXStatReachableViaWiFi;
}

MXStatNetworkStatus MXStatReachability::currentReachabilityStatus() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return isReachableWithFlags(flags) ? statusForFlags(flags) : MXStatNotReachable;
}

std::string MXStatReachability::flagsText(ReachabilityFlags flags) {
    struct Letter {
        ReachabilityFlags flag;
        char letter;
    };
    static constexpr Letter kLetters[] = {
        {platform::kReachabilityFlagsIsWWAN, 'W'},
        {platform::kReachabilityFlagsReachable, 'R'},
        {platform::kReachabilityFlagsConnectionRequired, 'c'},
        {platform::kReachabilityFlagsTransientConnection, 't'},
        {platform::kReachabilityFlagsInterventionRequired, 'i'},
        {platform::kReachabilityFlagsConnectionOnTraffic, 'C'},
        {platform::kReachabilityFlagsConnectionOnDemand, 'D'},
        {platform::kReachabilityFlagsIsLocalAddress, 'l'},
        {platform::kReachabilityFlagsIsDirect, 'd'},
    };
    std::string text;
    for (std::size_t i = 0; i < std::size(kLetters); ++i) {
        text.push_back((flags & kLetters[i].flag) ? kLetters[i].letter : '-');
        if (i == 1)
            text.push_back(' ');
    }
    return text;
}

std::string MXStatReachability::currentReachabilityFlags() const {
    return flagsText(reachabilityFlags());
}

std::string MXStatReachability::currentReachabilityString() const {
    switch (currentReachabilityStatus()) {
    case MXStatReachableViaWWAN:
        return "Cellular";
    case MXStatReachableViaWiFi:
        return "WiFi";
    case MXStatNotReachable:
        break;
    }
    return "No Connection";
}

void MXStatReachability::setReachableBlock(Block block) {
    std::lock_guard lock(m_mutex);
    m_reachableBlock = std::move(block);
}

void MXStatReachability::setUnreachableBlock(Block block) {
    std::lock_guard lock(m_mutex);
    m_unreachableBlock = std::move(block);
}

bool MXStatReachability::reachableOnWWAN() const {
    std::lock_guard lock(m_mutex);
    return m_reachableOnWWAN;
}

void MXStatReachability::setReachableOnWWAN(bool reachable) {
    std::lock_guard lock(m_mutex);
    m_reachableOnWWAN = reachable;
}

bool MXStatReachability::startNotifier() {
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        std::lock_guard lock(m_mutex);
        if (m_notifierQueue)
            return false;
        queue = platform::DispatchQueue::createSerial(kMXStatReachabilityQueueLabel);
        m_notifierQueue = queue;
        m_selfWhileNotifying = shared_from_this();
    }
    // The platform reports changes on a run loop; the main one hands them on to the notifier's queue.
    std::weak_ptr<MXStatReachability> weak = weak_from_this();
    m_reachability->setCallback([weak, queue](platform::Reachability&, ReachabilityFlags flags) {
        queue->async([weak, flags] {
            if (auto self = weak.lock())
                self->reachabilityChanged(flags);
        });
    });
    if (!m_reachability->scheduleWithRunLoop(platform::RunLoop::main())) {
        stopNotifier();
        return false;
    }
    return true;
}

void MXStatReachability::stopNotifier() {
    m_reachability->unscheduleFromRunLoop();
    m_reachability->setCallback(nullptr);
    std::shared_ptr<MXStatReachability> keptAlive;
    {
        std::lock_guard lock(m_mutex);
        m_notifierQueue.reset();
        keptAlive = std::move(m_selfWhileNotifying);
    }
    // keptAlive may be the last reference: it goes after the lock is released.
}

void MXStatReachability::reachabilityChanged(ReachabilityFlags flags) {
    Block block;
    {
        std::lock_guard lock(m_mutex);
        if (!m_notifierQueue || !m_notifierQueue->isCurrent())
            return; // stopped (or restarted) since the change was queued
        block = isReachableFor(flags, m_reachableOnWWAN) ? m_reachableBlock : m_unreachableBlock;
    }
    if (block)
        block(*this);
    platform::DispatchQueue::main()->async([self = shared_from_this()] {
        platform::NotificationCenter::defaultCenter().post(kReachabilityChangedNotification, self.get());
    });
}

} // namespace stats
