#include "deploy/UNIHTTPStringResponse.h"

#include "platform/text/TextEncoding.h"

#include <string_view>

namespace deploy {

UNIHTTPStringResponse::UNIHTTPStringResponse(const UNIHTTPResponse& simple)
    : UNIHTTPResponse(simple),
      m_body(platform::decodeUTF8(
          std::string_view(reinterpret_cast<const char*>(rawBody().data()), rawBody().size()))) {}

} // namespace deploy
