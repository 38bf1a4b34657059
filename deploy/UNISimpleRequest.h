// The configuration of a request with parameters (query string, form or multipart body).
#pragma once

#include "deploy/UNIBaseRequest.h"
#include "deploy/UNIParameters.h"

namespace deploy {

class UNISimpleRequest : public UNIBaseRequest {
public:
    UNIParameters parameters;
};

} // namespace deploy
