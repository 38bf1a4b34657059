#include "support/PushTestServer.h"

#include "platform/core/Crypto.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/Clock.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr std::size_t kRequestHeaderLength = 24;
constexpr std::size_t kReadChunk = 64 * 1024;

// The version each command the client sends must carry (receipts, command 4, carry the version of
// the message they answer: any).
int expectedVersion(std::uint8_t command) {
    switch (command) {
    case 0: return 8;
    case 1: return 12;
    case 2: return 3;
    case 10: return 4;
    case 13: return 2;
    case 4: return -1;
    default: return -2; // not a command the client sends
    }
}

std::uint64_t readBigEndian(const std::uint8_t* bytes, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

int listenSocket(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("PushTestServer: socket failed");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("PushTestServer: cannot listen on 127.0.0.1");
    }
    return fd;
}

} // namespace

struct PushTestServer::Connection {
    int fd = -1;
    int id = 0;
    PushBytes inbound;
    std::deque<PushBytes> outbound; // scripted writes, oldest first
    std::size_t outboundOffset = 0; // bytes of the front write already sent
    // The session: the id issued at its login (0 before), the uid of its device (0 before known).
    bool loggedIn = false;
    std::uint32_t sessionId = 0;
    std::uint64_t uid = 0;
    bool blackHole = false;
    bool deaf = false; // reads nothing more: what the client writes stays in the kernel's buffers
    std::optional<std::size_t> writeBudget; // bytes left before the connection drops
};

PushTestServer::PushTestServer() {
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        throw std::runtime_error("PushTestServer: eventfd failed");
    listenOn(0);
    m_thread = std::thread([this] { serve(); });
}

PushTestServer::~PushTestServer() {
    post([this] { m_stopping = true; });
    m_thread.join();
    for (auto& connection : m_connections)
        ::close(connection->fd);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    ::close(m_wakeFd);
}

void PushTestServer::listenOn(std::uint16_t port) {
    m_listenFd = listenSocket(port);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
}

// ---- control ----

void PushTestServer::post(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
}

void PushTestServer::postAndWait(std::function<void()> work) {
    auto done = std::make_shared<bool>(false);
    post([this, work = std::move(work), done] {
        work();
        std::lock_guard lock(m_mutex);
        *done = true;
        m_changed.notify_all();
    });
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return *done; });
}

std::vector<PushReceivedPacket> PushTestServer::packets() const {
    std::lock_guard lock(m_mutex);
    return m_packets;
}

std::vector<PushReceivedPacket> PushTestServer::packets(std::uint8_t command) const {
    std::vector<PushReceivedPacket> matching;
    for (auto& packet : packets())
        if (packet.command == command)
            matching.push_back(std::move(packet));
    return matching;
}

std::vector<std::string> PushTestServer::faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

int PushTestServer::connectionsAccepted() const {
    std::lock_guard lock(m_mutex);
    return m_accepted;
}

int PushTestServer::openConnections() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

bool PushTestServer::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, condition);
}

void PushTestServer::changed() {
    std::lock_guard lock(m_mutex);
    m_changed.notify_all();
}

void PushTestServer::sendRaw(PushBytes bytes) {
    post([this, bytes = std::move(bytes)]() mutable {
        if (!m_connections.empty())
            m_connections.back()->outbound.push_back(std::move(bytes));
    });
}

void PushTestServer::setWriteShape(WriteShape shape) {
    post([this, shape] { m_shape = shape; });
}

void PushTestServer::setWithholdHeartbeatAcks(bool withhold) {
    postAndWait([this, withhold] { m_withholdHeartbeatAcks = withhold; });
}

void PushTestServer::setWithholdTagAcks(bool withhold) {
    postAndWait([this, withhold] { m_withholdTagAcks = withhold; });
}

void PushTestServer::setServerVersion(std::uint16_t version) {
    postAndWait([this, version] { m_serverVersion = version; });
}

void PushTestServer::scriptRegistrationStatuses(std::vector<std::uint16_t> statuses) {
    postAndWait([this, statuses = std::move(statuses)] { m_registrationStatuses.assign(statuses.begin(), statuses.end()); });
}

void PushTestServer::scriptLoginStatuses(std::vector<std::uint16_t> statuses) {
    postAndWait([this, statuses = std::move(statuses)] { m_loginStatuses.assign(statuses.begin(), statuses.end()); });
}

void PushTestServer::scriptTagReplies(std::vector<int> codes) {
    postAndWait([this, codes = std::move(codes)] { m_tagReplies.assign(codes.begin(), codes.end()); });
}

void PushTestServer::setHoldTagReplies(bool hold) {
    postAndWait([this, hold] { m_holdTagReplies = hold; });
}

void PushTestServer::releaseHeldTagReplies() {
    postAndWait([this] {
        auto held = std::move(m_heldTagReplies);
        m_heldTagReplies.clear();
        for (const auto& [rid, code] : held)
            sendTagReply(rid, code);
    });
}

PushTestServer::PushOutcome PushTestServer::pushMessage(std::uint8_t type, std::uint64_t id, const std::string& text) {
    PushOutcome outcome = PushOutcome::Dropped;
    postAndWait([this, type, id, text, &outcome] {
        Connection* connection = newestLoggedIn();
        const std::uint64_t uid = connection ? connection->uid : m_lastLoginUid;
        if (uid == 0)
            return;
        if (type != 20) {
            const bool added = m_held[uid].insert_or_assign(id, HeldMessage{type, text}).second;
            m_pushedIds[uid].insert(id);
            std::lock_guard lock(m_mutex);
            m_heldCount += added ? 1 : 0;
        }
        if (connection)
            writeMessage(*connection, type, id, text);
        outcome = connection ? PushOutcome::Sent : PushOutcome::Held;
    });
    return outcome;
}

PushTestServer::PushOutcome PushTestServer::pushBurst(std::uint64_t firstId, std::size_t count, const std::string& text,
                                                      bool thenBrokenPacket) {
    return pushBurst(firstId, count, [&text](std::uint64_t) { return text; }, thenBrokenPacket);
}

PushTestServer::PushOutcome PushTestServer::pushBurst(std::uint64_t firstId, std::size_t count,
                                                      const std::function<std::string(std::uint64_t)>& textOf, bool thenBrokenPacket) {
    PushOutcome outcome = PushOutcome::Dropped;
    postAndWait([&] {
        Connection* connection = newestLoggedIn();
        if (!connection)
            return;
        PushBytes burst;
        std::size_t added = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t id = firstId + i;
            const std::string text = textOf(id);
            added += m_held[connection->uid].insert_or_assign(id, HeldMessage{1, text}).second ? 1 : 0;
            m_pushedIds[connection->uid].insert(id);
            PushBytes body;
            appendU8(body, 1);
            appendU64(body, id);
            appendString(body, text);
            const PushBytes message = packet(1, 3, id, connection->uid, body);
            burst.insert(burst.end(), message.begin(), message.end());
        }
        if (thenBrokenPacket) {
            PushBytes body;
            appendU8(body, 1);
            appendU64(body, ~0ull);
            appendString(body, "broken");
            PushBytes broken = packet(1, 3, 1, connection->uid, body);
            const std::size_t lie = broken.size() + 40;
            broken[0] = static_cast<std::uint8_t>(lie >> 8);
            broken[1] = static_cast<std::uint8_t>(lie);
            burst.insert(burst.end(), broken.begin(), broken.end());
        }
        connection->outbound.push_back(std::move(burst));
        std::lock_guard lock(m_mutex);
        m_heldCount += added;
        outcome = PushOutcome::Sent;
    });
    return outcome;
}

void PushTestServer::setCloseAfterLogin(bool close) {
    postAndWait([this, close] { m_closeAfterLogin = close; });
}

void PushTestServer::writeMessage(Connection& connection, std::uint8_t type, std::uint64_t id, const std::string& text) {
    PushBytes body;
    appendU8(body, type);
    appendU64(body, id);
    appendString(body, text);
    connection.outbound.push_back(packet(1, 3, id, connection.uid, body));
}

std::vector<std::uint64_t> PushTestServer::receipts() const {
    std::lock_guard lock(m_mutex);
    return m_receipts;
}

std::size_t PushTestServer::heldMessages() const {
    std::lock_guard lock(m_mutex);
    return m_heldCount;
}


void PushTestServer::becomeBlackHole() {
    postAndWait([this] {
        if (!m_connections.empty())
            m_connections.back()->blackHole = true;
    });
}

void PushTestServer::stopReading() {
    postAndWait([this] {
        if (m_connections.empty())
            return;
        Connection& connection = *m_connections.back();
        connection.deaf = true;
        // The smallest receive buffer the kernel allows: the client's writes soon find no room.
        const int size = 1;
        (void)::setsockopt(connection.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    });
}

void PushTestServer::becomeBlackHoleAfterNextLogin() {
    postAndWait([this] { m_blackHoleAfterLogin = true; });
}

void PushTestServer::dropAfterBytes(std::size_t count) {
    postAndWait([this, count] {
        if (!m_connections.empty())
            m_connections.back()->writeBudget = count;
    });
}

PushTestServer::Connection* PushTestServer::newestLoggedIn() {
    for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it)
        if ((*it)->loggedIn)
            return it->get();
    return nullptr;
}

void PushTestServer::dropConnections() {
    postAndWait([this] {
        while (!m_connections.empty())
            closeConnection(*m_connections.back(), false);
    });
}

void PushTestServer::resetConnections() {
    postAndWait([this] {
        while (!m_connections.empty())
            closeConnection(*m_connections.back(), true);
    });
}

void PushTestServer::restart(bool reset) {
    postAndWait([this, reset] {
        ::close(m_listenFd);
        m_listenFd = -1;
        while (!m_connections.empty())
            closeConnection(*m_connections.back(), reset);
        listenOn(m_port);
    });
}

void PushTestServer::stopListening() {
    postAndWait([this] {
        ::close(m_listenFd);
        m_listenFd = -1; // poll skips it
        while (!m_connections.empty())
            closeConnection(*m_connections.back(), false);
    });
}

void PushTestServer::startListening() {
    postAndWait([this] {
        if (m_listenFd < 0)
            listenOn(m_port);
    });
}

// ---- building answers ----

void PushTestServer::appendU8(PushBytes& bytes, std::uint8_t value) { bytes.push_back(value); }
void PushTestServer::appendU16(PushBytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}
void PushTestServer::appendU32(PushBytes& bytes, std::uint32_t value) {
    appendU16(bytes, static_cast<std::uint16_t>(value >> 16));
    appendU16(bytes, static_cast<std::uint16_t>(value));
}
void PushTestServer::appendU64(PushBytes& bytes, std::uint64_t value) {
    appendU32(bytes, static_cast<std::uint32_t>(value >> 32));
    appendU32(bytes, static_cast<std::uint32_t>(value));
}
void PushTestServer::appendString(PushBytes& bytes, const std::string& text) {
    appendU16(bytes, static_cast<std::uint16_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
}

PushBytes PushTestServer::packet(std::uint8_t version, std::uint8_t command, std::uint64_t rid, std::uint64_t uid,
                                 const PushBytes& body) {
    PushBytes bytes;
    appendU16(bytes, static_cast<std::uint16_t>(20 + body.size()));
    appendU8(bytes, version);
    appendU8(bytes, command);
    appendU64(bytes, rid);
    appendU64(bytes, uid);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

// ---- the server thread ----

void PushTestServer::serve() {
    std::vector<pollfd> fds;
    for (;;) {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(m_mutex);
            work.swap(m_work);
        }
        for (auto& item : work)
            item();
        if (m_stopping)
            return;
        changed();

        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        for (auto& connection : m_connections)
            fds.push_back({connection->fd, short((connection->deaf ? 0 : POLLIN) | (connection->outbound.empty() ? 0 : POLLOUT)), 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents) {
            std::uint64_t count;
            (void)!::read(m_wakeFd, &count, sizeof count);
        }
        if (fds[1].revents)
            acceptAll();
        // Connections may close while being served: walk by descriptor.
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            for (auto& connection : m_connections) {
                if (connection->fd != fds[i].fd)
                    continue;
                if (fds[i].revents & POLLOUT)
                    writeTo(*connection);
                else if (!connection->deaf)
                    readFrom(*connection);
                else if (fds[i].revents & (POLLHUP | POLLERR))
                    closeConnection(*connection, false); // gone: nothing more can be written either
                break;
            }
        }
    }
}

void PushTestServer::acceptAll() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        {
            std::lock_guard lock(m_mutex);
            connection->id = ++m_accepted;
            ++m_open;
        }
        m_connections.push_back(std::move(connection));
    }
}

void PushTestServer::closeConnection(Connection& connection, bool reset) {
    if (reset) {
        const linger abort{1, 0};
        setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(connection.fd);
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == &connection) {
            m_connections.erase(it);
            break;
        }
    }
    std::lock_guard lock(m_mutex);
    --m_open;
}

void PushTestServer::writeTo(Connection& connection) {
    const PushBytes& front = connection.outbound.front();
    std::size_t length = front.size() - connection.outboundOffset;
    if (m_shape == WriteShape::OneBytePerWrite)
        length = std::min<std::size_t>(length, 1);
    if (connection.writeBudget) {
        if (*connection.writeBudget == 0) {
            closeConnection(connection, false);
            return;
        }
        length = std::min(length, *connection.writeBudget);
    }
    const ssize_t sent = length ? ::send(connection.fd, front.data() + connection.outboundOffset, length, MSG_NOSIGNAL) : 0;
    if (sent < 0) {
        if (errno != EAGAIN && errno != EINTR)
            closeConnection(connection, false);
        return;
    }
    connection.outboundOffset += static_cast<std::size_t>(sent);
    if (connection.writeBudget && (*connection.writeBudget -= static_cast<std::size_t>(sent)) == 0) {
        closeConnection(connection, false);
        return;
    }
    if (connection.outboundOffset == front.size()) {
        connection.outbound.pop_front();
        connection.outboundOffset = 0;
    }
}

void PushTestServer::readFrom(Connection& connection) {
    std::uint8_t chunk[kReadChunk];
    const ssize_t count = ::recv(connection.fd, chunk, sizeof chunk, 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count <= 0) {
        closeConnection(connection, false);
        return;
    }
    auto& inbound = connection.inbound;
    inbound.insert(inbound.end(), chunk, chunk + count);
    std::size_t start = 0;
    while (inbound.size() - start >= 2) {
        const std::size_t length = readBigEndian(inbound.data() + start, 2);
        if (length < 2) {
            fault("connection " + std::to_string(connection.id) + ": packet length " + std::to_string(length) +
                  ", expected at least 24; cannot frame further");
            closeConnection(connection, false);
            return;
        }
        if (inbound.size() - start < length)
            break;
        handlePacket(connection, PushBytes(inbound.begin() + static_cast<std::ptrdiff_t>(start),
                                           inbound.begin() + static_cast<std::ptrdiff_t>(start + length)));
        start += length;
    }
    inbound.erase(inbound.begin(), inbound.begin() + static_cast<std::ptrdiff_t>(start));
}

void PushTestServer::setSessionAnswers(std::string appKey) {
    postAndWait([this, appKey = std::move(appKey)] { m_sessionAppKey = appKey; });
}

namespace {

// Reads the fields of a session request body; a field beyond the end marks the body short.
class BodyReader {
public:
    explicit BodyReader(const PushBytes& body) : m_body(body) {}
    std::uint64_t number(std::size_t size) {
        if (m_at + size > m_body.size()) {
            m_short = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value = (value << 8) | m_body[m_at++];
        return value;
    }
    std::string text() {
        const auto length = static_cast<std::size_t>(number(2));
        if (m_at + length > m_body.size()) {
            m_short = true;
            return {};
        }
        std::string value(m_body.begin() + static_cast<std::ptrdiff_t>(m_at),
                          m_body.begin() + static_cast<std::ptrdiff_t>(m_at + length));
        m_at += length;
        return value;
    }
    bool complete() const { return !m_short && m_at == m_body.size(); }

private:
    const PushBytes& m_body;
    std::size_t m_at = 0;
    bool m_short = false;
};

std::vector<std::string> splitDollars(const std::string& text) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find("$$", start)) != std::string::npos; start = at + 2)
        pieces.push_back(text.substr(start, at - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

std::uint16_t nextStatus(std::deque<std::uint16_t>& script) {
    if (script.empty())
        return 0;
    const std::uint16_t status = script.front();
    script.pop_front();
    return status;
}

// Whether a tag or alias follows the client's rules: at most 40 bytes of UTF-8 whose characters are
// ASCII letters, digits, "_" or in U+4E00-U+9FFF.
bool isTagText(const std::string& text) {
    if (text.size() > 40)
        return false;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (!std::isalnum(c) && c != '_')
                return false;
            ++i;
            continue;
        }
        // Only three-byte sequences can be in U+4E00-U+9FFF.
        if ((c & 0xF0) != 0xE0 || i + 3 > text.size())
            return false;
        const auto c1 = static_cast<unsigned char>(text[i + 1]);
        const auto c2 = static_cast<unsigned char>(text[i + 2]);
        if ((c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80)
            return false;
        const unsigned code = ((c & 0x0Fu) << 12) | ((c1 & 0x3Fu) << 6) | (c2 & 0x3Fu);
        if (code < 0x4E00 || code > 0x9FFF)
            return false;
        i += 3;
    }
    return true;
}

bool isLowerAlphanumeric(const std::string& text) {
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return !text.empty();
}

} // namespace

void PushTestServer::answerSession(Connection& connection, const PushReceivedPacket& packet, const std::string& name) {
    BodyReader body(packet.body);
    PushBytes answer;
    if (packet.command == 0) {
        const auto identity = splitDollars(body.text());
        (void)body.text(); // the bundle version, any text
        const auto system = splitDollars(body.text());
        const std::string token = body.text();
        const auto configured = body.number(1);
        (void)body.number(1); // the build's environment, any value
        const auto last = body.number(1);
        if (!body.complete())
            fault(name + ": registration body does not hold its seven fields exactly");
        if (identity.size() != 4 || identity[0].empty() || identity[0].find(' ') != std::string::npos ||
            identity[1] != " " || identity[2].empty() || identity[3] != m_sessionAppKey)
            fault(name + ": registration identity field is not \"<device id>$$ $$<bundle>$$" + m_sessionAppKey + "\"");
        if (system.size() != 6 || system[2] != " " || system[3] != " " || system[4].empty() || system[5] != "2.1.0")
            fault(name + ": registration system field is not \"<system>$$<model>$$ $$ $$<channel>$$2.1.0\"");
        if (token.empty())
            fault(name + ": registration token is empty, expected the token or \" \"");
        if (configured > 2 || last != 1)
            fault(name + ": registration environment " + std::to_string(configured) + " / final byte " +
                  std::to_string(last) + ", expected 0-2 / 1");
        if (identity.empty())
            return;
        auto device = std::find_if(m_devices.begin(), m_devices.end(), [&](const auto& d) { return d.first == identity[0]; });
        if (packet.uid != 0 && (device == m_devices.end() || device->second.uid != packet.uid))
            fault(name + ": registration uid " + std::to_string(packet.uid) + ", expected 0 or the device's issued uid");
        const std::uint16_t status = nextStatus(m_registrationStatuses);
        if (status != 0) {
            appendU16(answer, status);
            appendString(answer, "registration refused by script");
        } else {
            if (device == m_devices.end()) {
                const auto n = m_devices.size() + 1;
                m_devices.push_back({identity[0], Device{1000 + n, "pw" + std::to_string(n), "reg" + std::to_string(n)}});
                device = m_devices.end() - 1;
            }
            connection.uid = device->second.uid;
            appendU16(answer, 0);
            appendU64(answer, device->second.uid);
            appendString(answer, device->second.password);
            appendString(answer, device->second.registrationID);
        }
    } else if (packet.command == 1) {
        const auto magic = body.number(4);
        const std::string digest = body.text();
        const auto sdk = body.number(4);
        const std::string appKey = body.text();
        const auto last = body.number(1);
        if (!body.complete())
            fault(name + ": login body does not hold its five fields exactly");
        auto device = std::find_if(m_devices.begin(), m_devices.end(), [&](const auto& d) { return d.second.uid == packet.uid; });
        const std::string password = device == m_devices.end() ? std::string() : device->second.password;
        const std::string expected = platform::Crypto::md5Hex(
            platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
        if (magic != 0x69000000 || sdk != 0x00020100 || last != 1)
            fault(name + ": login fixed fields are not 69 00 00 00 / 0x00020100 / 1");
        if (digest != expected)
            fault(name + ": login digest " + digest + ", expected " + expected);
        if (appKey != m_sessionAppKey || !isLowerAlphanumeric(appKey))
            fault(name + ": login app key " + appKey + ", expected " + m_sessionAppKey);
        std::uint16_t status = nextStatus(m_loginStatuses);
        if (status == 0 && device == m_devices.end())
            status = 2; // nobody registered this uid
        if (status != 0) {
            appendU16(answer, status);
            appendString(answer, "login refused");
        } else {
            connection.loggedIn = true;
            connection.sessionId = 0x5E55 + m_sessionsIssued++;
            connection.uid = packet.uid;
            appendU16(answer, 0);
            appendU32(answer, connection.sessionId);
            appendU16(answer, m_serverVersion);
            appendString(answer, "session-key");
            appendU32(answer, static_cast<std::uint32_t>(platform::Clock::current().wallNow().secondsSince1970));
        }
    } else {
        (void)body.text();
        const auto configured = body.number(1);
        (void)body.number(1);
        if (!body.complete() || configured > 2)
            fault(name + ": device-token body is not token, environment 0-2, build environment");
        appendU16(answer, 0);
    }
    connection.outbound.push_back(PushTestServer::packet(packet.version, packet.command, packet.rid, packet.uid, answer));
    if (packet.command == 1 && connection.loggedIn && m_closeAfterLogin) {
        // The answer goes out whole, and then the connection closes.
        std::size_t pending = 0;
        for (const auto& write : connection.outbound)
            pending += write.size();
        connection.writeBudget = pending - connection.outboundOffset;
        m_lastLoginUid = connection.uid;
        return;
    }
    if (packet.command == 1 && connection.loggedIn) {
        // What the device has not acknowledged goes out again, in id order.
        m_lastLoginUid = connection.uid;
        for (const auto& [id, message] : m_held[connection.uid])
            writeMessage(connection, message.type, id, message.text);
    }
    if (packet.command == 1 && connection.loggedIn && m_blackHoleAfterLogin) {
        m_blackHoleAfterLogin = false;
        connection.blackHole = true;
    }
}

void PushTestServer::fault(const std::string& line) {
    std::lock_guard lock(m_mutex);
    m_faults.push_back(line);
}

void PushTestServer::handlePacket(Connection& connection, const PushBytes& bytes) {
    const std::string name = "connection " + std::to_string(connection.id) + " packet";
    if (bytes.size() < kRequestHeaderLength) {
        fault(name + ": length " + std::to_string(bytes.size()) + ", expected at least 24");
        return;
    }
    PushReceivedPacket packet;
    packet.connection = connection.id;
    packet.length = static_cast<std::uint16_t>(readBigEndian(bytes.data(), 2));
    packet.version = bytes[2];
    packet.command = bytes[3];
    packet.rid = readBigEndian(bytes.data() + 4, 8);
    packet.sessionId = static_cast<std::uint32_t>(readBigEndian(bytes.data() + 12, 4));
    packet.uid = readBigEndian(bytes.data() + 16, 8);
    packet.body.assign(bytes.begin() + kRequestHeaderLength, bytes.end());

    const std::string command = name + " (command " + std::to_string(packet.command) + ")";
    const int version = expectedVersion(packet.command);
    if (version == -2)
        fault(command + ": command " + std::to_string(packet.command) + ", expected one of 0, 1, 2, 4, 10, 13");
    else if (version >= 0 && packet.version != version)
        fault(command + ": version " + std::to_string(packet.version) + ", expected " + std::to_string(version));
    if (packet.command != 4 && packet.rid % 2 == 0)
        fault(command + ": rid " + std::to_string(packet.rid) + ", expected an odd request id");
    if (packet.command == 2 && !packet.body.empty())
        fault(command + ": " + std::to_string(packet.body.size()) + " bytes after the header, expected none");
    {
        std::lock_guard lock(m_mutex);
        m_packets.push_back(packet);
    }
    const bool sessions = !m_sessionAppKey.empty();
    if (sessions)
        checkSession(connection, packet, command);
    if (packet.command == 10)
        answerTags(connection, packet, command);
    if (packet.command == 4 && sessions)
        checkReceipt(connection, packet, command);
    if (connection.blackHole)
        return;

    if ((packet.command == 0 || packet.command == 1 || packet.command == 13) && sessions)
        answerSession(connection, packet, command);

    if (packet.command == 2 && !m_withholdHeartbeatAcks)
        sendAck(connection, packet);
}

void PushTestServer::checkSession(Connection& connection, const PushReceivedPacket& packet, const std::string& name) {
    if (packet.command == 0 || packet.command == 1) {
        if (packet.sessionId != 0)
            fault(name + ": session id " + std::to_string(packet.sessionId) + ", expected 0 before the login");
        if (connection.loggedIn)
            fault(name + ": sent after this connection's login");
        return;
    }
    if (!connection.loggedIn) {
        fault(name + ": sent before this connection's login");
        return;
    }
    if (packet.sessionId != connection.sessionId)
        fault(name + ": session id " + std::to_string(packet.sessionId) + ", expected the issued " +
              std::to_string(connection.sessionId));
    if (packet.uid != connection.uid)
        fault(name + ": uid " + std::to_string(packet.uid) + ", expected the device's " + std::to_string(connection.uid));
}

void PushTestServer::sendAck(Connection& connection, const PushReceivedPacket& packet) {
    PushBytes body;
    appendU8(body, packet.command); // the acknowledged command
    appendU8(body, 0);              // step
    appendU8(body, 0);              // status
    appendU64(body, static_cast<std::uint64_t>(platform::Clock::current().wallNow().secondsSince1970));
    connection.outbound.push_back(PushTestServer::packet(packet.version, 19, packet.rid, packet.uid, body));
}

std::string PushTestServer::tagRequestJson(const PushReceivedPacket& packet) {
    BodyReader body(packet.body);
    (void)body.text();
    std::string json = body.text();
    return body.complete() ? json : std::string();
}

void PushTestServer::answerTags(Connection& connection, const PushReceivedPacket& packet, const std::string& name) {
    BodyReader body(packet.body);
    const std::string appKey = body.text();
    const std::string json = body.text();
    if (!body.complete())
        fault(name + ": tags body is not app key and JSON exactly");
    if (!m_sessionAppKey.empty() && appKey != m_sessionAppKey)
        fault(name + ": tags app key " + appKey + ", expected " + m_sessionAppKey);
    auto parsed = platform::JSON::parse(json);
    const platform::Dictionary* object = parsed.ok() ? parsed.value().getDictionary() : nullptr;
    if (!object) {
        fault(name + ": tags JSON is not an object: " + json);
    } else {
        const platform::Value* platformName = object->find("platform");
        if (!platformName || !platformName->getString() || *platformName->getString() != "i")
            fault(name + ": tags JSON \"platform\" is not \"i\": " + json);
        std::size_t members = 1;
        if (const platform::Value* tags = object->find("tags")) {
            ++members;
            const std::string* text = tags->getString();
            std::vector<std::string> list;
            if (text && !text->empty()) {
                std::size_t start = 0;
                for (std::size_t at; (at = text->find(',', start)) != std::string::npos; start = at + 1)
                    list.push_back(text->substr(start, at - start));
                list.push_back(text->substr(start));
            }
            std::size_t total = 0;
            for (const auto& tag : list)
                total += tag.size();
            if (!text || list.size() > 100 || total > 1000 ||
                !std::all_of(list.begin(), list.end(), [](const std::string& tag) { return isTagText(tag); }))
                fault(name + ": tags break the rules: " + json);
        }
        if (const platform::Value* alias = object->find("alias")) {
            ++members;
            if (!alias->getString() || !isTagText(*alias->getString()))
                fault(name + ": alias breaks the rules: " + json);
        }
        if (object->size() != members)
            fault(name + ": tags JSON has members beyond platform, tags and alias: " + json);
    }
    if (connection.blackHole)
        return;
    if (!m_withholdTagAcks)
        sendAck(connection, packet);
    const int code = m_tagReplies.empty() ? 0 : m_tagReplies.front();
    if (!m_tagReplies.empty())
        m_tagReplies.pop_front();
    if (code == kNoReply)
        return;
    if (m_holdTagReplies)
        m_heldTagReplies.emplace_back(packet.rid, code);
    else
        sendTagReply(packet.rid, code);
}

void PushTestServer::sendTagReply(std::uint64_t rid, int code) {
    Connection* connection = newestLoggedIn();
    if (!connection)
        return;
    const std::string text = "{\"sequence\":" + std::to_string(rid) + ",\"code\":" + std::to_string(code) + "}";
    PushBytes body;
    appendU8(body, 20);
    const std::uint64_t id = (std::uint64_t{1} << 40) + ++m_messagesPushed;
    appendU64(body, id);
    appendString(body, text);
    connection->outbound.push_back(packet(1, 3, id, connection->uid, body));
}

void PushTestServer::checkReceipt(const Connection& connection, const PushReceivedPacket& packet, const std::string& name) {
    BodyReader body(packet.body);
    const auto status = body.number(2);
    const auto type = body.number(1);
    const auto id = body.number(8);
    if (!body.complete() || packet.length != 35)
        fault(name + ": receipt of " + std::to_string(packet.length) + " bytes, expected 35");
    if (status != 0 || packet.version != 1 || packet.rid != id)
        fault(name + ": receipt status " + std::to_string(status) + ", version " + std::to_string(packet.version) + ", rid " +
              std::to_string(packet.rid) + ", expected 0, 1 and the message id " + std::to_string(id));
    const auto pushed = m_pushedIds.find(connection.uid);
    if (type == 20 || pushed == m_pushedIds.end() || !pushed->second.count(id)) {
        fault(name + ": receipt for message " + std::to_string(id) + " of type " + std::to_string(type) +
              ", which was not pushed to this device");
        return;
    }
    auto& held = m_held[connection.uid];
    const auto message = held.find(id);
    if (message != held.end() && message->second.type != type)
        fault(name + ": receipt type " + std::to_string(type) + ", expected " + std::to_string(message->second.type));
    std::lock_guard lock(m_mutex);
    m_receipts.push_back(id);
    if (message != held.end()) {
        held.erase(message);
        --m_heldCount;
    }
}

} // namespace testsupport
