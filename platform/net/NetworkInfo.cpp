#include "platform/net/NetworkInfo.h"

namespace platform {

NetworkInfo& NetworkInfo::current() {
    static NetworkInfo info;
    return info;
}

std::optional<NetworkInfo::Carrier> NetworkInfo::carrier() const {
    std::lock_guard lock(m_mutex);
    return m_carrier;
}

std::optional<NetworkInfo::WiFiNetwork> NetworkInfo::currentWiFiNetwork() const {
    std::lock_guard lock(m_mutex);
    return m_wifi;
}

void NetworkInfo::setCarrier(std::optional<Carrier> carrier) {
    std::lock_guard lock(m_mutex);
    m_carrier = std::move(carrier);
}

void NetworkInfo::setCurrentWiFiNetwork(std::optional<WiFiNetwork> network) {
    std::lock_guard lock(m_mutex);
    m_wifi = std::move(network);
}

void NetworkInfo::resetToDefaults() {
    std::lock_guard lock(m_mutex);
    m_carrier.reset();
    m_wifi.reset();
}

} // namespace platform
