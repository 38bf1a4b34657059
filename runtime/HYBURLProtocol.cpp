#include "runtime/HYBURLProtocol.h"

#include "platform/net/URLError.h"

#include "platform/core/Log.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/WebView.h"
#include "runtime/HYBCommandQueue.h"

#include <limits>
#include <map>
#include <mutex>

namespace runtime {
namespace {

constexpr const char* kProtocolName = "HYBURLProtocol";

struct BridgeState {
    std::mutex mutex;
    bool registered = false;
    std::shared_ptr<const HYBWhitelist> whitelist;
    struct Controller {
        std::uint64_t webViewIdentifier = 0;
        std::weak_ptr<HYBCommandQueue> queue;
    };
    std::map<std::int64_t, Controller> controllers;
};

BridgeState& state() {
    static auto* bridge = new BridgeState; // used from loading threads until the process ends
    return *bridge;
}

std::shared_ptr<const HYBWhitelist> whitelist() {
    std::lock_guard lock(state().mutex);
    return state().whitelist;
}

// The queue of the controller `number` names when the request comes from that controller's web view.
std::optional<std::weak_ptr<HYBCommandQueue>> queueForRequestOf(std::int64_t number, const platform::URLRequest& request) {
    std::lock_guard lock(state().mutex);
    auto it = state().controllers.find(number);
    if (it == state().controllers.end() || request.webViewIdentifier() == 0 ||
        request.webViewIdentifier() != it->second.webViewIdentifier)
        return std::nullopt;
    return it->second.queue;
}

bool isRegistered(std::int64_t number) {
    std::lock_guard lock(state().mutex);
    return state().controllers.count(number) > 0;
}

// The registry number a user agent names ("... (<number>)"), if any.
std::optional<std::int64_t> registryNumberOfUserAgent(std::string_view userAgent) {
    const std::size_t open = userAgent.rfind('(');
    if (open == std::string_view::npos)
        return std::nullopt;
    return HYBURLProtocol::longLongValue(userAgent.substr(open + 1));
}

// The whitelist's rules for the web loads of pages under `userAgent`: those of a registered controller's
// requests, which the protocol judges (canInitWithRequest).
std::optional<platform::WebLoadRules> loadRulesForUserAgent(std::string_view userAgent) {
    const std::optional<std::int64_t> number = registryNumberOfUserAgent(userAgent);
    std::shared_ptr<const HYBWhitelist> list = whitelist();
    if (!number || !isRegistered(*number) || !list)
        return std::nullopt;
    return list->webLoadRules();
}

bool isAssetRequest(const platform::URLRequest& request) {
    return request.urlString().rfind(kHYBAssetsLibraryPrefix, 0) == 0;
}

bool isBridgeRequest(const platform::URLRequest& request) {
    // The path as written, as the web-process module reads it (BridgePath.h).
    return request.url() && hyb_url_has_bridge_path(request.url()->absoluteString().c_str());
}

} // namespace

void HYBURLProtocol::registerViewController(std::int64_t registryNumber, std::uint64_t webViewIdentifier,
                                            std::shared_ptr<const HYBWhitelist> whitelist, std::weak_ptr<HYBCommandQueue> commandQueue) {
    bool first = false;
    {
        std::lock_guard lock(state().mutex);
        if (!state().registered) {
            state().registered = true;
            state().whitelist = std::move(whitelist);
            first = true;
        }
        state().controllers[registryNumber] = BridgeState::Controller{webViewIdentifier, std::move(commandQueue)};
    }
    if (!first)
        return;
    platform::URLProtocol::registerClass(platform::URLProtocol::classOf<HYBURLProtocol>(kProtocolName));
    platform::WebView::setLoadRulesProvider(loadRulesForUserAgent);
    if (!runtime::whitelist())
        platform::Log::write("WARNING: NO whitelist has been set in HYBURLProtocol.");
}

void HYBURLProtocol::unregisterViewController(std::int64_t registryNumber) {
    std::lock_guard lock(state().mutex);
    state().controllers.erase(registryNumber);
}

void HYBURLProtocol::resetForTesting() {
    {
        std::lock_guard lock(state().mutex);
        state().registered = false;
        state().whitelist.reset();
        state().controllers.clear();
    }
    platform::URLProtocol::unregisterClass(kProtocolName);
    platform::WebView::setLoadRulesProvider({});
}

std::int64_t HYBURLProtocol::longLongValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Accumulate as a negative number so that the most negative value fits.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool clamped = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value < (kMin + digit) / 10) {
            clamped = true;
            break;
        }
        value = value * 10 - digit;
    }
    if (clamped)
        return negative ? kMin : std::numeric_limits<std::int64_t>::max();
    if (negative)
        return value;
    return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

std::optional<std::int64_t> HYBURLProtocol::registryNumberOfRequest(const platform::URLRequest& request) {
    if (std::optional<std::string> vc = request.valueForHTTPHeaderField("vc"))
        return longLongValue(*vc);
    std::optional<std::string> userAgent = request.valueForHTTPHeaderField("User-Agent");
    if (!userAgent)
        return std::nullopt;
    return registryNumberOfUserAgent(*userAgent);
}

bool HYBURLProtocol::canInitWithRequest(const platform::URLRequest& request) {
    if (isAssetRequest(request))
        return true;
    std::optional<std::int64_t> number = registryNumberOfRequest(request);
    if (!number || !isRegistered(*number))
        return false;
    if (isBridgeRequest(request)) {
        std::optional<std::string> commands = request.valueForHTTPHeaderField("cmds");
        std::optional<std::string> requestId = request.valueForHTTPHeaderField("rc");
        if (!requestId) {
            platform::Log::write("!hybrid request missing rc header");
            return false;
        }
        std::optional<std::weak_ptr<HYBCommandQueue>> found = queueForRequestOf(*number, request);
        if (!found) {
            platform::Log::write(platform::formatString("Refused a bridge request naming view %lld: it does not come from that view's page",
                                                        static_cast<long long>(*number)));
            return false;
        }
        std::weak_ptr<HYBCommandQueue> queue = std::move(*found);
        if (commands && !commands->empty()) {
            // On the main thread the batch takes its place in the queue now, in the order the page's batches
            // arrive (those an answer's script hands back are queued as they come too); it runs on a later
            // turn, never inside this question.
            if (platform::RunLoop::isMainThread()) {
                if (std::shared_ptr<HYBCommandQueue> target = queue.lock()) {
                    target->enqueueCommandBatch(*commands);
                    platform::RunLoop::main().perform([queue] {
                        if (std::shared_ptr<HYBCommandQueue> later = queue.lock())
                            later->executePending();
                    });
                }
                return false;
            }
            platform::RunLoop::main().perform([queue, batch = std::move(*commands)]() mutable {
                if (std::shared_ptr<HYBCommandQueue> target = queue.lock()) {
                    target->enqueueOwnedCommandBatch(std::move(batch));
                    target->executePending();
                }
            });
            return false;
        }
        platform::RunLoop::main().perform([queue, id = longLongValue(*requestId)] {
            if (std::shared_ptr<HYBCommandQueue> target = queue.lock())
                target->processXhrExecBridgePoke(id);
        });
        return true;
    }
    std::shared_ptr<const HYBWhitelist> list = whitelist();
    if (!list || !request.url() || !list->schemeIsAllowed(request.url()->scheme()))
        return false;
    return !list->URLIsAllowed(*request.url());
}

bool HYBURLProtocol::refusesRedirectTo(const platform::URLRequest& request) {
    std::optional<std::int64_t> number = registryNumberOfRequest(request);
    if (!number || !isRegistered(*number))
        return false;
    if (!request.url() || isBridgeRequest(request))
        return true;
    std::shared_ptr<const HYBWhitelist> list = whitelist();
    return list && list->schemeIsAllowed(request.url()->scheme()) && !list->URLIsAllowed(*request.url());
}

void HYBURLProtocol::startLoading() {
    if (isBridgeRequest(request())) {
        sendResponseWithResponseCode(200, std::nullopt, "text/plain");
        return;
    }
    if (isAssetRequest(request())) {
        answerWithAsset();
        return;
    }
    std::shared_ptr<const HYBWhitelist> list = whitelist();
    std::string rejection = list && request().url() ? list->errorStringForURL(*request().url()) : std::string();
    sendResponseWithResponseCode(401, platform::Bytes(rejection.begin(), rejection.end()), "text/plain");
}

namespace {

// Hands the asset's bytes from `offset` on to the protocol's client, a step at a time as its reader makes
// room; the first step decides the answer (500 when it cannot be read).
void sendAssetFrom(const std::shared_ptr<HYBURLProtocol>& self, const std::shared_ptr<const platform::PhotoAsset>& asset,
                   std::uint64_t offset) {
    const std::uint64_t step = std::min<std::uint64_t>(platform::URLProtocol::kStepBytes, asset->size() - std::min(offset, asset->size()));
    platform::Result<platform::Bytes> bytes = step ? asset->bytes(offset, step) : platform::Result<platform::Bytes>(platform::Bytes());
    if (!bytes.ok() || bytes->size() != step) {
        const std::string why = bytes.ok() ? "it ended early" : bytes.error().localizedDescription();
        platform::Log::write("Could not read the asset " + asset->url().absoluteString() + ": " + why);
        if (offset == 0)
            return self->sendResponseWithResponseCode(500, std::nullopt, std::nullopt);
        // Part of it went out: the load fails rather than end as if whole.
        return self->client()->didFailWithError(*self, platform::makeURLError(platform::kURLErrorResourceUnavailable,
                                                                              "the asset could not be read past byte " + std::to_string(offset),
                                                                              self->request().urlString()));
    }
    if (offset == 0) {
        platform::HTTPHeaderFields headers;
        (void)headers.setValue("Content-Type", asset->mimeType().value_or("text/plain"));
        self->client()->didReceiveResponse(*self, platform::URLResponse::http(self->request().url(), 200, std::move(headers), "HTTP/1.1"),
                                           platform::URLCacheStoragePolicy::NotAllowed);
    }
    if (!bytes->empty())
        self->client()->didLoadData(*self, *bytes);
    if (offset + step >= asset->size())
        return self->client()->didFinishLoading(*self);
    std::weak_ptr<HYBURLProtocol> weak = self;
    self->client()->whenReaderHasRoom(*self, [weak, asset, next = offset + step] {
        if (std::shared_ptr<HYBURLProtocol> alive = weak.lock())
            sendAssetFrom(alive, asset, next);
    });
}

} // namespace

void HYBURLProtocol::answerWithAsset() {
    std::shared_ptr<HYBURLProtocol> self = std::static_pointer_cast<HYBURLProtocol>(shared_from_this());
    if (!request().url()) {
        sendResponseWithResponseCode(404, std::nullopt, std::nullopt);
        return;
    }
    platform::PhotoLibrary().assetForURL(
        *request().url(),
        [self](std::optional<platform::PhotoAsset> asset) {
            if (!asset) {
                self->sendResponseWithResponseCode(404, std::nullopt, std::nullopt);
                return;
            }
            sendAssetFrom(self, std::make_shared<const platform::PhotoAsset>(std::move(*asset)), 0);
        },
        [self](const platform::Error& /*error*/) { self->sendResponseWithResponseCode(401, std::nullopt, std::nullopt); });
}

void HYBURLProtocol::sendResponseWithResponseCode(int statusCode, const std::optional<platform::Bytes>& data,
                                                  const std::optional<std::string>& mimeType) {
    platform::HTTPHeaderFields headers;
    (void)headers.setValue("Content-Type", mimeType.value_or("text/plain"));
    platform::URLResponse response = platform::URLResponse::http(request().url(), statusCode, std::move(headers), "HTTP/1.1");
    client()->didReceiveResponse(*this, response, platform::URLCacheStoragePolicy::NotAllowed);
    if (data)
        client()->didLoadData(*this, *data);
    client()->didFinishLoading(*this);
}

} // namespace runtime
