#include "platform/device/BluetoothCentralManager.h"

#include "platform/runloop/DispatchQueue.h"

#include <mutex>
#include <vector>

namespace platform {

namespace {
struct Radio {
    std::mutex mutex;
    BluetoothManagerState state = BluetoothManagerState::PoweredOn;
    std::size_t powerAlerts = 0;
    std::vector<std::weak_ptr<BluetoothCentralManager>> managers;
};

Radio& radio() {
    static auto* shared = new Radio; // reached from queued deliveries until exit
    return *shared;
}
} // namespace

std::shared_ptr<BluetoothCentralManager> BluetoothCentralManager::create(std::weak_ptr<BluetoothCentralManagerDelegate> delegate,
                                                                         std::shared_ptr<DispatchQueue> queue, const Dictionary& options) {
    std::shared_ptr<BluetoothCentralManager> manager(new BluetoothCentralManager);
    manager->m_delegate = std::move(delegate);
    manager->m_queue = queue ? std::move(queue) : DispatchQueue::main();
    const Value& alert = options[kBluetoothCentralManagerOptionShowPowerAlertKey];
    manager->m_showsPowerAlert = alert.isNull() || alert.boolValue();
    std::lock_guard lock(radio().mutex);
    manager->m_state = radio().state;
    if (manager->m_showsPowerAlert && radio().state == BluetoothManagerState::PoweredOff)
        ++radio().powerAlerts;
    std::erase_if(radio().managers, [](const auto& weak) { return weak.expired(); });
    radio().managers.push_back(manager);
    return manager;
}

BluetoothManagerState BluetoothCentralManager::simulatedState() {
    std::lock_guard lock(radio().mutex);
    return radio().state;
}

void BluetoothCentralManager::setSimulatedState(BluetoothManagerState state) {
    std::vector<std::shared_ptr<BluetoothCentralManager>> managers;
    {
        std::lock_guard lock(radio().mutex);
        if (radio().state == state)
            return;
        radio().state = state;
        for (const auto& weak : radio().managers) {
            if (auto manager = weak.lock())
                managers.push_back(std::move(manager));
        }
    }
    for (const auto& manager : managers) {
        manager->m_queue->async([weak = std::weak_ptr(manager), state] {
            if (auto self = weak.lock())
                self->deliver(state);
        });
    }
}

std::size_t BluetoothCentralManager::powerAlertCount() {
    std::lock_guard lock(radio().mutex);
    return radio().powerAlerts;
}

void BluetoothCentralManager::resetToDefaults() {
    setSimulatedState(BluetoothManagerState::PoweredOn);
    std::lock_guard lock(radio().mutex);
    radio().powerAlerts = 0;
}

void BluetoothCentralManager::deliver(BluetoothManagerState state) {
    m_state = state;
    if (auto delegate = m_delegate.lock())
        delegate->didUpdateState(*this);
}

} // namespace platform
