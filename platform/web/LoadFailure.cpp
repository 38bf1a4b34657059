#include "platform/web/LoadFailure.h"

#include "platform/net/URLError.h"

namespace platform {

namespace {

LoadFailure failure(LoadFailureKind kind, const char* reason) { return LoadFailure{kind, reason}; }

std::optional<LoadFailure> urlFailure(long long code) {
    switch (code) {
    case kURLErrorCancelled: return std::nullopt;
    case kURLErrorNotConnectedToInternet: return failure(LoadFailureKind::Network, "You are not connected to the Internet.");
    case kURLErrorCannotFindHost: return failure(LoadFailureKind::Network, "The server cannot be found.");
    case kURLErrorCannotConnectToHost: return failure(LoadFailureKind::Network, "The server is not answering.");
    case kURLErrorNetworkConnectionLost: return failure(LoadFailureKind::Network, "The network connection was lost.");
    case kURLErrorTimedOut: return failure(LoadFailureKind::Network, "The server took too long to answer.");
    case kURLErrorSecureConnectionFailed: return failure(LoadFailureKind::Network, "A secure connection to the server cannot be made.");
    case kURLErrorResourceUnavailable:
    case kURLErrorBadServerResponse:
    case kURLErrorZeroByteResource:
    case kURLErrorCannotDecodeContentData: return failure(LoadFailureKind::Network, "The server's answer cannot be read.");
    case kURLErrorServerCertificateUntrusted: return failure(LoadFailureKind::Refused, "The server's certificate is not trusted.");
    case kURLErrorHTTPTooManyRedirects: return failure(LoadFailureKind::Refused, "The server redirects the page too many times.");
    case kURLErrorBadURL:
    case kURLErrorUnsupportedURL: return failure(LoadFailureKind::Refused, "The address is not one the browser opens.");
    case kURLErrorFileDoesNotExist: return failure(LoadFailureKind::Refused, "The file cannot be found.");
    case kURLErrorFileIsDirectory: return failure(LoadFailureKind::Refused, "The address is a folder, not a page.");
    case kURLErrorNoPermissionsToReadFile: return failure(LoadFailureKind::Refused, "The page may not open this file.");
    case kURLErrorDataLengthExceedsMaximum: return failure(LoadFailureKind::Refused, "The page is too large to show.");
    default: return failure(LoadFailureKind::Other, "The page cannot be loaded.");
    }
}

} // namespace

std::optional<LoadFailure> describeLoadFailure(const Error& error) {
    if (error.domain == kURLErrorDomain)
        return urlFailure(error.code);
    if (error.domain == kWebKitErrorDomain) {
        switch (error.code) {
        case kWebKitErrorFrameLoadInterrupted: return failure(LoadFailureKind::Download, "The browser cannot download files.");
        case kWebKitErrorCannotUseRestrictedPort: return failure(LoadFailureKind::Refused, "The browser may not open this address.");
        case kWebKitErrorWebProcessEnded: return failure(LoadFailureKind::PageEnded, "The page stopped unexpectedly.");
        default: break;
        }
    }
    return failure(LoadFailureKind::Other, "The page cannot be loaded.");
}

} // namespace platform
