#include "runtime/HYBWhitelist.h"

#include "platform/core/Log.h"
#include "runtime/TextCase.h"

#include <algorithm>

namespace runtime {
namespace {

constexpr std::string_view kDefaultScheme = "hyb-default-scheme";

bool isWebScheme(std::string_view scheme) {
    return scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "ftps";
}

bool isSchemeCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

bool isHostCharacter(char c) {
    return c != '*' && c != '/' && c != ':';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// An entry split by the grammar [scheme "://"] [host] [":" port] ["/" path]; parts that are absent stay
// absent, text after the matched prefix is dropped.
struct EntryParts {
    std::optional<std::string> scheme;
    std::optional<std::string> host;
    std::optional<std::string> port;
    std::optional<std::string> path;
};

EntryParts splitEntry(std::string_view entry) {
    EntryParts parts;
    std::size_t at = 0;

    // Scheme: "*" or a run of letters and "-", followed by "://".
    std::size_t schemeEnd = 0;
    if (entry.starts_with("*"))
        schemeEnd = 1;
    else
        while (schemeEnd < entry.size() && isSchemeCharacter(entry[schemeEnd]))
            ++schemeEnd;
    if (schemeEnd > 0 && entry.substr(schemeEnd).starts_with("://")) {
        parts.scheme = std::string(entry.substr(0, schemeEnd));
        at = schemeEnd + 3;
    }

    // Host: an optional "*." and a run of characters other than "*", "/" and ":"; or "*" alone.
    auto hostRunEnd = [&](std::size_t from) {
        while (from < entry.size() && isHostCharacter(entry[from]))
            ++from;
        return from;
    };
    if (entry.substr(at).starts_with("*.") && hostRunEnd(at + 2) > at + 2) {
        std::size_t end = hostRunEnd(at + 2);
        parts.host = std::string(entry.substr(at, end - at));
        at = end;
    } else if (std::size_t end = hostRunEnd(at); end > at) {
        parts.host = std::string(entry.substr(at, end - at));
        at = end;
    } else if (entry.substr(at).starts_with("*")) {
        parts.host = std::string(1, '*');
        at += 1;
    }

    // Port: ":" and digits.
    if (at + 1 < entry.size() && entry[at] == ':' && isDigit(entry[at + 1])) {
        std::size_t end = at + 1;
        while (end < entry.size() && isDigit(entry[end]))
            ++end;
        parts.port = std::string(entry.substr(at + 1, end - at - 1));
        at = end;
    }

    // Path: "/" and the rest of the line.
    if (at < entry.size() && entry[at] == '/') {
        std::size_t end = entry.find_first_of("\r\n", at);
        parts.path = std::string(entry.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    }
    return parts;
}

} // namespace

HYBWhitelist::HYBWhitelist(const std::vector<std::string>& entries)
    : m_whitelist(std::vector<HYBWhitelistPattern>()), m_permittedSchemes(std::set<std::string>()),
      m_whitelistRejectionFormatString("ERROR whitelist rejection: url='%@'") {
    for (const std::string& entry : entries)
        addWhiteListEntry(entry);
}

void HYBWhitelist::addWhiteListEntry(std::string_view entry) {
    if (!m_whitelist)
        return;
    if (entry == "*") {
        platform::Log::write("Unlimited access to network resources");
        m_whitelist.reset();
        m_permittedSchemes.reset();
        return;
    }

    EntryParts parts = splitEntry(entry);
    if ((parts.scheme == "file" || parts.scheme == "content") && !parts.host)
        parts.host = "*";
    // Without a scheme the entry stands for the web; without a host as well it would open all of it.
    if (!parts.scheme && !parts.host) {
        platform::Log::write("ERROR whitelist entry skipped, it names no scheme and no host: '" + std::string(entry) + "'");
        return;
    }

    std::vector<HYBWhitelistPattern> patterns;
    auto addPattern = [&](const std::optional<std::string>& scheme) {
        std::optional<HYBWhitelistPattern> pattern =
            HYBWhitelistPattern::initWithScheme(scheme, parts.host, parts.port, parts.path);
        if (pattern)
            patterns.push_back(std::move(*pattern));
        return pattern.has_value();
    };
    bool compiled = parts.scheme ? addPattern(parts.scheme) : addPattern(std::string("http")) && addPattern(std::string("https"));
    if (!compiled) {
        platform::Log::write("ERROR whitelist entry skipped, it cannot be compiled: '" + std::string(entry) + "'");
        return;
    }
    for (HYBWhitelistPattern& pattern : patterns)
        m_whitelist->push_back(std::move(pattern));

    if (m_permittedSchemes && parts.scheme) {
        if (*parts.scheme == "*")
            m_permittedSchemes.reset();
        else
            m_permittedSchemes->insert(*parts.scheme);
    }
}

bool HYBWhitelist::schemeIsAllowed(std::string_view scheme) const {
    if (isWebScheme(scheme))
        return true;
    if (!m_permittedSchemes)
        return true;
    return m_permittedSchemes->contains(std::string(scheme));
}

bool HYBWhitelist::isAllowed(const HYBWhitelistURLParts& url) const {
    return std::any_of(m_whitelist->begin(), m_whitelist->end(),
                       [&](const HYBWhitelistPattern& pattern) { return pattern.matches(url); });
}

bool HYBWhitelist::URLIsAllowed(const platform::URL& target, bool logFailure) const {
    if (!m_whitelist)
        return true;
    HYBWhitelistURLParts url = HYBWhitelistURLParts::of(target);
    std::string scheme = lowercased(target.scheme());
    if (!schemeIsAllowed(scheme)) {
        if (logFailure)
            platform::Log::write(errorStringForURL(target));
        return false;
    }
    // Entries written with the default scheme open a host for all four web schemes, on any port.
    if (isWebScheme(scheme) && schemeIsAllowed(kDefaultScheme)) {
        HYBWhitelistURLParts anyWebScheme{std::string(kDefaultScheme), url.host, std::nullopt, url.path};
        if (isAllowed(anyWebScheme))
            return true;
    }
    if (isAllowed(url))
        return true;
    if (logFailure)
        platform::Log::write(errorStringForURL(target));
    return false;
}

std::optional<platform::WebLoadRules> HYBWhitelist::webLoadRules() const {
    if (!m_whitelist)
        return std::nullopt;
    platform::WebLoadRules rules;
    rules.defaultSchemeOpensHosts = schemeIsAllowed(kDefaultScheme);
    for (const HYBWhitelistPattern& pattern : *m_whitelist)
        rules.patterns.push_back(pattern.expressions());
    return rules;
}

std::string HYBWhitelist::errorStringForURL(const platform::URL& url) const {
    std::string text = m_whitelistRejectionFormatString;
    std::size_t placeholder = text.find("%@");
    if (placeholder != std::string::npos)
        text.replace(placeholder, 2, url.absoluteString());
    return text;
}

bool HYBWhitelist::isIPv4Address(std::string_view text) {
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('.', start);
        std::string_view part = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        ++parts;
        if (part != "*") {
            if (part.empty() || !std::all_of(part.begin(), part.end(), isDigit))
                return false;
            int value = 0;
            for (char c : part)
                if ((value = value * 10 + (c - '0')) > 255)
                    return false;
        }
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return parts == 4;
}

} // namespace runtime
