// The session-level requests of the push protocol: registration (command 0), login (1), heartbeat (2)
// and device-token report (13). Each fills its body from the client's identity, configuration and
// device facts when its packet is built; the header and sending rules are PULSERequest's.
#pragma once

#include "push/PULSEPacket.h"

namespace push {

// Version 8, command 0, flag 14. Body: "<udid>$$ $$<bundle id>$$<app key>", the bundle version,
// "<system>$$<model>$$ $$ $$<channel>$$<sdk>", the device token (" " when none), the configured and the
// build's push environment, 1.
class PULSERegistrationRequest : public PULSERequest {
public:
    PULSERegistrationRequest();
    bool packData() override;
    std::string description() const override;

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSERegistrationRequest>(); }
};

// Version 12, command 1, flag 14. Body: 69 00 00 00, the MD5 hex of the stored password (of "" when
// none), 0x00020100, the app key, 1.
class PULSELoginRequest : public PULSERequest {
public:
    PULSELoginRequest();
    bool packData() override;
    std::string description() const override;

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSELoginRequest>(); }
};

// Version 3, command 2, flag 41; no body.
class PULSEHeartbeatRequest : public PULSERequest {
public:
    PULSEHeartbeatRequest();
    std::string description() const override;

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSEHeartbeatRequest>(); }
};

// Version 2, command 13, flag 21. Body: the current device token, the configured and the build's push
// environment.
class PULSEDeviceTokenReportRequest : public PULSERequest {
public:
    PULSEDeviceTokenReportRequest();
    bool packData() override;

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSEDeviceTokenReportRequest>(); }
};

} // namespace push
