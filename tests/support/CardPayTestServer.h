// A loopback payment server for the bank-card client: it reads every command body it receives, keeps
// the parsed commands in order, and answers from a scenario.
//
// Requests: POST to the path "/gateway"; the body must be a JSON object with "v" "1.4", a known "cmd"
// (the client's commands and any command the scenario answers) and a "params" object holding what that
// command needs (texts under the names the client sends). A malformed request is answered
// {"resp":"E1","msg":"malformed request: <reason>"} and its reason is recorded in `malformed()`.
//
// Replies: {"resp":"00","msg":"","params":<the scenario's params for the command>}. A scenario is a JSON
// object {"replies": {<cmd>: <params object>, ..., "query": [<params>, ...]}}: "query" (or any
// command given an array) answers its entries in turn and repeats the last one. A command without
// a reply gets {"resp":"00","msg":"","params":{}}.
//
// With a "login" object {"user_name": ..., "password": ...} in the scenario, "getuserinfo" with a login
// form (a "user_name") is answered only for that name and password, else with {"resp":"01","msg":
// kWrongLogin}; a request that names a "user_id" instead is answered as usual.
//
// Pages: a scenario's "pages" object maps paths ("/pages/banks.html") to pages {"title": ..., "text": ...},
// served as small HTML pages (GET), so that the addresses the replies give (supported banks, agreements,
// the lucky draw's options) open. "{server}" in a reply or a page stands for the server's own address
// ("http://127.0.0.1:<port>"), so a scenario can name them.
//
// Faults a test scripts for a command (kept until cleared): a reply that is not JSON or not an object, "params" missing or
// of the wrong type, every member of "params" of the wrong type, an envelope of its own, HTTP 500, a
// dropped connection (the reply's head sent, then closed), a held reply (released by `releaseHeldReplies`
// or `stop`), no reply at all (the command is read and recorded, then the connection closed), a 307
// redirect to the server's own path (a client that follows it sends the command again).
//
// A fault of the result poll (`setPollFault`): from the arrival of a named command on, every "query" gets
// the fault (a held, dropped or HTTP 500 reply, say) until the poll heals: after a number of faulty polls,
// or when a named command arrives. Another arrival of the first command starts it again ("query" named
// as the first command: the first poll starts it, faulty itself, and later polls do not start it again).
//
// Thread: requests are served on the server's threads; every method may be called from any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "support/HTTPTestServer.h"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class CardPayTestServer {
public:
    static constexpr const char* kWrongLogin = "Wrong login name or password.";
    enum class Fault { None, NotJSON, NotObject, ParamsMissing, ParamsWrongType, FieldsWrongType, HTTP500, Drop, Hold, NoReply, Redirect };

    struct Command {
        std::string cmd;
        platform::Dictionary params;
        std::string body; // as received
    };

    CardPayTestServer();
    // `port` 0: one the system picks. A port that cannot be had throws std::runtime_error (see HTTPTestServer).
    explicit CardPayTestServer(platform::Dictionary scenario, std::uint16_t port = 0);
    // Stops the server first: its handlers read the members below.
    ~CardPayTestServer() { m_http.stop(); }
    CardPayTestServer(const CardPayTestServer&) = delete;
    CardPayTestServer& operator=(const CardPayTestServer&) = delete;

    // A scenario file (JSON, at most 1 MiB).
    static platform::Result<platform::Dictionary> loadScenario(const std::string& path);
    // tests/support/cardpay/sample-order.json of the source tree.
    static std::string sampleScenarioPath();

    // The URL the client posts to; `url("/other")` for another path (which answers 404).
    std::string url(const std::string& path = "/gateway") const { return m_http.url(path); }
    HTTPTestServer& http() { return m_http; }

    void setScenario(platform::Dictionary scenario);
    void setReply(const std::string& cmd, platform::Value params);
    void setEnvelope(const std::string& cmd, platform::Dictionary envelope);
    void setFault(const std::string& cmd, Fault fault);

    struct PollFault {
        Fault fault = Fault::None;
        std::string after;     // the command that starts it
        int healAfter = 0;     // heals after this many faulty polls (0: not by count)
        std::string healOn;    // heals when this command arrives ("": not by a command)
    };
    void setPollFault(PollFault fault);
    // Whether a command of that name is served (one of the client's, or one the scenario answers).
    bool knowsCommand(const std::string& cmd) const;
    void releaseHeldReplies() { m_http.releaseHeldReplies(); }
    void stop() { m_http.stop(); }

    std::vector<Command> commands() const;
    // The commands received with that name, in order.
    std::vector<Command> commands(const std::string& cmd) const;
    std::vector<std::string> malformed() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return m_http.waitForRequests(count, timeout);
    }

    // The reply to one request body (what the route answers; public for the server program's log).
    Reply answer(const std::string& body);
    // The scenario's page at that path, as HTML (none when the scenario has no such page).
    std::optional<std::string> page(const std::string& path) const;
    // "{server}" replaced by this server's address, in a text or in every text of a value.
    std::string withServerAddress(std::string text) const;
    platform::Value withServerAddress(const platform::Value& value) const;

private:
    std::optional<std::string> validate(const platform::Dictionary& request, const std::string& cmd) const;
    bool loginAccepted(const platform::Dictionary& params) const;

    HTTPTestServer m_http;
    mutable std::mutex m_mutex;
    platform::Dictionary m_replies;
    std::optional<platform::Dictionary> m_login;
    platform::Dictionary m_pages;
    std::map<std::string, std::size_t> m_sequencePositions;
    std::map<std::string, platform::Dictionary> m_envelopes;
    std::map<std::string, Fault> m_faults;
    std::optional<PollFault> m_pollFault;
    bool m_pollFaultActive = false;
    bool m_pollFaultStarted = false;
    int m_faultyPolls = 0;
    std::vector<Command> m_commands;
    std::vector<std::string> m_malformed;
};

} // namespace testsupport
