// The public-suffix list (libpsl's copy of it): the domains under which anyone may register a name ("com",
// "co.uk", "github.io"), which no cookie may name, and the registrable domain ("site") a host belongs to.
//
// Guarantees: thread-safe; hosts are compared in lower case; an IP address or a host of one label is its own
// site and never a public suffix's child.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class PublicSuffix {
public:
    // Whether `domain` (no leading dot) is a public suffix: "com", "co.uk"; also a single label nobody
    // registers under ("localhost" is not one: it is a host).
    static bool isPublicSuffix(std::string_view domain);
    // The registrable domain of `host` ("www.example.co.uk" → "example.co.uk"); the host itself (in lower case)
    // when it has none (an IP address, "localhost", a public suffix).
    static std::string siteOf(std::string_view host);
    // Whether `host` is an IPv4 or IPv6 address (in brackets or not).
    static bool isIPAddress(std::string_view host);
};

} // namespace platform
