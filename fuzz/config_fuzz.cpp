// Feeds whitelist entries and URLs to the whitelist.
// Input: lines; the lines before the first empty line are access entries, the lines after it URLs.
#include "platform/URL.h"
#include "runtime/HYBWhitelist.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        out.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return out;
}

void fuzzWhitelist(std::string_view text) {
    std::vector<std::string> entries;
    std::vector<std::string_view> urls;
    bool inUrls = false;
    for (std::string_view line : lines(text)) {
        if (!inUrls && line.empty()) {
            inUrls = true;
            continue;
        }
        if (inUrls)
            urls.push_back(line);
        else
            entries.emplace_back(line);
    }
    runtime::HYBWhitelist whitelist(entries);
    for (const char* scheme : {"http", "https", "ftp", "ftps"})
        if (!whitelist.schemeIsAllowed(scheme))
            std::abort();
    for (std::string_view text : urls) {
        std::optional<platform::URL> url = platform::URL::fromString(text);
        if (!url)
            continue;
        bool quiet = whitelist.URLIsAllowed(*url, false);
        if (!whitelist.whitelist() && !quiet)
            std::abort();
        (void)whitelist.schemeIsAllowed(url->scheme());
        (void)whitelist.errorStringForURL(*url);
    }
    (void)runtime::HYBWhitelist::isIPv4Address(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzzWhitelist(text);
    return 0;
}
