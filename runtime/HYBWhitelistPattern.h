// One compiled access entry of the whitelist: optional tests of scheme, host, port and path. An absent
// test lets every URL through on that part.
#pragma once

#include "platform/text/URL.h"
#include "platform/web/WebLoadRules.h"
#include "runtime/PosixRegex.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

// The parts of a URL the whitelist looks at. Absent parts are std::nullopt.
struct HYBWhitelistURLParts {
    std::optional<std::string> scheme;
    std::optional<std::string> host;
    std::optional<std::int64_t> port;
    std::optional<std::string> path;

    static HYBWhitelistURLParts of(const platform::URL& url);
};

class HYBWhitelistPattern {
public:
    // Compiles a pattern: scheme absent or "*" tests nothing; host absent or "*" tests nothing, a host
    // "*.h" fits h and every name ending in ".h"; port absent or "*" tests nothing; path absent or "/*"
    // tests nothing, other paths take "*" wildcards. Scheme and host compare ignoring case, the path
    // exactly. Gives nothing when an expression cannot be compiled.
    static std::optional<HYBWhitelistPattern> initWithScheme(const std::optional<std::string>& scheme,
                                                             const std::optional<std::string>& host,
                                                             const std::optional<std::string>& port,
                                                             const std::optional<std::string>& path);

    // Whether the URL passes every test the pattern has. A URL without a host fails a host test, one
    // without an explicit port fails a port test.
    bool matches(const platform::URL& url) const { return matches(HYBWhitelistURLParts::of(url)); }
    bool matches(const HYBWhitelistURLParts& url) const;

    // The expression text matching exactly `pattern`: every expression character escaped ("/" as
    // "\/"), "*" turned into ".*" when wildcards are allowed (a trailing "\/.*" into "(\/.*)?"), and
    // "$" appended.
    static std::string regexFromPattern(std::string_view pattern, bool allowWildcards);

    // The pattern as the expressions it compiled (for a matcher of another process, platform/web/WebLoadRules.h).
    const platform::WebLoadRules::Pattern& expressions() const { return m_expressions; }

private:
    HYBWhitelistPattern() = default;

    std::shared_ptr<const PosixRegex> m_scheme;
    std::shared_ptr<const PosixRegex> m_host;
    std::optional<std::int64_t> m_port;
    std::shared_ptr<const PosixRegex> m_path;
    platform::WebLoadRules::Pattern m_expressions;
};

} // namespace runtime
