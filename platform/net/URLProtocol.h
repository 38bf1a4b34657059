// URL protocols: handlers that take over loads. Every load of a URL connection (and of the web view)
// asks the registry first; a registered class that answers yes to `canInitWithRequest` serves the load
// instead of the built-in loaders (http, https, file).
//
// Guarantees:
// - `canInitWithRequest` is called on the URL-loading thread, not the main thread; it must be
//   thread-safe. Classes are asked newest-registered first; registering a name again replaces the class.
// - `startLoading` and `stopLoading` run on the URL-loading thread. `stopLoading` comes when the load is
//   cancelled before it ended; after it the client ignores further calls.
// - The client may be called from any thread (for instance from a callback that finishes an answer
//   later), in the order response, data..., then finished or failed.
// - A body of any size goes to the client in steps (at most kStepBytes each), the next one only once the
//   client says its reader has room (`whenReaderHasRoom`): a load never holds a body whole, nor hands its
//   reader more than a window ahead.
// - A protocol object is shared: a later answer can hold it weakly and find it gone.
#pragma once

#include "platform/core/Error.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

enum class URLCacheStoragePolicy { Allowed, AllowedInMemoryOnly, NotAllowed };

class URLProtocol;

class URLProtocolClient {
public:
    virtual ~URLProtocolClient() = default;
    virtual void didReceiveResponse(URLProtocol& protocol, const URLResponse& response, URLCacheStoragePolicy policy) = 0;
    virtual void didLoadData(URLProtocol& protocol, const Bytes& data) = 0;
    virtual void didFinishLoading(URLProtocol& protocol) = 0;
    virtual void didFailWithError(URLProtocol& protocol, const Error& error) = 0;
    // Runs `more` once the reader has taken enough of what the protocol handed over for another step: on the
    // URL-loading thread (a URL connection's client; never once the load ended), or at once, on the caller's
    // thread (this default, for a client with no reader to wait for).
    virtual void whenReaderHasRoom(URLProtocol& protocol, std::function<void()> more);
};

class URLProtocol : public std::enable_shared_from_this<URLProtocol> {
public:
    // The largest piece of a body a protocol hands its client at once.
    static constexpr std::size_t kStepBytes = 256 * 1024;

    using Factory = std::function<std::shared_ptr<URLProtocol>(const URLRequest&, std::shared_ptr<URLProtocolClient>)>;

    // What the registry holds for one protocol class.
    struct Class {
        std::string name;
        std::function<bool(const URLRequest&)> canInitWithRequest;
        Factory make;
        // Whether the class stands in the way of a redirect to the request: a redirect is a new request,
        // which the registry judges again (as for the request itself, but with no effect of any kind); one
        // whose target no URL reads comes with no URL. Absent: the class serves only requests made as such.
        std::function<bool(const URLRequest&)> refusesRedirectTo;
    };
    // The class of T: T::canInitWithRequest(const URLRequest&) and T(URLRequest, shared_ptr<URLProtocolClient>),
    // and T::refusesRedirectTo(const URLRequest&) where T has one.
    template <class T>
    static Class classOf(std::string name) {
        Class result{std::move(name), [](const URLRequest& r) { return T::canInitWithRequest(r); },
                     [](const URLRequest& r, std::shared_ptr<URLProtocolClient> c) { return std::make_shared<T>(r, std::move(c)); }, {}};
        if constexpr (requires(const URLRequest& r) { T::refusesRedirectTo(r); })
            result.refusesRedirectTo = [](const URLRequest& r) { return T::refusesRedirectTo(r); };
        return result;
    }

    static void registerClass(Class protocolClass);
    static void unregisterClass(const std::string& name);
    // The class that takes the request, asking each registered class newest first; nullopt when none does.
    static std::optional<Class> classForRequest(const URLRequest& request);
    // Whether a registered class refuses a redirect to `request` (the request a load would send next): the
    // HTTP transport then does not follow it, and the redirect's reply is the load's response. Asked on the
    // URL-loading thread.
    static bool redirectIsRefused(const URLRequest& request);

    URLProtocol(URLRequest request, std::shared_ptr<URLProtocolClient> client);
    virtual ~URLProtocol() = default;
    URLProtocol(const URLProtocol&) = delete;
    URLProtocol& operator=(const URLProtocol&) = delete;

    const URLRequest& request() const { return m_request; }
    const std::shared_ptr<URLProtocolClient>& client() const { return m_client; }

    virtual void startLoading() = 0;
    virtual void stopLoading() = 0;

private:
    URLRequest m_request;
    std::shared_ptr<URLProtocolClient> m_client;
};

} // namespace platform
