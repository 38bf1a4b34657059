// The loopback UDP report server of the push client: one UDP port on 127.0.0.1 (standing for 9001) that
// never answers, keeps every datagram it receives and checks each: the first two bytes (big-endian) equal
// the datagram's length minus 2, then "UF", then a JSON object with "sdk_ver" "2.1.0", "platform" "iOS",
// "uid" (the expected uid) and "senderid" (the expected app key), plus the keys the report's kind adds.
//
// Written from the wire format alone; it shares no code with push/.
//
// Guarantees: the port is bound when the constructor returns; one thread serves it; the control
// interface is thread-safe. Every failed check is one line in faults().
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class PushReportSink {
public:
    // What every report must carry. A uid of the 64-bit pattern, as it travels.
    struct ExpectedReport {
        std::uint64_t uid = 0;
        std::string appKey;
        // Keys the kind adds, each an integer ("apns_state").
        std::vector<std::string> integerKeys;
    };

    PushReportSink();
    ~PushReportSink();
    PushReportSink(const PushReportSink&) = delete;
    PushReportSink& operator=(const PushReportSink&) = delete;

    std::uint16_t port() const { return m_port; }
    void expect(ExpectedReport report);
    // Every datagram received, in order of arrival.
    std::vector<std::vector<std::uint8_t>> datagrams() const;
    std::vector<std::string> faults() const;

private:
    void serve();
    void check(const std::vector<std::uint8_t>& datagram);

    int m_fd = -1;
    std::uint16_t m_port = 0;
    int m_wake[2] = {-1, -1};
    mutable std::mutex m_mutex;
    ExpectedReport m_expected;
    std::vector<std::vector<std::uint8_t>> m_datagrams;
    std::vector<std::string> m_faults;
    std::thread m_thread;
};

} // namespace testsupport
