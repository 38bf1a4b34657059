// The engine's load failures in the terms the web view's delegates know: the URL loading system's codes
// (the same the headless engine reports for the same fault), or WebKit's own code where the fault is the
// engine's alone.
//
// Guarantees:
// - Pure functions; every error carries the failing URL under kURLErrorFailingURLStringKey when one is
//   given, and the engine's message.
// - Cancellations (a newer navigation, stop, a navigation the client refused) are kURLErrorCancelled
//   (-999); a load the engine's time-out stopped is kURLErrorTimedOut (-1001).
// - Network and file faults are URL errors: refused or unreachable host -1004, unknown host -1003,
//   missing file -1100, unreadable file -1102, unsupported scheme -1002, TLS faults -1200/-1202.
// - WebKit's own network, policy and plug-in faults keep WebKit's code in kWebKitErrorDomain (103 for a
//   restricted port or address). Only a fault of no known kind is kURLErrorUnknown (-1).
#pragma once

#include "platform/core/Error.h"
#include "platform/web/LoadFailure.h"

#include <glib.h>

#include <string>

namespace webengine {

// The domain and codes are the platform's (platform/web/LoadFailure.h), which says what each means.
inline constexpr const char* kWebKitErrorDomain = platform::kWebKitErrorDomain;
inline constexpr long long kWebKitErrorCannotUseRestrictedPort = platform::kWebKitErrorCannotUseRestrictedPort;
inline constexpr long long kWebKitErrorFrameLoadInterrupted = platform::kWebKitErrorFrameLoadInterrupted;
inline constexpr long long kWebKitErrorWebProcessEnded = platform::kWebKitErrorWebProcessEnded;

// The failure WebKit reported for the main frame's load of `uri` (may be null).
platform::Error loadErrorOf(const GError* error, const char* uri, bool timedOut);

// A load WebKit refused without reporting a failure: it showed an empty document instead.
platform::Error refusedLoadError(const std::string& uri);
// A load WebKit stopped without reporting a finish or a failure, before any document came (a server led it
// to an address the engine does not follow, such as a file URL): kURLErrorUnsupportedURL.
platform::Error stoppedLoadError(const std::string& uri);
// A load whose answer would have been a download (`why` says what it is), which no view saves:
// kWebKitErrorFrameLoadInterrupted.
platform::Error refusedAnswerError(const std::string& uri, const std::string& why);
// A load whose page's web process ended before it did: kWebKitErrorWebProcessEnded.
platform::Error terminatedLoadError(const std::string& uri);

} // namespace webengine
