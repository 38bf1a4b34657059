// UDP reports: a compact JSON body with "sdk_ver", "platform", "uid" and "senderid" plus the keys of the
// kind, framed as u16 big-endian (body length + 2), "UF", body. The frame is built on the first
// packetData() and kept: a report sent again carries the identity of its first sending.
//
// Reports are shared (std::make_shared): the session may keep one until login.
//
// Thread: the client thread.
#pragma once

#include "platform/core/Value.h"

#include <memory>
#include <optional>

namespace push {

class PULSEUDPReport : public std::enable_shared_from_this<PULSEUDPReport> {
public:
    PULSEUDPReport();
    virtual ~PULSEUDPReport() = default;

    // Sets "uid" and "senderid" (removed when there is no app key) from the stored identity.
    void updateClientInfo();
    // Hands the report to the session of the shared client, which sends it now or keeps it until login.
    // Without a session, or for a report not held by a shared_ptr, it goes nowhere.
    void send();
    // The framed packet, built once.
    const platform::Bytes& packetData();

    platform::Dictionary& reportBody() { return m_reportBody; }
    const platform::Dictionary& reportBody() const { return m_reportBody; }

private:
    platform::Dictionary m_reportBody;
    std::optional<platform::Bytes> m_packetData;
};

// "apns_state": the notification types the user allowed (the settings' types from system 8.0 on, the
// enabled remote-notification types before).
class PULSEAPNSStateReport : public PULSEUDPReport {
public:
    PULSEAPNSStateReport();
};

} // namespace push
