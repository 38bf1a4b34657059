// The loopback lookup service of the push client: two UDP ports on 127.0.0.1 (standing for the
// service's 19000 and 80) that check every byte of the 128-byte lookup request, count the queries per
// port and answer each with the JSON reply or a scripted one (silence, or any bytes).
//
// Written from the wire format alone; it shares no code with push/.
//
// Guarantees: the ports are bound when the constructor returns; one thread serves both; the control
// interface is thread-safe. Every failed check is one line in faults().
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class PushLookupServer {
public:
    // What the request must carry.
    struct ExpectedRequest {
        std::string carrier = "-1";
        std::uint8_t networkType = 0;
        std::uint8_t uidLowByte = 0;
        std::string appKey;
    };

    PushLookupServer();
    ~PushLookupServer();
    PushLookupServer(const PushLookupServer&) = delete;
    PushLookupServer& operator=(const PushLookupServer&) = delete;

    // Port 0 stands for 19000, port 1 for 80.
    std::uint16_t port(int index) const { return m_ports[static_cast<std::size_t>(index)]; }
    void expect(ExpectedRequest request);
    // The reply of a port: none is silence.
    void setReply(int index, std::optional<std::string> reply);
    // The port's reply comes from a third port that was never asked (a stranger who saw the query).
    void setReplyFromElsewhere(int index, bool elsewhere);
    // The port's reply comes from the same port of another host, 127.0.0.2.
    void setReplyFromOtherHost(int index, bool otherHost);
    int queries(int index) const;
    // The port index of the last query (-1 before any), and whether a port answers (from itself).
    int lastPort() const;
    bool hasReply(int index) const;
    std::vector<std::string> faults() const;

    // A well-formed reply naming the given addresses.
    static std::string reply(const std::string& user, const std::array<std::string, 3>& ips,
                             const std::string& udpReport, const std::vector<std::string>& options);

private:
    void serve();
    void check(const std::vector<std::uint8_t>& request);

    std::array<int, 2> m_fds{-1, -1};
    std::array<std::uint16_t, 2> m_ports{};
    int m_strangerFd = -1;
    std::array<bool, 2> m_fromElsewhere{};
    std::array<int, 2> m_otherHostFds{-1, -1};
    std::array<bool, 2> m_fromOtherHost{};
    int m_wake[2] = {-1, -1};
    mutable std::mutex m_mutex;
    ExpectedRequest m_expected;
    std::array<std::optional<std::string>, 2> m_replies;
    std::array<int, 2> m_queries{};
    int m_lastPort = -1;
    std::vector<std::string> m_faults;
    std::thread m_thread;
};

} // namespace testsupport
