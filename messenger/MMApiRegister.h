// Registration of the application's app id with the messaging app. This is the least of it: it accepts
// every app id; the registry pasteboard and the statistics start come with the statistics bridge.
#pragma once

#include <string>

namespace messenger {

class MMApiRegister {
public:
    static bool registerApp(const std::string& appId);
    static bool registerApp(const std::string& appId, const std::string& description);
};

} // namespace messenger
