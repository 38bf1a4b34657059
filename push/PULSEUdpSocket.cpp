#include "push/PULSEUdpSocket.h"

#include "push/PULSELogging.h"

#include "platform/runloop/FdSource.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace push {

namespace {

sockaddr_in toSockaddr(const PULSESockAddr& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    std::memcpy(&result.sin_port, address.data() + 2, sizeof result.sin_port);
    std::memcpy(&result.sin_addr, address.data() + 4, sizeof result.sin_addr);
    return result;
}

} // namespace

void PULSEUdpPacket::invalidTimeoutTimer() {
    if (timeoutTimer) {
        timeoutTimer->invalidate();
        timeoutTimer.reset();
    }
}

std::shared_ptr<PULSEUdpSocket> PULSEUdpSocket::create(std::weak_ptr<PULSEUdpSocketDelegate> delegate) {
    std::shared_ptr<PULSEUdpSocket> socket(new PULSEUdpSocket(std::move(delegate)));
    socket->setup();
    return socket;
}

PULSEUdpSocket::PULSEUdpSocket(std::weak_ptr<PULSEUdpSocketDelegate> delegate) : m_delegate(std::move(delegate)) {}

PULSEUdpSocket::~PULSEUdpSocket() {
    close();
}

template <class Call>
void PULSEUdpSocket::notifyDelegate(Call call) {
    platform::RunLoop::current().perform([delegate = m_delegate, self = shared_from_this(), call = std::move(call)] {
        if (auto target = delegate.lock())
            call(*target, *self);
    });
}

bool PULSEUdpSocket::setup() {
    if (m_isConnected || m_isSetuped || m_closed)
        return false;
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_fd < 0) {
        PULSE_LOG_ERROR("create udp socket error: errocode %d", errno);
        return false;
    }
    m_source = platform::RunLoop::current().addFdSource(m_fd, [this] { doRecv(); }, [this] { doSend(); });
    m_source->setWriteEnabled(false);
    m_isSetuped = true;
    return true;
}

bool PULSEUdpSocket::connectToHost(const std::string& host, std::uint16_t port) {
    if (m_fd < 0 || m_isConnected)
        return false;
    auto address = PULSESocketAddress(host, port);
    if (!address)
        return false;
    // A datagram connect only fixes the peer: it answers at once, well within its 1 s bound.
    const sockaddr_in peer = toSockaddr(*address);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        PULSE_LOG_ERROR("UDP连接失败,error:%d", errno);
        return false;
    }
    PULSE_LOG_DEBUG("udp socket connected");
    m_isConnected = true;
    return true;
}

bool PULSEUdpSocket::sendData(platform::Bytes data, const std::optional<std::string>& host, std::uint16_t port,
                              double timeout) {
    if (m_fd < 0 || !m_source || !m_source->isValid())
        return false;
    if (m_sendQueue.size() >= kMaxQueuedPackets) {
        PULSE_LOG_ERROR("udp send queue full (%zu packets): a %zu-byte packet is refused", m_sendQueue.size(), data.size());
        return false;
    }
    auto packet = std::make_shared<PULSEUdpPacket>();
    packet->buffer = std::move(data);
    if (host && port != 0)
        packet->address = PULSESocketAddress(*host, port);
    packet->timeout = timeout;
    if (timeout > kNoTimeout) {
        std::weak_ptr<PULSEUdpSocket> weakSelf = weak_from_this();
        std::weak_ptr<PULSEUdpPacket> weakPacket = packet;
        packet->timeoutTimer =
            platform::RunLoop::current().scheduleTimer(platform::seconds(timeout), [weakSelf, weakPacket] {
                auto self = weakSelf.lock();
                auto packet = weakPacket.lock();
                if (self && packet && packet->timeoutTimer) {
                    packet->timeoutTimer.reset();
                    self->timeoutWithUdpPacket(packet);
                }
            });
    }
    m_sendQueue.push_back(std::move(packet));
    reenableSocketCallbacks();
    return true;
}

void PULSEUdpSocket::timeoutWithUdpPacket(const std::shared_ptr<PULSEUdpPacket>& packet) {
    auto keepAlive = shared_from_this();
    if (auto delegate = m_delegate.lock())
        delegate->didNotSendData(packet->buffer, *this);
    auto at = std::find(m_sendQueue.begin(), m_sendQueue.end(), packet);
    if (at != m_sendQueue.end())
        m_sendQueue.erase(at);
    reenableSocketCallbacks();
}

void PULSEUdpSocket::receiveDataWithTimeout(double timeout) {
    stopReceiveTimeoutTimer();
    std::weak_ptr<PULSEUdpSocket> weakSelf = weak_from_this();
    auto timer = std::make_shared<std::weak_ptr<platform::Timer>>();
    m_recvTimeoutTimer = platform::RunLoop::current().scheduleTimer(platform::seconds(timeout), [weakSelf, timer] {
        auto self = weakSelf.lock();
        if (!self || !self->m_recvTimeoutTimer || self->m_recvTimeoutTimer != timer->lock())
            return;
        self->stopReceiveTimeoutTimer();
        if (auto delegate = self->m_delegate.lock())
            delegate->didNotReceivedData(*self, PULSEUdpError{kPULSEUdpTimeOutDomain, 0});
    });
    *timer = m_recvTimeoutTimer;
    reenableSocketCallbacks();
}

void PULSEUdpSocket::stopReceiveTimeoutTimer() {
    if (m_recvTimeoutTimer) {
        m_recvTimeoutTimer->invalidate();
        m_recvTimeoutTimer.reset();
    }
}

void PULSEUdpSocket::reenableSocketCallbacks() {
    if (!m_source || !m_source->isValid())
        return;
    m_source->setReadEnabled(true);
    m_source->setWriteEnabled(!m_sendQueue.empty() && !m_holdWrites);
}

void PULSEUdpSocket::holdWriteEventsForTesting(bool hold) {
    m_holdWrites = hold;
    reenableSocketCallbacks();
}

void PULSEUdpSocket::doSend() {
    auto keepAlive = shared_from_this();
    if (m_sendQueue.empty()) {
        reenableSocketCallbacks();
        return;
    }
    auto packet = std::move(m_sendQueue.front());
    m_sendQueue.pop_front();
    packet->invalidTimeoutTimer();

    ssize_t count;
    if (!m_isConnected && packet->address) {
        const sockaddr_in peer = toSockaddr(*packet->address);
        rememberAskedPeer(peer.sin_addr.s_addr, peer.sin_port);
        count = ::sendto(m_fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    } else {
        count = ::send(m_fd, packet->buffer.data(), packet->buffer.size(), MSG_NOSIGNAL);
    }
    const bool whole = count >= 0 && static_cast<std::size_t>(count) == packet->buffer.size();
    if (!whole) {
        if (count < 0) {
            PULSE_LOG_ERROR("udp send error occured: errocode %d", errno);
            close();
        } else {
            PULSE_LOG_WARN("upd send bytes length not expected");
        }
    }
    notifyDelegate([whole, data = std::move(packet->buffer)](PULSEUdpSocketDelegate& delegate, PULSEUdpSocket& socket) {
        if (whole)
            delegate.didSendData(data, socket);
        else
            delegate.didNotSendData(data, socket);
    });
    reenableSocketCallbacks();
}

void PULSEUdpSocket::doRecv() {
    auto keepAlive = shared_from_this();
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t count = ::recvfrom(m_fd, m_receiveBuffer.data(), m_receiveBuffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (count < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EINTR) {
            reenableSocketCallbacks();
            return;
        }
        PULSE_LOG_ERROR("udp read error occured: errocode %d", error);
        close();
        notifyDelegate([error](PULSEUdpSocketDelegate& delegate, PULSEUdpSocket& socket) {
            delegate.didNotReceivedData(socket, PULSEUdpError{kPULSEUdpSysErrorDomain, error});
        });
        return;
    }
    // A connected socket hears its peer alone (the kernel sees to it); an unconnected one only those it
    // sent to.
    if (!m_isConnected && (senderLength < sizeof sender || sender.sin_family != AF_INET ||
                           !isAskedPeer(sender.sin_addr.s_addr, sender.sin_port))) {
        char text[INET_ADDRSTRLEN] = "?";
        if (sender.sin_family == AF_INET)
            (void)inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
        PULSE_LOG_WARN("udp datagram of %zd bytes from %s:%u, which was not asked, dropped", count, text,
                       unsigned(ntohs(sender.sin_port)));
        reenableSocketCallbacks();
        return;
    }
    platform::Bytes data(m_receiveBuffer.begin(), m_receiveBuffer.begin() + count);
    notifyDelegate([data = std::move(data)](PULSEUdpSocketDelegate& delegate, PULSEUdpSocket& socket) {
        delegate.didReceivedData(data, socket);
    });
    reenableSocketCallbacks();
}

bool PULSEUdpSocket::isAskedPeer(std::uint32_t address, std::uint16_t port) const {
    return std::find(m_askedPeers.begin(), m_askedPeers.end(), std::make_pair(address, port)) != m_askedPeers.end();
}

void PULSEUdpSocket::rememberAskedPeer(std::uint32_t address, std::uint16_t port) {
    if (isAskedPeer(address, port))
        return;
    if (m_askedPeers.size() >= kMaxAskedPeers)
        m_askedPeers.pop_front();
    m_askedPeers.emplace_back(address, port);
}

std::uint16_t PULSEUdpSocket::localPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void PULSEUdpSocket::close() {
    if (!m_isSetuped)
        return;
    PULSE_LOG_DEBUG("close udp socket,info:%s", "");
    m_isSetuped = false;
    m_closed = true;
    for (auto& packet : m_sendQueue)
        packet->invalidTimeoutTimer();
    m_sendQueue.clear();
    stopReceiveTimeoutTimer();
    m_source.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace push
