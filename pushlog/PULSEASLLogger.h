// The logger that writes lines into the platform's system log (platform::SystemLog), one record per
// message with the keys "Level", "Message" and "ReadUID". At most one exists per process.
#pragma once

#include "pushlog/PULSEAbstractLogger.h"

#include <memory>

namespace pushlog {

// The file name that marks messages read back out of the system log; they are not written back.
inline constexpr const char* kSystemLogCaptureFileName = "PULSEASLLogCapture";

class PULSEASLLogger : public PULSEAbstractLogger {
public:
    static const std::shared_ptr<PULSEASLLogger>& sharedInstance();
    // A new logger, or null once the shared instance exists.
    static std::shared_ptr<PULSEASLLogger> create();

    void logMessage(const PULSELogMessage& message) override;

    // The system-log level digit of a message flag: error 2, warning 3, info 4, anything else 5.
    static int systemLogLevelForFlag(std::uint64_t flag);

private:
    struct Token {};

public:
    explicit PULSEASLLogger(Token) : PULSEAbstractLogger("pulse.logging.aslLogger") {}
};

} // namespace pushlog
