#include "support/HTTPTestServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 256 * 1024 * 1024;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

const char* reasonFor(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads from a connection into a buffer that keeps what was read past the current request.
class Reader {
public:
    explicit Reader(int fd) : m_fd(fd) {}

    // Fills until the buffer holds `needle`; returns its offset, or nullopt on close, error or overflow.
    std::optional<std::size_t> readUntil(const std::string& needle, std::size_t limit) {
        for (;;) {
            std::size_t at = m_buffer.find(needle);
            if (at != std::string::npos)
                return at;
            if (m_buffer.size() > limit || !fill())
                return std::nullopt;
        }
    }
    bool readExactly(std::size_t count, std::string& out) {
        while (m_buffer.size() < count)
            if (!fill())
                return false;
        out.append(m_buffer, 0, count);
        m_buffer.erase(0, count);
        return true;
    }
    std::string peek(std::size_t count) const { return m_buffer.substr(0, count); }
    bool hasBuffered() const { return !m_buffer.empty(); }
    std::string take(std::size_t count) {
        std::string s = m_buffer.substr(0, count);
        m_buffer.erase(0, count);
        return s;
    }

private:
    bool fill() {
        char chunk[65536];
        for (;;) {
            ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            m_buffer.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    }

    int m_fd;
    std::string m_buffer;
};

// Whether the first bytes of a request are a method and a space (a TLS greeting, for one, is not).
bool startsLikeHTTP(Reader& reader) {
    auto space = reader.readUntil(" ", 16);
    if (!space || *space == 0)
        return false;
    std::string method = reader.peek(*space);
    return std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Reads one request; false when the peer closed or sent something that is not HTTP.
bool readRequest(Reader& reader, int fd, RecordedRequest& request) {
    auto end = reader.readUntil("\r\n\r\n", kMaxHeaderBytes);
    if (!end)
        return false;
    std::string head = reader.take(*end + 4);
    std::size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    std::size_t sp1 = requestLine.find(' ');
    std::size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1)
        return false;
    request.method = requestLine.substr(0, sp1);
    std::string target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    std::size_t q = target.find('?');
    request.path = target.substr(0, q);
    request.query = q == std::string::npos ? std::string() : target.substr(q + 1);

    std::size_t pos = lineEnd + 2;
    while (pos < head.size()) {
        std::size_t next = head.find("\r\n", pos);
        if (next == pos || next == std::string::npos)
            break;
        std::string line = head.substr(pos, next - pos);
        pos = next + 2;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }

    if (auto expect = request.header("Expect"); expect && equalsIgnoringCase(*expect, "100-continue"))
        sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25);

    auto encoding = request.header("Transfer-Encoding");
    if (encoding && equalsIgnoringCase(*encoding, "chunked")) {
        for (;;) {
            auto sizeEnd = reader.readUntil("\r\n", 1024);
            if (!sizeEnd)
                return false;
            std::string sizeLine = reader.take(*sizeEnd + 2);
            std::size_t size = std::strtoull(sizeLine.c_str(), nullptr, 16);
            if (request.body.size() + size > kMaxBodyBytes)
                return false;
            std::string crlf;
            if (size == 0) {
                // Trailers, if any, end with an empty line.
                auto trailerEnd = reader.readUntil("\r\n", kMaxHeaderBytes);
                if (!trailerEnd)
                    return false;
                while (*trailerEnd != 0) {
                    reader.take(*trailerEnd + 2);
                    trailerEnd = reader.readUntil("\r\n", kMaxHeaderBytes);
                    if (!trailerEnd)
                        return false;
                }
                reader.take(2);
                return true;
            }
            if (!reader.readExactly(size, request.body) || !reader.readExactly(2, crlf))
                return false;
        }
    }
    if (auto length = request.header("Content-Length")) {
        std::size_t size = std::strtoull(length->c_str(), nullptr, 10);
        if (size > kMaxBodyBytes)
            return false;
        return reader.readExactly(size, request.body);
    }
    return true;
}

} // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (equalsIgnoringCase(n, name))
            return v;
    return std::nullopt;
}

Reply Reply::text(int status, std::string body, std::string contentType) {
    Reply r;
    r.status = status;
    r.body = std::make_shared<const std::string>(std::move(body));
    r.headers.emplace_back("Content-Type", std::move(contentType));
    return r;
}

Reply Reply::closedWithoutReply() {
    Reply r;
    r.closeWithoutReply = true;
    return r;
}

Reply& Reply::withHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

Reply& Reply::withFraming(Framing f) {
    framing = f;
    return *this;
}

HTTPTestServer::HTTPTestServer() : HTTPTestServer(0) {}

HTTPTestServer::HTTPTestServer(std::uint16_t port) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_listenFd, 128) != 0) {
        const int error = errno;
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(error));
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

HTTPTestServer::~HTTPTestServer() { stop(); }

std::string HTTPTestServer::url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

void HTTPTestServer::route(const std::string& path, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_routes[path] = std::move(handler);
}

void HTTPTestServer::route(const std::string& path, Reply canned) {
    if (canned.hold) {
        std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    route(path, [canned = std::move(canned)](const RecordedRequest&) { return canned; });
}

void HTTPTestServer::routeEcho(const std::string& path) {
    route(path, [](const RecordedRequest& request) {
        return Reply::text(200, request.body, request.header("Content-Type").value_or("application/octet-stream"));
    });
}

std::vector<RecordedRequest> HTTPTestServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

bool HTTPTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

std::size_t HTTPTestServer::connectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_connectionCount;
}

void HTTPTestServer::releaseHeldReplies() {
    std::lock_guard lock(m_mutex);
    ++m_releases;
    m_holding = false;
    m_changed.notify_all();
}

void HTTPTestServer::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_stopped = true;
        for (int fd : m_openFds)
            ::shutdown(fd, SHUT_RDWR);
        m_changed.notify_all();
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    m_acceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_connectionThreads);
    }
    for (auto& t : threads)
        t.join();
    ::close(m_listenFd);
    ::close(m_wakeFd);
}

void HTTPTestServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(m_mutex);
        if (m_stopped) {
            ::close(fd);
            return;
        }
        ++m_connectionCount;
        m_openFds.push_back(fd);
        m_connectionThreads.emplace_back([this, fd] { serveConnection(fd); });
    }
}

bool HTTPTestServer::waitUnlessStopped(std::chrono::milliseconds pause) {
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, pause, [&] { return m_stopped; });
}

void HTTPTestServer::serveConnection(int fd) {
    Reader reader(fd);
    for (bool keepOpen = true; keepOpen;) {
        RecordedRequest request;
        if (!startsLikeHTTP(reader)) {
            if (reader.hasBuffered())
                sendAll(fd, "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", 66);
            break;
        }
        if (!readRequest(reader, fd, request))
            break;
        Handler handler;
        HoldTicket ticket;
        {
            std::lock_guard lock(m_mutex);
            ticket = HoldTicket{m_holding, m_releases};
            m_requests.push_back(request);
            m_changed.notify_all();
            if (auto it = m_routes.find(request.path); it != m_routes.end())
                handler = it->second;
        }
        Reply reply = handler ? handler(request) : Reply::text(404, "not found");
        if (auto connection = request.header("Connection"); connection && equalsIgnoringCase(*connection, "close"))
            keepOpen = false;
        if (!sendReply(fd, reply, request.method == "HEAD", keepOpen, ticket))
            break;
    }
    std::lock_guard lock(m_mutex);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
    ::close(fd);
}

bool HTTPTestServer::sendReply(int fd, const Reply& reply, bool headOnly, bool& keepOpen, HoldTicket ticket) {
    if (reply.hold && ticket.holding) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_stopped || m_releases > ticket.releases; });
        if (m_stopped)
            return false;
    }
    if (reply.closeWithoutReply) {
        ::shutdown(fd, SHUT_RDWR);
        return false;
    }
    const std::string& body = *reply.body;
    bool noBody = headOnly || reply.status == 304 || reply.status == 204 || (reply.status >= 100 && reply.status < 200);
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                       (reply.reason.empty() ? reasonFor(reply.status) : reply.reason) + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    const std::uint64_t bodyLength = body.size() * reply.bodyRepeat;
    if (reply.framing == Reply::Framing::ContentLength && reply.status != 304 && reply.status != 204)
        head += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    if (reply.framing == Reply::Framing::Chunked && !noBody)
        head += "Transfer-Encoding: chunked\r\n";
    if (reply.framing == Reply::Framing::UntilClose || reply.dropAfterBodyBytes) {
        head += "Connection: close\r\n";
        keepOpen = false;
    }
    head += "\r\n";
    if (!sendAll(fd, head.data(), head.size()))
        return false;
    if (noBody)
        return true;

    const std::uint64_t limit = std::min<std::uint64_t>(bodyLength, reply.dropAfterBodyBytes.value_or(bodyLength));
    const std::size_t piece = reply.pieceSize == 0 ? std::max<std::size_t>(body.size(), 1) : reply.pieceSize;
    for (std::uint64_t sent = 0; sent < limit;) {
        if (sent > 0 && reply.pauseBetweenPieces.count() > 0 && !waitUnlessStopped(reply.pauseBetweenPieces))
            return false;
        // A piece never crosses the end of one repetition of the body.
        const std::size_t at = static_cast<std::size_t>(sent % body.size());
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({piece, limit - sent, body.size() - at}));
        if (reply.framing == Reply::Framing::Chunked) {
            char size[32];
            int len = std::snprintf(size, sizeof size, "%zx\r\n", n);
            if (!sendAll(fd, size, static_cast<std::size_t>(len)) || !sendAll(fd, body.data() + at, n) || !sendAll(fd, "\r\n", 2))
                return false;
        } else if (!sendAll(fd, body.data() + at, n)) {
            return false;
        }
        sent += n;
    }
    if (reply.dropAfterBodyBytes) {
        ::shutdown(fd, SHUT_RDWR);
        return false;
    }
    if (reply.framing == Reply::Framing::Chunked && !sendAll(fd, "0\r\n\r\n", 5))
        return false;
    return keepOpen;
}

} // namespace testsupport
