// The map-app launcher over the platform's URL opening and map items: which apps count as installed,
// the URL each app gets, the escaping of extras and names, and which apps get GCJ-02 coordinates.
#include "platform/application/Application.h"
#include "platform/device/MapItem.h"
#include "plugins/HYBMapLauncher.h"
#include "support/DeviceServices.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

namespace {

using platform::Application;
using platform::MapItem;
using plugins::HYBMapApp;
using plugins::HYBMapLauncher;
using plugins::HYBMapPoint;

const platform::LocationCoordinate kBeijing{39.908, 116.397};
const platform::LocationCoordinate kBerlin{52.5163, 13.3777};

class MapLauncherTest : public hybtest::TempHomeTest {
protected:
    MapLauncherTest() {
        hybtest::resetDeviceServices();
        Application::shared().resetForTesting();
        Application::shared().setInstalledSchemes({"http", "https", "citymapper", "comgooglemaps", "uber", "iosamap", "baidumap"});
    }
    ~MapLauncherTest() override {
        Application::shared().resetForTesting();
        hybtest::resetDeviceServices();
    }
    void writeInfoPlist() const {
        m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                             "<key>CFBundleDisplayName</key><string>Hybrid Nav</string></dict></plist>\n");
    }
    // The one URL opened since the test began ("" when none or several).
    static std::string openedURL() {
        const std::vector<std::string> urls = Application::shared().openedURLs();
        return urls.size() == 1 ? urls.front() : "";
    }
    static std::string launch(HYBMapApp app, const HYBMapPoint& start, const HYBMapPoint& end, std::optional<std::string> mode = std::nullopt,
                              std::optional<platform::Dictionary> extras = std::nullopt) {
        Application::shared().clearOpenedURLs();
        EXPECT_TRUE(HYBMapLauncher::launchMapApp(app, start, end, mode, extras)) << app;
        return openedURL();
    }
};

TEST_F(MapLauncherTest, AvailabilityFollowsTheInstalledSchemes) {
    Application::shared().setInstalledSchemes({});
    EXPECT_TRUE(HYBMapLauncher::isMapAppInstalled(plugins::HYBMapAppAppleMaps));
    EXPECT_FALSE(HYBMapLauncher::isMapAppInstalled(plugins::HYBMapAppGoogleMaps));

    Application::shared().setInstalledSchemes({"waze", "com.sygic.aura"});
    EXPECT_TRUE(HYBMapLauncher::isMapAppInstalled(plugins::HYBMapAppWaze));
    EXPECT_TRUE(HYBMapLauncher::isMapAppInstalled(plugins::HYBMapAppSygic));
    EXPECT_FALSE(HYBMapLauncher::isMapAppInstalled(static_cast<HYBMapApp>(14)));
    EXPECT_FALSE(HYBMapLauncher::isMapAppInstalled(static_cast<HYBMapApp>(-1)));
    EXPECT_FALSE(HYBMapLauncher::urlPrefixForMapApp(plugins::HYBMapAppAppleMaps));
    EXPECT_EQ(HYBMapLauncher::urlPrefixForMapApp(plugins::HYBMapAppHereMaps), "here-route://");
}

TEST_F(MapLauncherTest, AnInstalledAppWithoutALaunchFormOpensNothing) {
    EXPECT_TRUE(HYBMapLauncher::isMapAppInstalled(plugins::HYBMapAppCitymapper));
    EXPECT_FALSE(HYBMapLauncher::launchMapApp(plugins::HYBMapAppCitymapper, HYBMapPoint::mapPointWithCoordinate(kBerlin)));
    // Not installed: nothing either.
    EXPECT_FALSE(HYBMapLauncher::launchMapApp(plugins::HYBMapAppWaze, HYBMapPoint::mapPointWithCoordinate(kBerlin)));
    EXPECT_TRUE(Application::shared().openedURLs().empty());
    EXPECT_TRUE(MapItem::openedMaps().empty());
}

TEST_F(MapLauncherTest, GoogleMapsGetsShiftedCoordinatesAndNoStartTextForTheCurrentLocation) {
    hybtest::LogCapture log;
    const HYBMapPoint end = HYBMapPoint::mapPointWithCoordinate(kBeijing);
    EXPECT_EQ(launch(plugins::HYBMapAppGoogleMaps, HYBMapPoint::currentLocation(), end), "comgooglemaps://?saddr=&daddr=39.909403,116.403243");
    EXPECT_TRUE(log.contains(" end = 39.908000, end = 116.397000"));
    EXPECT_TRUE(log.contains("Opened URL in another application: comgooglemaps://?saddr=&daddr=39.909403,116.403243"));

    EXPECT_EQ(launch(plugins::HYBMapAppGoogleMaps, HYBMapPoint::mapPointWithCoordinate(kBerlin), end, "walking",
                     platform::Dictionary{{"a", "x y"}, {"k(1)", "(v)"}}),
              "comgooglemaps://?saddr=52.516300,13.377700&daddr=39.909403,116.403243&directionsmode=walking&a=x%20y&k(1)=%28v%29");
}

TEST_F(MapLauncherTest, ExtrasBecomeAFragmentWithEscapedValuesAndKeysAsTheyAre) {
    EXPECT_EQ(HYBMapLauncher::extrasToQueryParams(platform::Dictionary{{"a", "x y"}}), "&a=x%20y");
    EXPECT_EQ(HYBMapLauncher::extrasToQueryParams(platform::Dictionary{{"b c", "1&2=3"}, {"z", "é!"}}), "&b c=1%262%3D3&z=%C3%A9%21");
    EXPECT_EQ(HYBMapLauncher::extrasToQueryParams({}), "");
    EXPECT_EQ(HYBMapLauncher::urlEncode("!*'();:@&=+$,/?%#[]"), "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D");
}

TEST_F(MapLauncherTest, AppleMapsOpensMapItemsWithTheModeAndExtras) {
    hybtest::LogCapture log;
    const HYBMapPoint start = HYBMapPoint::mapPointWithName("Palace", "Jingshan", kBeijing);
    const HYBMapPoint end = HYBMapPoint::mapPointWithName("Gate", kBerlin);
    EXPECT_TRUE(HYBMapLauncher::launchMapApp(plugins::HYBMapAppAppleMaps, start, end, "bicycling"));
    EXPECT_TRUE(HYBMapLauncher::launchMapApp(plugins::HYBMapAppAppleMaps, end, "walking"));
    EXPECT_TRUE(HYBMapLauncher::launchMapApp(plugins::HYBMapAppAppleMaps, start, end, "transit",
                                            platform::Dictionary{{platform::kMapsLaunchOptionsDirectionsModeKey, "mine"}, {"x", "1"}}));
    const std::vector<MapItem::MapsLaunch> maps = MapItem::openedMaps();
    ASSERT_EQ(maps.size(), 3u);

    EXPECT_EQ(maps[0].launchOptions[platform::kMapsLaunchOptionsDirectionsModeKey], platform::Value(platform::kMapsLaunchOptionsDirectionsModeDriving));
    ASSERT_EQ(maps[0].items.size(), 2u);
    // The start item lies on the shifted coordinate, the destination on its own.
    EXPECT_NEAR(maps[0].items[0].placemark().coordinate().latitude, 39.909403, 5e-7);
    EXPECT_EQ(maps[0].items[0].name(), "Palace");
    EXPECT_EQ(maps[0].items[1].placemark().coordinate(), kBerlin);
    EXPECT_EQ(maps[0].items[1].name(), "Gate");

    EXPECT_TRUE(maps[1].items[0].isCurrentLocation());
    EXPECT_EQ(maps[1].launchOptions[platform::kMapsLaunchOptionsDirectionsModeKey], platform::Value(platform::kMapsLaunchOptionsDirectionsModeWalking));
    // An extra with the mode's key replaces the mode.
    EXPECT_EQ(maps[2].launchOptions[platform::kMapsLaunchOptionsDirectionsModeKey], platform::Value("mine"));
    EXPECT_EQ(maps[2].launchOptions["x"], platform::Value("1"));
    EXPECT_TRUE(Application::shared().openedURLs().empty());
}

TEST_F(MapLauncherTest, APointInChinaGoesShiftedToTheWebPageAndGoogleButAsGivenToUberAmapAndBaidu) {
    MapItem::setOpenMapsAvailable(false);
    writeInfoPlist();
    const HYBMapPoint start = HYBMapPoint::mapPointWithName("Start", kBerlin);
    const HYBMapPoint end = HYBMapPoint::mapPointWithName("Palace Museum", kBeijing);
    EXPECT_EQ(launch(plugins::HYBMapAppAppleMaps, start, end, std::nullopt, platform::Dictionary{{"z", "1"}}),
              "http://maps.google.com/maps?saddr=52.516300,13.377700&daddr=39.909403,116.403243&z=1");
    EXPECT_EQ(launch(plugins::HYBMapAppGoogleMaps, start, end), "comgooglemaps://?saddr=52.516300,13.377700&daddr=39.909403,116.403243");
    EXPECT_EQ(launch(plugins::HYBMapAppUber, start, end, std::nullopt, platform::Dictionary{{"a", "b"}}),
              "uber://?action=setPickup&pickup%5Blatitude%5D=52.516300&pickup%5Blongitude%5D=13.377700&pickup%5Bnickname%5D=Start"
              "&dropoff%5Blatitude%5D=39.908000&dropoff%5Blongitude%5D=116.397000&dropoff%5Bnickname%5D=Palace%20Museum&a=b");
    EXPECT_EQ(launch(plugins::HYBMapAppUber, HYBMapPoint::currentLocation(), end),
              "uber://?action=setPickup&pickup=my_location&dropoff%5Blatitude%5D=39.908000&dropoff%5Blongitude%5D=116.397000"
              "&dropoff%5Bnickname%5D=Palace%20Museum");
    EXPECT_EQ(launch(plugins::HYBMapAppAmap, start, end, "walking", platform::Dictionary{{"ignored", "1"}}),
              "iosamap://navi?sourceApplication=Hybrid%20Nav&poiname=Palace%20Museum&lat=39.908000&lon=116.397000&dev=0&style=2");
    EXPECT_EQ(launch(plugins::HYBMapAppBaidu, start, end),
              "baidumap://map/direction?origin=%7B%7B%E6%88%91%E7%9A%84%E4%BD%8D%E7%BD%AE%7D%7D&destination=latlng:39.908000,116.397000"
              "%7Cname=Palace%20Museum&mode=driving&coord_type=gcj02");
    EXPECT_NE(launch(plugins::HYBMapAppBaidu, start, end, "riding").find("&mode=riding&"), std::string::npos);
}

TEST_F(MapLauncherTest, ANameCannotAddOrChangeParametersOfTheAppURLs) {
    writeInfoPlist();
    const HYBMapPoint start = HYBMapPoint::mapPointWithName("A&pickup[latitude]=0", kBerlin);
    const HYBMapPoint end = HYBMapPoint::mapPointWithName("B=1#x+y/?z", kBerlin);
    const std::string uber = launch(plugins::HYBMapAppUber, start, end);
    EXPECT_NE(uber.find("pickup%5Bnickname%5D=A%26pickup%5Blatitude%5D%3D0&"), std::string::npos) << uber;
    EXPECT_NE(uber.find("dropoff%5Bnickname%5D=B%3D1%23x%2By/?z"), std::string::npos) << uber;
    EXPECT_NE(launch(plugins::HYBMapAppAmap, start, end).find("&poiname=B%3D1%23x%2By/?z&lat="), std::string::npos);
    EXPECT_NE(launch(plugins::HYBMapAppBaidu, start, end).find("%7Cname=B%3D1%23x%2By/?z&mode=driving"), std::string::npos);
}

TEST_F(MapLauncherTest, DebugLinesAppearOnceEnabledAndStayOn) {
    hybtest::LogCapture log;
    HYBMapLauncher::enableDebugLogging();
    EXPECT_TRUE(log.contains("HYBMapLauncher: Debug logging enabled"));
    EXPECT_EQ(launch(plugins::HYBMapAppGoogleMaps, HYBMapPoint::currentLocation(), HYBMapPoint::mapPointWithCoordinate(kBerlin)),
              "comgooglemaps://?saddr=&daddr=52.516300,13.377700");
    EXPECT_TRUE(log.contains("HYBMapLauncher: Launching URI: comgooglemaps://?saddr=&daddr=52.516300,13.377700"));
    EXPECT_TRUE(HYBMapLauncher::isDebugLoggingEnabled());
}

TEST(MapPointTest, TheCurrentLocationIsNamedAndMapItemsAreBuiltFreshFromThePoint) {
    HYBMapPoint here = HYBMapPoint::currentLocation();
    here.setName("ignored");
    EXPECT_EQ(here.name(), "Current Location");
    EXPECT_TRUE(here.mapItem().isCurrentLocation());
    EXPECT_TRUE(here.mapItemStart().isCurrentLocation());
    EXPECT_EQ(HYBMapLauncher::googleMapsStringForMapPoint(&here), "");
    EXPECT_EQ(HYBMapLauncher::googleMapsStringForMapPoint(nullptr), "");

    HYBMapPoint point = HYBMapPoint::mapPointWithMapItem(MapItem::forCurrentLocation(), "Gate", "Pariser Platz", kBerlin);
    EXPECT_FALSE(point.mapItem().isCurrentLocation());
    EXPECT_EQ(point.mapItem().placemark().coordinate(), kBerlin);
    EXPECT_TRUE(point.mapItem().placemark().addressDictionary().empty());
    EXPECT_EQ(point.mapItem().name(), "Gate");
    EXPECT_EQ(point.address(), "Pariser Platz");
}

} // namespace
