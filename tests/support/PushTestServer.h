// The loopback push server: a stand-in for the push service the push client talks to. This is its TCP
// side: one listener on 127.0.0.1 at a port the system picks, the push protocol's framing (u16 length),
// the 24-byte request header parsed and checked, a session per connection, answers with the 20-byte
// header carrying the request's rid, scripted answers and faults, and restarts on the same port.
//
// It is written from the wire formats alone and shares no code with push/, so one mistake cannot hide
// in both.
//
// Guarantees:
// - The port is listening when the constructor returns; the destructor closes everything and joins the
//   server's thread. One thread serves every socket; the control interface below is thread-safe and
//   returns copies.
// - Every check a received packet fails is recorded in faults() as one line naming the packet, the
//   field, what came and what was expected (the push fixture fails a test that leaves faults).
// - Checks: the length is at least 24 (the framing length is the packet's bytes), the command is one
//   the client sends (0, 1, 2, 4, 10, 13) with its version (0: 8, 1: 12, 2: 3, 13: 2, 10: 4), request
//   ids are odd (receipts, command 4, carry the id of what they answer), a heartbeat has no body.
//   Sessions: registration and login carry session id 0; every later packet of the connection carries
//   the session id issued at its login and the uid of its device; commands 2, 4, 10 and 13 come only
//   after the login. Tags requests carry the app key and a JSON object whose tags and alias follow the
//   client's rules.
// - Answers: heartbeats and tags requests get an acknowledgement (command 19: requested command, step
//   0, status 0, the server time stamp) unless withheld; a tags request is then answered by a pushed
//   message of type 20 {"sequence": rid, "code": n}. Session answers once setSessionAnswers is called.
// - Faults on demand: a black hole (the connection stays open, packets are read and checked, nothing is
//   answered: a half-open peer) now or right after the next login, a drop after N more bytes written,
//   a close right after every login answer, a burst of messages ended by a broken packet, a connection
//   that reads nothing more, resets, restarts.
// - Nothing here sleeps: waitFor() waits on the server's condition variable with a real-time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace testsupport {

using PushBytes = std::vector<std::uint8_t>;

// One packet received from a client, as parsed by the server.
struct PushReceivedPacket {
    int connection = 0; // 1 for the first connection accepted, 2 for the next, ...
    std::uint16_t length = 0;
    std::uint8_t version = 0;
    std::uint8_t command = 0;
    std::uint64_t rid = 0;
    std::uint32_t sessionId = 0;
    std::uint64_t uid = 0;
    PushBytes body;
};

class PushTestServer {
public:
    enum class WriteShape {
        Whole,           // each scripted write goes out with as few writes as the socket allows
        OneBytePerWrite, // every byte is its own write
    };

    PushTestServer();
    ~PushTestServer();
    PushTestServer(const PushTestServer&) = delete;
    PushTestServer& operator=(const PushTestServer&) = delete;

    std::uint16_t pushPort() const { return m_port; }

    // ---- what arrived ----
    std::vector<PushReceivedPacket> packets() const;
    // The packets of one command, in arrival order.
    std::vector<PushReceivedPacket> packets(std::uint8_t command) const;
    // The message ids of the receipts received, in arrival order, and the messages still held.
    std::vector<std::uint64_t> receipts() const;
    std::size_t heldMessages() const;
    // The JSON text of a tags request's body ("" when the body is not app key + JSON).
    static std::string tagRequestJson(const PushReceivedPacket& packet);
    std::vector<std::string> faults() const;
    int connectionsAccepted() const;
    int openConnections() const;
    // Waits until the condition holds (checked whenever the server's state changes); false when the
    // limit passed first. The condition may call the accessors above.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

    // ---- scripting ----
    // Sends bytes to the newest open connection as one scripted write (several packets may be joined
    // into one write this way); shaped by the write shape.
    void sendRaw(PushBytes bytes);
    void setWriteShape(WriteShape shape);
    void setWithholdHeartbeatAcks(bool withhold);
    void setWithholdTagAcks(bool withhold);
    // The server version login answers carry (1 unless set).
    void setServerVersion(std::uint16_t version);
    // Statuses of the next registration / login answers, in order (then 0 again). A registration status
    // other than 0 carries no identity; a login status other than 0 opens no session.
    void scriptRegistrationStatuses(std::vector<std::uint16_t> statuses);
    void scriptLoginStatuses(std::vector<std::uint16_t> statuses);
    // Codes of the next tags replies, in order (then 0); kNoReply sends none.
    static constexpr int kNoReply = -1;
    void scriptTagReplies(std::vector<int> codes);
    // Held replies wait until released (a reply that comes late).
    void setHoldTagReplies(bool hold);
    void releaseHeldTagReplies();
    // A pushed message (command 3, version 1: type, id, text) for the device of the newest logged-in
    // connection (else the device that logged in last). Messages other than type 20 are held until
    // their receipt; a device that logs in again gets every held message again, in id order. With no
    // device logged in yet there is nobody to push to: the message is dropped.
    enum class PushOutcome {
        Sent,    // written to the device's connection
        Held,    // the device is not connected: it gets the message at its next login
        Dropped, // no device has logged in yet
    };
    PushOutcome pushMessage(std::uint8_t type, std::uint64_t id, const std::string& text);
    // A burst in one scripted write to the newest logged-in connection: `count` messages of type 1 with
    // ids from `firstId` (held like any other), then, when asked, a broken packet: a message whose
    // length word says 40 bytes more than it holds (not held; the client must drop the connection).
    // Dropped (nothing held) when no device is connected.
    PushOutcome pushBurst(std::uint64_t firstId, std::size_t count, const std::string& text, bool thenBrokenPacket);
    // The same, each message's text made from its id.
    PushOutcome pushBurst(std::uint64_t firstId, std::size_t count, const std::function<std::string(std::uint64_t)>& textOf,
                          bool thenBrokenPacket);
    // The newest connection stops answering now; or the next connection to log in, right after its login
    // answer.
    void becomeBlackHole();
    void becomeBlackHoleAfterNextLogin();
    // The newest connection reads nothing more (its receive buffer made as small as the kernel allows)
    // and still writes: a server that never reads.
    void stopReading();
    // The newest connection writes at most N more bytes, then closes (FIN).
    void dropAfterBytes(std::size_t count);
    // Every connection that logs in is closed (FIN) right after its login answer, until turned off: a
    // server that lets the device in and then drops it.
    void setCloseAfterLogin(bool close);
    // Session answers: registration (command 0) grants each device id a uid, password and registration
    // id kept across connections; login (1) and device token (13) answer status 0. Each request's
    // fields are checked (device id shape, "$$" layouts, lower-case app key, the token or " ", the two
    // environment bytes and the final 1; 69 00 00 00, the MD5 of the password issued to the header's
    // uid, 0x00020100). With no app key set, session commands get no answer.
    void setSessionAnswers(std::string appKey);
    // Closes every connection with a FIN, or with a reset (SO_LINGER 0); done when the call returns.
    void dropConnections();
    void resetConnections();
    // Closes the listener and every connection (FIN, or reset when asked), keeps all state, and
    // listens again on the same port before it returns.
    void restart(bool reset = false);
    // Closes the listener and every connection, so that connections are refused, until listening again
    // on the same port.
    void stopListening();
    void startListening();

    // ---- building answers ----
    // A packet with the 20-byte header (length filled in) and the body.
    static PushBytes packet(std::uint8_t version, std::uint8_t command, std::uint64_t rid, std::uint64_t uid,
                            const PushBytes& body = {});
    static void appendU8(PushBytes& bytes, std::uint8_t value);
    static void appendU16(PushBytes& bytes, std::uint16_t value);
    static void appendU32(PushBytes& bytes, std::uint32_t value);
    static void appendU64(PushBytes& bytes, std::uint64_t value);
    static void appendString(PushBytes& bytes, const std::string& text);

private:
    struct Connection;

    void serve();
    void post(std::function<void()> work);
    // Posts and returns once the server thread has done it.
    void postAndWait(std::function<void()> work);
    void listenOn(std::uint16_t port);
    void acceptAll();
    void readFrom(Connection& connection);
    void writeTo(Connection& connection);
    void closeConnection(Connection& connection, bool reset);
    void handlePacket(Connection& connection, const PushBytes& bytes);
    void answerSession(Connection& connection, const PushReceivedPacket& packet, const std::string& name);
    void checkSession(Connection& connection, const PushReceivedPacket& packet, const std::string& name);
    void answerTags(Connection& connection, const PushReceivedPacket& packet, const std::string& name);
    void sendAck(Connection& connection, const PushReceivedPacket& packet);
    void sendTagReply(std::uint64_t rid, int code);
    void checkReceipt(const Connection& connection, const PushReceivedPacket& packet, const std::string& name);
    void writeMessage(Connection& connection, std::uint8_t type, std::uint64_t id, const std::string& text);
    Connection* newestLoggedIn();
    void fault(const std::string& line);
    void changed();

    std::uint16_t m_port = 0;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    bool m_stopping = false;

    // Owned by the server thread.
    std::vector<std::unique_ptr<Connection>> m_connections;
    WriteShape m_shape = WriteShape::Whole;
    bool m_withholdHeartbeatAcks = false;
    bool m_withholdTagAcks = false;
    std::uint16_t m_serverVersion = 1;
    std::deque<std::uint16_t> m_registrationStatuses;
    std::deque<std::uint16_t> m_loginStatuses;
    std::deque<int> m_tagReplies;
    bool m_holdTagReplies = false;
    std::vector<std::pair<std::uint64_t, int>> m_heldTagReplies;
    bool m_blackHoleAfterLogin = false;
    bool m_closeAfterLogin = false;
    std::uint32_t m_sessionsIssued = 0;
    std::uint64_t m_lastLoginUid = 0;
    struct HeldMessage {
        std::uint8_t type;
        std::string text;
    };
    // Per device uid: messages waiting for their receipt (by id), and the ids of every message pushed.
    std::map<std::uint64_t, std::map<std::uint64_t, HeldMessage>> m_held;
    std::map<std::uint64_t, std::unordered_set<std::uint64_t>> m_pushedIds;
    std::uint64_t m_messagesPushed = 0;
    // Server thread only: the session answers' app key and the devices registered.
    std::string m_sessionAppKey;
    struct Device {
        std::uint64_t uid;
        std::string password;
        std::string registrationID;
    };
    std::vector<std::pair<std::string, Device>> m_devices;

    mutable std::recursive_mutex m_mutex; // guards what follows and the posted work
    mutable std::condition_variable_any m_changed;
    std::deque<std::function<void()>> m_work;
    std::vector<PushReceivedPacket> m_packets;
    std::vector<std::string> m_faults;
    int m_accepted = 0;
    std::vector<std::uint64_t> m_receipts;
    std::size_t m_heldCount = 0;
    int m_open = 0;

    std::thread m_thread;
};

} // namespace testsupport
