// Loopback sign-in pages of the messaging app's web sign-in, on an HTTPTestServer.
//
//   /connect/mobilecheck?appid=<id>&uid=<n>
//       -> 302 to "<id>://wapoauth?ticket=T<n>&lang=zh_CN"
//   /connect/smsauthorize?appid=<id>&redirect_uri=<id>%3A%2F%2Foauth&response_type=code&scope=<s>&state=<t>
//                        &uid=<n>&ticket=T<n>&lang=zh_CN
//       -> 302 to "<id>://oauth?code=<code>&state=<t>"
//
// Every key is checked (present, non-empty where it must be, the uid the same on both pages, the ticket
// the one the first page gave); what is wrong is recorded, not thrown, and answered with 400, so a test
// asserts `problems()` is empty. Query parts without "=" (a state holding "&" splits so) are passed over;
// tests look at the raw query of the recorded requests for that.
#pragma once

#include "support/HTTPTestServer.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class SignInService {
public:
    static constexpr const char* kMobileCheckPath = "/connect/mobilecheck";
    static constexpr const char* kSmsAuthorizePath = "/connect/smsauthorize";

    SignInService();
    // Stops the server first: its connection threads call the handlers, which write the members below.
    ~SignInService() { m_server.stop(); }
    SignInService(const SignInService&) = delete;
    SignInService& operator=(const SignInService&) = delete;

    // "http://127.0.0.1:<port>", the value of the sign-in service setting.
    std::string baseURL() const;
    HTTPTestServer& server() { return m_server; }
    // The code the SMS page answers with (default "web-code-1").
    void setCode(std::string code);
    std::vector<std::string> problems() const;
    // The raw queries of the requests to a path, in arrival order.
    std::vector<std::string> queries(const std::string& path) const;

    // Splits a query at "&" and "=" without decoding; parts without "=" are skipped.
    static std::map<std::string, std::string> split(const std::string& query);

private:
    Reply mobileCheck(const RecordedRequest& request);
    Reply smsAuthorize(const RecordedRequest& request);
    Reply refuse(const std::string& problem);

    HTTPTestServer m_server;
    mutable std::mutex m_mutex;
    std::string m_code = "web-code-1";
    std::string m_uid;
    std::vector<std::string> m_problems;
};

} // namespace testsupport
