#include "support/PushLookupServer.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

int bindLoopback(std::uint16_t& port, std::uint32_t host = INADDR_LOOPBACK) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

PushLookupServer::PushLookupServer() {
    for (std::size_t i = 0; i < 2; ++i) {
        m_fds[i] = bindLoopback(m_ports[i]);
        std::uint16_t samePort = m_ports[i];
        m_otherHostFds[i] = bindLoopback(samePort, INADDR_LOOPBACK + 1);
    }
    std::uint16_t strangerPort = 0;
    m_strangerFd = bindLoopback(strangerPort);
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        m_faults.push_back("lookup server: no wake pipe");
    m_thread = std::thread([this] { serve(); });
}

PushLookupServer::~PushLookupServer() {
    const char byte = 0;
    (void)!::write(m_wake[1], &byte, 1);
    m_thread.join();
    for (int fd : {m_fds[0], m_fds[1], m_otherHostFds[0], m_otherHostFds[1], m_strangerFd, m_wake[0], m_wake[1]})
        ::close(fd);
}

void PushLookupServer::expect(ExpectedRequest request) {
    std::lock_guard lock(m_mutex);
    m_expected = std::move(request);
}

void PushLookupServer::setReply(int index, std::optional<std::string> reply) {
    std::lock_guard lock(m_mutex);
    m_replies[static_cast<std::size_t>(index)] = std::move(reply);
}

void PushLookupServer::setReplyFromElsewhere(int index, bool elsewhere) {
    std::lock_guard lock(m_mutex);
    m_fromElsewhere[static_cast<std::size_t>(index)] = elsewhere;
}

void PushLookupServer::setReplyFromOtherHost(int index, bool otherHost) {
    std::lock_guard lock(m_mutex);
    m_fromOtherHost[static_cast<std::size_t>(index)] = otherHost;
}

int PushLookupServer::queries(int index) const {
    std::lock_guard lock(m_mutex);
    return m_queries[static_cast<std::size_t>(index)];
}

int PushLookupServer::lastPort() const {
    std::lock_guard lock(m_mutex);
    return m_lastPort;
}

bool PushLookupServer::hasReply(int index) const {
    std::lock_guard lock(m_mutex);
    return index >= 0 && m_replies[static_cast<std::size_t>(index)].has_value() && !m_fromElsewhere[static_cast<std::size_t>(index)] &&
           !m_fromOtherHost[static_cast<std::size_t>(index)];
}

std::vector<std::string> PushLookupServer::faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

std::string PushLookupServer::reply(const std::string& user, const std::array<std::string, 3>& ips,
                                    const std::string& udpReport, const std::vector<std::string>& options) {
    std::string json = "{\"user\":" + quoted(user) + ",\"ips\":[" + quoted(ips[0]) + "," + quoted(ips[1]) + "," +
                       quoted(ips[2]) + "],\"udp_report\":[" + quoted(udpReport) + "],\"op_conns\":[";
    for (std::size_t i = 0; i < options.size(); ++i)
        json += (i ? "," : "") + quoted(options[i]);
    return json + "]}";
}

// The request, byte by byte: 80 00 "UF", then from byte 4 the carrier name over (0, network type, uid
// low byte, four zeros), the app key at 42, "2.1.0" at 92, zeros elsewhere.
void PushLookupServer::check(const std::vector<std::uint8_t>& request) {
    if (request.size() != 128) {
        m_faults.push_back("lookup request: " + std::to_string(request.size()) + " bytes, expected 128");
        return;
    }
    std::vector<std::uint8_t> expected(128, 0);
    expected[0] = 0x80;
    expected[2] = 'U';
    expected[3] = 'F';
    expected[5] = m_expected.networkType;
    expected[6] = m_expected.uidLowByte;
    std::memcpy(&expected[4], m_expected.carrier.data(), std::min<std::size_t>(38, m_expected.carrier.size()));
    std::memcpy(&expected[42], m_expected.appKey.data(), std::min<std::size_t>(50, m_expected.appKey.size()));
    std::memcpy(&expected[92], "2.1.0", 5);
    for (std::size_t i = 0; i < 128; ++i) {
        if (request[i] != expected[i]) {
            m_faults.push_back("lookup request: byte " + std::to_string(i) + " is " + std::to_string(request[i]) +
                               ", expected " + std::to_string(expected[i]));
            return;
        }
    }
}

void PushLookupServer::serve() {
    std::vector<std::uint8_t> buffer(70000);
    for (;;) {
        pollfd fds[3] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0)
            continue;
        if (fds[2].revents)
            return;
        for (std::size_t i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t count = ::recvfrom(m_fds[i], buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (count < 0)
                continue;
            std::optional<std::string> reply;
            int replyFd = m_fds[i];
            {
                std::lock_guard lock(m_mutex);
                ++m_queries[i];
                m_lastPort = static_cast<int>(i);
                check(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + count));
                reply = m_replies[i];
                if (m_fromElsewhere[i])
                    replyFd = m_strangerFd;
                if (m_fromOtherHost[i])
                    replyFd = m_otherHostFds[i];
            }
            if (reply)
                ::sendto(replyFd, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
}

} // namespace testsupport
