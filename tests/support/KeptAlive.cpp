#include "support/KeptAlive.h"

#include "platform/URLConnection.h"

namespace testsupport {

bool keepAConnectionAlive(const std::string& url) {
    platform::URLRequest request(url);
    request.setTimeoutInterval(5);
    return platform::URLConnection::sendSynchronousRequest(request).ok();
}

} // namespace testsupport
