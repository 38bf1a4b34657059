// A web view's failed load in the terms of the person looking at the screen: what kind of fault it is,
// whether trying again may mend it, and one short sentence saying what happened, as the phone's browser
// words it. The screens that show web pages (the in-app browser, the payment road's web screen) say this
// instead of a bare "error".
//
// Guarantees:
// - Pure functions of the error's domain and code (both engines report the same codes for the same fault).
// - A cancellation (kURLErrorCancelled: a newer navigation, stop, a navigation refused) is no fault: none.
// - Only a fault of the network or of the server that may pass (no connection, host not found, refused
//   or lost connection, time-out, a damaged answer), the page's web process ending, or a fault of no known
//   kind is one a retry may mend; a download, an address the view does not open and a certificate not
//   trusted fail the same way each time.
#pragma once

#include "platform/core/Error.h"

#include <optional>
#include <string>

namespace platform {

// The engine's own load faults keep the engine's code in this domain (webengine/LoadError.h).
inline constexpr const char* kWebKitErrorDomain = "WebKitErrorDomain";
// The answer is not a page the view shows (an attachment, a type no view shows, a link's "download"): the
// phone's web view reports it so.
inline constexpr long long kWebKitErrorFrameLoadInterrupted = 102;
// A load the engine refuses to make: a restricted port (9, 6000...) or address (0.0.0.0).
inline constexpr long long kWebKitErrorCannotUseRestrictedPort = 103;
// The page's web process ended (crashed, or ended by the engine) before its load did.
inline constexpr long long kWebKitErrorWebProcessEnded = 300;

enum class LoadFailureKind {
    Network,    // the network or the server; may pass
    Download,   // the answer is a file to download, which no web view here saves
    Refused,    // an address or a server the view does not open (or no longer trusts)
    PageEnded,  // the page's web process ended
    Other,      // of no known kind
};

struct LoadFailure {
    LoadFailureKind kind = LoadFailureKind::Other;
    // One short sentence, in English (a screen passes it through its strings table).
    std::string reason;

    bool retryMayMend() const { return kind != LoadFailureKind::Download && kind != LoadFailureKind::Refused; }
};

// The heading a browser shows above the reason.
inline constexpr const char* kLoadFailureTitle = "Cannot Open Page";

// What the failure is; none for a cancellation.
std::optional<LoadFailure> describeLoadFailure(const Error& error);

} // namespace platform
