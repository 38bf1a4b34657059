#include "push/PULSETcpSocket.h"

#include "push/PULSELogging.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/FdSource.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace push {

static_assert(PULSETcpSocket::kReadRoom > PULSEPacketReassembler::kCapacity / 31 + 64, "the answers to one read fit");
static_assert(PULSETcpSocket::kReadRoom * PULSETcpSocket::kLargestAnswer < PULSETcpSocket::kMaxQueuedBytes);

namespace {

int socketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

bool isTransient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

std::optional<std::string> addressText(int fd, bool local) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int result = local ? getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length)
                             : getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    char text[INET_ADDRSTRLEN];
    if (result != 0 || address.sin_family != AF_INET || !inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return std::nullopt;
    return std::string(text);
}

} // namespace

std::shared_ptr<PULSETcpSocket> PULSETcpSocket::create(std::string host, std::uint16_t port,
                                                       std::weak_ptr<PULSETcpSocketDelegate> delegate) {
    return std::shared_ptr<PULSETcpSocket>(new PULSETcpSocket(std::move(host), port, std::move(delegate)));
}

PULSETcpSocket::PULSETcpSocket(std::string host, std::uint16_t port, std::weak_ptr<PULSETcpSocketDelegate> delegate)
    : m_host(std::move(host)), m_port(port), m_delegate(std::move(delegate)) {}

PULSETcpSocket::~PULSETcpSocket() {
    // Nobody is left to tell: the descriptor goes quietly.
    releaseSocket();
}

template <class Call>
void PULSETcpSocket::notifyDelegate(Call call) {
    platform::RunLoop::current().perform([delegate = m_delegate, self = shared_from_this(), call = std::move(call)] {
        if (auto target = delegate.lock())
            call(*target, self);
    });
}

bool PULSETcpSocket::setup() {
    if (m_connectionState != kClosed)
        return true;
    if (m_setupDone)
        return false;

    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_fd < 0) {
        PULSE_LOG_ERROR("create tcp socket error: errocode %d", errno);
        return false;
    }
    timeval receiveTimeout{kReceiveTimeoutMicroseconds / 1'000'000, kReceiveTimeoutMicroseconds % 1'000'000};
    const int bufferSize = static_cast<int>(PULSEPacketReassembler::kCapacity);
    (void)setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout);
    (void)setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    (void)setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);

    const auto socketAddress = PULSESocketAddress(m_host, m_port);
    if (!socketAddress) {
        PULSE_LOG_ERROR("connect failed with get remote address");
        releaseSocket();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_port, socketAddress->data() + 2, sizeof address.sin_port);
    std::memcpy(&address.sin_addr, socketAddress->data() + 4, sizeof address.sin_addr);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        PULSE_LOG_DEBUG("connect failed with %s", "socket error");
        releaseSocket();
        return false;
    }

    // The connect's outcome shows up as "writable"; reads wait until it is known.
    auto& loop = platform::RunLoop::current();
    m_source = loop.addFdSource(m_fd, [this] { onReadable(); }, [this] { onWritable(); });
    m_source->setReadEnabled(false);
    std::weak_ptr<PULSETcpSocket> weak = weak_from_this();
    m_connectTimer = loop.scheduleTimer(platform::seconds(kConnectTimeout), [weak] {
        if (auto self = weak.lock(); self && self->m_connectionState == kConnecting)
            self->connectResult(ETIMEDOUT);
    });
    m_setupDone = true;
    m_connectionState = kConnecting;
    return true;
}

void PULSETcpSocket::releaseSocket() {
    m_source.reset();
    if (m_connectTimer) {
        m_connectTimer->invalidate();
        m_connectTimer.reset();
    }
    if (m_incompleteTimer) {
        m_incompleteTimer->invalidate();
        m_incompleteTimer.reset();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void PULSETcpSocket::onReadable() {
    auto keepAlive = shared_from_this(); // a delegate call may let go of this socket
    doRead();
}

void PULSETcpSocket::onWritable() {
    auto keepAlive = shared_from_this();
    if (m_connectionState == kConnecting)
        connectResult(socketError(m_fd));
    else
        doSend();
}

void PULSETcpSocket::connectResult(int error) {
    if (error != 0) {
        PULSE_LOG_DEBUG("TCP连接失败,error:%d", error);
        close();
        return;
    }
    if (m_connectTimer) {
        m_connectTimer->invalidate();
        m_connectTimer.reset();
    }
    m_connectionState = kConnected;
    PULSE_LOG_DEBUG("连接主机成功");
    notifyDelegate([](PULSETcpSocketDelegate& delegate, const std::shared_ptr<PULSETcpSocket>& socket) {
        delegate.connectionDidSetup(socket);
    });
    reenableSocketCallbacks();
}

void PULSETcpSocket::doRead() {
    // Never more than the buffer's free space: the bytes already held stay within the buffer.
    const auto space = m_reassembly.freeSpace();
    const ssize_t count = ::recv(m_fd, space.data(), space.size(), 0);
    if (count < 0) {
        const int error = errno;
        if (isTransient(error) || error == ENOTCONN) {
            reenableSocketCallbacks();
            return;
        }
        PULSE_LOG_ERROR("tcp read error occured: errocode %d", error);
        resetReceivedState();
        close();
        return;
    }
    if (count == 0) {
        PULSE_LOG_DEBUG("tcp connection closed by remote");
        resetReceivedState();
        close();
        return;
    }
    m_reassembly.received(static_cast<std::size_t>(count));
    // What the packets of this read post to the main queue, and the lines they log, go on together once
    // they are framed.
    const PULSEMainQueueBatch mainQueueBatch;
    const pushlog::PULSELogBatchScope logBatch;
    const auto generation = m_generation;
    std::optional<PULSEBytesView> broken;
    std::size_t fieldsEnd = 0;
    const auto outcome = m_reassembly.frame([&](PULSEBytesView packet) {
        if (const auto check = PULSEReceivedPacketController::packetShape(packet);
            check.shape == PULSEReceivedPacketController::Shape::Broken) {
            broken = packet; // the buffer keeps its bytes until the reassembler is reset
            fieldsEnd = check.fieldsEnd;
            return false;
        }
        auto element = PULSEReceivedPacketController::packetWithBuffer(packet);
        PULSE_LOG_DEBUG("Got tcp command");
        if (element) {
            if (auto delegate = m_delegate.lock())
                delegate->connection(shared_from_this(), element);
        }
        return generation == m_generation; // false once a delegate call closed this socket
    });
    if (generation != m_generation)
        return;
    if (auto delegate = m_delegate.lock()) {
        delegate->connectionDidFinishReading(shared_from_this());
        if (generation != m_generation)
            return;
    }
    if (broken) {
        closeOnBrokenPacket(*broken, fieldsEnd, m_reassembly.receivedLength());
        return;
    }
    if (outcome == PULSEPacketReassembler::Outcome::ZeroLength) {
        resetReceivedState();
        close();
        return;
    }
    if (m_reassembly.receivedLength() > 0) {
        // The next packet has begun: judge it as far as it came, and watch that the rest comes.
        const PULSEBytesView head = m_reassembly.held();
        if (const auto check = PULSEReceivedPacketController::packetShape(head);
            check.shape == PULSEReceivedPacketController::Shape::Broken) {
            closeOnBrokenPacket(head, check.fieldsEnd, 0);
            return;
        }
        watchIncompletePacket();
    }
    reenableSocketCallbacks();
}

void PULSETcpSocket::closeOnBrokenPacket(PULSEBytesView packet, std::size_t fieldsEnd, std::size_t droppedAfter) {
    const unsigned length = static_cast<unsigned>((packet[0] << 8) | packet[1]);
    PULSE_LOG_ERROR("tcp packet of command %u cannot be %u bytes long (its fields end at byte %zu): closing the "
                    "connection, %zu received bytes dropped",
                    unsigned(packet[3]), length, fieldsEnd, packet.size() + droppedAfter);
    resetReceivedState();
    close();
}

void PULSETcpSocket::watchIncompletePacket() {
    m_lastReceived = platform::Clock::current().now();
    if (m_incompleteTimer)
        return; // it looks at the time of the last byte when it fires
    std::weak_ptr<PULSETcpSocket> weak = weak_from_this();
    m_incompleteTimer = platform::RunLoop::current().scheduleTimer(
        std::chrono::microseconds(kReceiveTimeoutMicroseconds), [weak] {
            if (auto self = weak.lock())
                self->incompletePacketTimerFired();
        });
}

void PULSETcpSocket::incompletePacketTimerFired() {
    m_incompleteTimer.reset();
    if (m_connectionState != kConnected || m_reassembly.receivedLength() == 0)
        return;
    const auto timeout = std::chrono::microseconds(kReceiveTimeoutMicroseconds);
    // While reading is held the rest cannot come: that time does not count.
    if (!hasRoomToRead())
        m_lastReceived = platform::Clock::current().now();
    const auto quiet = platform::Clock::current().now() - m_lastReceived;
    if (quiet < timeout) {
        // Bytes came meanwhile: wait out the rest of the time-out from the last of them.
        std::weak_ptr<PULSETcpSocket> weak = weak_from_this();
        m_incompleteTimer = platform::RunLoop::current().scheduleTimer(timeout - quiet, [weak] {
            if (auto self = weak.lock())
                self->incompletePacketTimerFired();
        });
        return;
    }
    const PULSEBytesView head = m_reassembly.held();
    const std::string length = head.size() >= 2 ? std::to_string((head[0] << 8) | head[1]) : std::string("?");
    PULSE_LOG_ERROR("tcp packet incomplete, %zu of %s bytes arrived and nothing more for %.1f s: closing the "
                    "connection, %zu received bytes dropped",
                    head.size(), length.c_str(), kReceiveTimeoutMicroseconds / 1e6, head.size());
    auto keepAlive = shared_from_this();
    resetReceivedState();
    close();
}

void PULSETcpSocket::doSend() {
    if (m_sendQueue.empty()) {
        reenableSocketCallbacks();
        notifyDelegate([](PULSETcpSocketDelegate& delegate, const std::shared_ptr<PULSETcpSocket>& socket) {
            delegate.connectionSendQueueEmpty(socket);
        });
        return;
    }
    // Several send calls while the kernel takes them: one read can frame thousands of messages, and
    // their receipts must leave as fast as they come, not 64 a notification.
    for (std::size_t call = 0; call < kMaxWritesPerEvent && !m_sendQueue.empty(); ++call) {
        const auto outcome = writeQueued();
        if (outcome == WriteOutcome::Failed) {
            close();
            return;
        }
        if (outcome == WriteOutcome::WouldBlock)
            break;
    }
    reenableSocketCallbacks();
}

PULSETcpSocket::WriteOutcome PULSETcpSocket::writeQueued() {
    const platform::Bytes& head = m_sendQueue.front().bytes;
    if (head.size() < m_sentLength) {
        PULSE_LOG_ERROR("send data error: data len %zu < sent len %lu", head.size(), static_cast<unsigned long>(m_sentLength));
        return WriteOutcome::Failed;
    }
    // The unwritten rest of the head packet and the packets queued behind it, in one send call: a burst
    // of receipts goes out in a few calls rather than one 35-byte call each.
    iovec parts[kMaxPacketsPerWrite];
    std::size_t count = 0;
    for (auto packet = m_sendQueue.begin(); packet != m_sendQueue.end() && count < kMaxPacketsPerWrite; ++packet, ++count) {
        const std::size_t skip = count == 0 ? m_sentLength : 0;
        parts[count].iov_base = const_cast<std::uint8_t*>(packet->bytes.data() + skip);
        parts[count].iov_len = packet->bytes.size() - skip;
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t written = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written < 0) {
        const int error = errno;
        if (isTransient(error))
            return WriteOutcome::WouldBlock;
        PULSE_LOG_DEBUG("tcp send data error :%d", error);
        return WriteOutcome::Failed;
    }
    // Whole packets leave the queue and are reported, in order, from one block; a partial one waits for
    // the next write notification.
    std::size_t left = static_cast<std::size_t>(written);
    std::vector<platform::Bytes> sent;
    while (left > 0 && !m_sendQueue.empty()) {
        const std::size_t rest = m_sendQueue.front().bytes.size() - m_sentLength;
        if (left < rest) {
            m_sentLength += left;
            break;
        }
        left -= rest;
        m_sentLength = 0;
        auto& packet = m_sendQueue.front();
        m_unacknowledged.push_back({packet.bytes.size(), std::move(packet.request)});
        m_unacknowledgedBytes += packet.bytes.size();
        m_queuedBytes -= packet.bytes.size();
        sent.push_back(std::move(packet.bytes));
        m_sendQueue.pop_front();
    }
    if (!sent.empty()) {
        notifyDelegate([sent = std::move(sent)](PULSETcpSocketDelegate& delegate, const std::shared_ptr<PULSETcpSocket>& socket) {
            for (const auto& packet : sent)
                delegate.connection(socket, packet);
        });
    }
    reportDelivered();
    return WriteOutcome::Wrote;
}

void PULSETcpSocket::reportDelivered() {
    if (m_unacknowledged.empty())
        return;
    // The kernel's send queue holds what the peer has not acknowledged: the last bytes written.
    std::size_t acknowledged = m_unacknowledgedBytes;
    int outstanding = 0;
    if (m_fd >= 0 && ::ioctl(m_fd, SIOCOUTQ, &outstanding) == 0 && outstanding >= 0) {
        const std::size_t written = m_unacknowledgedBytes + m_sentLength;
        const auto pending = static_cast<std::size_t>(outstanding);
        acknowledged = written > pending ? written - pending : 0;
    }
    std::vector<std::shared_ptr<PULSERequest>> delivered;
    while (!m_unacknowledged.empty() && m_unacknowledged.front().size <= acknowledged) {
        auto& packet = m_unacknowledged.front();
        acknowledged -= packet.size;
        m_unacknowledgedBytes -= packet.size;
        if (packet.request)
            delivered.push_back(std::move(packet.request));
        m_unacknowledged.pop_front();
    }
    if (!delivered.empty()) {
        notifyDelegate([delivered = std::move(delivered)](PULSETcpSocketDelegate& delegate,
                                                          const std::shared_ptr<PULSETcpSocket>& socket) {
            delegate.connectionDidDeliver(socket, delivered);
        });
    }
}

void PULSETcpSocket::flushBeforeClose() {
    while (!m_sendQueue.empty() && writeQueued() == WriteOutcome::Wrote) {
    }
    // Unread bytes at the close would make it a reset, which throws away what is still to be sent.
    std::uint8_t discard[16384];
    std::size_t read = 0;
    while (read < kMaxBytesReadAtClose) {
        const ssize_t count = ::recv(m_fd, discard, sizeof discard, MSG_DONTWAIT);
        if (count <= 0)
            break;
        read += static_cast<std::size_t>(count);
    }
}

PULSETcpSocket::QueueOutcome PULSETcpSocket::queueData(std::optional<platform::Bytes> data, std::shared_ptr<PULSERequest> request) {
    if (m_connectionState != kConnected)
        return QueueOutcome::NotConnected;
    if (!data)
        return QueueOutcome::Queued;
    // A peer that reads nothing would let the queue grow until the heartbeat time-out: past the bounds
    // the packet is refused, and the caller decides (the session ends the connection).
    if (m_sendQueue.size() >= kMaxQueuedPackets || data->size() > kMaxQueuedBytes - m_queuedBytes) {
        PULSE_LOG_ERROR("send queue full (%zu packets, %zu bytes unwritten): the peer reads nothing; a %zu-byte packet is refused",
                        m_sendQueue.size(), m_queuedBytes, data->size());
        return QueueOutcome::QueueFull;
    }
    m_queuedBytes += data->size();
    m_sendQueue.push_back({std::move(*data), std::move(request)});
    reenableSocketCallbacks();
    return QueueOutcome::Queued;
}

bool PULSETcpSocket::sendData(std::optional<platform::Bytes> data, std::shared_ptr<PULSERequest> request) {
    return queueData(std::move(data), std::move(request)) == QueueOutcome::Queued;
}

void PULSETcpSocket::setCareAllDataSent(bool care) {
    m_careAllDataSent = care;
    if (care)
        reenableSocketCallbacks();
}

void PULSETcpSocket::resetReceivedState() {
    m_reassembly.reset();
    reenableSocketCallbacks();
}

bool PULSETcpSocket::hasRoomToRead() const {
    return sendQueueRoom() >= kReadRoom && kMaxQueuedBytes - m_queuedBytes >= kReadRoom * kLargestAnswer;
}

void PULSETcpSocket::reenableSocketCallbacks() {
    if (!m_source || !m_source->isValid() || m_connectionState != kConnected)
        return;
    m_source->setReadEnabled(hasRoomToRead());
    m_source->setWriteEnabled(m_careAllDataSent || !m_sendQueue.empty());
}

void PULSETcpSocket::close() {
    if (!m_setupDone)
        return;
    PULSE_LOG_DEBUG("关闭TCP连接");
    const bool wasConnected = m_connectionState == kConnected;
    m_setupDone = false;
    m_connectionState = kClosed;
    ++m_generation;
    if (m_fd < 0)
        return;
    if (wasConnected)
        flushBeforeClose();
    reportDelivered();
    // Written whole: it went on this connection. Only what never left is handed back.
    for (auto& packet : m_sendQueue)
        if (packet.request)
            m_undelivered.push_back(std::move(packet.request));
    releaseSocket();
    m_reassembly.reset();
    m_sentLength = 0;
    m_sendQueue.clear();
    m_queuedBytes = 0;
    m_unacknowledged.clear();
    m_unacknowledgedBytes = 0;
    notifyDelegate([](PULSETcpSocketDelegate& delegate, const std::shared_ptr<PULSETcpSocket>& socket) {
        delegate.connectionDidClose(socket);
    });
}

std::vector<std::shared_ptr<PULSERequest>> PULSETcpSocket::takeUndeliveredRequests() {
    return std::exchange(m_undelivered, {});
}

std::optional<std::string> PULSETcpSocket::localAddress() const {
    return isConnected() ? addressText(m_fd, true) : std::nullopt;
}

std::optional<std::string> PULSETcpSocket::remoteAddress() const {
    return isConnected() ? addressText(m_fd, false) : std::nullopt;
}

} // namespace push
