#include "platform/device/GeocoderPlaces.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace platform {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The place's searchable text: its name and every address field, lower-cased.
std::string searchText(const Placemark& place) {
    std::string text;
    for (const auto& entry : place.addressDictionary()) {
        if (const std::string* field = entry.value.getString()) {
            text += lowered(*field);
            text += '\n';
        }
    }
    return text;
}

bool matches(const std::string& haystack, std::string_view query) {
    bool anyWord = false;
    size_t i = 0;
    while (i < query.size()) {
        while (i < query.size() && (std::isspace(static_cast<unsigned char>(query[i])) || query[i] == ','))
            ++i;
        size_t end = i;
        while (end < query.size() && !std::isspace(static_cast<unsigned char>(query[end])) && query[end] != ',')
            ++end;
        if (end > i) {
            anyWord = true;
            if (haystack.find(lowered(query.substr(i, end - i))) == std::string::npos)
                return false;
        }
        i = end;
    }
    return anyWord;
}

} // namespace

GeocoderPlaces& GeocoderPlaces::shared() {
    static auto* places = new GeocoderPlaces; // read from queued look-ups until exit
    return *places;
}

void GeocoderPlaces::add(Placemark place) {
    std::lock_guard lock(m_mutex);
    m_places.push_back(std::move(place));
}

std::vector<Placemark> GeocoderPlaces::places() const {
    std::lock_guard lock(m_mutex);
    return m_places;
}

void GeocoderPlaces::setReverseRadius(double metres) {
    std::lock_guard lock(m_mutex);
    m_reverseRadius = metres;
}

void GeocoderPlaces::setFailure(std::optional<Error> failure) {
    std::lock_guard lock(m_mutex);
    m_failure = std::move(failure);
}

void GeocoderPlaces::resetToDefaults() {
    std::lock_guard lock(m_mutex);
    m_places.clear();
    m_reverseRadius = kDefaultReverseRadiusMetres;
    m_failure.reset();
}

Result<std::vector<Placemark>> GeocoderPlaces::forward(std::string_view text) const {
    std::lock_guard lock(m_mutex);
    if (m_failure)
        return *m_failure;
    std::vector<Placemark> found;
    for (const Placemark& place : m_places) {
        if (matches(searchText(place), text))
            found.push_back(place);
    }
    if (found.empty())
        return locationError(kLocationErrorGeocodeFoundNoResult);
    return found;
}

Result<std::vector<Placemark>> GeocoderPlaces::reverse(const Location& location) const {
    if (!location.coordinate().isValid())
        return locationError(kLocationErrorGeocodeFoundNoResult, "The coordinate is not valid.");
    std::lock_guard lock(m_mutex);
    if (m_failure)
        return *m_failure;
    const Placemark* nearest = nullptr;
    double best = std::numeric_limits<double>::infinity();
    for (const Placemark& place : m_places) {
        if (!place.location())
            continue;
        const double distance = location.distanceFrom(*place.location());
        if (distance <= m_reverseRadius && distance < best) {
            best = distance;
            nearest = &place;
        }
    }
    if (!nearest)
        return locationError(kLocationErrorGeocodeFoundNoResult);
    return std::vector<Placemark>{*nearest};
}

} // namespace platform
