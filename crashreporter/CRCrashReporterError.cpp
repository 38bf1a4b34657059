#include "crashreporter/CRCrashReporterError.h"

platform::Error crsh_reporter_error(CRCrashReporterError code, const std::string& description)
{
    return platform::Error(CRCrashReporterErrorDomain, code, description);
}

platform::Error crsh_reporter_posix_error(CRCrashReporterError code, const std::string& description, int errnoValue)
{
    platform::Error error = crsh_reporter_error(code, description);
    error.userInfo.set(platform::kUnderlyingErrorKey,
                       platform::Dictionary{{"domain", platform::kPOSIXErrorDomain}, {"code", errnoValue}});
    return error;
}
