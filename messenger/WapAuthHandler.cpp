#include "messenger/WapAuthHandler.h"

namespace messenger {

bool WapAuthHandler::beginWapAuth(const std::shared_ptr<SendAuthReq>& /*req*/, const std::shared_ptr<platform::ViewController>& /*currentVC*/,
                                  const std::string& /*appId*/, MXApiDelegate* /*delegate*/) {
    return true;
}

void WapAuthHandler::endWapAuth() {}

bool WapAuthHandler::handleWapOAuthOpenUrl(const std::string& /*url*/) { return false; }

} // namespace messenger
