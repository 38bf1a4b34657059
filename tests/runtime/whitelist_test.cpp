#include "runtime/HYBWhitelist.h"

#include "support/LogCapture.h"
#include "webprocess/LoadRules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string_view>
#include <vector>

using namespace runtime;
using hybtest::LogCapture;

namespace {

platform::URL url(std::string_view text) {
    std::optional<platform::URL> parsed = platform::URL::fromString(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(*platform::URL::fromString("invalid:"));
}

bool allows(const HYBWhitelist& whitelist, std::string_view text) {
    return whitelist.URLIsAllowed(url(text), false);
}

const std::vector<std::string> kDefaults = {"file:///*", "content:///*", "data:///*"};

std::vector<std::string> withDefaults(std::initializer_list<std::string> entries) {
    std::vector<std::string> all = kDefaults;
    all.insert(all.end(), entries);
    return all;
}

} // namespace

TEST(HYBWhitelist, StarOpensEverythingAndIgnoresLaterEntries) {
    LogCapture log;
    HYBWhitelist whitelist({"example.com", "*", "custom://x"});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Unlimited access to network resources"});
    EXPECT_FALSE(whitelist.whitelist());
    EXPECT_FALSE(whitelist.permittedSchemes());
    EXPECT_TRUE(whitelist.schemeIsAllowed("anything"));
    EXPECT_TRUE(allows(whitelist, "http://evil.org/x"));
    EXPECT_TRUE(allows(whitelist, "weird:thing"));
}

TEST(HYBWhitelist, BareHostAllowsHttpAndHttpsOnAnyPortAndPathOnly) {
    HYBWhitelist whitelist(withDefaults({"example.com"}));
    EXPECT_TRUE(allows(whitelist, "http://example.com"));
    EXPECT_TRUE(allows(whitelist, "https://example.com:8443/a/b?q#f"));
    EXPECT_TRUE(allows(whitelist, "HTTP://EXAMPLE.com/"));
    EXPECT_FALSE(allows(whitelist, "ftp://example.com/"));
    EXPECT_FALSE(allows(whitelist, "http://www.example.com/"));
    EXPECT_FALSE(allows(whitelist, "http://example.com.evil.org/"));
    EXPECT_FALSE(allows(whitelist, "http://exampleXcom/")) << "the dot is literal";
}

TEST(HYBWhitelist, WildcardSubdomainsIgnoreCase) {
    HYBWhitelist whitelist({"*.Example.com"});
    EXPECT_TRUE(allows(whitelist, "http://example.com/"));
    EXPECT_TRUE(allows(whitelist, "https://a.b-c.EXAMPLE.COM/"));
    EXPECT_FALSE(allows(whitelist, "http://badexample.com/"));
    EXPECT_FALSE(allows(whitelist, "http://example.com.evil.org/"));
    EXPECT_FALSE(allows(whitelist, "http://a_b.example.com/")) << "only letters, digits, '.' and '-' before it";
}

TEST(HYBWhitelist, PortOnlyWhenGivenExplicitly) {
    HYBWhitelist whitelist({"http://example.com:8080"});
    EXPECT_TRUE(allows(whitelist, "http://example.com:8080/x"));
    EXPECT_FALSE(allows(whitelist, "http://example.com/x"));
    EXPECT_FALSE(allows(whitelist, "http://example.com:80/x"));
    HYBWhitelist any({"http://example.com:*"});
    EXPECT_TRUE(allows(any, "http://example.com:1234/"));
}

TEST(HYBWhitelist, PathWildcardCoversTheFolderButIsCaseSensitive) {
    HYBWhitelist whitelist({"http://h/a/*"});
    EXPECT_TRUE(allows(whitelist, "http://h/a"));
    EXPECT_TRUE(allows(whitelist, "http://h/a/"));
    EXPECT_TRUE(allows(whitelist, "http://h/a/b/c"));
    EXPECT_FALSE(allows(whitelist, "http://h/ab"));
    EXPECT_FALSE(allows(whitelist, "http://h/A/b"));
    HYBWhitelist exact({"http://h/p.html"});
    EXPECT_TRUE(allows(exact, "http://h/p.html"));
    EXPECT_FALSE(allows(exact, "http://h/pXhtml"));
    EXPECT_FALSE(allows(exact, "http://h/p.html/more"));
}

TEST(HYBWhitelist, FileAndDataDefaultsHaveNoHostTest) {
    HYBWhitelist whitelist(kDefaults);
    EXPECT_TRUE(allows(whitelist, "file:///var/www/index.html"));
    EXPECT_TRUE(allows(whitelist, "file://somehost/x"));
    EXPECT_TRUE(allows(whitelist, "data:image/png;base64,AAAA")) << "data: sub-resources are not refused";
    EXPECT_TRUE(allows(whitelist, "content://provider/item"));
    EXPECT_FALSE(allows(whitelist, "http://example.com/"));
    // A custom scheme entry without a host opens that scheme for every host.
    HYBWhitelist custom({"app://"});
    EXPECT_TRUE(allows(custom, "app://anything/at/all"));
}

TEST(HYBWhitelist, NamedCustomSchemeIsGovernedOthersAreNot) {
    HYBWhitelist whitelist(withDefaults({"myapp://host"}));
    EXPECT_TRUE(whitelist.schemeIsAllowed("myapp"));
    EXPECT_TRUE(whitelist.schemeIsAllowed("ftps"));
    EXPECT_FALSE(whitelist.schemeIsAllowed("other"));
    EXPECT_TRUE(allows(whitelist, "myapp://host/x"));
    EXPECT_FALSE(allows(whitelist, "myapp://elsewhere/x"));
    EXPECT_FALSE(allows(whitelist, "other://host/x"));
    // A scheme-less entry adds no scheme to the governed set.
    HYBWhitelist hostOnly({"example.com"});
    EXPECT_EQ(*hostOnly.permittedSchemes(), std::set<std::string>{});
}

TEST(HYBWhitelist, UpperCaseSchemeEntryIsKeptAsWrittenSoItsUrlsAreRefused) {
    HYBWhitelist whitelist({"MyApp://host"});
    EXPECT_EQ(*whitelist.permittedSchemes(), std::set<std::string>{"MyApp"});
    EXPECT_TRUE(whitelist.schemeIsAllowed("MyApp"));
    EXPECT_FALSE(allows(whitelist, "myapp://host/"));
    EXPECT_FALSE(allows(whitelist, "MyApp://host/"));
}

TEST(HYBWhitelist, StarSchemeGovernsEverySchemeButTestsHost) {
    HYBWhitelist whitelist({"*://example.com"});
    EXPECT_FALSE(whitelist.permittedSchemes());
    EXPECT_TRUE(allows(whitelist, "gopher://example.com/"));
    EXPECT_FALSE(allows(whitelist, "gopher://other.com/"));
}

TEST(HYBWhitelist, DefaultSchemeEntryOpensAHostForTheFourWebSchemes) {
    HYBWhitelist whitelist({"hyb-default-scheme://example.com"});
    EXPECT_TRUE(allows(whitelist, "http://example.com/"));
    EXPECT_TRUE(allows(whitelist, "ftps://example.com:990/x"));
    EXPECT_FALSE(allows(whitelist, "http://other.com/"));
}

TEST(HYBWhitelist, RejectionIsLoggedOnlyWhenAsked) {
    HYBWhitelist whitelist({"example.com"});
    LogCapture log;
    EXPECT_FALSE(whitelist.URLIsAllowed(url("http://evil.org/a?b")));
    EXPECT_FALSE(whitelist.URLIsAllowed(url("gopher://evil.org/")));
    EXPECT_FALSE(whitelist.URLIsAllowed(url("http://evil.org/quiet"), false));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ERROR whitelist rejection: url='http://evil.org/a?b'",
                                                     "ERROR whitelist rejection: url='gopher://evil.org/'"}));
}

TEST(HYBWhitelist, EntriesNamingNoSchemeAndNoHostAreSkipped) {
    LogCapture log;
    HYBWhitelist whitelist({"", "/only/a/path", ":8080", "example.com"});
    EXPECT_EQ(whitelist.whitelist()->size(), 2u) << "only example.com's http and https patterns";
    EXPECT_FALSE(allows(whitelist, "http://other.org/only/a/path"));
    EXPECT_FALSE(allows(whitelist, "http://other.org:8080/"));
    EXPECT_EQ(log.lines().size(), 3u);
}

TEST(HYBWhitelist, EntriesThatCannotBeCompiledAreSkippedNotOpened) {
    LogCapture log;
    HYBWhitelist whitelist({std::string("exa\0mple.com", 12), "example.org"});
    EXPECT_EQ(whitelist.whitelist()->size(), 2u) << "only example.org's patterns";
    EXPECT_FALSE(allows(whitelist, "http://anything.com/"));
    EXPECT_TRUE(allows(whitelist, "http://example.org/"));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(HYBWhitelist, TextAfterTheGrammarIsIgnored) {
    HYBWhitelist whitelist({"http://example.com:80x/ignored", "http://*foo"});
    EXPECT_TRUE(allows(whitelist, "http://example.com:80/")) << "port 80, the rest dropped";
    EXPECT_TRUE(allows(whitelist, "http://anything.org/")) << "'*' host, 'foo' dropped";
}

TEST(HYBWhitelistPattern, RegexFromPatternEscapesAndWidens) {
    EXPECT_EQ(HYBWhitelistPattern::regexFromPattern("a.b/c", false), "a\\.b\\/c$");
    EXPECT_EQ(HYBWhitelistPattern::regexFromPattern("/a/*", true), "\\/a(\\/.*)?$");
    EXPECT_EQ(HYBWhitelistPattern::regexFromPattern("/a*b", true), "\\/a.*b$");
    EXPECT_EQ(HYBWhitelistPattern::regexFromPattern("/a*b", false), "\\/a\\*b$");
    EXPECT_EQ(HYBWhitelistPattern::regexFromPattern("(x)|[y]{2}^$+?\\", false), "\\(x\\)\\|\\[y\\]\\{2\\}\\^\\$\\+\\?\\\\$");
}

TEST(HYBWhitelistPattern, ExpressionCharactersInEntriesMatchThemselves) {
    HYBWhitelist whitelist({"http://h/(a|b)+[c]{1}$?^\\"});
    EXPECT_TRUE(whitelist.URLIsAllowed(url("http://h/(a%7Cb)+%5Bc%5D%7B1%7D$%3F%5E%5C"), false));
    EXPECT_FALSE(allows(whitelist, "http://h/a"));
}

TEST(HYBWhitelist, LongUrlsDoNotExhaustTheMatcher) {
    HYBWhitelist whitelist({"http://h/a/*", "*.example.com"});
    std::string path(200000, 'x');
    EXPECT_TRUE(allows(whitelist, "http://h/a/" + path));
    EXPECT_FALSE(allows(whitelist, "http://" + std::string(100000, 'a') + ".exampleXcom/"));
}

TEST(HYBWhitelist, IPv4Addresses) {
    EXPECT_TRUE(HYBWhitelist::isIPv4Address("192.168.0.1"));
    EXPECT_TRUE(HYBWhitelist::isIPv4Address("10.*.*.255"));
    EXPECT_FALSE(HYBWhitelist::isIPv4Address("10.0.0.256"));
    EXPECT_FALSE(HYBWhitelist::isIPv4Address("10.0.0"));
    EXPECT_FALSE(HYBWhitelist::isIPv4Address("10.0.0.1.2"));
    EXPECT_FALSE(HYBWhitelist::isIPv4Address("10.0..1"));
    EXPECT_FALSE(HYBWhitelist::isIPv4Address("a.b.c.d"));
    EXPECT_FALSE(HYBWhitelist::isIPv4Address("99999999999.0.0.1"));
}

// The web process judges the web loads it lets go by the whitelist's own expressions
// (webprocess/LoadRules.h): what it allows, the whitelist allows, and for the URLs the engine writes
// (lower-case scheme and host, escapes as it writes them) it decides as the whitelist does.
TEST(HYBWhitelist, TheWebProcessJudgesWebLoadsAsTheWhitelistDoes) {
    struct Case {
        std::vector<std::string> entries;
        std::vector<std::string> urls;
    };
    const std::vector<Case> cases = {
        {withDefaults({"example.com"}), {"http://example.com/", "https://example.com:8443/a/b", "http://other.com/", "http://example.com.evil/"}},
        {withDefaults({"*.example.com"}), {"http://example.com/", "http://a.b.example.com/x", "http://badexample.com/", "http://a_b.example.com/"}},
        {withDefaults({"http://example.com:8080"}), {"http://example.com:8080/", "http://example.com/", "https://example.com:8080/"}},
        {withDefaults({"https://example.com/api/*"}),
         {"https://example.com/api", "https://example.com/api/", "https://example.com/api/v1/x?q=1", "https://example.com/apis",
          "https://example.com/API/x", "https://example.com/api%2Fv1", "https://example.com/a%70i/x", "https://example.com/api/%00",
          "https://example.com/api/%FF", "https://example.com/api/%zz"}},
        {withDefaults({"hyb-default-scheme://example.com/p"}), {"http://example.com/p", "https://example.com:1/p/", "http://example.com/q"}},
        {withDefaults({"http://[::1]", "127.0.0.1:9"}), {"http://[::1]/", "http://[::1]:80/", "http://127.0.0.1:9/x", "http://127.0.0.1/x"}},
        {withDefaults({"example.com"}),
         {"http://user@example.com/", "http://ex%61mple.com/", "http://example.com:99999/", "http://example.com/<a>", "http://example.com/a b",
          "ftp://example.com/", "hyb-default-scheme://example.com/"}},
        {{"http://example.com/a.b/(c)"}, {"http://example.com/a.b/(c)", "http://example.com/aXb/(c)", "http://example.com/a.b/c"}},
        // What a browser sends as it stands in a path or a query (the UI process reads it escaped).
        {withDefaults({"https://example.com/api/*"}),
         {"https://example.com/api/x?ids[]=1&ids[]=2", "https://example.com/api/x?f={%22a%22:1}&q=50%off|^`", "https://example.com/api/a|b^[c]",
          "https://example.com/ap|i/x", "https://exa|mple.com/api/x"}},
    };
    // The text the UI process reads for a URL the engine sent: what the platform's URLs refuse, escaped.
    const auto escaped = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            const bool loneEscape = c == '%' && (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1]))
                                                 || !std::isxdigit(static_cast<unsigned char>(text[i + 2])));
            if (std::string_view("[]^`{|}\\").find(static_cast<char>(c)) != std::string_view::npos || loneEscape) {
                char code[4];
                std::snprintf(code, sizeof code, "%%%02X", c);
                out += code;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    };
    for (const Case& c : cases) {
        const HYBWhitelist whitelist(c.entries);
        const std::optional<platform::WebLoadRules> rules = whitelist.webLoadRules();
        ASSERT_TRUE(rules);
        std::vector<HybRulePattern> patterns;
        for (const platform::WebLoadRules::Pattern& pattern : rules->patterns)
            patterns.push_back({pattern.scheme ? pattern.scheme->c_str() : nullptr, pattern.host ? pattern.host->c_str() : nullptr,
                                pattern.port.value_or(-1), pattern.path ? pattern.path->c_str() : nullptr});
        HybLoadRules* compiled = hyb_load_rules_new(patterns.data(), patterns.size(), rules->defaultSchemeOpensHosts);
        ASSERT_TRUE(compiled);
        for (const std::string& text : c.urls) {
            const bool here = hyb_load_rules_allow(compiled, text.c_str()) != 0;
            // (Escapes in the host are no host's: the UI process refuses it.)
            const std::string authority = text.substr(0, text.find('/', text.find("://") + 3));
            const std::optional<platform::URL> parsed = platform::URL::fromString(authority.find('|') != std::string::npos ? text : escaped(text));
            const bool there = parsed && whitelist.URLIsAllowed(*parsed, false);
            // A URL the web process is not sure of goes to the UI process, which decides it: never allowed
            // here when refused there.
            if (here) {
                EXPECT_TRUE(there) << text;
            }
            const bool unsure = text.find('@') != std::string::npos || text.find("%00") != std::string::npos
                || text.find("%FF") != std::string::npos || text.find("%zz") != std::string::npos || text.find("ex%61") != std::string::npos
                || text.find("99999") != std::string::npos;
            if (!unsure) {
                EXPECT_EQ(here, there) << text;
            }
        }
        hyb_load_rules_free(compiled);
    }
    EXPECT_FALSE(HYBWhitelist({"*"}).webLoadRules()) << "a whitelist that opens everything judges nothing";
}
