// The push client's test fixture: a fresh client in a temporary home on an installed virtual clock, the
// built-in endpoints, no device or network facts, and a logger that records every line the client logs.
#pragma once

#include "pushlog/RecordingLogger.h"

#include "push/PULSEClientController.h"
#include "push/PULSEDelegateSynchronize.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSESessionController.h"
#include "push/PULSEThread.h"
#include "push/PULSEThreadController.h"
#include "push/PULSEUserDefaultsController.h"

#include "support/PushTestServer.h"
#include "support/TempHome.h"

#include "platform/net/NetworkInfo.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/ui/Screen.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace pushtest {

// Runs what waits on the main run loop: notifications a session posted there as it ended, and the blocks
// they post in turn, are delivered now rather than to the next test's observers.
inline void drainMainQueue() {
    auto& loop = platform::RunLoop::main();
    for (int turn = 0; turn < 10000; ++turn)
        if (loop.runOnce(platform::Clock::current().now()) != platform::RunLoop::RunResult::Handled)
            return;
}

// Brings every process-wide part of the client back to its first state.
inline void resetClientState() {
    push::PULSEThreadController::shareThreadInstance().resetForTesting();
    push::PULSEThread::resetDefaultInstancesForTesting();
    push::PULSEDelegateSynchronize::resetForTesting();
    push::PULSESessionController::resetHeartbeatLockForTesting();
    push::PULSEClientController::resetForTesting();
    push::PULSEFileCacheController::resetForTesting();
    push::PULSEEndpoints::resetShared();
    platform::NetworkInfo::current().resetToDefaults();
    platform::Device::current().resetToDefaults();
    platform::Screen::main().resetToDefaults();
}

class PushTest : public ::testing::Test {
protected:
    PushTest() {
        drainMainQueue();
        m_clock.install();
        resetClientState();
        pushlog::testing::resetLoggers();
        pushlog::PULSELog::addLogger(m_logger);
        (void)push::PULSEClientController::sharedClient();
    }
    ~PushTest() override {
        drainMainQueue();
        pushlog::testing::resetLoggers();
        resetClientState();
        drainMainQueue();
    }

    // Starts the two stores and a stored identity for an app key, installed in the client.
    std::shared_ptr<push::PULSEUserDefaultsController> installIdentity(const std::string& appKey,
                                                                       const std::string& bundle = "org.test.pulse") {
        push::PULSEFileCacheController::resetForTesting();
        push::PULSEFileCacheController::startShareInstance("PULSEDocument", 1, true)->setAutoSynchronizeEnable(false);
        push::PULSEFileCacheController::startShareInstance("PULSEJSON", 0, false);
        auto& client = push::PULSEClientController::sharedClient();
        client.setClientNotificationCenter(std::make_shared<platform::NotificationCenter>());
        client.setBundleIdentifier(bundle);
        auto identity = std::make_shared<push::PULSEUserDefaultsController>(bundle, appKey);
        client.setUserDefaults(identity);
        return identity;
    }

    // The texts of the lines logged so far (info and debug lines are handed over asynchronously: the
    // logging queue is flushed first).
    std::vector<std::string> logLines() const {
        pushlog::PULSELog::flushLog();
        return m_logger->lines();
    }
    std::vector<pushlog::PULSELogMessage> logMessages() const {
        pushlog::PULSELog::flushLog();
        return m_logger->messages();
    }
    // The number of lines logged so far that hold a text.
    int countLines(const std::string& text) const {
        int count = 0;
        for (const auto& line : logLines())
            count += line.find(text) != std::string::npos;
        return count;
    }

    hybtest::TempHome m_home;
    platform::VirtualClock m_clock;
    std::shared_ptr<pushlog::testing::RecordingLogger> m_logger =
        std::make_shared<pushlog::testing::RecordingLogger>("push.test");
};

// The fixture of tests that talk to the loopback push server: a test that leaves server faults fails.
class PushServerTest : public PushTest {
protected:
    void TearDown() override {
        for (const auto& fault : m_server.faults())
            ADD_FAILURE() << "push server fault: " << fault;
    }

    testsupport::PushTestServer m_server;
};

} // namespace pushtest
