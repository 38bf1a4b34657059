#include "runtime/HYBWhitelistPattern.h"

#include <limits>

namespace runtime {
namespace {

constexpr std::string_view kExpressionCharacters = "\\*?+[](){}^$|./";

bool compileInto(std::shared_ptr<const PosixRegex>& target, std::optional<std::string>& text, const std::string& expression,
                 PosixRegex::Case caseMode) {
    target = PosixRegex::compile(expression, caseMode);
    text = expression;
    return target != nullptr;
}

// The integer value of a port text: its leading digits, saturating instead of overflowing.
std::int64_t portValue(std::string_view text) {
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            return std::numeric_limits<std::int64_t>::max();
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

HYBWhitelistURLParts HYBWhitelistURLParts::of(const platform::URL& url) {
    HYBWhitelistURLParts parts;
    if (!url.scheme().empty())
        parts.scheme = url.scheme();
    parts.host = url.host();
    if (url.port())
        parts.port = *url.port();
    parts.path = url.path();
    return parts;
}

std::string HYBWhitelistPattern::regexFromPattern(std::string_view pattern, bool allowWildcards) {
    std::string regex;
    regex.reserve(pattern.size() * 2 + 8);
    for (char c : pattern) {
        if (kExpressionCharacters.find(c) != std::string_view::npos)
            regex.push_back('\\');
        regex.push_back(c);
    }
    if (allowWildcards) {
        std::string widened;
        widened.reserve(regex.size());
        for (std::size_t i = 0; i < regex.size(); ++i) {
            if (regex[i] == '\\' && i + 1 < regex.size()) {
                if (regex[i + 1] == '*') {
                    widened += ".*";
                } else {
                    widened += regex.substr(i, 2);
                }
                ++i;
                continue;
            }
            widened.push_back(regex[i]);
        }
        regex = std::move(widened);
        constexpr std::string_view kTrailingFolder = "\\/.*";
        if (regex.size() >= kTrailingFolder.size() &&
            std::string_view(regex).substr(regex.size() - kTrailingFolder.size()) == kTrailingFolder) {
            regex.resize(regex.size() - kTrailingFolder.size());
            regex += "(\\/.*)?";
        }
    }
    regex.push_back('$');
    return regex;
}

std::optional<HYBWhitelistPattern> HYBWhitelistPattern::initWithScheme(const std::optional<std::string>& scheme,
                                                                       const std::optional<std::string>& host,
                                                                       const std::optional<std::string>& port,
                                                                       const std::optional<std::string>& path) {
    HYBWhitelistPattern pattern;
    if (scheme && *scheme != "*" &&
        !compileInto(pattern.m_scheme, pattern.m_expressions.scheme, regexFromPattern(*scheme, false), PosixRegex::Case::Insensitive))
        return std::nullopt;
    if (host && *host != "*") {
        std::string expression = host->starts_with("*.")
                                     ? "([a-z0-9.-]*\\.)?" + regexFromPattern(std::string_view(*host).substr(2), false)
                                     : regexFromPattern(*host, false);
        if (!compileInto(pattern.m_host, pattern.m_expressions.host, expression, PosixRegex::Case::Insensitive))
            return std::nullopt;
    }
    if (port && *port != "*")
        pattern.m_expressions.port = pattern.m_port = portValue(*port);
    if (path && *path != "/*" &&
        !compileInto(pattern.m_path, pattern.m_expressions.path, regexFromPattern(*path, true), PosixRegex::Case::Sensitive))
        return std::nullopt;
    return pattern;
}

bool HYBWhitelistPattern::matches(const HYBWhitelistURLParts& url) const {
    if (m_scheme && !(url.scheme && m_scheme->matchesAtStart(*url.scheme)))
        return false;
    if (m_host && !(url.host && m_host->matchesAtStart(*url.host)))
        return false;
    if (m_port && url.port != m_port)
        return false;
    if (m_path && !(url.path && m_path->matchesAtStart(*url.path)))
        return false;
    return true;
}

} // namespace runtime
