// The push client's datagram socket: an IPv4 UDP socket on the run loop of the thread that set it up,
// with a queue of outgoing packets sent one per write event (at most kMaxQueuedPackets: sendData refuses
// more, with an error line), and a delegate told what became of each packet and each incoming datagram.
//
// Guarantees:
// - Every delegate call is posted to the socket's run loop with no delay (after the current callback
//   returns), except the send time-out and the receive time-out, which call at once from their timer.
// - A packet's send time-out (more than 0.001 s) covers only its wait in the queue: a packet taken for
//   sending has no timer, and a packet that timed out is reported not sent and never sent.
// - Each datagram is read into 16384 bytes; a longer one arrives cut to its first 16384 bytes.
// - Only a peer that was asked answers: a datagram whose sender (address and port) is neither the
//   connected peer nor one this socket sent a datagram to is dropped with a warning, unseen by the
//   delegate (anyone on the network can send to the socket's port).
// - Sends never raise SIGPIPE. close() drops queued packets without telling the delegate; a closed
//   socket is never set up again.
//
// Thread: the thread that set it up (the client thread), nothing locked. The delegate is held weakly.
#pragma once

#include "push/PULSEUtilities.h"

#include "platform/core/Value.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class FdSource;
class Timer;
} // namespace platform

namespace push {

class PULSEUdpSocket;

// The error of a failed or timed-out receive: its domain is the message ("udp sys error" with the
// system error number, "udp time out" with 0).
struct PULSEUdpError {
    std::string domain;
    int code = 0;
};

inline constexpr const char* kPULSEUdpSysErrorDomain = "udp sys error";
inline constexpr const char* kPULSEUdpTimeOutDomain = "udp time out";

class PULSEUdpSocketDelegate {
public:
    virtual ~PULSEUdpSocketDelegate() = default;
    virtual void didSendData(const platform::Bytes& data, PULSEUdpSocket& socket) = 0;
    virtual void didNotSendData(const platform::Bytes& data, PULSEUdpSocket& socket) = 0;
    virtual void didReceivedData(const platform::Bytes& data, PULSEUdpSocket& socket) = 0;
    virtual void didNotReceivedData(PULSEUdpSocket& socket, const PULSEUdpError& error) = 0;
};

// One queued datagram.
struct PULSEUdpPacket {
    std::int32_t type = 0;
    platform::Bytes buffer;
    // None: the socket's connected peer.
    std::optional<PULSESockAddr> address;
    double timeout = 0;
    std::shared_ptr<platform::Timer> timeoutTimer;

    void invalidTimeoutTimer();
};

class PULSEUdpSocket : public std::enable_shared_from_this<PULSEUdpSocket> {
public:
    static constexpr std::size_t kReceiveBufferSize = 16384;
    static constexpr double kConnectTimeout = 1.0;
    // A send time-out of this or less means none.
    static constexpr double kNoTimeout = 0.001;
    // Packets waiting to be sent at most: a socket that cannot send keeps no more.
    static constexpr std::size_t kMaxQueuedPackets = 1024;
    // Peers a datagram was sent to that are remembered as allowed to answer (the newest).
    static constexpr std::size_t kMaxAskedPeers = 16;

    // initWithDelegate: makes the socket and sets it up on the current run loop.
    static std::shared_ptr<PULSEUdpSocket> create(std::weak_ptr<PULSEUdpSocketDelegate> delegate);
    ~PULSEUdpSocket();
    PULSEUdpSocket(const PULSEUdpSocket&) = delete;
    PULSEUdpSocket& operator=(const PULSEUdpSocket&) = delete;

    // NO when already set up or connected, or when the socket cannot be made.
    bool setup();
    // Fixes the peer (numeric IPv4 host); only once, on a set-up socket.
    bool connectToHost(const std::string& host, std::uint16_t port);
    // Queues a datagram (to host:port when both are given, else to the connected peer). YES means
    // queued, not sent; NO when the socket is not set up.
    bool sendData(platform::Bytes data, const std::optional<std::string>& host, std::uint16_t port, double timeout);
    // Reports "udp time out" unless a datagram or a new call comes first.
    void receiveDataWithTimeout(double timeout);
    void stopReceiveTimeoutTimer();
    void close();

    std::size_t sendQueueCount() const { return m_sendQueue.size(); }
    bool isSetuped() const { return m_isSetuped; }
    bool isConnected() const { return m_isConnected; }
    std::shared_ptr<PULSEUdpSocketDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<PULSEUdpSocketDelegate> delegate) { m_delegate = std::move(delegate); }
    // The local port once set up (tests and the loopback server).
    std::uint16_t localPort() const;

    // Tests: while held, write events stay off, so packets wait in the queue.
    void holdWriteEventsForTesting(bool hold);

private:
    explicit PULSEUdpSocket(std::weak_ptr<PULSEUdpSocketDelegate> delegate);

    void doSend();
    void doRecv();
    void reenableSocketCallbacks();
    // Whether a datagram from this sender answers something this socket sent.
    // Address and port in network order.
    bool isAskedPeer(std::uint32_t address, std::uint16_t port) const;
    void rememberAskedPeer(std::uint32_t address, std::uint16_t port);
    void timeoutWithUdpPacket(const std::shared_ptr<PULSEUdpPacket>& packet);
    template <class Call>
    void notifyDelegate(Call call);

    std::weak_ptr<PULSEUdpSocketDelegate> m_delegate;
    std::deque<std::shared_ptr<PULSEUdpPacket>> m_sendQueue;
    int m_fd = -1;
    std::unique_ptr<platform::FdSource> m_source;
    std::array<std::uint8_t, kReceiveBufferSize> m_receiveBuffer{};
    std::shared_ptr<platform::Timer> m_recvTimeoutTimer;
    // Address and port (network order) of the peers sent to, newest last.
    std::deque<std::pair<std::uint32_t, std::uint16_t>> m_askedPeers;
    bool m_isSetuped = false;
    bool m_isConnected = false;
    bool m_closed = false;
    bool m_holdWrites = false;
};

} // namespace push
