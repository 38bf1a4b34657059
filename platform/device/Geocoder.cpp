#include "platform/device/Geocoder.h"

#include "platform/device/GeocoderPlaces.h"
#include "platform/runloop/RunLoop.h"

namespace platform {

std::shared_ptr<Geocoder> Geocoder::create() {
    return std::shared_ptr<Geocoder>(new Geocoder);
}

void Geocoder::geocodeAddressString(std::string address, Completion completion) {
    RunLoop::main().assertIsCurrent();
    enqueue([address = std::move(address)]() -> Result<std::vector<Placemark>> {
        if (address.empty() || address.size() > kMaxAddressLength)
            return locationError(kLocationErrorGeocodeFoundNoResult, "The address is empty or too long.");
        return GeocoderPlaces::shared().forward(address);
    }, std::move(completion));
}

void Geocoder::reverseGeocodeLocation(const Location& location, Completion completion) {
    RunLoop::main().assertIsCurrent();
    enqueue([location] { return GeocoderPlaces::shared().reverse(location); }, std::move(completion));
}

void Geocoder::cancelGeocode() {
    RunLoop::main().assertIsCurrent();
    auto waiting = std::move(m_waiting);
    m_waiting.clear();
    for (auto& [id, completion] : waiting) {
        (void)id;
        if (!completion)
            continue;
        RunLoop::main().perform([completion = std::move(completion)] { completion({}, locationError(kLocationErrorGeocodeCanceled)); });
    }
}

void Geocoder::enqueue(std::function<Result<std::vector<Placemark>>()> lookUp, Completion completion) {
    const std::uint64_t id = m_nextId++;
    m_waiting.emplace(id, std::move(completion));
    RunLoop::main().perform([self = shared_from_this(), id, lookUp = std::move(lookUp)] {
        if (self->m_waiting.count(id))
            self->answer(id, lookUp());
    });
}

void Geocoder::answer(std::uint64_t id, const Result<std::vector<Placemark>>& result) {
    auto it = m_waiting.find(id);
    if (it == m_waiting.end())
        return;
    Completion completion = std::move(it->second);
    m_waiting.erase(it);
    if (!completion)
        return;
    if (result.ok())
        completion(result.value(), std::nullopt);
    else
        completion({}, result.error());
}

} // namespace platform
