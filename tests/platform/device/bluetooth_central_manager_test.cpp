#include "platform/device/BluetoothCentralManager.h"

#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "support/DeviceServices.h"
#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace platform;

namespace {

class RecordingDelegate : public BluetoothCentralManagerDelegate {
public:
    void didUpdateState(BluetoothCentralManager& manager) override {
        std::lock_guard lock(mutex);
        states.push_back(manager.state());
        labels.push_back(DispatchQueue::currentLabel());
    }
    std::vector<BluetoothManagerState> seen() {
        std::lock_guard lock(mutex);
        return states;
    }
    std::mutex mutex;
    std::vector<BluetoothManagerState> states;
    std::vector<std::string> labels;
};

class BluetoothTest : public ::testing::Test {
protected:
    BluetoothTest() { hybtest::resetDeviceServices(); }
    ~BluetoothTest() override { hybtest::resetDeviceServices(); }
};

} // namespace

TEST_F(BluetoothTest, StateChangesReachTheDelegateOnItsQueue) {
    auto onMain = std::make_shared<RecordingDelegate>();
    auto onSerial = std::make_shared<RecordingDelegate>();
    auto main = BluetoothCentralManager::create(onMain, nullptr);
    auto serial = BluetoothCentralManager::create(onSerial, DispatchQueue::createSerial("bluetooth-test"));
    EXPECT_EQ(main->state(), BluetoothManagerState::PoweredOn);

    BluetoothCentralManager::setSimulatedState(BluetoothManagerState::PoweredOff);
    EXPECT_TRUE(onMain->seen().empty()) << "told inside the call";
    EXPECT_EQ(main->state(), BluetoothManagerState::PoweredOn);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return onMain->seen().size() == 1 && onSerial->seen().size() == 1; }));
    EXPECT_EQ(onMain->seen()[0], BluetoothManagerState::PoweredOff);
    EXPECT_EQ(onMain->labels[0], DispatchQueue::kMainLabel);
    EXPECT_EQ(onSerial->seen()[0], BluetoothManagerState::PoweredOff);
    EXPECT_EQ(onSerial->labels[0], "bluetooth-test");
    EXPECT_EQ(main->state(), BluetoothManagerState::PoweredOff);

    // The same state again tells nobody; the next change does.
    BluetoothCentralManager::setSimulatedState(BluetoothManagerState::PoweredOff);
    BluetoothCentralManager::setSimulatedState(BluetoothManagerState::Unauthorized);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return onMain->seen().size() == 2 && onSerial->seen().size() == 2; }));
    EXPECT_EQ(onMain->seen()[1], BluetoothManagerState::Unauthorized);
}

TEST_F(BluetoothTest, ThePowerAlertOptionWarnsWhenTheRadioIsOff) {
    auto delegate = std::make_shared<RecordingDelegate>();
    BluetoothCentralManager::setSimulatedState(BluetoothManagerState::PoweredOff);
    auto quiet = BluetoothCentralManager::create(delegate, nullptr, {{kBluetoothCentralManagerOptionShowPowerAlertKey, false}});
    EXPECT_FALSE(quiet->showsPowerAlert());
    EXPECT_EQ(quiet->state(), BluetoothManagerState::PoweredOff);
    EXPECT_EQ(BluetoothCentralManager::powerAlertCount(), 0u);
    auto loud = BluetoothCentralManager::create(delegate, nullptr);
    EXPECT_TRUE(loud->showsPowerAlert());
    EXPECT_EQ(BluetoothCentralManager::powerAlertCount(), 1u);
}
