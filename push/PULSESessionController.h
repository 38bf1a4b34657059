// The push client's session with the push server: it looks the server up, opens the TCP connection and
// the UDP report socket, registers or logs in, keeps the session alive with heartbeats, sends, queues
// and times out TCP requests, and comes back after every failure on a fixed schedule. It also hands out
// request ids and keeps the server-time offset.
//
//   setup ──> connect (lookup result, else the last good, default and domain addresses; 2 s wait each)
//         ──> register (no stored identity, a device token taken) or log in
//         ──> logged in: heartbeat every 290 s, blocked requests pumped out, UDP reports sent
//   every failure ──> close ──> next setup after 2, 5, 20, 300 s, then 300 s (500 s while offline);
//   only a session that lasted (60 s or more after its login) brings the schedule back to 2 s
//
// Choosing the address (one round per set-up): at most 4 looked-up addresses, taken in turn from the
// list (the next round goes on where this one stopped, also after a new lookup that answers the same
// list, so a long list of silent addresses costs at most 8 s a round and every address gets its turn;
// a different list starts at its first address); then the last address that logged in, the default
// address and the connect host's address; last of all the addresses set aside below. No address is tried
// twice in a round. The lookup result is reused for 180 s from the lookup itself (reuse does not extend
// it) while the network stays the same.
// A server that accepts the connection and then fails the session (closes before the login answer or
// within 60 s after it, refuses registration or login, lets a request time out) is set aside after 2
// such sessions in a row: the lookup runs again at the next set-up, and the other addresses are tried
// before it. A session that lasted clears what was set aside.
//
// Guarantees:
// - Thread: made, used and destroyed on the client thread, whose run loop carries its sockets and
//   timers; the synchronous connect wait turns that run loop, so a close() may arrive while connecting
//   (it answers YES at once and the set-up ends idle with a reconnection scheduled). Only
//   proofTimeInterval() may be called from any thread (the hub's server-time source calls it).
// - Queues: at most 20 requests wait to be sent and 20 wait for their acknowledgement; a full waiting
//   queue drops its oldest request with a warning. After a close every request that may wait is back
//   in the waiting queue exactly once, the others are dropped, and none waits for an acknowledgement.
// - UDP reports made before login are kept (the newest 8) and sent in order after it.
// - Message receipts: each receipt is sent once, on the connection of its message, or, when that
//   connection ended before the receipt was written whole (still queued, or written in part), kept and
//   sent first after the next login, before the packets that follow the login answer are read; until a
//   connection that delivered it ends, its message, sent again, is not handed over again (it is answered
//   again). A receipt written whole is never sent again: a server that did not read it sends its message
//   again, which the message store knows and answers without handing it over. After a login the kept
//   receipts go as the send queue has room; a message sent again while its receipt still waits there is
//   answered at once, and the waiting receipt is not sent after it. The socket stops reading before its
//   send queue could refuse a receipt, so at most the send queue's bound (8192) is ever kept; beyond
//   that the oldest would go, with a warning.
// - Request ids are odd, 1 to 8185, wrapping to 1. The counter is written to the cache store a second
//   after the first id drawn since its last write (one write for every id drawn meanwhile), and at
//   once when the session closes or ends.
// - Notifications: "kPULSENetworkIsConnectingNotification" at once on the calling thread; the others on
//   the main queue.
// - Log: a round that finds nobody (names that do not resolve, refused or silent addresses, no network)
//   writes debug lines only: they go to the log files, and to the terminal only at the debug level.
// - Installs itself on the hub (weakly) as the request session and as its server-time source.
#pragma once

#include "push/PULSEAddressController.h"
#include "push/PULSEFIFOQueue.h"
#include "push/PULSEPacket.h"
#include "push/PULSERequestSession.h"
#include "push/PULSETcpSocket.h"
#include "push/PULSEUdpSocket.h"

#include "platform/core/SeededHash.h"
#include "platform/runloop/Clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {
class Timer;
}

namespace push {

class PULSELoginRequest;

inline constexpr const char* kPULSENetworkIsConnectingNotification = "kPULSENetworkIsConnectingNotification";
inline constexpr const char* kPULSENetworkDidSetupNotification = "kPULSENetworkDidSetupNotification";
inline constexpr const char* kPULSENetworkDidRegisterNotification = "kPULSENetworkDidRegisterNotification";
inline constexpr const char* kPULSENetworkDidLoginNotification = "kPULSENetworkDidLoginNotification";
inline constexpr const char* kPULSENetworkDidCloseNotification = "kPULSENetworkDidCloseNotification";

class PULSESessionController : public PULSERequestSession,
                               public PULSETcpSocketDelegate,
                               public PULSEUdpSocketDelegate,
                               public std::enable_shared_from_this<PULSESessionController> {
public:
    using RequestQueue = PULSEFIFOQueue<PULSERequest, std::uint64_t>;

    static constexpr const char* kSessionIDKey = "__PULSESessionID";
    static constexpr const char* kLocalTimeKey = "__PULSELocalTime";
    static constexpr const char* kServerTimeKey = "__PULSEServerTime";
    static constexpr const char* kTCPConnectIdentifier = "TCPConnectIdentifier";
    static constexpr std::uint64_t kMaxQueuedRequests = 20;
    static constexpr std::size_t kMaxKeptUdpReports = 8;
    static constexpr double kTCPConnectWait = 2.0;
    static constexpr double kHeartbeatInterval = 290.0;
    static constexpr double kHeartbeatLockSeconds = 5.0;
    static constexpr double kSisProtectSeconds = 180.0;
    static constexpr double kOfflineReconnectDelay = 500.0;
    static constexpr double kRIdPersistDelay = 1.0;
    static constexpr std::array<double, 4> kReconnectSchedule = {2.0, 5.0, 20.0, 300.0};
    static constexpr std::size_t kLookupAddressesPerRound = 4;
    static constexpr int kFailedSessionsBeforeNextAddress = 2;
    static constexpr std::size_t kMaxSetAsideAddresses = 8;
    // A session that ends sooner than this after its login counts as a failure of its address.
    static constexpr double kLastingSessionSeconds = 60.0;
    // Receipts kept from ended connections, at most (the oldest go first).
    static constexpr std::size_t kMaxPendingReceipts = 8192;
    // Room left in the connection's send queue when kept receipts are sent again: for what the session
    // sends before the next write, above all the receipts of one read (a message packet is at least
    // 31 bytes long).
    static constexpr std::size_t kSendQueueReserve = 4096;
    static constexpr std::int32_t kMaxServerTimeOffset = 31'536'000; // one year of 365 days

    // Makes the session on the calling (client) thread and installs it on the hub.
    static std::shared_ptr<PULSESessionController> create();
    ~PULSESessionController() override;
    PULSESessionController(const PULSESessionController&) = delete;
    PULSESessionController& operator=(const PULSESessionController&) = delete;

    // ---- driven by the network controller and the reconnect timer ----
    void setup();
    // YES when it tore the session down or deferred that to the running connect; NO when not set up.
    bool close();
    void setIsConnectDisable(bool disable) { m_isConnectDisable = disable; }
    bool isConnectDisable() const { return m_isConnectDisable; }

    bool isSetup() const { return m_isSetup; }
    bool isLogin() const { return m_isLogin; }
    bool isConnected() const { return m_isConnected; }
    std::uint16_t serverVersion() const { return m_serverVersion; }
    const std::string& sessionKey() const { return m_sessionKey; }
    std::uint64_t rId() const { return m_rId; }
    const std::shared_ptr<PULSEAddressController>& addressController() const { return m_addressController; }
    const std::optional<PULSELookupResult>& sisContent() const { return m_sisContent; }
    const std::shared_ptr<PULSETcpSocket>& tcpConnectionSocket() const { return m_tcpConnectionSocket; }
    const RequestQueue& tcpBlockedQueue() const { return m_tcpBlockedQueue; }
    const RequestQueue& tcpSendingQueue() const { return m_tcpSendingQueue; }
    std::size_t keptUdpReportCount() const { return m_udpBlockedQueue.size(); }
    // Message receipts kept from connections that ended, sent first after the next login.
    std::size_t keptReceiptCount() const { return m_keptReceipts.size(); }
    // The address of the current TCP connection ("" when none connected in this set-up).
    const std::string& connectedAddress() const { return m_connectedAddress; }
    // Addresses whose sessions kept failing, tried after all others, oldest first.
    const std::deque<std::string>& setAsideAddresses() const { return m_setAsideAddresses; }

    // ---- PULSERequestSession ----
    std::uint64_t getRId(int kind) override;
    std::uint32_t sessionID() const override { return m_sessionID; }
    void sendRequest(const std::shared_ptr<PULSERequest>& request) override;
    void sendUdpReport(const std::shared_ptr<PULSEUDPReport>& report) override;
    void onAckTimeoutForRequest(const std::shared_ptr<PULSERequest>& request) override;
    void onAckOrRespReceived(const PULSEReceivedPacketController& packet) override;
    void onRegisterRespond(const PULSERegistrationResponse& response) override;
    void onLoginRespond(const PULSELoginResponse& response) override;
    // Whether the answer read last is that of a request of this kind sent on this connection.
    template <class Request>
    bool answersRequestOf(const PULSEReceivedPacketController& response);
    bool isReceiptPending(std::uint64_t messageID) const override;

    std::shared_ptr<PULSERequest> findBlockedRequest(std::uint64_t rid) const override;
    void dequeueRequest(const std::shared_ptr<PULSERequest>& request) override;

    // Server time minus local time in whole seconds, from the last login's times; 0 when unknown or
    // more than a year apart (both stored times are then reset). Any thread.
    std::int32_t proofTimeInterval();

    // ---- PULSETcpSocketDelegate ----
    void connectionDidSetup(const std::shared_ptr<PULSETcpSocket>& socket) override;
    void connectionDidClose(const std::shared_ptr<PULSETcpSocket>& socket) override;
    void connectionDidFailed() override {}
    void connection(const std::shared_ptr<PULSETcpSocket>& socket,
                    const std::shared_ptr<PULSEReceivedPacketController>& element) override;
    void connection(const std::shared_ptr<PULSETcpSocket>&, const platform::Bytes&) override {}
    void connectionSendQueueEmpty(const std::shared_ptr<PULSETcpSocket>& socket) override;
    // Commits the messages of the read: their receipts are queued now.
    void connectionDidFinishReading(const std::shared_ptr<PULSETcpSocket>& socket) override;

    // ---- PULSEUdpSocketDelegate ----
    void didSendData(const platform::Bytes&, PULSEUdpSocket&) override {}
    void didNotSendData(const platform::Bytes& data, PULSEUdpSocket& socket) override;
    void didReceivedData(const platform::Bytes&, PULSEUdpSocket&) override {}
    void didNotReceivedData(PULSEUdpSocket& socket, const PULSEUdpError& error) override;

    // Sends a heartbeat unless one went out, from any session, less than 5 s ago.
    void fireHeartBeat();

    // The process-wide heartbeat lock is released (tests).
    static void resetHeartbeatLockForTesting();

private:
    PULSESessionController();
    void install();

    bool connect();
    bool isSisOnProtect();
    bool connectTcp(const std::string& tcpAddress, const std::optional<std::string>& udpAddress);
    bool isSetAside(const std::string& address) const;
    // A session that connected failed (before its login, or soon after it): counts against its address.
    void noteFailedSession();
    void countFailedSession();
    // Logged in for kLastingSessionSeconds or more.
    bool sessionLasted() const;
    void openUdpSocket(const std::optional<std::string>& udpAddress);
    void doRegisterOrLogin();
    void doLogin();
    bool stopsClient(std::uint16_t status) const;

    void enqueueRequest(const std::shared_ptr<PULSERequest>& request);
    // With `follow`, the socket reports the request delivered or hands it back when the connection ends.
    void doSendTcpRequest(const std::shared_ptr<PULSERequest>& request, bool follow = false);
    // A message receipt: written (and followed) when logged in, else kept.
    void sendMessageReceipt(const std::shared_ptr<PULSERequest>& receipt);
    // Keeps a message receipt for the next login; YES when that dropped the oldest kept one.
    bool keepReceipt(const std::shared_ptr<PULSERequest>& receipt);
    void sendKeptReceipts();
    void reenqueueSendingRequests();
    void setCareAllDataSent(bool care);

    void startHeartbeatTimer();
    void stopHeartbeatTimer();
    void doHeartbeat(platform::Timer& timer);

    void startDelaySetupTimer();
    void stopDelaySetupTimer();
    void doDelaySetup(platform::Timer& timer);

    void persistRIdSoon();
    void persistRId();
    void closeSockets();

    std::shared_ptr<PULSEAddressController> m_addressController;
    std::shared_ptr<PULSETcpSocket> m_tcpConnectionSocket;
    std::shared_ptr<PULSEUdpSocket> m_udpReportSocket;
    RequestQueue m_tcpBlockedQueue;
    RequestQueue m_tcpSendingQueue;
    std::deque<std::shared_ptr<PULSEUDPReport>> m_udpBlockedQueue;
    // Receipts that a connection's end left undelivered, by message id, until the end of a later
    // connection that delivered them; those not yet sent again wait in m_keptReceipts for the next login.
    std::unordered_map<std::uint64_t, std::shared_ptr<PULSERequest>, platform::SeededHash> m_pendingReceipts;
    std::deque<std::shared_ptr<PULSERequest>> m_keptReceipts;
    std::shared_ptr<PULSELoginRequest> m_loginRequest;
    // The request the last answer read belonged to (none when it answered nothing waiting on this
    // connection): only the answer of a registration or login sent here is taken.
    std::shared_ptr<PULSERequest> m_answeredRequest;

    bool m_isSetup = false;
    bool m_isConnecting = false;
    bool m_hasCloseSession = false;
    bool m_isConnected = false;
    bool m_isLogin = false;
    bool m_isConnectDisable = false;
    std::uint32_t m_sessionID = 0;
    std::uint16_t m_serverVersion = 0;
    std::string m_sessionKey;

    std::uint64_t m_rId = 0;
    bool m_rIdPersistPending = false;
    std::shared_ptr<platform::Timer> m_rIdPersistTimer;

    std::weak_ptr<platform::Timer> m_heartbeatTimer;
    std::weak_ptr<platform::Timer> m_delaySetupTimer;
    std::size_t m_delaySetupTimeIntervalIndex = 0;

    std::optional<PULSELookupResult> m_sisContent;
    int m_status = 0;
    double m_lastSucceedSisTime = 0;
    // Where the next round starts in the looked-up addresses (the connect address, then the others).
    std::size_t m_sisCursor = 0;
    std::vector<std::string> m_sisAddresses; // the list the cursor walks

    std::string m_connectedAddress;
    std::string m_failingAddress; // the address of the last failed session, and how many in a row
    int m_failedSessions = 0;
    std::deque<std::string> m_setAsideAddresses;
    platform::Clock::TimePoint m_loginTime{};

    // Read from any thread through the hub; 0 = not known.
    std::atomic<std::int32_t> m_proofTimeInterval{0};
};

} // namespace push
