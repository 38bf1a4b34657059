// Which URLs the runtime's web view may reach, built once from the access origins of config.xml.
//
// Entry grammar: [scheme "://"] [host | "*." host | "*"] [":" port] ["/" path]; text after the part that
// fits is ignored. An entry without a scheme stands for "http" and "https"; one with a scheme but no host
// tests no host (so "data:///*" lets data: URLs through); one with neither is skipped with a log line.
// The single entry "*" opens everything and makes later entries ignored. Built on one thread, then read-only: safe to query from
// several threads at once.
#pragma once

#include "runtime/HYBWhitelistPattern.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

class HYBWhitelist {
public:
    // Adds each entry in order.
    explicit HYBWhitelist(const std::vector<std::string>& entries);

    // Parses one entry and adds its pattern(s). Entries that cannot be compiled are skipped with a log line.
    void addWhiteListEntry(std::string_view entry);

    // Whether the whitelist governs URLs of this scheme: always for "http", "https", "ftp" and "ftps";
    // for other schemes when an entry named them (exact comparison) or an entry opened every scheme.
    bool schemeIsAllowed(std::string_view scheme) const;

    // Decides a URL; refusals are logged with the rejection text unless `logFailure` is false.
    bool URLIsAllowed(const platform::URL& url, bool logFailure = true) const;

    // The rules an engine judges its pages' web loads (http, https) by, where it makes them itself: these
    // entries' expressions. None when every URL is allowed.
    std::optional<platform::WebLoadRules> webLoadRules() const;

    // The rejection text for a URL.
    std::string errorStringForURL(const platform::URL& url) const;

    // Whether the text is four "."-separated parts, each "*" or a number from 0 to 255.
    static bool isIPv4Address(std::string_view text);

    // The patterns in entry order; none when every URL is allowed.
    const std::optional<std::vector<HYBWhitelistPattern>>& whitelist() const { return m_whitelist; }
    // Schemes named by entries, as written; none when every scheme is governed.
    const std::optional<std::set<std::string>>& permittedSchemes() const { return m_permittedSchemes; }
    const std::string& whitelistRejectionFormatString() const { return m_whitelistRejectionFormatString; }

private:
    bool isAllowed(const HYBWhitelistURLParts& url) const;

    std::optional<std::vector<HYBWhitelistPattern>> m_whitelist;
    std::optional<std::set<std::string>> m_permittedSchemes;
    std::string m_whitelistRejectionFormatString;
};

} // namespace runtime
