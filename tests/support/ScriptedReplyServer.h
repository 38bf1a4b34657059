// A loopback server that answers every connection with raw bytes it is given, piece by piece with pauses,
// then closes: for replies no well-behaved server sends (a head cut off, a head trickled line by line).
//
// Guarantees: listening on 127.0.0.1 when constructed; each connection has its request read (up to the
// end of its head) before the script runs; the destructor closes the listening socket and joins every
// connection thread (a pause in progress ends early). Header-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

class ScriptedReplyServer {
public:
    struct Piece {
        std::string bytes;
        std::chrono::milliseconds pauseAfter{0};
    };

    explicit ScriptedReplyServer(std::vector<Piece> script) : m_script(std::move(script)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listen, 16);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_accept = std::thread([this] { acceptLoop(); });
    }

    ~ScriptedReplyServer() {
        {
            std::lock_guard lock(m_mutex);
            m_stopped = true;
        }
        m_wake.notify_all();
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_accept.join();
        for (std::thread& connection : m_connections)
            connection.join();
    }

    ScriptedReplyServer(const ScriptedReplyServer&) = delete;
    ScriptedReplyServer& operator=(const ScriptedReplyServer&) = delete;

    std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    int connections() const { return m_connectionCount; }
    // Pieces of the script sent so far, over every connection.
    int piecesSent() const { return m_piecesSent; }

private:
    void acceptLoop() {
        for (;;) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::lock_guard lock(m_mutex);
            if (m_stopped) {
                ::close(fd);
                return;
            }
            ++m_connectionCount;
            m_connections.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        for (const Piece& piece : m_script) {
            if (::send(fd, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL) < 0)
                break;
            ++m_piecesSent;
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_for(lock, piece.pauseAfter, [this] { return m_stopped; }))
                break;
        }
        ::close(fd);
    }

    std::vector<Piece> m_script;
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::thread m_accept;
    std::vector<std::thread> m_connections;
    std::atomic<int> m_connectionCount{0};
    std::atomic<int> m_piecesSent{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopped = false;
};

} // namespace testsupport
