// A server-trust challenge that a connection puts to its delegate before it talks TLS to a server. The
// delegate answers once, at any time and on any thread; the first answer counts and later ones are
// ignored. A challenge dropped without an answer gets the default handling, so a load never hangs on it.
//
// Answers: useCredentialForServerTrust (accept whatever certificate the server shows),
// continueWithoutCredential and performDefaultHandling (verify the certificate as usual), cancel (the load
// fails with kURLErrorUserCancelledAuthentication).
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace platform {

inline constexpr const char* kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

class URLAuthenticationChallenge {
public:
    enum class Disposition { AcceptAnyCertificate, DefaultHandling, Cancel };

    URLAuthenticationChallenge(std::string host, int port, std::function<void(Disposition)> onAnswer);
    ~URLAuthenticationChallenge();
    URLAuthenticationChallenge(const URLAuthenticationChallenge&) = delete;
    URLAuthenticationChallenge& operator=(const URLAuthenticationChallenge&) = delete;

    // The protection space.
    const std::string& host() const { return m_host; }
    int port() const { return m_port; }
    const char* authenticationMethod() const { return kURLAuthenticationMethodServerTrust; }

    void useCredentialForServerTrust() { answer(Disposition::AcceptAnyCertificate); }
    void continueWithoutCredential() { answer(Disposition::DefaultHandling); }
    void performDefaultHandling() { answer(Disposition::DefaultHandling); }
    void cancel() { answer(Disposition::Cancel); }

private:
    void answer(Disposition d);

    std::string m_host;
    int m_port;
    std::mutex m_mutex;
    std::function<void(Disposition)> m_onAnswer;
};

} // namespace platform
