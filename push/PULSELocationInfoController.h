// The location facts of the "loc_info" report: the Wi-Fi networks and cell networks the device was on
// and the positions the application passed in, each list without duplicates, with the number of entries
// over all three.
//
// Archived (KeyedArchiver) as "PULSELocationInfoController" with "PULSE_wifiInfo", "PULSE_cellInfo",
// "PULSE_gpsInfo" (arrays of dictionaries) and "PULSE_count" (integer); a missing list decodes empty, a
// missing count as 0.
//
// Guarantees:
// - Entries are compared by value (platform::Value equality); an equal entry is never added twice.
// - copy() gives an independent instance.
// - Thread: no lock; the HTTP statistics session uses it on the client thread.
#pragma once

#include "platform/core/Value.h"
#include "platform/formats/KeyedArchiver.h"

#include <cstdint>
#include <memory>

namespace push {

class PULSELocationInfoController : public platform::KeyedArchivable {
public:
    static constexpr const char* kClassName = "PULSELocationInfoController";
    static constexpr const char* kWifiKey = "PULSE_wifiInfo";
    static constexpr const char* kCellKey = "PULSE_cellInfo";
    static constexpr const char* kGpsKey = "PULSE_gpsInfo";
    static constexpr const char* kCountKey = "PULSE_count";

    PULSELocationInfoController() = default;
    explicit PULSELocationInfoController(const platform::KeyedUnarchiver& coder);
    static void registerArchiveClass();

    const platform::Array& wifiInfo() const { return m_wifiInfo; }
    const platform::Array& cellInfo() const { return m_cellInfo; }
    const platform::Array& gpsInfo() const { return m_gpsInfo; }
    std::uint64_t count() const { return m_count; }

    void addWifiInfo(const platform::Value& entry) { add(m_wifiInfo, entry); }
    void addCellInfo(const platform::Value& entry) { add(m_cellInfo, entry); }
    void addGpsInfo(const platform::Value& entry) { add(m_gpsInfo, entry); }
    void removeWifiInfo(const platform::Value& entry) { remove(m_wifiInfo, entry); }
    void removeCellInfo(const platform::Value& entry) { remove(m_cellInfo, entry); }
    void removeGpsInfo(const platform::Value& entry) { remove(m_gpsInfo, entry); }
    void clearAllInfo();
    void resumeLocationInfo() {}

    std::shared_ptr<PULSELocationInfoController> copy() const {
        return std::make_shared<PULSELocationInfoController>(*this);
    }

    std::string archiveClassName() const override { return kClassName; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;

private:
    void add(platform::Array& list, const platform::Value& entry);
    void remove(platform::Array& list, const platform::Value& entry);

    platform::Array m_wifiInfo;
    platform::Array m_cellInfo;
    platform::Array m_gpsInfo;
    std::uint64_t m_count = 0;
};

} // namespace push
