// The telephony service's radio technology: the current radio access technology (none, or one of the
// platform's constant texts) and the notification posted when it changes.
//
// Guarantees:
// - Thread: every call from any thread.
// - setCurrentRadioAccessTechnology (tests, the device file) takes "" (none) or one of the constants
//   below; another text is refused with an error and changes nothing. A change posts
//   kRadioAccessTechnologyDidChangeNotification on the default notification centre, on the main queue
//   on a later turn (never inside the call), with the new technology under the user-info key
//   "technology"; setting the same technology again posts nothing.
#pragma once

#include "platform/core/Error.h"
#include "platform/runloop/Notification.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kRadioAccessTechnologyGPRS = "CTRadioAccessTechnologyGPRS";
inline constexpr const char* kRadioAccessTechnologyEdge = "CTRadioAccessTechnologyEdge";
inline constexpr const char* kRadioAccessTechnologyWCDMA = "CTRadioAccessTechnologyWCDMA";
inline constexpr const char* kRadioAccessTechnologyHSDPA = "CTRadioAccessTechnologyHSDPA";
inline constexpr const char* kRadioAccessTechnologyHSUPA = "CTRadioAccessTechnologyHSUPA";
inline constexpr const char* kRadioAccessTechnologyCDMA1x = "CTRadioAccessTechnologyCDMA1x";
inline constexpr const char* kRadioAccessTechnologyCDMAEVDORev0 = "CTRadioAccessTechnologyCDMAEVDORev0";
inline constexpr const char* kRadioAccessTechnologyCDMAEVDORevA = "CTRadioAccessTechnologyCDMAEVDORevA";
inline constexpr const char* kRadioAccessTechnologyCDMAEVDORevB = "CTRadioAccessTechnologyCDMAEVDORevB";
inline constexpr const char* kRadioAccessTechnologyeHRPD = "CTRadioAccessTechnologyeHRPD";
inline constexpr const char* kRadioAccessTechnologyLTE = "CTRadioAccessTechnologyLTE";

inline constexpr const char* kRadioAccessTechnologyUserInfoKey = "technology";

class Telephony {
public:
    // Every technology constant, in the order above.
    static const std::vector<std::string>& radioAccessTechnologies();

    // "" when there is none (the default).
    static std::string currentRadioAccessTechnology();
    static Status setCurrentRadioAccessTechnology(std::string_view technology);
};

} // namespace platform
