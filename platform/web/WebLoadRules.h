// The rules that refuse some web loads (http, https) of a web view's pages: written as the whitelist's
// entries compiled, so that an engine can judge, where a load is made, what the URL protocols would refuse.
// Each pattern's expressions are POSIX extended ones, matched anchored at the start of the URL's part (they
// end with "$" where the whole part must match); an absent one tests nothing. A URL is allowed when one
// pattern fits it: its scheme as written, its host, the port its text names (none fits no port test) and its
// path percent-decoded without one trailing "/".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct WebLoadRules {
    struct Pattern {
        std::optional<std::string> scheme; // compared ignoring case
        std::optional<std::string> host;   // compared ignoring case
        std::optional<std::int64_t> port;
        std::optional<std::string> path; // compared exactly
        friend bool operator==(const Pattern&, const Pattern&) = default;
    };
    std::vector<Pattern> patterns;
    // Whether patterns of the scheme "hyb-default-scheme" open their host to both web schemes on any port.
    bool defaultSchemeOpensHosts = false;
    friend bool operator==(const WebLoadRules&, const WebLoadRules&) = default;
};

} // namespace platform
