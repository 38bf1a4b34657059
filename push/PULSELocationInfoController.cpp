#include "push/PULSELocationInfoController.h"

#include "platform/formats/ArchiveValue.h"

#include <algorithm>

namespace push {

namespace {

platform::Array listOf(const platform::KeyedUnarchiver& coder, const char* key) {
    auto value = coder.decodeObject(key).toValue();
    const auto* list = value ? value->getArray() : nullptr;
    return list ? *list : platform::Array();
}

} // namespace

PULSELocationInfoController::PULSELocationInfoController(const platform::KeyedUnarchiver& coder)
    : m_wifiInfo(listOf(coder, kWifiKey)), m_cellInfo(listOf(coder, kCellKey)), m_gpsInfo(listOf(coder, kGpsKey)),
      m_count(static_cast<std::uint64_t>(coder.decodeInt64(kCountKey))) {}

void PULSELocationInfoController::registerArchiveClass() {
    platform::KeyedArchiver::registerClass<PULSELocationInfoController>(kClassName);
}

void PULSELocationInfoController::add(platform::Array& list, const platform::Value& entry) {
    if (std::find(list.begin(), list.end(), entry) != list.end())
        return;
    list.push_back(entry);
    ++m_count;
}

void PULSELocationInfoController::remove(platform::Array& list, const platform::Value& entry) {
    auto found = std::find(list.begin(), list.end(), entry);
    if (found == list.end())
        return;
    list.erase(found);
    --m_count;
}

void PULSELocationInfoController::clearAllInfo() {
    m_wifiInfo.clear();
    m_cellInfo.clear();
    m_gpsInfo.clear();
    m_count = 0;
}

void PULSELocationInfoController::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encode(kWifiKey, platform::Value(m_wifiInfo));
    coder.encode(kCellKey, platform::Value(m_cellInfo));
    coder.encode(kGpsKey, platform::Value(m_gpsInfo));
    coder.encode(kCountKey, static_cast<std::int64_t>(m_count));
}

} // namespace push
