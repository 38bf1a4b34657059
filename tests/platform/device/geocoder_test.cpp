#include "platform/device/Geocoder.h"

#include "platform/device/GeocoderPlaces.h"
#include "platform/device/MapItem.h"
#include "support/DeviceServices.h"
#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace platform;

namespace {

struct Answer {
    bool done = false;
    std::vector<Placemark> placemarks;
    std::optional<Error> error;
    std::thread::id thread;
    int calls = 0;
};

Geocoder::Completion recordInto(Answer& answer) {
    return [&answer](const std::vector<Placemark>& placemarks, const std::optional<Error>& error) {
        answer.done = true;
        answer.placemarks = placemarks;
        answer.error = error;
        answer.thread = std::this_thread::get_id();
        ++answer.calls;
    };
}

Placemark place(double latitude, double longitude, Dictionary address) {
    return Placemark({latitude, longitude}, std::move(address));
}

class GeocoderTest : public ::testing::Test {
protected:
    GeocoderTest() {
        hybtest::resetDeviceServices();
        GeocoderPlaces::shared().add(place(52.5163, 13.3777, {{kAddressNameKey, "Brandenburg Gate"},
                                                              {kAddressThoroughfareKey, "Pariser Platz"},
                                                              {kAddressCityKey, "Berlin"},
                                                              {kAddressZIPKey, "10117"},
                                                              {kAddressCountryKey, "Germany"}}));
        GeocoderPlaces::shared().add(place(52.5208, 13.4094, {{kAddressNameKey, "Alexanderplatz"},
                                                              {kAddressCityKey, "Berlin"},
                                                              {kAddressCountryKey, "Germany"}}));
        GeocoderPlaces::shared().add(place(48.8584, 2.2945, {{kAddressNameKey, "Eiffel Tower"},
                                                             {kAddressCityKey, "Paris"},
                                                             {kAddressCountryKey, "France"}}));
    }
    ~GeocoderTest() override { hybtest::resetDeviceServices(); }

    Answer forward(const std::string& text) {
        Answer answer;
        geocoder->geocodeAddressString(text, recordInto(answer));
        EXPECT_FALSE(answer.done) << "answered inside the call";
        EXPECT_TRUE(geocoder->isGeocoding());
        EXPECT_TRUE(hybtest::runMainUntil([&] { return answer.done; }));
        return answer;
    }
    Answer reverse(LocationCoordinate coordinate) {
        Answer answer;
        geocoder->reverseGeocodeLocation(Location(coordinate, Date{}), recordInto(answer));
        EXPECT_FALSE(answer.done) << "answered inside the call";
        EXPECT_TRUE(hybtest::runMainUntil([&] { return answer.done; }));
        return answer;
    }

    std::shared_ptr<Geocoder> geocoder = Geocoder::create();
};

} // namespace

TEST_F(GeocoderTest, ForwardLookUpsMatchEveryWordOnTheMainLoop) {
    Answer berlin = forward("berlin, GERMANY");
    EXPECT_FALSE(berlin.error);
    ASSERT_EQ(berlin.placemarks.size(), 2u);
    EXPECT_EQ(berlin.placemarks[0].name(), "Brandenburg Gate");
    EXPECT_EQ(berlin.placemarks[1].name(), "Alexanderplatz");
    EXPECT_EQ(berlin.thread, std::this_thread::get_id());
    EXPECT_FALSE(geocoder->isGeocoding());

    const Placemark& gate = berlin.placemarks[0];
    EXPECT_EQ(gate.thoroughfare(), "Pariser Platz");
    EXPECT_EQ(gate.locality(), "Berlin");
    EXPECT_EQ(gate.postalCode(), "10117");
    EXPECT_EQ(gate.country(), "Germany");
    EXPECT_FALSE(gate.subThoroughfare());
    EXPECT_FALSE(gate.administrativeArea());
    EXPECT_EQ(gate.coordinate(), (LocationCoordinate{52.5163, 13.3777}));

    EXPECT_EQ(forward("Pariser Platz 10117").placemarks.size(), 1u);
    for (const std::string& none : {std::string("Berlin France"), std::string("Atlantis"), std::string(" , "), std::string(),
                                    std::string(Geocoder::kMaxAddressLength + 1, 'a')}) {
        Answer answer = forward(none);
        ASSERT_TRUE(answer.error) << none;
        EXPECT_EQ(answer.error->domain, kLocationErrorDomain);
        EXPECT_EQ(answer.error->code, kLocationErrorGeocodeFoundNoResult);
        EXPECT_TRUE(answer.placemarks.empty());
    }
}

TEST_F(GeocoderTest, ReverseLookUpsAnswerTheNearestPlaceWithinTheRadius) {
    Answer near = reverse({52.52, 13.40});
    ASSERT_EQ(near.placemarks.size(), 1u);
    EXPECT_EQ(near.placemarks[0].name(), "Alexanderplatz");
    EXPECT_EQ(reverse({48.86, 2.29}).placemarks[0].name(), "Eiffel Tower");
    EXPECT_EQ(reverse({0, 0}).error->code, kLocationErrorGeocodeFoundNoResult);
    GeocoderPlaces::shared().setReverseRadius(1'000'000);
    EXPECT_EQ(reverse({51.3, 12.4}).placemarks[0].name(), "Brandenburg Gate");

    for (LocationCoordinate bad : {LocationCoordinate{NAN, 13}, LocationCoordinate{52, INFINITY}, LocationCoordinate{-INFINITY, 0}}) {
        Answer answer = reverse(bad);
        ASSERT_TRUE(answer.error);
        EXPECT_EQ(answer.error->code, kLocationErrorGeocodeFoundNoResult);
    }
}

TEST_F(GeocoderTest, CancelAndFailuresAnswerOnceWithTheirErrors) {
    Answer first, second;
    geocoder->geocodeAddressString("Berlin", recordInto(first));
    geocoder->reverseGeocodeLocation(Location({52.52, 13.40}, Date{}), recordInto(second));
    geocoder->cancelGeocode();
    EXPECT_FALSE(geocoder->isGeocoding());
    EXPECT_FALSE(first.done);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return first.done && second.done; }));
    bool later = false;
    RunLoop::main().perform([&] { RunLoop::main().perform([&] { later = true; }); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return later; }));
    for (const Answer* answer : {&first, &second}) {
        EXPECT_EQ(answer->calls, 1);
        ASSERT_TRUE(answer->error);
        EXPECT_EQ(answer->error->code, kLocationErrorGeocodeCanceled);
    }

    GeocoderPlaces::shared().setFailure(locationError(kLocationErrorNetwork));
    EXPECT_EQ(forward("Berlin").error->code, kLocationErrorNetwork);
    EXPECT_EQ(reverse({52.52, 13.40}).error->code, kLocationErrorNetwork);
}

TEST(MapItem, ItemsAndOpeningTheMapsAreRecorded) {
    hybtest::resetDeviceServices();
    const MapItem here = MapItem::forCurrentLocation();
    EXPECT_TRUE(here.isCurrentLocation());
    MapItem gate(place(52.5163, 13.3777, {{kAddressNameKey, "Brandenburg Gate"}}));
    EXPECT_FALSE(gate.isCurrentLocation());
    EXPECT_EQ(gate.name(), "Brandenburg Gate");
    gate.setName("The gate");
    EXPECT_EQ(gate.name(), "The gate");
    EXPECT_EQ(MapItem(Placemark({1, 2}, {})).name(), std::nullopt);

    EXPECT_TRUE(MapItem::respondsToOpenMaps());
    const Dictionary options{{kMapsLaunchOptionsDirectionsModeKey, kMapsLaunchOptionsDirectionsModeWalking}};
    EXPECT_TRUE(MapItem::openMaps({here, gate}, options));
    auto opened = MapItem::openedMaps();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].items, (std::vector<MapItem>{here, gate}));
    EXPECT_EQ(opened[0].launchOptions, options);

    MapItem::setOpenMapsAvailable(false);
    EXPECT_FALSE(MapItem::respondsToOpenMaps());
    EXPECT_FALSE(MapItem::openMaps({gate}, {}));
    EXPECT_EQ(MapItem::openedMaps().size(), 1u);
    hybtest::resetDeviceServices();
    EXPECT_TRUE(MapItem::openedMaps().empty());
}
