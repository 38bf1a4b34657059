// The loopback statistics endpoint of the push service: POST "/v2/report" on an HTTPTestServer. It checks
// every request (method, the header fields in order, the gzip body holding exactly "platform", "uid",
// "sdk_ver", "app_key" and "content", every item an object with a "type" and an integer "itime", and the
// Authorization recomputed from the expected uid and password), records each content item, and answers
// with the next scripted status (200 when none) or drops the connection.
//
// Written from the wire format alone; it shares no code with push/.
//
// Guarantees: listening when the constructor returns; the control interface is thread-safe; every failed
// check is one line in faults().
#pragma once

#include "support/HTTPTestServer.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class PushReportServer {
public:
    static constexpr int kDropConnection = -1;

    PushReportServer();

    std::string url() const { return m_http.url("/v2/report"); }
    void expect(std::uint64_t uid, std::string password, std::string appKey);
    void scriptStatuses(std::vector<int> statuses);
    // The compact JSON text of every content item received, in arrival order (newest first per request).
    std::vector<std::string> items() const;
    std::size_t requestCount() const;
    std::vector<std::string> faults() const;
    std::vector<RecordedRequest> requests() const { return m_http.requests(); }
    void stop() { m_http.stop(); }

private:
    Reply answer(const RecordedRequest& request);
    void fault(const std::string& line);

    mutable std::mutex m_mutex;
    std::uint64_t m_uid = 0;
    std::string m_password;
    std::string m_appKey;
    std::deque<int> m_statuses;
    std::vector<std::string> m_items;
    std::size_t m_requests = 0;
    std::vector<std::string> m_faults;
    HTTPTestServer m_http; // last: its threads end before the fields above go
};

} // namespace testsupport
