// The web sign-in used when the messaging app is not installed. This is the least of it: beginning one
// answers true and shows nothing, so no sign-in ever runs and no "wapoauth" URL is taken; the sign-in
// pages come with the web sign-in fallback.
#pragma once

#include "messenger/MXObjects.h"

#include <memory>
#include <string>

namespace platform {
class ViewController;
}

namespace messenger {

class WapAuthHandler {
public:
    static bool beginWapAuth(const std::shared_ptr<SendAuthReq>& req, const std::shared_ptr<platform::ViewController>& currentVC,
                             const std::string& appId, MXApiDelegate* delegate);
    static void endWapAuth();
    // Whether a running sign-in took the URL.
    static bool handleWapOAuthOpenUrl(const std::string& url);
};

} // namespace messenger
