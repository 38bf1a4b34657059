// The Bluetooth low-energy central manager: the radio's state and a delegate told of its changes.
//
// Guarantees:
// - The state is the process's simulated one (setSimulatedState, from tests and the device file); a new
//   manager reads it at once.
// - A change reaches every live manager: on the queue given at creation (the main queue when none), on
//   a later turn, its state is updated and its delegate told didUpdateState. Setting the same state
//   again tells nobody.
// - Creating a manager with the show-power-alert option while the radio is powered off records a power
//   alert (powerAlertCount), as the system would show one.
// - Thread: state() from any thread; the delegate is held weakly.
#pragma once

#include "platform/core/Value.h"

#include <atomic>
#include <cstddef>
#include <memory>

namespace platform {

class DispatchQueue;
class BluetoothCentralManager;

enum class BluetoothManagerState : int {
    Unknown = 0,
    Resetting = 1,
    Unsupported = 2,
    Unauthorized = 3,
    PoweredOff = 4,
    PoweredOn = 5,
};

// Option key of creation: a bool, whether the system warns when the radio is off.
inline constexpr const char* kBluetoothCentralManagerOptionShowPowerAlertKey = "kCBInitOptionShowPowerAlertKey";

class BluetoothCentralManagerDelegate {
public:
    virtual ~BluetoothCentralManagerDelegate() = default;
    virtual void didUpdateState(BluetoothCentralManager& manager) = 0;
};

class BluetoothCentralManager : public std::enable_shared_from_this<BluetoothCentralManager> {
public:
    static std::shared_ptr<BluetoothCentralManager> create(std::weak_ptr<BluetoothCentralManagerDelegate> delegate,
                                                           std::shared_ptr<DispatchQueue> queue, const Dictionary& options = {});
    BluetoothCentralManager(const BluetoothCentralManager&) = delete;
    BluetoothCentralManager& operator=(const BluetoothCentralManager&) = delete;

    BluetoothManagerState state() const { return m_state.load(); }
    bool showsPowerAlert() const { return m_showsPowerAlert; }

    static BluetoothManagerState simulatedState();
    static void setSimulatedState(BluetoothManagerState state);
    static std::size_t powerAlertCount();
    // Powered on, no alerts counted.
    static void resetToDefaults();

private:
    BluetoothCentralManager() = default;
    void deliver(BluetoothManagerState state);

    std::weak_ptr<BluetoothCentralManagerDelegate> m_delegate;
    std::shared_ptr<DispatchQueue> m_queue;
    std::atomic<BluetoothManagerState> m_state{BluetoothManagerState::Unknown};
    bool m_showsPowerAlert = false;
};

} // namespace platform
