// The loopback statistics endpoint of the push service: POST "/v2/report" on an HTTPTestServer. It checks
// every request (method, the header fields in order, the gzip body holding exactly "platform", "uid",
// "sdk_ver", "app_key" and "content", every item an object with a "type" and an integer "itime", and the
// Authorization recomputed from the expected uid and password), records each content item, and answers
// with the next scripted status (200 when none) or drops the connection (mid-reply, or before any reply).
//
// Items are also checked by their "type": the session items ("active_launch", "active_terminate") carry
// "session_id" = md5 of app key, device id and "itime", a "yyyy-MM-dd" date, a "HH:mm:ss" time and a
// time-zone text; "device_info" the eleven device keys; "loc_info" "wifi", "cell" and "gps" each an
// array or ""; "crash_log" a "crashlogs" array. The user endpoint POST "/v1/user/" takes badge reports:
// "Content-Type: text/plain", "Accept: application/json", then Authorization over the plain body
// {"uid","platform":"i","app_key","itime","content":{"badge":n}}; its statuses are scripted apart.
//
// Written from the wire format alone; it shares no code with push/.
//
// Guarantees: listening when the constructor returns; the control interface is thread-safe; every failed
// check is one line in faults().
#pragma once

#include "support/HTTPTestServer.h"

#include "platform/core/Value.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class PushReportServer {
public:
    static constexpr int kDropConnection = -1;   // the reply's head, then the connection closed
    static constexpr int kCloseWithoutReply = -2; // the request read, then the connection closed

    PushReportServer();

    std::string url() const { return m_http.url("/v2/report"); }
    std::string userURL() const { return m_http.url("/v1/user/"); }
    void expect(std::uint64_t uid, std::string password, std::string appKey);
    // The device id that session ids are made of ("" leaves them unchecked).
    void expectDevice(std::string deviceID);
    void scriptStatuses(std::vector<int> statuses);
    void scriptUserStatuses(std::vector<int> statuses);
    // The items received of one type, parsed, in arrival order.
    std::vector<platform::Value> itemsOfType(const std::string& type) const;
    // The badge values of the badge reports received, in arrival order.
    std::vector<std::int64_t> badges() const;
    // The compact JSON text of every content item received, in arrival order (newest first per request).
    std::vector<std::string> items() const;
    std::size_t requestCount() const;
    std::vector<std::string> faults() const;
    std::vector<RecordedRequest> requests() const { return m_http.requests(); }
    void stop() { m_http.stop(); }

private:
    Reply answer(const RecordedRequest& request);
    Reply answerUser(const RecordedRequest& request);
    void checkItem(const platform::Value& item);
    void checkHeaders(const RecordedRequest& request, const std::vector<std::pair<std::string, std::string>>& expected,
                      const std::string& signedBody);
    Reply nextReply(std::deque<int>& statuses);
    void fault(const std::string& line);

    mutable std::mutex m_mutex;
    std::uint64_t m_uid = 0;
    std::string m_password;
    std::string m_appKey;
    std::string m_deviceID;
    std::deque<int> m_statuses;
    std::deque<int> m_userStatuses;
    std::vector<platform::Value> m_parsedItems;
    std::vector<std::int64_t> m_badges;
    std::vector<std::string> m_items;
    std::size_t m_requests = 0;
    std::vector<std::string> m_faults;
    HTTPTestServer m_http; // last: its threads end before the fields above go
};

} // namespace testsupport
