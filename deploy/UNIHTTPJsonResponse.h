// A reply whose body is read as JSON (an object or an array at the top level).
#pragma once

#include "deploy/UNIHTTPResponse.h"
#include "deploy/UNIJsonNode.h"

namespace deploy {

class UNIHTTPJsonResponse : public UNIHTTPResponse {
public:
    explicit UNIHTTPJsonResponse(const UNIHTTPResponse& simple)
        : UNIHTTPResponse(simple), m_body(UNIJsonNode::parse(simple.rawBody())) {}
    const UNIJsonNode& body() const { return m_body; }

private:
    UNIJsonNode m_body;
};

} // namespace deploy
