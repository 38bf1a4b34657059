// The advertising identifier: a UUID for advertising and the user's tracking choice. Callers find the
// class by its name (kAdvertisingIdentifierManagerClassName in PlatformClasses.h) and use it only where
// it is present.
//
// Guarantees:
// - One shared manager; every call from any thread.
// - The identifier is the platform's upper-case UUID text: a fresh random one for the process unless set
//   (the zero identifier "00000000-0000-0000-0000-000000000000" stands for "none", as when the user limits
//   tracking). Tracking is enabled unless set.
#pragma once

#include "platform/core/Error.h"

#include <mutex>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

class AdvertisingIdentifierManager {
public:
    static AdvertisingIdentifierManager& shared();

    std::string advertisingIdentifier() const;
    bool isAdvertisingTrackingEnabled() const;

    // Takes a UUID text (8-4-4-4-12 hexadecimal digits, stored upper-case); refuses anything else.
    Status setAdvertisingIdentifier(std::string_view uuid);
    void setAdvertisingTrackingEnabled(bool enabled);
    // A fresh identifier, tracking enabled.
    void resetToDefaults();

    static bool isUUIDText(std::string_view text);

private:
    AdvertisingIdentifierManager();

    mutable std::mutex m_mutex;
    std::string m_identifier;
    bool m_trackingEnabled = true;
};

} // namespace platform
