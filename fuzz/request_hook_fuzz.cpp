// The web process's request hook (webprocess/RequestHook.c) on any URL text: the fragment cut, the schemes
// kept in the page, the bridge's path test and the bounded list of navigations the UI process allowed.
// The input is a list of lines, each an operation (its first byte) and a URL. The list never holds more
// than its bound, a navigation just added is found once (and only once) unless the bound pushed it out,
// and a cut URL has no "#" and starts the original.
// The engine's headers first, with their C++ parts; then the hook's own code, with C linkage.
#include <webkit2/webkit-web-extension.h>

extern "C" {
#include "webprocess/RequestHook.c"
}

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

        char* cut = without_fragment(uri.c_str());
        check(std::string_view(cut).find('#') == std::string_view::npos);
        check(uri.rfind(cut, 0) == 0);
        g_free(cut);
        (void)stays_local(uri.c_str());
        (void)is_exec_request(uri.c_str());

        switch (op % 3) {
        case 0: {
            add_pending_navigation(&pending, uri.c_str());
            check(g_queue_get_length(&pending) <= MAX_PENDING_NAVIGATIONS);
            // Found once, with or without its fragment, then no more (unless an equal one was added before).
            const guint before = g_queue_get_length(&pending);
            check(take_pending_navigation(&pending, uri.c_str()));
            check(g_queue_get_length(&pending) == before - 1);
            break;
        }
        case 1:
            add_pending_navigation(&pending, uri.c_str());
            check(g_queue_get_length(&pending) <= MAX_PENDING_NAVIGATIONS);
            break;
        case 2:
            (void)take_pending_navigation(&pending, uri.c_str());
            break;
        }
    }
    g_queue_clear_full(&pending, g_free);
    return 0;
}
