// The user's current locale, as the platform names it ("en_US", "zh_Hans_CN").
//
// Guarantees:
// - Thread: every call from any thread.
// - currentIdentifier() is taken from the environment (LC_ALL, then LC_MESSAGES, then LANG; the
//   encoding and modifier parts dropped) unless set; "C", "POSIX" or nothing gives "en_US".
// - setCurrentIdentifier() (the user changed the locale; tests) posts
//   kCurrentLocaleDidChangeNotification on the default centre, on the calling thread, when the
//   identifier changed.
#pragma once

#include <string>

namespace platform {

class Locale {
public:
    static std::string currentIdentifier();
    static void setCurrentIdentifier(std::string identifier);
    // Forgets a set identifier (back to the environment's); posts the change like a set.
    static void resetToEnvironment();
    // The identifier a locale environment value stands for ("de_DE.UTF-8@euro" -> "de_DE").
    static std::string identifierFromEnvironmentValue(const std::string& value);
};

} // namespace platform
