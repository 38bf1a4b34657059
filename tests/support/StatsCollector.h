// A loopback statistics collector for tests: the route "/mstat/report" on an HTTPTestServer. It checks
// each upload's request line, headers and framing, deciphers the body with its own RC4 (written apart
// from the client's, so the two check each other), inflates gzip bodies (gzip wrapper only), parses the
// JSON array and checks every event's keys and their types. Problems are recorded, not thrown, so a test
// asserts `problems()` is empty; the decoded events are kept for assertions. Replies are scripted.
#pragma once

#include "support/HTTPTestServer.h"

#include "platform/core/Value.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// RC4 (key 1 to 256 bytes) over the data, from the first keystream byte.
std::string rc4(std::string_view key, std::string_view data);

class StatsCollector {
public:
    static constexpr const char* kPath = "/mstat/report";
    static constexpr std::string_view kKey = "5be07c19d4a2f6830e1c9b7a4d52f8e6";

    struct Upload {
        std::string contentEncoding;
        std::string sent;      // the body as it arrived (enciphered)
        std::string framed;    // deciphered
        std::string json;      // the array text (inflated when compressed)
        platform::Array events;
    };

    struct ScriptedReply {
        int status = 200;
        std::string body;       // sent as it is, or enciphered when rc4 is set
        bool rc4 = false;       // encipher and add "Content-Encoding: rc4"
        std::optional<std::string> contentEncoding; // overrides the header
    };

    StatsCollector();
    // Stops the server first: its connection threads call handle(), which writes the members below.
    ~StatsCollector() { m_server.stop(); }
    StatsCollector(const StatsCollector&) = delete;
    StatsCollector& operator=(const StatsCollector&) = delete;

    std::string url() const { return m_server.url(kPath); }
    HTTPTestServer& server() { return m_server; }

    // Every following upload gets this reply (default: 200, {"ret":0} in RC4).
    void setReply(ScriptedReply reply);
    // A JSON reply enciphered as the collector sends it.
    static ScriptedReply jsonReply(const platform::Value& object, bool rc4 = true);

    std::vector<Upload> uploads() const;
    std::vector<platform::Value> events() const;
    std::vector<std::string> problems() const;

    // Checks one decoded event; appends what is wrong to problems.
    static void checkEvent(const platform::Value& event, std::vector<std::string>& problems);

private:
    Reply handle(const RecordedRequest& request);

    HTTPTestServer m_server;
    mutable std::mutex m_mutex;
    ScriptedReply m_reply;
    std::vector<Upload> m_uploads;
    std::vector<std::string> m_problems;
};

} // namespace testsupport
