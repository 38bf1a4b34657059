// A reply whose body is read as bytes.
#pragma once

#include "deploy/UNIHTTPResponse.h"

namespace deploy {

class UNIHTTPBinaryResponse : public UNIHTTPResponse {
public:
    explicit UNIHTTPBinaryResponse(const UNIHTTPResponse& simple) : UNIHTTPResponse(simple) {}
    const platform::Bytes& body() const { return rawBody(); }
};

} // namespace deploy
