#include "push/PULSESessionController.h"

#include "push/PULSEAddress.h"
#include "push/PULSEClientController.h"
#include "push/PULSEDelegateSynchronize.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSELogging.h"
#include "push/PULSEMessageCenter.h"
#include "push/PULSEReportRequest.h"
#include "push/PULSESessionRequests.h"
#include "push/PULSETagAlias.h"
#include "push/PULSEUDPReport.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/system/UserDefaults.h"
#include "platform/core/SeededHash.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <unordered_set>
#include <utility>
#include <vector>

namespace push {

namespace {

constexpr std::uint64_t kRIdWrapHalf = 4092; // (c + 1) / 2 beyond this restarts the counter at 0

// The process-wide heartbeat lock: the clock time it was taken at, or none.
std::mutex& heartbeatLockMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<platform::Clock::TimePoint>& heartbeatLockTakenAt() {
    static std::optional<platform::Clock::TimePoint> takenAt;
    return takenAt;
}

// Takes the lock unless it was taken less than the lock's span ago.
bool takeHeartbeatLock() {
    std::lock_guard lock(heartbeatLockMutex());
    const auto now = platform::Clock::current().now();
    auto& takenAt = heartbeatLockTakenAt();
    if (takenAt && now >= *takenAt && now - *takenAt < platform::seconds(PULSESessionController::kHeartbeatLockSeconds))
        return false;
    takenAt = now;
    return true;
}

std::shared_ptr<PULSEUserDefaultsController> identity() { return PULSEClientController::sharedClient().userDefaults(); }

std::uint32_t storedSeconds(platform::UserDefaults& defaults, const char* key) {
    // Stored as seconds with a fraction (local) or whole seconds (server); read as 32-bit seconds.
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(defaults.doubleValue(key)));
}

} // namespace

// ---- creation ----

PULSESessionController::PULSESessionController()
    : m_tcpBlockedQueue(kMaxQueuedRequests, [](const PULSERequest& r) { return r.rid(); }),
      m_tcpSendingQueue(kMaxQueuedRequests, [](const PULSERequest& r) { return r.rid(); }) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const auto cache = PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache);
    const auto stored = cache ? cache->objectForKey(kSessionIDKey) : platform::ArchiveValue();
    if (const auto* value = stored.getInteger())
        m_rId = static_cast<std::uint64_t>(*value);
    else
        m_rId = static_cast<std::uint64_t>(std::rand() & 0xFFFF);
}

std::shared_ptr<PULSESessionController> PULSESessionController::create() {
    std::shared_ptr<PULSESessionController> session(new PULSESessionController());
    session->install();
    return session;
}

void PULSESessionController::install() {
    m_addressController = PULSEAddressController::create();
    auto& client = PULSEClientController::sharedClient();
    client.setRequestSession(weak_from_this());
    std::weak_ptr<PULSESessionController> weak = weak_from_this();
    client.setServerTimeOffsetSource([weak]() -> std::int32_t {
        auto self = weak.lock();
        return self ? self->proofTimeInterval() : 0;
    });
}

PULSESessionController::~PULSESessionController() {
    // Tear down without scheduling anything: nobody would be there to run it.
    m_isConnectDisable = true;
    m_isConnecting = false;
    close();
    stopDelaySetupTimer();
    if (m_rIdPersistPending)
        persistRId();
}

// ---- request ids ----

std::uint64_t PULSESessionController::getRId(int kind) {
    std::uint64_t& c = m_rId;
    std::uint64_t result;
    const bool even = c % 2 == 0;
    if ((kind == 0 && even) || (kind == 1 && !even))
        result = ++c;
    else if (kind == 0 || kind == 1)
        result = 1;
    else
        result = c;
    c = (c + 1) / 2 > kRIdWrapHalf ? 0 : c + 1;
    persistRIdSoon();
    return result;
}

void PULSESessionController::persistRIdSoon() {
    if (m_rIdPersistPending)
        return;
    m_rIdPersistPending = true;
    // One write a second at most carries every id drawn meanwhile: every receipt draws one, and a
    // burst of pushed messages must not flush the store to disk again and again.
    std::weak_ptr<PULSESessionController> weak = weak_from_this();
    m_rIdPersistTimer = platform::RunLoop::current().scheduleTimer(platform::seconds(kRIdPersistDelay), [weak] {
        if (auto self = weak.lock(); self && self->m_rIdPersistPending)
            self->persistRId();
    });
}

void PULSESessionController::persistRId() {
    m_rIdPersistPending = false;
    if (m_rIdPersistTimer) {
        m_rIdPersistTimer->invalidate();
        m_rIdPersistTimer.reset();
    }
    if (auto cache = PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache))
        cache->setObject(static_cast<unsigned long long>(m_rId), kSessionIDKey);
}

// ---- set-up and connecting ----

void PULSESessionController::setup() {
    if (m_isSetup || m_isConnectDisable)
        return;
    m_isSetup = true;
    stopDelaySetupTimer();
    platform::NotificationCenter::defaultCenter().post(kPULSENetworkIsConnectingNotification);
    if (PULSEClientController::sharedClient().currentNetworkStatus() == 0) {
        PULSE_LOG_DEBUG("当前网络不可用");
    } else {
        // The session may be let go by a handler that runs inside the connect wait.
        auto self = shared_from_this();
        m_isConnecting = true;
        const bool connected = connect();
        m_isConnecting = false;
        if (connected && !m_hasCloseSession) {
            // The schedule starts again only at a login: a server that takes connections and then
            // fails them must not be asked every 2 s.
            doRegisterOrLogin();
            return;
        }
        m_hasCloseSession = false;
    }
    close();
}

bool PULSESessionController::isSisOnProtect() {
    const int status = PULSEClientController::sharedClient().currentNetworkStatus();
    const bool sameNetwork = m_status == 0 || m_status == status;
    if (m_sisContent && sameNetwork && PULSECorrectedTime() - m_lastSucceedSisTime <= kSisProtectSeconds) {
        PULSE_LOG_DEBUG("sis is on protect");
        return true;
    }
    PULSE_LOG_DEBUG("sis is not on protect");
    m_sisContent.reset();
    m_status = 0;
    m_lastSucceedSisTime = 0;
    return false;
}

bool PULSESessionController::connect() {
    m_connectedAddress.clear();
    const bool reused = isSisOnProtect();
    const std::optional<PULSELookupResult> list = reused ? m_sisContent : m_addressController->getAddressFromSis();
    std::vector<std::string> tried; // no address twice in one round
    const auto tryAddress = [&](const std::string& address, const std::optional<std::string>& udpAddress) {
        if (std::find(tried.begin(), tried.end(), address) != tried.end() || isSetAside(address))
            return false;
        tried.push_back(address);
        return connectTcp(address, udpAddress);
    };
    if (list) {
        if (!reused) {
            // The 180 s of reuse run from the lookup itself.
            m_sisContent = list;
            m_status = PULSEClientController::sharedClient().currentNetworkStatus();
            m_lastSucceedSisTime = PULSECorrectedTime();
        }
        std::vector<std::string> addresses{list->connectAddress};
        addresses.insert(addresses.end(), list->optionAddresses.begin(), list->optionAddresses.end());
        // A lookup that answers the same list goes on where the last round stopped; only a new list
        // starts again at its first address.
        if (addresses != m_sisAddresses) {
            m_sisAddresses = addresses;
            m_sisCursor = 0;
        }
        const std::size_t count = addresses.size();
        std::size_t step = 0;
        std::size_t attempts = 0;
        for (; step < count && attempts < kLookupAddressesPerRound; ++step) {
            const std::string& address = addresses[(m_sisCursor + step) % count];
            if (std::find(tried.begin(), tried.end(), address) != tried.end() || isSetAside(address))
                continue;
            ++attempts;
            tried.push_back(address);
            if (connectTcp(address, list->udpReportAddress)) {
                m_sisCursor = (m_sisCursor + step) % count;
                return true;
            }
        }
        m_sisCursor = (m_sisCursor + step) % count;
    }
    const std::string report = PULSEAddressController::defaultReportAddress();
    if (auto defaults = identity()) {
        const platform::ArchiveValue lastSucceed = defaults->lastSucceedConnectionAddress();
        if (const auto* last = lastSucceed.getString())
            if (tryAddress(*last, report))
                return true;
    }
    if (tryAddress(PULSEAddressController::defaultConnectAddress(), report))
        return true;
    if (const auto domain = PULSEAddressController::defaultConnectDomainAddress(); domain && tryAddress(*domain, report))
        return true;
    // Last, the addresses set aside: they do answer, and may let the device in again.
    const std::deque<std::string> setAside = m_setAsideAddresses;
    for (const auto& address : setAside) {
        if (std::find(tried.begin(), tried.end(), address) != tried.end())
            continue;
        tried.push_back(address);
        if (connectTcp(address, report))
            return true;
    }
    return false;
}

bool PULSESessionController::isSetAside(const std::string& address) const {
    return std::find(m_setAsideAddresses.begin(), m_setAsideAddresses.end(), address) != m_setAsideAddresses.end();
}

bool PULSESessionController::sessionLasted() const {
    return m_isLogin && platform::Clock::current().now() - m_loginTime >= platform::seconds(kLastingSessionSeconds);
}

void PULSESessionController::noteFailedSession() {
    if (sessionLasted())
        return; // its address works: close() counts it as a success
    if (m_isLogin)
        PULSE_LOG_DEBUG("the session with %s ended %.1f s after its login: counted as a failed session",
                        m_connectedAddress.c_str(),
                        std::chrono::duration<double>(platform::Clock::current().now() - m_loginTime).count());
    countFailedSession();
}

void PULSESessionController::countFailedSession() {
    if (!m_isConnected || m_connectedAddress.empty())
        return;
    if (m_connectedAddress != m_failingAddress) {
        m_failingAddress = m_connectedAddress;
        m_failedSessions = 0;
    }
    if (++m_failedSessions < kFailedSessionsBeforeNextAddress)
        return;
    PULSE_LOG_WARN("%d sessions in a row with %s ended before login or soon after it: trying the other addresses "
                   "first and looking the addresses up again",
                   m_failedSessions, m_failingAddress.c_str());
    std::erase(m_setAsideAddresses, m_failingAddress);
    m_setAsideAddresses.push_back(m_failingAddress);
    if (m_setAsideAddresses.size() > kMaxSetAsideAddresses)
        m_setAsideAddresses.pop_front();
    m_failingAddress.clear();
    m_failedSessions = 0;
    m_sisContent.reset();
    m_status = 0;
    m_lastSucceedSisTime = 0;
}

bool PULSESessionController::connectTcp(const std::string& tcpAddress, const std::optional<std::string>& udpAddress) {
    if (m_hasCloseSession)
        return false;
    const auto address = PULSEAddress::initWithString(tcpAddress);
    if (!address)
        return false;
    PULSE_LOG_DEBUG("tcp connect to %s", tcpAddress.c_str());
    if (m_tcpConnectionSocket)
        m_tcpConnectionSocket->close();
    m_tcpConnectionSocket = PULSETcpSocket::create(address->host(), address->port(), weak_from_this());
    if (!m_tcpConnectionSocket->setup()) {
        PULSE_LOG_DEBUG("连接服务器失败");
        m_tcpConnectionSocket.reset();
        return false;
    }
    // Known before the wait: the server may take the connection and close it while the wait still turns.
    m_connectedAddress = tcpAddress;
    const platform::Value connected = PULSEDelegateSynchronize::runMethodBlockThread([] {}, kTCPConnectWait, kTCPConnectIdentifier);
    if (connected.isNull()) {
        m_connectedAddress.clear();
        if (m_tcpConnectionSocket) {
            m_tcpConnectionSocket->close();
            m_tcpConnectionSocket.reset();
        }
        return false;
    }
    openUdpSocket(udpAddress);
    return true;
}

void PULSESessionController::openUdpSocket(const std::optional<std::string>& udpAddress) {
    if (m_udpReportSocket) {
        m_udpReportSocket->close();
        m_udpReportSocket.reset();
    }
    m_udpReportSocket = PULSEUdpSocket::create(weak_from_this());
    const auto address = PULSEAddress::initWithString(udpAddress.value_or(PULSEAddressController::defaultReportAddress()));
    if (address)
        (void)m_udpReportSocket->connectToHost(address->host(), address->port()); // its outcome changes nothing
}

void PULSESessionController::connectionDidSetup(const std::shared_ptr<PULSETcpSocket>& socket) {
    if (socket != m_tcpConnectionSocket)
        return;
    m_isConnected = true;
    PULSEDelegateSynchronize::continueThread(true, platform::Value(true), kTCPConnectIdentifier);
    PULSEPostNotification(kPULSENetworkDidSetupNotification);
}

void PULSESessionController::connectionDidClose(const std::shared_ptr<PULSETcpSocket>& socket) {
    if (socket != m_tcpConnectionSocket)
        return;
    // A connection that never came up is one more try of a retry; one that was up is news.
    if (PULSEDelegateSynchronize::continueThread(false, platform::Value(), kTCPConnectIdentifier)) {
        PULSE_LOG_DEBUG("连接被关闭");
    } else {
        PULSE_LOG_WARN("连接被关闭");
        PULSE_LOG_WARN("conect close by remote");
        noteFailedSession();
        close();
    }
}

void PULSESessionController::connection(const std::shared_ptr<PULSETcpSocket>& socket,
                                        const std::shared_ptr<PULSEReceivedPacketController>& element) {
    if (socket != m_tcpConnectionSocket || !element)
        return;
    auto self = shared_from_this(); // a handler may close the session and let go of it
    element->handleReceipt();
}

void PULSESessionController::connectionDidFinishReading(const std::shared_ptr<PULSETcpSocket>& socket) {
    if (socket != m_tcpConnectionSocket)
        return;
    // The messages of this read are kept before their receipts are queued, and before the next read.
    auto self = shared_from_this();
    if (const auto& center = PULSEClientController::sharedClient().messageCenter())
        center->commit();
}

void PULSESessionController::connectionSendQueueEmpty(const std::shared_ptr<PULSETcpSocket>& socket) {
    if (socket != m_tcpConnectionSocket)
        return;
    if (m_isLogin && !m_keptReceipts.empty()) {
        sendKeptReceipts();
        return;
    }
    if (m_isLogin) {
        if (auto request = m_tcpBlockedQueue.dequeue()) {
            doSendTcpRequest(request);
            return;
        }
    }
    setCareAllDataSent(false);
}

void PULSESessionController::didNotSendData(const platform::Bytes&, PULSEUdpSocket&) {
    PULSE_LOG_ERROR("did not send udp data");
}

void PULSESessionController::didNotReceivedData(PULSEUdpSocket&, const PULSEUdpError& error) {
    PULSE_LOG_ERROR("did not receive udp data with error %ld", static_cast<long>(error.code));
}

// ---- registration and login ----

void PULSESessionController::doRegisterOrLogin() {
    auto defaults = identity();
    if (defaults && defaults->uid() != 0 && defaults->password() && defaults->registrationID() &&
        !defaults->registrationID()->empty()) {
        doLogin();
        return;
    }
    if (PULSEClientController::sharedClient().deviceTokenUpdated()) {
        std::make_shared<PULSERegistrationRequest>()->send();
        return;
    }
    close();
}

void PULSESessionController::doLogin() {
    if (!m_loginRequest)
        m_loginRequest = std::make_shared<PULSELoginRequest>();
    m_loginRequest->send();
}

bool PULSESessionController::stopsClient(std::uint16_t status) const {
    switch (status) {
    case 1002: PULSE_LOG_ERROR("error code: %u 注册缺少必要参数", unsigned(status)); return true;
    case 1003: PULSE_LOG_ERROR("error code: %u 注册参数错误", unsigned(status)); return true;
    case 1004: PULSE_LOG_ERROR("error code: %u, 注册参数校验失败", unsigned(status)); return true;
    case 1005: PULSE_LOG_ERROR("error code：%u，你配置的AppKey不存在", unsigned(status)); return true;
    case 1008: PULSE_LOG_ERROR("error code：%u，你配置的AppKey格式不正确", unsigned(status)); return true;
    case 1009: PULSE_LOG_ERROR("error code：%u，你配置的AppKey尚未配置iOS平台", unsigned(status)); return true;
    default: return false;
    }
}

void PULSESessionController::onRegisterRespond(const PULSERegistrationResponse& response) {
    if (!answersRequestOf<PULSERegistrationRequest>(response))
        return;
    if (m_isLogin) {
        PULSE_LOG_WARN("When register response, is already login. Give up the register resp.");
        return;
    }
    m_isConnectDisable = stopsClient(response.statusCode());
    auto defaults = identity();
    const auto& password = response.password();
    const auto& registrationID = response.registrationID();
    if (response.statusCode() != 0 || response.uid() == 0 || !password || !registrationID || !defaults) {
        noteFailedSession();
        close();
        return;
    }
    PULSEPostNotificationWithUserInfo(kPULSENetworkDidRegisterNotification,
                                      platform::Dictionary{{"RegistrationID", *registrationID}});
    if (response.uid() != defaults->uid())
        defaults->clearAllCache();
    defaults->setUid(response.uid(), password, registrationID);
    defaults->setUploadedDeviceToken(defaults->currentDeviceToken());
    doLogin();
}

void PULSESessionController::onLoginRespond(const PULSELoginResponse& response) {
    if (!answersRequestOf<PULSELoginRequest>(response) || m_isLogin)
        return;
    if (response.statusCode() != 0) {
        if (auto defaults = identity())
            defaults->setUid(0, std::nullopt, std::nullopt);
        noteFailedSession();
        close();
        return;
    }
    m_sessionID = response.sessionID();
    m_serverVersion = response.serverVersion();
    m_sessionKey = response.sessionKey().value_or(std::string());
    auto& defaults = platform::UserDefaults::standard();
    (void)defaults.set(kLocalTimeKey, PULSECurrentTime());
    (void)defaults.synchronize();
    (void)defaults.set(kServerTimeKey, static_cast<std::int64_t>(response.serverTime()));
    (void)defaults.synchronize();
    m_proofTimeInterval = 0;
    PULSEPostNotification(kPULSENetworkDidLoginNotification);
    m_isLogin = true;
    // Whether this address works is known when the session ends: one that lasts counts as a success,
    // one that ends soon after its login as a failure (close()).
    m_loginTime = platform::Clock::current().now();
    // Before anything else, and before the packets behind the login answer are read: the server sends
    // again what it has no receipt for.
    sendKeptReceipts();
    if (!m_isLogin)
        return;
    if (auto defaults = identity(); defaults && !m_connectedAddress.empty())
        defaults->setLastSucceedConnectionAddress(m_connectedAddress);
    startHeartbeatTimer();
    setCareAllDataSent(true);
    if (auto reports = PULSEClientController::sharedClient().reportSession())
        reports->sendAllBlockedHttpReports();
    if (const auto& tagAlias = PULSEClientController::sharedClient().tagAliasMng())
        tagAlias->sendFailedTagAlias();
    auto kept = std::move(m_udpBlockedQueue);
    m_udpBlockedQueue.clear();
    for (const auto& report : kept)
        sendUdpReport(report);
}

std::int32_t PULSESessionController::proofTimeInterval() {
    if (const std::int32_t cached = m_proofTimeInterval.load())
        return cached;
    auto& defaults = platform::UserDefaults::standard();
    const auto d = static_cast<std::int32_t>(storedSeconds(defaults, kServerTimeKey) - storedSeconds(defaults, kLocalTimeKey));
    if (d >= -kMaxServerTimeOffset && d <= kMaxServerTimeOffset) {
        m_proofTimeInterval = d;
        return d;
    }
    m_proofTimeInterval = 0;
    (void)defaults.set(kServerTimeKey, 0);
    (void)defaults.synchronize();
    (void)defaults.set(kLocalTimeKey, 0);
    (void)defaults.synchronize();
    return 0;
}

// ---- requests ----

void PULSESessionController::sendRequest(const std::shared_ptr<PULSERequest>& request) {
    if (!request)
        return;
    if (dynamic_cast<const PULSEMessageReceipt*>(request.get())) {
        sendMessageReceipt(request);
        return;
    }
    if (!request->loginRequired()) {
        doSendTcpRequest(request);
    } else if (m_isLogin) {
        if (request->hasHighPriority())
            doSendTcpRequest(request);
        else
            enqueueRequest(request);
    } else if (request->canBeQueuedIfNotLogin()) {
        enqueueRequest(request);
    } else {
        PULSE_LOG_DEBUG("未登录状态，请求被丢弃");
    }
}

void PULSESessionController::sendMessageReceipt(const std::shared_ptr<PULSERequest>& receipt) {
    if (m_isLogin) {
        // The server sent the message again while an earlier receipt of it is kept, waiting for room in
        // the send queue: this one goes now and stands for it, the kept one is not sent after it.
        if (const auto* message = dynamic_cast<const PULSEMessageReceipt*>(receipt.get())) {
            if (const auto pending = m_pendingReceipts.find(message->messageID()); pending != m_pendingReceipts.end())
                pending->second = receipt;
        }
        doSendTcpRequest(receipt, true);
    } else if (keepReceipt(receipt))
        PULSE_LOG_WARN("too many receipts kept: the oldest is dropped");
}

bool PULSESessionController::keepReceipt(const std::shared_ptr<PULSERequest>& receipt) {
    const auto* message = dynamic_cast<const PULSEMessageReceipt*>(receipt.get());
    if (!message)
        return false;
    const auto [pending, added] = m_pendingReceipts.try_emplace(message->messageID(), receipt);
    if (!added && pending->second != receipt)
        return false; // another receipt of the same message is on its way
    m_keptReceipts.push_back(receipt);
    if (m_pendingReceipts.size() <= kMaxPendingReceipts)
        return false;
    // The oldest kept receipt goes (the one just kept when all the others are on their way again).
    const auto oldest = m_keptReceipts.front();
    m_keptReceipts.pop_front();
    const auto oldestPending = m_pendingReceipts.find(static_cast<const PULSEMessageReceipt&>(*oldest).messageID());
    if (oldestPending != m_pendingReceipts.end() && oldestPending->second == oldest)
        m_pendingReceipts.erase(oldestPending);
    return true;
}

static_assert(PULSESessionController::kSendQueueReserve >= PULSEPacketReassembler::kCapacity / 31);
static_assert(PULSETcpSocket::kMaxQueuedPackets > PULSESessionController::kSendQueueReserve);
// Receipts sent again never take the room a read needs: reading goes on while they go.
static_assert(PULSESessionController::kSendQueueReserve >= PULSETcpSocket::kReadRoom);

void PULSESessionController::sendKeptReceipts() {
    if (!m_keptReceipts.empty())
        PULSE_LOG_DEBUG("sending %zu receipts kept from the last connection", m_keptReceipts.size());
    // As many as the send queue takes with room to spare; the rest follow as it empties (they stay
    // kept meanwhile). A refused write closes the session and keeps the receipt again.
    const std::size_t room = m_tcpConnectionSocket ? m_tcpConnectionSocket->sendQueueRoom() : 0;
    std::size_t batch = std::min(m_keptReceipts.size(), room > kSendQueueReserve ? room - kSendQueueReserve : 0);
    std::deque<std::shared_ptr<PULSERequest>> kept;
    while (batch-- > 0) {
        kept.push_back(std::move(m_keptReceipts.front()));
        m_keptReceipts.pop_front();
    }
    if (!m_keptReceipts.empty())
        setCareAllDataSent(true);
    while (!kept.empty()) {
        auto receipt = std::move(kept.front());
        kept.pop_front();
        // Another receipt of the same message went since (the server sent the message again): one is enough.
        const auto pending = m_pendingReceipts.find(static_cast<const PULSEMessageReceipt&>(*receipt).messageID());
        if (pending != m_pendingReceipts.end() && pending->second != receipt)
            continue;
        if (m_isLogin)
            doSendTcpRequest(receipt, true);
        else
            (void)keepReceipt(receipt); // as many as before: nothing can be dropped
    }
}

bool PULSESessionController::isReceiptPending(std::uint64_t messageID) const {
    return m_pendingReceipts.count(messageID) != 0;
}

void PULSESessionController::enqueueRequest(const std::shared_ptr<PULSERequest>& request) {
    if (!request->isExclusive())
        return;
    m_tcpBlockedQueue.enumerateObjects([&](const std::shared_ptr<PULSERequest>& queued, std::size_t, bool&) {
        if (queued->isEqualToRequest(*request))
            m_tcpBlockedQueue.removeItem(queued);
    });
    // A full queue makes room itself, with a word about it, instead of the queue dropping silently.
    if (static_cast<std::uint64_t>(m_tcpBlockedQueue.count()) >= kMaxQueuedRequests) {
        PULSE_LOG_WARN("tcp队列消息过多,清理部分最初的消息");
        m_tcpBlockedQueue.dequeue();
    }
    if (request->hasHighPriority())
        m_tcpBlockedQueue.enqueueWithHighPriority(request);
    else
        m_tcpBlockedQueue.enqueue(request);
    setCareAllDataSent(true);
}

std::shared_ptr<PULSERequest> PULSESessionController::findBlockedRequest(std::uint64_t rid) const {
    return m_tcpBlockedQueue.getObjectFromQueueWithKey(rid);
}

void PULSESessionController::dequeueRequest(const std::shared_ptr<PULSERequest>& request) {
    m_tcpBlockedQueue.removeItem(request);
}

void PULSESessionController::doSendTcpRequest(const std::shared_ptr<PULSERequest>& request, bool follow) {
    auto packet = request->packetData();
    if (!packet)
        return;
    const auto queued = m_tcpConnectionSocket ? m_tcpConnectionSocket->queueData(std::move(packet), follow ? request : nullptr)
                                              : PULSETcpSocket::QueueOutcome::NotConnected;
    if (queued != PULSETcpSocket::QueueOutcome::Queued) {
        if (queued == PULSETcpSocket::QueueOutcome::QueueFull)
            PULSE_LOG_ERROR("the server reads nothing (send queue full): the connection ends; rid %" PRIu64 " waits for the next one",
                            request->rid());
        else
            PULSE_LOG_DEBUG("当前网络未连接，发送请求失败");
        // Not written: a receipt is kept, and a request that may wait for a login waits for the next one.
        if (follow && keepReceipt(request))
            PULSE_LOG_WARN("too many receipts kept: the oldest is dropped");
        else if (!follow && request->loginRequired() && request->canBeQueuedIfNotLogin())
            enqueueRequest(request);
        noteFailedSession();
        close();
        return;
    }
    if (request->ackOrRespRequired() || (request->ackOrRespRequiredForVersion1() && m_serverVersion != 0)) {
        request->startAckTimeoutTimer();
        m_tcpSendingQueue.removeItem(request); // a request sent again waits once
        m_tcpSendingQueue.enqueue(request);
    }
}

void PULSESessionController::setCareAllDataSent(bool care) {
    if (m_tcpConnectionSocket)
        m_tcpConnectionSocket->setCareAllDataSent(care);
}

void PULSESessionController::onAckOrRespReceived(const PULSEReceivedPacketController& packet) {
    m_answeredRequest = m_tcpSendingQueue.getObjectFromQueueWithKey(packet.rid());
    if (m_answeredRequest) {
        m_tcpSendingQueue.removeItem(m_answeredRequest);
        m_answeredRequest->stopAckTimeoutTimer();
    }
}

template <class Request>
bool PULSESessionController::answersRequestOf(const PULSEReceivedPacketController& response) {
    const auto answered = std::move(m_answeredRequest);
    m_answeredRequest.reset();
    if (answered && answered->rid() == response.rid() && dynamic_cast<const Request*>(answered.get()))
        return true;
    PULSE_LOG_WARN("an answer of command %u answers no request of this connection (rid %" PRIu64 "): ignored",
                   unsigned(response.protocolType()), response.rid());
    return false;
}

void PULSESessionController::onAckTimeoutForRequest(const std::shared_ptr<PULSERequest>& request) {
    if (request && m_tcpSendingQueue.getObjectFromQueueWithKey(request->rid()) == request) {
        m_tcpSendingQueue.removeItem(request);
        PULSE_LOG_ERROR("ack timeout for request rid: %" PRIu64, request->rid());
        noteFailedSession();
        close();
    } else {
        PULSE_LOG_WARN("不在请求队列中ack超时");
    }
}

void PULSESessionController::reenqueueSendingRequests() {
    m_tcpSendingQueue.enumerateObjects([&](const std::shared_ptr<PULSERequest>& request, std::size_t, bool&) {
        request->stopAckTimeoutTimer();
        if (!request->canBeQueuedIfNotLogin())
            return;
        if (static_cast<std::uint64_t>(m_tcpBlockedQueue.count()) < kMaxQueuedRequests + 1)
            m_tcpBlockedQueue.enqueue(request);
        else
            PULSE_LOG_DEBUG("等待请求队列过多");
    });
    // Every request is now back in the waiting queue or dropped: none may be re-queued a second time.
    m_tcpSendingQueue.clear();
}

// ---- UDP reports ----

void PULSESessionController::sendUdpReport(const std::shared_ptr<PULSEUDPReport>& report) {
    if (!report)
        return;
    if (!m_isLogin) {
        if (m_udpBlockedQueue.size() >= kMaxKeptUdpReports) {
            PULSE_LOG_DEBUG("太多UDP上报,丢弃最早的上报");
            m_udpBlockedQueue.pop_front();
        }
        m_udpBlockedQueue.push_back(report);
        return;
    }
    report->updateClientInfo();
    const auto address = PULSEAddress::initWithString(PULSEAddressController::defaultReportAddress());
    if (!m_udpReportSocket || !address ||
        !m_udpReportSocket->sendData(report->packetData(), address->host(), address->port(), 0))
        PULSE_LOG_WARN("send Udp Report failed");
}

// ---- heartbeat ----

void PULSESessionController::startHeartbeatTimer() {
    stopHeartbeatTimer();
    std::weak_ptr<PULSESessionController> weak = weak_from_this();
    m_heartbeatTimer = platform::RunLoop::current().scheduleRepeatingTimer(
        platform::seconds(kHeartbeatInterval), [weak](platform::Timer& timer) {
            if (auto self = weak.lock())
                self->doHeartbeat(timer);
        });
}

void PULSESessionController::stopHeartbeatTimer() {
    if (auto timer = m_heartbeatTimer.lock())
        timer->invalidate();
    m_heartbeatTimer.reset();
}

void PULSESessionController::doHeartbeat(platform::Timer& timer) {
    if (&timer != m_heartbeatTimer.lock().get())
        return;
    if (!m_isLogin) {
        PULSE_LOG_ERROR("heart beat error!! on unlogin status");
        stopHeartbeatTimer();
        return;
    }
    fireHeartBeat();
}

void PULSESessionController::fireHeartBeat() {
    if (takeHeartbeatLock())
        std::make_shared<PULSEHeartbeatRequest>()->send();
}

void PULSESessionController::resetHeartbeatLockForTesting() {
    std::lock_guard lock(heartbeatLockMutex());
    heartbeatLockTakenAt().reset();
}

// ---- reconnecting ----

void PULSESessionController::startDelaySetupTimer() {
    stopDelaySetupTimer();
    double delay;
    if (PULSEClientController::sharedClient().currentNetworkStatus() != 0) {
        if (m_delaySetupTimeIntervalIndex < kReconnectSchedule.size())
            delay = kReconnectSchedule[m_delaySetupTimeIntervalIndex++];
        else
            delay = kReconnectSchedule.back();
    } else {
        delay = kOfflineReconnectDelay;
    }
    std::weak_ptr<PULSESessionController> weak = weak_from_this();
    auto firing = std::make_shared<std::weak_ptr<platform::Timer>>();
    auto timer = platform::RunLoop::current().scheduleTimer(platform::seconds(delay), [weak, firing] {
        auto self = weak.lock();
        auto timer = firing->lock();
        if (self && timer)
            self->doDelaySetup(*timer);
    });
    *firing = timer;
    m_delaySetupTimer = timer;
    PULSE_LOG_DEBUG("session will setup delayed with time interval: %f", delay);
}

void PULSESessionController::stopDelaySetupTimer() {
    if (auto timer = m_delaySetupTimer.lock())
        timer->invalidate();
    m_delaySetupTimer.reset();
}

void PULSESessionController::doDelaySetup(platform::Timer& timer) {
    if (&timer != m_delaySetupTimer.lock().get()) {
        PULSE_LOG_ERROR("start setup session failed with timer not equal to new timer ");
        close();
        return;
    }
    m_delaySetupTimer.reset();
    setup();
}

// ---- closing ----

bool PULSESessionController::close() {
    if (m_isConnecting) {
        m_hasCloseSession = true;
        return true;
    }
    if (!m_isSetup)
        return false;
    PULSE_LOG_DEBUG("Action - close Session");
    m_isSetup = false;
    if (sessionLasted()) {
        // The address works: the schedule starts again at 2 s and nothing stays set aside.
        m_delaySetupTimeIntervalIndex = 0;
        m_failingAddress.clear();
        m_failedSessions = 0;
        m_setAsideAddresses.clear();
    }
    if (m_isConnected) {
        PULSEPostNotification(kPULSENetworkDidCloseNotification);
        m_isConnected = false;
    }
    m_isLogin = false;
    m_sessionID = 0;
    m_serverVersion = 0;
    stopHeartbeatTimer();
    reenqueueSendingRequests();
    closeSockets();
    m_addressController->stop();
    if (m_rIdPersistPending)
        persistRId();
    if (!m_isConnectDisable)
        startDelaySetupTimer();
    return true;
}

void PULSESessionController::closeSockets() {
    if (auto socket = std::move(m_tcpConnectionSocket)) {
        m_tcpConnectionSocket.reset();
        socket->close();
        // A receipt sent again on this connection stays on its way until the connection ends (the server
        // may send its message again until it read the receipt); then only those the socket hands back
        // stay, with those not sent yet.
        std::unordered_set<std::uint64_t, platform::SeededHash> waiting;
        for (const auto& receipt : m_keptReceipts)
            waiting.insert(static_cast<const PULSEMessageReceipt&>(*receipt).messageID());
        std::erase_if(m_pendingReceipts, [&](const auto& pending) { return waiting.count(pending.first) == 0; });
        std::size_t dropped = 0;
        for (const auto& request : socket->takeUndeliveredRequests())
            dropped += keepReceipt(request) ? 1 : 0;
        if (dropped > 0)
            PULSE_LOG_WARN("too many receipts kept: the %zu oldest are dropped", dropped);
    }
    if (auto socket = std::move(m_udpReportSocket)) {
        m_udpReportSocket.reset();
        socket->close();
    }
}

} // namespace push
