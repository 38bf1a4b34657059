// Forward (address text to places) and reverse (location to places) geocoding, answered from the table
// of places (GeocoderPlaces.h).
//
// Guarantees:
// - Calls from the main thread. Each look-up's completion runs once, on the main run loop, on a later
//   turn: with the places found, or with an error of kLocationErrorDomain (no result, cancelled, or the
//   failure set for tests). A look-up keeps the geocoder alive until it has answered.
// - cancelGeocode answers every look-up still waiting with kLocationErrorGeocodeCanceled.
// - Bad input answers the error: a location whose coordinate is NaN, infinite or out of range, an
//   empty address or one longer than kMaxAddressLength.
#pragma once

#include "platform/core/Error.h"
#include "platform/device/Placemark.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Geocoder : public std::enable_shared_from_this<Geocoder> {
public:
    static constexpr std::size_t kMaxAddressLength = 4096;
    using Completion = std::function<void(const std::vector<Placemark>& placemarks, const std::optional<Error>& error)>;

    static std::shared_ptr<Geocoder> create();
    Geocoder(const Geocoder&) = delete;
    Geocoder& operator=(const Geocoder&) = delete;

    void geocodeAddressString(std::string address, Completion completion);
    void reverseGeocodeLocation(const Location& location, Completion completion);
    void cancelGeocode();
    bool isGeocoding() const { return !m_waiting.empty(); }

private:
    Geocoder() = default;
    void enqueue(std::function<Result<std::vector<Placemark>>()> lookUp, Completion completion);
    void answer(std::uint64_t id, const Result<std::vector<Placemark>>& result);

    std::map<std::uint64_t, Completion> m_waiting;
    std::uint64_t m_nextId = 1;
};

} // namespace platform
