#include "support/PushReportSink.h"

#include "platform/formats/JSON.h"

#include <fcntl.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

PushReportSink::PushReportSink() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        m_faults.push_back("report sink: no socket");
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        m_faults.push_back("report sink: no wake pipe");
    m_thread = std::thread([this] { serve(); });
}

PushReportSink::~PushReportSink() {
    const char byte = 0;
    (void)!::write(m_wake[1], &byte, 1);
    m_thread.join();
    for (int fd : {m_fd, m_wake[0], m_wake[1]})
        ::close(fd);
}

void PushReportSink::expect(ExpectedReport report) {
    std::lock_guard lock(m_mutex);
    m_expected = std::move(report);
}

std::vector<std::vector<std::uint8_t>> PushReportSink::datagrams() const {
    std::lock_guard lock(m_mutex);
    return m_datagrams;
}

std::vector<std::string> PushReportSink::faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void PushReportSink::check(const std::vector<std::uint8_t>& datagram) {
    auto fault = [this](const std::string& text) { m_faults.push_back("udp report: " + text); };
    if (datagram.size() < 4) {
        fault(std::to_string(datagram.size()) + " bytes, expected at least 4");
        return;
    }
    const std::size_t length = (std::size_t{datagram[0]} << 8) | datagram[1];
    if (length != datagram.size() - 2)
        fault("length field " + std::to_string(length) + ", expected " + std::to_string(datagram.size() - 2));
    if (datagram[2] != 'U' || datagram[3] != 'F')
        fault("marker is not \"UF\"");
    const std::string text(datagram.begin() + 4, datagram.end());
    auto parsed = platform::JSON::parse(text);
    const platform::Dictionary* body = parsed.ok() ? parsed.value().getDictionary() : nullptr;
    if (!body) {
        fault("body is not a JSON object: " + text);
        return;
    }
    auto expectString = [&](const char* key, const std::string& expected) {
        const platform::Value* value = body->find(key);
        const std::string* got = value ? value->getString() : nullptr;
        if (!got || *got != expected)
            fault(std::string("\"") + key + "\" is " + (got ? "\"" + *got + "\"" : "absent or not a string") +
                  ", expected \"" + expected + "\"");
    };
    expectString("sdk_ver", "2.1.0");
    expectString("platform", "iOS");
    expectString("senderid", m_expected.appKey);
    const platform::Value* uid = body->find("uid");
    const std::int64_t* uidValue = uid ? uid->getInteger() : nullptr;
    if (!uidValue || static_cast<std::uint64_t>(*uidValue) != m_expected.uid)
        fault("\"uid\" is " + (uidValue ? std::to_string(*uidValue) : std::string("absent or not an integer")) +
              ", expected " + std::to_string(m_expected.uid));
    for (const std::string& key : m_expected.integerKeys) {
        const platform::Value* value = body->find(key);
        if (!value || !value->isInteger())
            fault("\"" + key + "\" is absent or not an integer");
    }
    if (body->size() != 4 + m_expected.integerKeys.size())
        fault(std::to_string(body->size()) + " keys, expected " + std::to_string(4 + m_expected.integerKeys.size()));
}

void PushReportSink::serve() {
    std::vector<std::uint8_t> buffer(70000);
    for (;;) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        ssize_t count = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (count < 0)
            continue;
        std::vector<std::uint8_t> datagram(buffer.begin(), buffer.begin() + count);
        std::lock_guard lock(m_mutex);
        check(datagram);
        m_datagrams.push_back(std::move(datagram));
    }
}

} // namespace testsupport
