// A notification: a name, the sender's identity and details. The lifecycle names the application
// object posts, and the keyboard names, as the platform spells them.
#pragma once

#include "platform/core/Value.h"

#include <string>

namespace platform {

struct Notification {
    std::string name;
    // The sender's identity only (never dereferenced): compared with observers' sender filters.
    const void* object = nullptr;
    Dictionary userInfo;
};

// Application lifecycle, posted on the main thread.
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification = "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationDidReceiveMemoryWarningNotification = "UIApplicationDidReceiveMemoryWarningNotification";
inline constexpr const char* kCurrentLocaleDidChangeNotification = "NSCurrentLocaleDidChangeNotification";
inline constexpr const char* kRadioAccessTechnologyDidChangeNotification = "CTRadioAccessTechnologyDidChangeNotification";
// Did-finish-launching carries the launch options as its user info.

// Keyboard; the user info carries the end frame and the animation duration.
inline constexpr const char* kKeyboardWillShowNotification = "UIKeyboardWillShowNotification";
inline constexpr const char* kKeyboardDidShowNotification = "UIKeyboardDidShowNotification";
inline constexpr const char* kKeyboardWillHideNotification = "UIKeyboardWillHideNotification";
inline constexpr const char* kKeyboardDidHideNotification = "UIKeyboardDidHideNotification";
inline constexpr const char* kKeyboardWillChangeFrameNotification = "UIKeyboardWillChangeFrameNotification";
inline constexpr const char* kKeyboardFrameEndUserInfoKey = "UIKeyboardFrameEndUserInfoKey";
inline constexpr const char* kKeyboardAnimationDurationUserInfoKey = "UIKeyboardAnimationDurationUserInfoKey";

} // namespace platform
