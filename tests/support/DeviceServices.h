// Puts every simulated device service back to its defaults (tests share one process per file).
#pragma once

#include "platform/device/AdvertisingIdentifierManager.h"
#include "platform/device/BluetoothCentralManager.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/CaptureSession.h"
#include "platform/device/GeocoderPlaces.h"
#include "platform/device/ImagePickerSources.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/device/LocationSimulator.h"
#include "platform/device/MapItem.h"
#include "platform/device/Permissions.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/device/PlatformClasses.h"
#include "platform/device/Telephony.h"
#include "platform/system/Device.h"

namespace hybtest {

inline void resetDeviceServices() {
    platform::Device::current().resetToDefaults();
    platform::Permissions::shared().resetToDefaults();
    platform::LocationSimulator::shared().resetToDefaults();
    platform::GeocoderPlaces::shared().resetToDefaults();
    platform::MapItem::resetToDefaults();
    platform::BluetoothCentralManager::resetToDefaults();
    (void)platform::Telephony::setCurrentRadioAccessTechnology("");
    platform::AdvertisingIdentifierManager::shared().resetToDefaults();
    platform::PlatformClasses::resetToDefaults();
    platform::InterfaceAddresses::resetToDefaults();
    platform::ImagePickerSources::resetToDefaults();
    platform::CaptureDevice::resetToDefaults();
    platform::CaptureSession::setUnsupportedPresets({});
    platform::PhotoLibrary::setSeedPictures({});
}

} // namespace hybtest
