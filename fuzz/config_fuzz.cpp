// Feeds config.xml text and whitelist entries and URLs to the runtime's configuration readers.
// The input is read twice: as a config.xml document (whose access origins then judge a few URLs), and
// as lines, those before the first empty line being access entries and those after it URLs.
#include "platform/core/Log.h"
#include "platform/text/URL.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBLoadedSettings.h"
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

void fuzzConfig(std::string_view text) {
    runtime::HYBConfigParser parser;
    if (!parser.parseDocument(std::string(text))) {
        if (!parser.parseFailure() || !parser.parseFailure()->starts_with("config.xml parse error line "))
            std::abort();
        return;
    }
    runtime::HYBLoadedSettings loaded = runtime::HYBLoadedSettings::fromParser(parser);
    if (loaded.startPage.empty() && !parser.startPage())
        std::abort();
    for (const auto& entry : loaded.pluginsMap)
        if (!entry.value.isString())
            std::abort();
    for (const char* text : {"http://example.com/a/b", "file:///www/index.html", "data:text/plain,x", "custom://h:1/p"}) {
        std::optional<platform::URL> url = platform::URL::fromString(text);
        if (url)
            (void)loaded.whitelist->URLIsAllowed(*url, false);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers log every skipped entry; keep the fuzzer's output quiet and fast.
    platform::Log::setCaptureHook([](std::string_view) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzzConfig(text);
    fuzzWhitelist(text);
    return 0;
}
