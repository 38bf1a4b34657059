// The web process's request hook (webprocess/LoadRouting.c) on any URL text: the fragment cut, the schemes
// kept in the page, the bridge's path test, the bounded list of navigations the UI process allowed, a file
// URL's local route (which reads back as a local route of a file) and the whitelist's reading of a web URL
// (webprocess/LoadRules.c), which allows no URL it cannot read.
// The input is a list of lines, each an operation (its first byte) and a URL. The list never holds more
// than its bound, a navigation just added is found once (and only once) unless the bound pushed it out,
// and a cut URL has no "#" and starts the original.
// The hook is C and is compiled as C (request_hook_fuzz.c), which gives this file its functions.
#include <glib.h>

extern "C" {
char* fuzz_hook_without_fragment(const char* uri);
gboolean fuzz_hook_stays_local(const char* uri);
gboolean fuzz_hook_is_exec_request(const char* uri);
void fuzz_hook_add_pending_navigation(GQueue* pending, const char* uri);
gboolean fuzz_hook_take_pending_navigation(GQueue* pending, const char* uri);
guint fuzz_hook_max_pending_navigations(void);
char* fuzz_hook_local_route_of(const char* uri);
gboolean fuzz_hook_is_local_route_of_file(const char* uri);
}

#include "webprocess/LoadRules.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One page's list, as the hook keeps it on the page.
    GQueue pending = G_QUEUE_INIT;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.find('\0') != std::string::npos)
            continue;
        const char op = line[0];
        const std::string uri = line.substr(1);

        char* cut = fuzz_hook_without_fragment(uri.c_str());
        check(std::string_view(cut).find('#') == std::string_view::npos);
        check(uri.rfind(cut, 0) == 0);
        g_free(cut);
        (void)fuzz_hook_stays_local(uri.c_str());
        (void)fuzz_hook_is_exec_request(uri.c_str());
        if (char* route = fuzz_hook_local_route_of(uri.c_str())) {
            check(fuzz_hook_is_local_route_of_file(route));
            g_free(route);
        }
        // Rules of every kind of test: a URL allowed is a web URL of the host and port they name, with no user
        // part.
        static HybLoadRules* const rules = [] {
            const HybRulePattern patterns[] = {{"http$", "([a-z0-9.-]*\\.)?example\\.com$", 8080, "\\/a(\\/.*)?$"},
                                               {"hyb\\-default\\-scheme$", "example\\.org$", -1, nullptr}};
            return hyb_load_rules_new(patterns, 2, 1);
        }();
        if (hyb_load_rules_allow(rules, uri.c_str())) {
            char* lower = g_ascii_strdown(uri.c_str(), -1);
            const std::string lowered(lower);
            g_free(lower);
            const std::size_t authority = lowered.find("://") + 3;
            check(lowered.substr(authority, lowered.find_first_of("/?#", authority) - authority).find('@') == std::string::npos
                  && (lowered.rfind("http://", 0) == 0 || lowered.rfind("https://", 0) == 0)
                  && (lowered.find("example.com:8080/a") != std::string::npos || lowered.find("example.org") != std::string::npos));
        }

        switch (op % 3) {
        case 0: {
            fuzz_hook_add_pending_navigation(&pending, uri.c_str());
            check(g_queue_get_length(&pending) <= fuzz_hook_max_pending_navigations());
            // Found once, with or without its fragment, then no more (unless an equal one was added before).
            const guint before = g_queue_get_length(&pending);
            check(fuzz_hook_take_pending_navigation(&pending, uri.c_str()));
            check(g_queue_get_length(&pending) == before - 1);
            break;
        }
        case 1:
            fuzz_hook_add_pending_navigation(&pending, uri.c_str());
            check(g_queue_get_length(&pending) <= fuzz_hook_max_pending_navigations());
            break;
        case 2:
            (void)fuzz_hook_take_pending_navigation(&pending, uri.c_str());
            break;
        }
    }
    g_queue_clear_full(&pending, g_free);
    return 0;
}
