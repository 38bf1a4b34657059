// The push client's logger set-up when the application chose a level first: each of the terminal and
// system-log loggers stays registered once, at the set-up's info level; debug asked for afterwards
// brings debug lines (a retry's chatter) to the terminal, and switching logging off silences both.
#include "pushlog/RecordingLogger.h"

#include "push/PULSEService.h"

#include "support/TempHome.h"

#include "pushlog/PULSEASLLogger.h"
#include "pushlog/PULSEFileLogger.h"
#include "pushlog/PULSELog.h"
#include "pushlog/PULSETTYLogger.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using push::PULSEService;

long registrations(const std::shared_ptr<pushlog::PULSELogger>& logger) {
    const auto all = pushlog::PULSELog::allLoggers();
    return std::count(all.begin(), all.end(), logger);
}

TEST(ServiceLogger, DebugModeBeforeSetUpKeepsOneRegistrationAtTheSetUpsLevel) {
    hybtest::TempHome home;
    pushlog::testing::resetLoggers();
    const std::shared_ptr<pushlog::PULSELogger> terminal = pushlog::PULSETTYLogger::sharedInstance();
    const std::shared_ptr<pushlog::PULSELogger> system = pushlog::PULSEASLLogger::sharedInstance();

    PULSEService::setDebugMode();
    PULSEService::setupPulseLogger();
    PULSEService::setupPulseLogger();
    EXPECT_EQ(registrations(terminal), 1);
    EXPECT_EQ(registrations(system), 1);
    EXPECT_EQ(PULSEService::currentLogLevel(), 7u);
    PULSEService::setDebugMode();
    EXPECT_EQ(registrations(terminal), 1);
    EXPECT_EQ(PULSEService::currentLogLevel(), 15u);
    const auto all = pushlog::PULSELog::allLoggers();
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const auto& l) { return std::dynamic_pointer_cast<pushlog::PULSEFileLogger>(l) != nullptr; }),
              1);

    PULSEService::setLogOFF();
    EXPECT_EQ(registrations(terminal), 1);
    EXPECT_EQ(registrations(system), 1);
    EXPECT_EQ(PULSEService::currentLogLevel(), 0u);
    pushlog::testing::resetLoggers();
}

} // namespace
