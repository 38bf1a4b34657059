// Facts of the device's networks that a desktop cannot know: the SIM's carrier (name, mobile country
// code, mobile network code) and the Wi-Fi network the device is joined to (SSID, BSSID).
//
// Guarantees:
// - Absent by default: a desktop has no SIM and no Wi-Fi interface information, so every fact is
//   nothing until the application's set-up or a test gives one. Each fact is absent on its own (a
//   carrier without a country code, a network without a BSSID).
// - Readable and settable from any thread; every getter returns a copy taken under a lock.
// - resetToDefaults() makes every fact absent again.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace platform {

class NetworkInfo {
public:
    // The subscriber's cellular provider.
    struct Carrier {
        std::optional<std::string> carrierName;
        std::optional<std::string> mobileCountryCode;
        std::optional<std::string> mobileNetworkCode;
    };
    // The current network of the first Wi-Fi interface.
    struct WiFiNetwork {
        std::optional<std::string> ssid;
        std::optional<std::string> bssid;
    };

    static NetworkInfo& current();

    std::optional<Carrier> carrier() const;
    // Nothing when there is no Wi-Fi interface or it is not joined to a network.
    std::optional<WiFiNetwork> currentWiFiNetwork() const;

    void setCarrier(std::optional<Carrier> carrier);
    void setCurrentWiFiNetwork(std::optional<WiFiNetwork> network);
    void resetToDefaults();

private:
    NetworkInfo() = default;

    mutable std::mutex m_mutex;
    std::optional<Carrier> m_carrier;
    std::optional<WiFiNetwork> m_wifi;
};

} // namespace platform
