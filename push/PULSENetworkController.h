// Owner of the push client's two sessions (the TCP session to the push service and the HTTP statistics
// session) and the gate that decides when they are set up: the device token first, then the HTTP
// session, then the verified stored identity, then a reachable network, then the TCP session.
//
// Guarantees:
// - create() makes both sessions (each installs itself on the hub), installs its reachability of the
//   network in general as the hub's network-status source, starts its notifier on the current run loop
//   (the client thread's), and observes "kNetworkReachabilityChangedNotification" and
//   "PULSEUserDefaultsVerifiedNotification" on the client's private notification centre.
// - A network change closes the TCP session (with its reconnection schedule), tells the HTTP session the
//   new status and passes the gate at once. Entering the background closes the TCP session without a
//   reconnection; coming back closes one still set up and passes the gate again.
// - Everything runs on the client thread; no locks. Release removes its observations and gives the
//   hub's network-status source back to the platform's.
#pragma once

#include <memory>

namespace push {

class PULSEClientController;
class PULSEReachability;
class PULSESessionController;
class PULSEHttpSessionController;

class PULSENetworkController : public std::enable_shared_from_this<PULSENetworkController> {
public:
    static std::shared_ptr<PULSENetworkController> create();
    ~PULSENetworkController();
    PULSENetworkController(const PULSENetworkController&) = delete;
    PULSENetworkController& operator=(const PULSENetworkController&) = delete;

    const std::shared_ptr<PULSESessionController>& clientSession() const { return m_clientSession; }
    const std::shared_ptr<PULSEHttpSessionController>& reportSession() const { return m_reportSession; }
    const std::shared_ptr<PULSEReachability>& internetReachability() const { return m_internetReachability; }

    int currentNetworkStatus() const;
    void reachabilityChanged();
    void onResumeFromInactive();
    void onEnterBackground();
    // Closes the TCP session without scheduling a reconnection; the session may be set up again after.
    void closeSession();
    void trySetupSession();

private:
    explicit PULSENetworkController(PULSEClientController& client) : m_client(client) {}

    PULSEClientController& m_client; // the hub it was made on, which outlives it

    std::shared_ptr<PULSEReachability> m_internetReachability;
    std::shared_ptr<PULSESessionController> m_clientSession;
    std::shared_ptr<PULSEHttpSessionController> m_reportSession;
};

} // namespace push
