// What a caller's configuration block fills in for any verb: the URL, header fields (name -> string
// value) and Basic-authentication credentials.
#pragma once

#include "platform/core/Value.h"

#include <string>

namespace deploy {

class UNIBaseRequest {
public:
    virtual ~UNIBaseRequest() = default;

    std::string url;
    platform::Dictionary headers;
    std::string username;
    std::string password;
};

} // namespace deploy
