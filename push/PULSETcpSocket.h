// The push client's one TCP connection to the push server: a non-blocking IPv4 stream socket on the run
// loop of the thread that set it up (the client thread). It connects with a bounded wait, writes queued
// packets as the socket becomes writable, reassembles the received byte stream into packets framed by
// their u16 length, turns each into an object through the dispatcher and tells its delegate.
//
// Guarantees:
// - Thread: made, set up, used and closed on one thread, whose run loop carries its descriptor and
//   timers; the delegate is called there. Every socket lives on the client thread, so no lock is taken.
// - Delegate calls are posted to that run loop with no delay (never made from inside the socket's own
//   stack), except connection(socket, element), which is made at once, before the next packet of the
//   same read is framed, and connectionDidFinishReading, made at once after the last packet of a read
//   (what the session answers to a read is queued before the next read). A delegate call may close or
//   let go of the socket.
// - Connecting: setup() starts the connect; its outcome arrives later as the connect event: success
//   makes the socket connected (state 1 -> 2) and tells connectionDidSetup; a failure, or no outcome
//   within 5 s, closes it.
// - Every failure of connect, read or write ends in close(), which empties the send queue and tells
//   connectionDidClose. close() after a failed setup() does nothing.
// - A packet queued with its request is followed until the peer's TCP acknowledged its last byte:
//   connectionDidDeliver names such requests (in order, from time to time as writes go on). When the
//   connection ends, the requests of packets that were not written whole by then are kept, in order,
//   for takeUndeliveredRequests(), whatever ended it (broken framing, the peer's close, a failed read or
//   write, the owner's close). A packet written whole went on this connection and is never handed back,
//   however late its acknowledgement would have come. Before the descriptor closes, close() writes what
//   it can of the queue without waiting and reads off what is left to read (at most 1 MiB), so that the
//   close goes out as a FIN after the data rather than as a reset that drops it.
// - Reading stops while the send queue has room for fewer than kReadRoom packets (or their bytes): the
//   answers to one read (a receipt per message framed) always fit, so a peer that stops reading what
//   the socket writes makes it stop reading too, and the queue never refuses an answer. Reading goes on
//   as writes make room.
// - Memory: one 100240-byte reassembly buffer; a receive takes at most the buffer's free space, so
//   bytes from the network can never pass its end. A length of 0 closes the connection.
// - Framing that has lost its step closes the connection (with an error line naming the packet and the
//   bytes dropped) rather than reading the next packets as part of a wrong one: a packet of a command
//   the client reads whose fields cannot fill its length (PULSEReceivedPacketController::packetShape),
//   judged as soon as enough of it has arrived, and a packet that stops arriving for longer than the
//   read time-out (1.5 s with no byte while it is incomplete and reading is not held). Packets before it are delivered; the
//   server sends again whatever had no receipt.
// - Writes use MSG_NOSIGNAL: a peer that reset the connection closes the socket, never the process.
//   Each write notification hands the queued packets (up to 64) to one send call; every packet written
//   whole is reported to connection(socket, sentData), in order.
// - The send queue (packets not yet written whole) holds at most kMaxQueuedPackets packets and
//   kMaxQueuedBytes bytes: a peer that stops reading cannot make it grow further. A packet past either
//   bound is refused (QueueFull, with an error line) and left to the caller; nothing queued is dropped.
#pragma once

#include "push/PULSEPacketReassembler.h"
#include "push/PULSEReceivedPacketController.h"

#include "platform/core/Value.h"
#include "platform/runloop/Clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class FdSource;
class RunLoop;
class Timer;
} // namespace platform

namespace push {

class PULSERequest;
class PULSETcpSocket;

class PULSETcpSocketDelegate {
public:
    virtual ~PULSETcpSocketDelegate() = default;
    virtual void connectionDidSetup(const std::shared_ptr<PULSETcpSocket>& socket) = 0;
    virtual void connectionDidClose(const std::shared_ptr<PULSETcpSocket>& socket) = 0;
    virtual void connectionDidFailed() = 0;
    virtual void connection(const std::shared_ptr<PULSETcpSocket>& socket,
                            const std::shared_ptr<PULSEReceivedPacketController>& element) = 0;
    virtual void connection(const std::shared_ptr<PULSETcpSocket>& socket, const platform::Bytes& sentData) = 0;
    virtual void connectionSendQueueEmpty(const std::shared_ptr<PULSETcpSocket>& socket) = 0;
    // Requests whose packets the peer acknowledged, oldest first.
    virtual void connectionDidDeliver(const std::shared_ptr<PULSETcpSocket>&,
                                      const std::vector<std::shared_ptr<PULSERequest>>&) {}
    // Every packet of one read has been handed over (called at once, before the socket reads again).
    virtual void connectionDidFinishReading(const std::shared_ptr<PULSETcpSocket>&) {}
};

class PULSETcpSocket : public std::enable_shared_from_this<PULSETcpSocket> {
public:
    static constexpr double kConnectTimeout = 5.0;
    static constexpr int kReceiveTimeoutMicroseconds = 1'500'000;
    // Queued packets handed to one send call at most.
    static constexpr std::size_t kMaxPacketsPerWrite = 64;
    // Send calls made for one write notification at most (while the kernel takes every byte): more
    // packets than one read of the reassembly buffer can frame.
    static constexpr std::size_t kMaxWritesPerEvent = 64;
    // Bytes close() reads off and drops at most.
    static constexpr std::size_t kMaxBytesReadAtClose = 1 << 20;
    // The send queue's bounds: unwritten packets and their bytes.
    static constexpr std::size_t kMaxQueuedPackets = 8192;
    static constexpr std::size_t kMaxQueuedBytes = 1 << 20;
    // Room in the send queue below which reading stops: more packets than one read can frame (a pushed
    // message is at least 31 bytes long), with room for the requests sent meanwhile.
    static constexpr std::size_t kReadRoom = 4096;
    static constexpr std::size_t kLargestAnswer = 64;

    enum ConnectionState : std::uint32_t { kClosed = 0, kConnecting = 1, kConnected = 2 };

    // initWithHost:port:delegate: (does not connect).
    static std::shared_ptr<PULSETcpSocket> create(std::string host, std::uint16_t port,
                                                  std::weak_ptr<PULSETcpSocketDelegate> delegate);
    ~PULSETcpSocket();
    PULSETcpSocket(const PULSETcpSocket&) = delete;
    PULSETcpSocket& operator=(const PULSETcpSocket&) = delete;

    // Starts connecting. YES when already connecting or connected, or when the connect began; NO (with
    // an error line, nothing left open) when it could not.
    bool setup();
    // Queues a packet while connected and the send queue has room (nothing is queued otherwise; no data
    // on a connected socket is Queued). With a request, its delivery is followed.
    enum class QueueOutcome { Queued, NotConnected, QueueFull };
    QueueOutcome queueData(std::optional<platform::Bytes> data, std::shared_ptr<PULSERequest> request = nullptr);
    // Packets the send queue takes before it refuses one (whatever their size within the byte bound).
    std::size_t sendQueueRoom() const { return kMaxQueuedPackets - m_sendQueue.size(); }
    // Whether reading has stopped for want of room in the send queue.
    bool isReadingHeld() const { return m_connectionState == kConnected && !hasRoomToRead(); }
    // queueData answered as whether the packet was queued.
    bool sendData(std::optional<platform::Bytes> data, std::shared_ptr<PULSERequest> request = nullptr);
    // After a close: the requests whose packets were not delivered, oldest first; each is handed out once.
    std::vector<std::shared_ptr<PULSERequest>> takeUndeliveredRequests();
    void setCareAllDataSent(bool care);
    bool careAllDataSent() const { return m_careAllDataSent; }
    bool isConnected() const { return m_connectionState == kConnected; }
    void close();

    // The dotted IPv4 address of either end while connected.
    std::optional<std::string> localAddress() const;
    std::optional<std::string> remoteAddress() const;

    const std::string& host() const { return m_host; }
    std::uint16_t port() const { return m_port; }
    std::uint32_t connectionState() const { return m_connectionState; }
    std::shared_ptr<PULSETcpSocketDelegate> delegate() const { return m_delegate.lock(); }
    // Bytes received and not yet framed (tests).
    std::size_t receivedLength() const { return m_reassembly.receivedLength(); }

private:
    PULSETcpSocket(std::string host, std::uint16_t port, std::weak_ptr<PULSETcpSocketDelegate> delegate);

    void releaseSocket();
    bool hasRoomToRead() const;
    void onReadable();
    void onWritable();
    void connectResult(int error);
    void doRead();
    void doSend();
    void resetReceivedState();
    // Reports the written packets the peer acknowledged since the last call (all of them when the
    // kernel cannot tell).
    void reportDelivered();
    // close(): what can be written without waiting, then what is left to read.
    void flushBeforeClose();
    enum class WriteOutcome { Wrote, WouldBlock, Failed };
    // One send call of the queue's head packets.
    WriteOutcome writeQueued();
    // Closes the connection over a packet that cannot be what its length says.
    void closeOnBrokenPacket(PULSEBytesView packet, std::size_t fieldsEnd, std::size_t droppedAfter);
    // Keeps a timer while an incomplete packet is held; it closes the connection when no byte came for
    // the read time-out.
    void watchIncompletePacket();
    void incompletePacketTimerFired();
    void reenableSocketCallbacks();
    // Posts a delegate call to the run loop with no delay.
    template <class Call>
    void notifyDelegate(Call call);

    const std::string m_host;
    const std::uint16_t m_port;
    const std::weak_ptr<PULSETcpSocketDelegate> m_delegate;

    int m_fd = -1;
    std::unique_ptr<platform::FdSource> m_source;
    std::shared_ptr<platform::Timer> m_connectTimer;
    std::shared_ptr<platform::Timer> m_incompleteTimer;
    std::chrono::steady_clock::time_point m_lastReceived{};
    std::uint32_t m_connectionState = kClosed;
    bool m_setupDone = false;
    bool m_careAllDataSent = false;
    // Bumped by every close, so a framing loop learns that a delegate call closed the socket.
    std::uint64_t m_generation = 0;

    struct QueuedPacket {
        platform::Bytes bytes;
        std::shared_ptr<PULSERequest> request;
    };
    std::deque<QueuedPacket> m_sendQueue;
    std::size_t m_queuedBytes = 0; // the bytes of m_sendQueue's packets
    std::size_t m_sentLength = 0;
    // Packets written whole and not yet known to be acknowledged: their sizes and requests.
    struct WrittenPacket {
        std::size_t size;
        std::shared_ptr<PULSERequest> request;
    };
    std::deque<WrittenPacket> m_unacknowledged;
    std::size_t m_unacknowledgedBytes = 0;
    std::vector<std::shared_ptr<PULSERequest>> m_undelivered;

    PULSEPacketReassembler m_reassembly;
};

} // namespace push
