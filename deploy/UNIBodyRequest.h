// The configuration of a request that carries its body as bytes.
#pragma once

#include "deploy/UNIBaseRequest.h"

#include <optional>

namespace deploy {

class UNIBodyRequest : public UNIBaseRequest {
public:
    std::optional<platform::Bytes> body;
};

} // namespace deploy
