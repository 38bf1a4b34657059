#include "pushlog/PULSEASLLogger.h"

#include "platform/system/SystemLog.h"

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace pushlog {

namespace {

std::atomic<bool> g_sharedInstanceMade{false};

} // namespace

const std::shared_ptr<PULSEASLLogger>& PULSEASLLogger::sharedInstance() {
    // Never destroyed: any thread may log while the process ends.
    static const auto* instance = new std::shared_ptr<PULSEASLLogger>([] {
        auto logger = std::make_shared<PULSEASLLogger>(Token{});
        g_sharedInstanceMade = true;
        return logger;
    }());
    return *instance;
}

std::shared_ptr<PULSEASLLogger> PULSEASLLogger::create() {
    if (g_sharedInstanceMade)
        return nullptr;
    return std::make_shared<PULSEASLLogger>(Token{});
}

int PULSEASLLogger::systemLogLevelForFlag(std::uint64_t flag) {
    switch (flag) {
    case 1: return 2;
    case 2: return 3;
    case 4: return 4;
    default: return 5;
    }
}

void PULSEASLLogger::logMessage(const PULSELogMessage& message) {
    if (message.fileName() == kSystemLogCaptureFileName)
        return;
    const LogText line = m_logFormatter ? m_logFormatter->formatLogMessage(message) : message.messageText();
    if (!line)
        return;
    const char level[2] = {static_cast<char>('0' + systemLogLevelForFlag(message.flag())), '\0'};
    char readUID[16];
    std::snprintf(readUID, sizeof readUID, "%d", static_cast<int>(geteuid()));
    platform::SystemLogRecord record;
    if (record.set(platform::kSystemLogKeyLevel, level) && record.set(platform::kSystemLogKeyMessage, *line) &&
        record.set(platform::kSystemLogKeyReadUID, readUID))
        platform::SystemLog::shared().send(record);
}

} // namespace pushlog
