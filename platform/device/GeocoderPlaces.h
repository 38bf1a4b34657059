// The table of places the geocoder answers from (there is no network). Tests and the device file fill it.
//
// Guarantees:
// - Thread: every call from any thread.
// - Forward look-ups match a text, case-insensitively, against each place's name and its address fields;
//   a place matches when every word of the text is found in them. Places answer in the order they were
//   added.
// - Reverse look-ups answer the nearest place within the reverse radius (25 km unless set), or none.
// - A failure set for tests makes every look-up answer it instead.
#pragma once

#include "platform/core/Error.h"
#include "platform/device/Placemark.h"

#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

class GeocoderPlaces {
public:
    static constexpr double kDefaultReverseRadiusMetres = 25'000;

    static GeocoderPlaces& shared();

    void add(Placemark place);
    std::vector<Placemark> places() const;
    void setReverseRadius(double metres);
    void setFailure(std::optional<Error> failure);
    // No places, the default radius, no failure.
    void resetToDefaults();

    // The answers: places, or an error (kLocationErrorGeocodeFoundNoResult when none matches).
    Result<std::vector<Placemark>> forward(std::string_view text) const;
    Result<std::vector<Placemark>> reverse(const Location& location) const;

private:
    GeocoderPlaces() = default;

    mutable std::mutex m_mutex;
    std::vector<Placemark> m_places;
    double m_reverseRadius = kDefaultReverseRadiusMetres;
    std::optional<Error> m_failure;
};

} // namespace platform
