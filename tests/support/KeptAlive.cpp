#include "support/KeptAlive.h"

#include "platform/net/URLConnection.h"

namespace testsupport {

bool keepAConnectionAlive(const std::string& url) {
    const std::size_t authority = url.find("://");
    const std::size_t path = authority == std::string::npos ? std::string::npos : url.find('/', authority + 3);
    platform::URLRequest request(url.substr(0, path) + "/kept-alive");
    request.setTimeoutInterval(5);
    return platform::URLConnection::sendSynchronousRequest(request).ok();
}

} // namespace testsupport
