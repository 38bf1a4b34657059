#include "push/PULSEClientController.h"

#include "push/PULSECrashLog.h"
#include "push/PULSENetworkController.h"

#include "push/PULSEPushConfigController.h"
#include "push/PULSEUserDefaultsController.h"

#include "platform/NotificationCenter.h"
#include "platform/Reachability.h"

namespace push {

namespace {

// Until the network controller installs its reachability: the platform's view of the network in general.
int platformNetworkStatus() {
    auto reachability = platform::Reachability::createWithAddress("0.0.0.0");
    platform::ReachabilityFlags flags = 0;
    if (!reachability || !reachability->getFlags(flags) || !(flags & platform::kReachabilityFlagsReachable))
        return 0;
    return (flags & platform::kReachabilityFlagsIsWWAN) ? 3 : 2;
}

std::unique_ptr<PULSEClientController>& sharedSlot() {
    static auto* slot = new std::unique_ptr<PULSEClientController>; // lives for the process
    return *slot;
}

// Calls a source outside the lock that guards it (a source may take time or call back into the client).
template <class R>
R callSource(std::mutex& mutex, const std::function<R()>& slot) {
    std::function<R()> source;
    {
        std::lock_guard lock(mutex);
        source = slot;
    }
    return source ? source() : R{};
}

std::mutex& sharedSlotMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

PULSEClientController::PULSEClientController()
    : m_pulseThreadManager(PULSEThreadController::shareThreadInstance()), m_networkStatusSource(platformNetworkStatus) {}

PULSEClientController::~PULSEClientController() {
    // The network controller gives the network-status source back while the hub is still whole.
    m_networkService.reset();
}

PULSEClientController& PULSEClientController::sharedClient() {
    std::lock_guard lock(sharedSlotMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot.reset(new PULSEClientController);
    return *slot;
}

void PULSEClientController::resetForTesting() {
    std::unique_ptr<PULSEClientController> old;
    {
        std::lock_guard lock(sharedSlotMutex());
        old = std::move(sharedSlot());
    }
}

std::string PULSEClientController::pushChannel() const {
    // The channel belongs to the push configuration, which the set-up installs.
    return m_pushConfig ? m_pushConfig->pushChanel() : std::string();
}

void PULSEClientController::setCrashLogON() {
    if (m_isReportCrash)
        return;
    m_isReportCrash = true;
    PULSEInstallCrashHandlers();
}

void PULSEClientController::removeCrashReport() { PULSERemoveCrashHandlers(); }

std::uint64_t PULSEClientController::getRId(int kind) {
    if (auto session = requestSession())
        return session->getRId(kind);
    m_plainRId += 2;
    return m_plainRId - 1;
}

std::uint32_t PULSEClientController::sessionID() const {
    auto session = requestSession();
    return session ? session->sessionID() : 0;
}

std::uint64_t PULSEClientController::uid() const {
    return m_userDefaults ? m_userDefaults->uid() : 0;
}

int PULSEClientController::currentNetworkStatus() const {
    return callSource(m_sourcesMutex, m_networkStatusSource);
}

void PULSEClientController::setNetworkStatusSource(NetworkStatusSource source) {
    std::lock_guard lock(m_sourcesMutex);
    m_networkStatusSource = source ? std::move(source) : NetworkStatusSource(platformNetworkStatus);
}

std::int32_t PULSEClientController::proofTimeInterval() const {
    return callSource(m_sourcesMutex, m_serverTimeOffsetSource);
}

void PULSEClientController::setServerTimeOffsetSource(ServerTimeOffsetSource source) {
    std::lock_guard lock(m_sourcesMutex);
    m_serverTimeOffsetSource = std::move(source);
}

} // namespace push
