// The platform classes that callers look up by name at run time (a class some systems lack): one registry
// of their names. Each known class is present unless tests or the device file remove it; a name that is
// not known is absent.
//
// Thread: every call from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kAdvertisingIdentifierManagerClassName = "ASIdentifierManager";
inline constexpr const char* kCaptureSessionClassName = "AVCaptureSession";
inline constexpr const char* kPopoverControllerClassName = "UIPopoverController";

class PlatformClasses {
public:
    // The known names, in a fixed order.
    static const std::vector<std::string>& knownNames();
    static bool isKnown(std::string_view name);

    static bool isPresent(std::string_view name);
    // Removes (false) or restores (true) a known class; false for a name that is not known.
    static bool setPresent(std::string_view name, bool present);
    // Every known class present.
    static void resetToDefaults();
};

} // namespace platform
