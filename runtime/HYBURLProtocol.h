// The URL protocol of the command bridge, registered for the whole process when the first view
// controller loads its view. It looks at every request the URL loading system makes and takes:
// - the page's bridge requests to the path "/!hyb_exec" as written (no escape decoded, no trailing "/"
//   dropped: the web-process module reads it alike, webprocess/BridgePath.h), headers "vc", "cmds", "rc": a request with
//   commands hands them to the caller's command queue and is not taken; a bare request (a poke with its
//   request id in "rc") is taken and answered 200 with an empty "text/plain" body;
// - photo-library asset URLs ("assets-library://..."), from any web view, answered with the asset's bytes
//   and MIME type (404 for an unknown asset, 401 when the library refuses access);
// - requests from a runtime web view whose URL the whitelist refuses, answered 401 with the rejection
//   text.
// Everything else is left to the ordinary loaders.
//
// The caller is the view controller whose registry number the request carries: in the "vc" header, or
// else in parentheses at the end of its user agent ("... (<number>)"). Any page can write that number
// (every server the application's page talks to learns it from the user agent), so a bridge request is
// taken only when it also comes from the controller's own web view: the engines stamp each request of a
// page with its web view's identifier (URLRequest::webViewIdentifier), which a page cannot set. A bridge
// request of another web view (the in-app browser's, the payment road's, a sign-in page's) or of no web
// view at all is logged and neither taken nor handed to any queue.
//
// Guarantees:
// - canInitWithRequest runs on URL-loading threads (the real engine asks it on the main thread for the
//   bridge requests its web process answers itself); the controller registry is guarded by a lock for
//   every add, remove and lookup. Commands never run there: the queue operations are posted to the main
//   run loop without waiting, and reach the queue only if it is still alive then. Asked on the main
//   thread, a request's commands join the queue at once (so that they keep their place among the page's
//   other batches, which arrive there too) and only the pass is posted.
// - The whitelist is the one of the first controller registered and is never replaced; without one no
//   request is refused.
// - A request whose number is not registered (another web view, a controller already gone) is never
//   taken; a bridge request without "rc", or from another web view than the named controller's, is
//   logged and not taken.
// - An asset answer comes later, from the photo library's queue; the pending answer keeps the protocol
//   object alive until then. An asset whose bytes cannot be read is answered 500 with no body. Its bytes go
//   in steps of URLProtocol::kStepBytes as the reader makes room, never whole; a step after the first that
//   cannot be read fails the load.
// - The whitelist also judges, where the engine makes them itself, the web loads of the pages whose user agent
//   names a registered controller: the first registration installs the rules for them
//   (platform::WebView::setLoadRulesProvider), the whitelist's own expressions.
// - Registry and whitelist live for the process; resetForTesting() forgets them and the registration.
#pragma once

#include "platform/net/URLProtocol.h"
#include "runtime/HYBWhitelist.h"
#include "webprocess/BridgePath.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace runtime {

class HYBCommandQueue;

inline constexpr const char* kHYBBridgeExecPath = HYB_BRIDGE_PATH;
inline constexpr const char* kHYBAssetsLibraryPrefix = "assets-library://";

class HYBURLProtocol : public platform::URLProtocol {
public:
    HYBURLProtocol(platform::URLRequest request, std::shared_ptr<platform::URLProtocolClient> client)
        : URLProtocol(std::move(request), std::move(client)) {}

    // A controller's view loaded: on the first call registers the protocol and takes the whitelist
    // (logging when there is none); on every call enters the controller's number with its web view's
    // identifier (platform::WebView::identifier()) and its queue, replacing what the number had.
    static void registerViewController(std::int64_t registryNumber, std::uint64_t webViewIdentifier,
                                       std::shared_ptr<const HYBWhitelist> whitelist, std::weak_ptr<HYBCommandQueue> commandQueue);
    // The controller goes away.
    static void unregisterViewController(std::int64_t registryNumber);

    // Whether this protocol takes the request; hands bridge commands to the caller's queue.
    static bool canInitWithRequest(const platform::URLRequest& request);
    // Whether a load of a registered controller's page may not be led by a redirect to the request: one
    // its whitelist refuses, one to a target no URL reads, or the bridge path (which a page's own request
    // alone reaches). Nothing else happens: no command is handed over.
    static bool refusesRedirectTo(const platform::URLRequest& request);

    void startLoading() override;
    void stopLoading() override {}
    // Answers the request: the status, the body when there is one, "Content-Type" (default "text/plain");
    // the answer is never cached.
    void sendResponseWithResponseCode(int statusCode, const std::optional<platform::Bytes>& data,
                                      const std::optional<std::string>& mimeType);

    // The registry number a request names ("vc", else the user agent's last parentheses); nothing when
    // it names none.
    static std::optional<std::int64_t> registryNumberOfRequest(const platform::URLRequest& request);
    // The leading signed integer of a text, as the platform's string-to-number reading does: blanks
    // skipped, an optional sign, digits up to the first other character, clamped to 64 bits; 0 when
    // there are no digits.
    static std::int64_t longLongValue(std::string_view text);

    static void resetForTesting();

private:
    void answerWithAsset();
};

} // namespace runtime
