// The URL-loading error codes (domain kURLErrorDomain) that connections report, and the one way to build
// such an error: with the failing URL in its details, as callers read it back.
#pragma once

#include "platform/core/Error.h"

#include <string>

namespace platform {

enum URLErrorCode : long long {
    kURLErrorUnknown = -1,
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorUnsupportedURL = -1002,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorHTTPTooManyRedirects = -1007,
    kURLErrorResourceUnavailable = -1008,
    kURLErrorNotConnectedToInternet = -1009,
    kURLErrorBadServerResponse = -1011,
    kURLErrorUserCancelledAuthentication = -1012,
    kURLErrorZeroByteResource = -1014,
    kURLErrorCannotDecodeContentData = -1015,
    kURLErrorRequestBodyStreamExhausted = -1021,
    kURLErrorFileDoesNotExist = -1100,
    kURLErrorFileIsDirectory = -1101,
    kURLErrorNoPermissionsToReadFile = -1102,
    kURLErrorDataLengthExceedsMaximum = -1103,
    kURLErrorSecureConnectionFailed = -1200,
    kURLErrorServerCertificateUntrusted = -1202,
};

// An error of the URL domain with a description and, when given, the failing URL under
// kURLErrorFailingURLStringKey.
inline Error makeURLError(long long code, std::string description, const std::string& failingURL = {}) {
    Error e(kURLErrorDomain, code, std::move(description));
    if (!failingURL.empty())
        e.userInfo.set(kURLErrorFailingURLStringKey, failingURL);
    return e;
}

} // namespace platform
