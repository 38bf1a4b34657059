// Local storage bounded in all. The engine holds each origin's local storage to a few MiB of its own, but sets no
// bound on all of them together, and the data manager's storage ratios do not count it: a page that leads itself
// across hundreds of origins fills the disk. So the files the engine keeps of local storage (one database an origin,
// <data folder>/localstorage/<scheme>_<host>_<port>.localstorage with its journal) are measured whenever they change
// (coalesced: one measuring within kMeasureDelay of a change, however many changes) and once as the context is made;
// past the bound (HYB_TOTAL_STORAGE_BYTES, webprocess/Messages.h), the local storage of the least recently written
// sites goes through the data manager (the engine's own removal, which closes what it holds open) until the rest fits.
//
// The engine removes a site's data whole (every origin of its registrable domain), so a site is the unit removed.
// Only web origins (http, https) are removed: the application's own pages' local storage (file: and its own schemes)
// is never touched and never counted.
//
// Main thread only. Once installed, a bound lives as long as its context.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

typedef struct _WebKitWebContext WebKitWebContext;

namespace webengine {

class LocalStorageBound {
public:
    static constexpr std::chrono::milliseconds kMeasureDelay{300};
    // The most directory entries a measuring reads; a folder with more counts as past the bound.
    static constexpr std::size_t kMaxMeasuredEntries = 200000;

    // Bounds the local storage `context` keeps in `folder` (its data manager's) from now on.
    static void install(WebKitWebContext* context, const std::string& folder);

    // The bound in bytes (tests set a smaller one; it applies from the next measuring).
    static std::uint64_t totalBytes();
    static void setTotalBytes(std::uint64_t bytes);
};

} // namespace webengine
