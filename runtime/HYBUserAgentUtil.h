// The process-wide user agent, taken in turns. Web views read their user agent from one process-wide
// setting (the registration-domain default "UserAgent"); each web view that wants its own takes the
// token lock, sets the user agent under its token, starts loading, and gives the lock back when its page
// has finished or failed. Also knows the platform's own user agent, kept in the user defaults
// ("Hybrid-User-Agent", measured for "Hybrid-User-Agent-Version": model, system version and locale).
//
// Guarantees:
// - Main thread only; nothing blocks: a waiter's block runs later, on the thread that releases.
// - Tokens start at 1, grow by one with each hand-over and are never reused; waiters are served first
//   come, first served.
// - A holder keeps its token in a field of its own (0 when it holds nothing) and passes that field to
//   releaseLock(), which clears it before the next holder's block runs (so a holder may wait for the
//   lock again with the same field). Releasing with a field of 0 does nothing.
// - A token that is not the current one, given to releaseLock() or setUserAgent(), is a programming
//   error: the internal-consistency failure "Got token <given>, expected <current>".
// - Class operations only; the state lives for the process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace runtime {

inline constexpr const char* kHYBUserAgentKey = "Hybrid-User-Agent";
inline constexpr const char* kHYBUserAgentVersionKey = "Hybrid-User-Agent-Version";

class HYBUserAgentUtil {
public:
    using LockBlock = std::function<void(std::int64_t token)>;

    HYBUserAgentUtil() = delete;

    // Free lock: the block runs at once, before returning, with the next token. Held: the block waits.
    static void acquireLock(LockBlock block);
    // Gives the lock to the first waiter (logging "Gave lock <token>") or frees it; clears the field.
    static void releaseLock(std::int64_t& lockToken);
    // Registers the text as the process-wide user agent; the token must be the current one.
    static void setUserAgent(const std::string& userAgent, std::int64_t lockToken);
    // The platform's own user agent: cached; else stored in the user defaults for the current model,
    // system version and locale; else measured in a throw-away web view (what its page would read as
    // navigator.userAgent, which the real engine knows without starting a page), cached at once and
    // stored on the main loop's next turn (not when the application's home has changed by then).
    static std::string originalUserAgent();
    // The locale changed: the next originalUserAgent() checks the stored agent again.
    static void onAppLocaleDidChange();

    // The current holder's token (0 when free) and the number of waiters.
    static std::int64_t currentToken();
    static std::size_t waiterCount();
};

} // namespace runtime
