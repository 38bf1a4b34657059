// What a page load's failure tells the web view's delegates, for the faults WebKit reports.
#include "webengine/LoadError.h"

#include "platform/net/URLError.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <memory>

using webengine::loadErrorOf;

namespace {

struct Fault {
    GQuark domain;
    int code;
    const char* domainSeen;
    long long codeSeen;
};

std::shared_ptr<GError> gerror(GQuark domain, int code)
{
    return std::shared_ptr<GError>(g_error_new_literal(domain, code, "engine text"), g_error_free);
}

} // namespace

TEST(LoadErrorTest, NetworkAndFileFaultsTakeTheURLLoadingCodes)
{
    const Fault faults[] = {
        {G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, platform::kURLErrorDomain, platform::kURLErrorCannotConnectToHost},
        {G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE, platform::kURLErrorDomain, platform::kURLErrorCannotConnectToHost},
        {G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE, platform::kURLErrorDomain, platform::kURLErrorNotConnectedToInternet},
        {G_IO_ERROR, G_IO_ERROR_NOT_FOUND, platform::kURLErrorDomain, platform::kURLErrorFileDoesNotExist},
        {G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile},
        {G_IO_ERROR, G_IO_ERROR_TIMED_OUT, platform::kURLErrorDomain, platform::kURLErrorTimedOut},
        {G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED, platform::kURLErrorDomain, platform::kURLErrorNetworkConnectionLost},
        {G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, platform::kURLErrorDomain, platform::kURLErrorCannotFindHost},
        {G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE, platform::kURLErrorDomain, platform::kURLErrorCannotFindHost},
        {G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE, platform::kURLErrorDomain, platform::kURLErrorServerCertificateUntrusted},
        {G_TLS_ERROR, G_TLS_ERROR_HANDSHAKE, platform::kURLErrorDomain, platform::kURLErrorSecureConnectionFailed},
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST, platform::kURLErrorDomain, platform::kURLErrorFileDoesNotExist},
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL, platform::kURLErrorDomain, platform::kURLErrorUnsupportedURL},
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, platform::kURLErrorDomain, platform::kURLErrorCancelled},
        {WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE, platform::kURLErrorDomain, platform::kURLErrorCancelled},
        // The engine's own faults keep the engine's own code.
        {WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_USE_RESTRICTED_PORT, webengine::kWebKitErrorDomain, 103},
        {WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI, webengine::kWebKitErrorDomain, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI},
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_TRANSPORT, webengine::kWebKitErrorDomain, WEBKIT_NETWORK_ERROR_TRANSPORT},
        // Nothing known: unknown, and only then.
        {G_IO_ERROR, G_IO_ERROR_NOT_MOUNTED, platform::kURLErrorDomain, platform::kURLErrorUnknown},
        {g_quark_from_static_string("WebKitInternal"), 0, platform::kURLErrorDomain, platform::kURLErrorUnknown},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(std::string(g_quark_to_string(fault.domain)) + " " + std::to_string(fault.code));
        const platform::Error error = loadErrorOf(gerror(fault.domain, fault.code).get(), "http://127.0.0.1:1234/", false);
        EXPECT_EQ(error.domain, fault.domainSeen);
        EXPECT_EQ(error.code, fault.codeSeen);
        EXPECT_EQ(error.localizedDescription(), "engine text");
        EXPECT_EQ(error.userInfo[platform::kURLErrorFailingURLStringKey].stringOr(""), "http://127.0.0.1:1234/");
    }
}

TEST(LoadErrorTest, ATimeOutAndARefusalHaveCodesOfTheirOwn)
{
    // The engine stops a load at its time-out; WebKit reports the stop as a cancellation.
    const platform::Error timedOut = loadErrorOf(gerror(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED).get(), nullptr, true);
    EXPECT_EQ(timedOut.code, platform::kURLErrorTimedOut);
    EXPECT_EQ(timedOut.localizedDescription(), "The request timed out.");
    EXPECT_FALSE(timedOut.userInfo.contains(platform::kURLErrorFailingURLStringKey));

    const platform::Error refused = webengine::refusedLoadError("http://127.0.0.1:9/");
    EXPECT_EQ(refused.domain, webengine::kWebKitErrorDomain);
    EXPECT_EQ(refused.code, 103);
    EXPECT_EQ(refused.localizedDescription(), "Not allowed to use restricted network port");
    EXPECT_EQ(refused.userInfo[platform::kURLErrorFailingURLStringKey].stringOr(""), "http://127.0.0.1:9/");
}
