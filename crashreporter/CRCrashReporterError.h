// The crash reporter's error objects: platform errors in one domain, with the system's error as their
// cause when there is one.
#pragma once

#include "platform/core/Error.h"

#include <string>

// The crash reporter's error domain.
inline constexpr const char* CRCrashReporterErrorDomain = "CRCrashReporterErrorDomain";

enum CRCrashReporterError : long long {
    CRCrashReporterErrorUnknown = 0,         // a general failure, such as a live report that could not be written
    CRCrashReporterErrorOperatingSystem = 1, // a system call failed; the cause says which
    CRCrashReporterErrorCrashReportInvalid = 2,
    CRCrashReporterErrorResourceBusy = 3, // a reporter is already enabled in this process
};

// An error of the domain with the description (under the localized-description key).
platform::Error crsh_reporter_error(CRCrashReporterError code, const std::string& description);

// The same with a POSIX error number as its cause (under the underlying-error key).
platform::Error crsh_reporter_posix_error(CRCrashReporterError code, const std::string& description, int errnoValue);
