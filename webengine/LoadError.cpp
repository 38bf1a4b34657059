#include "webengine/LoadError.h"

#include "platform/net/URLError.h"

#include <gio/gio.h>
#include <webkit2/webkit2.h>

namespace webengine {

namespace {

long long codeOfIOError(int code)
{
    switch (code) {
    case G_IO_ERROR_NOT_FOUND: return platform::kURLErrorFileDoesNotExist;
    case G_IO_ERROR_IS_DIRECTORY: return platform::kURLErrorFileIsDirectory;
    case G_IO_ERROR_PERMISSION_DENIED: return platform::kURLErrorNoPermissionsToReadFile;
    case G_IO_ERROR_TIMED_OUT: return platform::kURLErrorTimedOut;
    case G_IO_ERROR_CANCELLED: return platform::kURLErrorCancelled;
    case G_IO_ERROR_HOST_NOT_FOUND: return platform::kURLErrorCannotFindHost;
    case G_IO_ERROR_CONNECTION_REFUSED:
    case G_IO_ERROR_HOST_UNREACHABLE: return platform::kURLErrorCannotConnectToHost;
    case G_IO_ERROR_NETWORK_UNREACHABLE: return platform::kURLErrorNotConnectedToInternet;
    case G_IO_ERROR_CONNECTION_CLOSED: return platform::kURLErrorNetworkConnectionLost; // also the broken pipe
    default: return platform::kURLErrorUnknown;
    }
}

struct Code {
    const char* domain;
    long long code;
};

Code codeOf(const GError* error, bool timedOut)
{
    const Code unknown{platform::kURLErrorDomain, platform::kURLErrorUnknown};
    if (timedOut)
        return {platform::kURLErrorDomain, platform::kURLErrorTimedOut};
    if (!error)
        return unknown;
    if (error->domain == WEBKIT_NETWORK_ERROR) {
        switch (error->code) {
        case WEBKIT_NETWORK_ERROR_CANCELLED: return {platform::kURLErrorDomain, platform::kURLErrorCancelled};
        case WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST: return {platform::kURLErrorDomain, platform::kURLErrorFileDoesNotExist};
        case WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL: return {platform::kURLErrorDomain, platform::kURLErrorUnsupportedURL};
        default: return {kWebKitErrorDomain, error->code};
        }
    }
    // A navigation the client refused (or turned into another) ends the load it replaced: a cancellation.
    if (error->domain == WEBKIT_POLICY_ERROR)
        return error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE
                   ? Code{platform::kURLErrorDomain, platform::kURLErrorCancelled}
                   : Code{kWebKitErrorDomain, error->code};
    if (error->domain == WEBKIT_PLUGIN_ERROR)
        return {kWebKitErrorDomain, error->code};
    if (error->domain == G_IO_ERROR) {
        const long long code = codeOfIOError(error->code);
        return code == platform::kURLErrorUnknown ? unknown : Code{platform::kURLErrorDomain, code};
    }
    if (error->domain == G_RESOLVER_ERROR)
        return {platform::kURLErrorDomain, platform::kURLErrorCannotFindHost};
    if (error->domain == G_TLS_ERROR)
        return {platform::kURLErrorDomain, error->code == G_TLS_ERROR_BAD_CERTIFICATE ? platform::kURLErrorServerCertificateUntrusted
                                                                                      : platform::kURLErrorSecureConnectionFailed};
    return unknown;
}

} // namespace

platform::Error loadErrorOf(const GError* error, const char* uri, bool timedOut)
{
    const Code code = codeOf(error, timedOut);
    platform::Error result(code.domain, code.code, timedOut ? "The request timed out." : error ? error->message : "The load failed.");
    if (uri)
        result.userInfo.set(platform::kURLErrorFailingURLStringKey, std::string(uri));
    return result;
}

platform::Error refusedLoadError(const std::string& uri)
{
    platform::Error result(kWebKitErrorDomain, kWebKitErrorCannotUseRestrictedPort, "Not allowed to use restricted network port");
    result.userInfo.set(platform::kURLErrorFailingURLStringKey, uri);
    return result;
}

platform::Error stoppedLoadError(const std::string& uri)
{
    platform::Error result(platform::kURLErrorDomain, platform::kURLErrorUnsupportedURL,
                           "The engine stopped the load: the page was led to an address it does not load");
    result.userInfo.set(platform::kURLErrorFailingURLStringKey, uri);
    return result;
}

platform::Error refusedAnswerError(const std::string& uri, const std::string& why)
{
    platform::Error result(kWebKitErrorDomain, kWebKitErrorFrameLoadInterrupted, "Frame load interrupted: " + why + ", which this view neither shows nor saves");
    result.userInfo.set(platform::kURLErrorFailingURLStringKey, uri);
    return result;
}

platform::Error terminatedLoadError(const std::string& uri)
{
    platform::Error result(kWebKitErrorDomain, kWebKitErrorWebProcessEnded, "The page's web process ended before its load");
    result.userInfo.set(platform::kURLErrorFailingURLStringKey, uri);
    return result;
}

} // namespace webengine
