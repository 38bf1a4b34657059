// The device the application runs on: model, system name and version, interface idiom, vendor id.
//
// Guarantees:
// - Readable from any thread; every getter returns a copy taken under a lock.
// - Every fact is configurable so that tests reach the platform's older or tablet paths: the system
//   version defaults to "9.0", at or above every version gate the application tests ("5.1", "6.0",
//   "7.0", "8.0"), and a test sets "6.1" to reach the older paths. `resetToDefaults` undoes all settings.
// - The vendor id is stable for one machine and one vendor (the bundle identifier without its last
//   component), in the platform's upper-case UUID text, unless a test sets one.
#pragma once

#include <mutex>
#include <string>

namespace platform {

enum class UserInterfaceIdiom { Unspecified = -1, Phone = 0, Pad = 1 };

class Device {
public:
    static Device& current();

    std::string name() const;            // the host name
    std::string model() const;           // "iPhone" or "iPad", from the idiom unless set
    std::string localizedModel() const;  // the same text
    std::string systemName() const;      // "iOS"
    std::string systemVersion() const;   // "9.0" unless set
    UserInterfaceIdiom userInterfaceIdiom() const;
    std::string identifierForVendor() const;
    bool isMultitaskingSupported() const;
    // What the system control "hw.machine" answers: the machine field of uname.
    std::string machine() const;

    // Configuration, for the application's set-up and for tests.
    void setSystemVersion(std::string version);
    void setModel(std::string model);
    void setUserInterfaceIdiom(UserInterfaceIdiom idiom);
    void setIdentifierForVendor(std::string uuid);
    // The vendor whose id `identifierForVendor` derives; unset, the main bundle's identifier.
    void setVendorDomain(std::string bundleIdentifier);
    void setMachine(std::string machine);
    void resetToDefaults();

private:
    Device();

    mutable std::mutex m_mutex;
    std::string m_systemVersion;
    std::string m_model;  // empty: derived from the idiom
    UserInterfaceIdiom m_idiom = UserInterfaceIdiom::Phone;
    std::string m_vendorId;  // empty: derived
    std::string m_vendorDomain;
    std::string m_machine;  // empty: uname
};

} // namespace platform
