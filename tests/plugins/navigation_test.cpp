// The Navigation service over the simulated geocoder, URL opening and map items: which apps it reports,
// how destination and start become map points, extras, the console lines, and one answer per call.
#include "PluginFixture.h"

#include "platform/application/Application.h"
#include "platform/device/GeocoderPlaces.h"
#include "platform/device/MapItem.h"
#include "plugins/LaunchNavigator.h"
#include "support/LogCapture.h"

namespace {

using platform::Application;
using platform::GeocoderPlaces;
using platform::MapItem;
using platform::Placemark;
using platform::Value;
using runtime::HYBCommandStatus;

// Records the scripts the plug-in evaluates in the page.
class ScriptLog : public pluginstest::AnswerLog {
public:
    void evalJs(std::string js) override { scripts.push_back(std::move(js)); }
    std::vector<std::string> scripts;
};

platform::Array navigateArgs(Value destination, Value destType, Value destName, Value start, Value startType, Value startName, Value app,
                             Value mode = nullptr, Value debug = false, Value extras = nullptr) {
    return {destination, destType, destName, start, startType, startName, app, mode, debug, extras};
}

class NavigationTest : public pluginstest::PluginTest<plugins::LaunchNavigator> {
protected:
    NavigationTest() {
        m_log = m_scripts;
        Application::shared().resetForTesting();
        Application::shared().setInstalledSchemes({"http", "comgooglemaps", "baidumap"});
        GeocoderPlaces::shared().add(Placemark({52.5163, 13.3777}, platform::Dictionary{{"Name", "Brandenburg Gate"},
                                                                                       {"Thoroughfare", "Pariser Platz"},
                                                                                       {"City", "Berlin"},
                                                                                       {"Country", "Germany"}}));
        GeocoderPlaces::shared().add(Placemark({48.8584, 2.2945}, platform::Dictionary{{"Name", "Eiffel Tower"},
                                                                                      {"SubThoroughfare", "5"},
                                                                                      {"Thoroughfare", "Avenue Anatole France"},
                                                                                      {"City", "Paris"}}));
    }
    ~NavigationTest() override { Application::shared().resetForTesting(); }

    // Runs one navigate and waits for its answer.
    const pluginstest::Answer& navigate(platform::Array arguments) {
        const std::size_t before = answers().size();
        call("navigate", std::move(arguments));
        EXPECT_TRUE(waitForAnswers(before + 1));
        return answers().back();
    }
    static std::string errorOf(const pluginstest::Answer& answer) {
        EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
        return answer.message().stringOr("<not a text>");
    }
    bool scriptsContain(const std::string& text) const {
        for (const std::string& script : m_scripts->scripts)
            if (script.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::shared_ptr<ScriptLog> m_scripts = std::make_shared<ScriptLog>();
};

TEST_F(NavigationTest, ReportsEveryAppAndWhetherItIsInstalled) {
    call("availableApps");
    ASSERT_EQ(answers().size(), 1u);
    const platform::Dictionary* apps = answers()[0].message().getDictionary();
    ASSERT_NE(apps, nullptr);
    EXPECT_EQ(apps->keys(), (std::vector<std::string>{"apple_maps", "citymapper", "google_maps", "navigon", "transit_app", "tomtom", "uber",
                                                      "waze", "yandex", "sygic", "here_maps", "moovit", "iosamap", "baidumap"}));
    for (const std::string& key : apps->keys())
        EXPECT_EQ((*apps)[key], Value(key == "apple_maps" || key == "google_maps" || key == "baidumap")) << key;

    call("isAppAvailable", {"baidumap"});
    call("isAppAvailable", {"waze"});
    call("isAppAvailable", {"Waze"});
    call("isAppAvailable", {5});
    call("isAppAvailable", {});
    ASSERT_EQ(answers().size(), 6u);
    EXPECT_EQ(answers()[1].message(), Value(true));
    EXPECT_EQ(answers()[2].message(), Value(false));
    EXPECT_EQ(errorOf(answers()[3]), "Unexpected app name: Waze");
    EXPECT_EQ(errorOf(answers()[4]), "Unexpected app name: 5");
    EXPECT_EQ(errorOf(answers()[5]), "Unexpected app name: <null>");
}

TEST_F(NavigationTest, BadArgumentsAreAnsweredWithAnError) {
    EXPECT_EQ(errorOf(navigate({"Berlin", nullptr, nullptr})), "navigate expects 10 arguments, got 3");
    EXPECT_EQ(errorOf(navigate(navigateArgs(nullptr, nullptr, nullptr, nullptr, "none", nullptr, "waze"))), "waze is not installed on the device");
    EXPECT_EQ(errorOf(navigate(navigateArgs(nullptr, nullptr, nullptr, nullptr, "none", nullptr, "google_maps"))), "Missing destination argument");
    EXPECT_EQ(errorOf(navigate(navigateArgs(52.5, "coords", nullptr, nullptr, "none", nullptr, "apple_maps"))), "Missing destination argument");
    EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "bing"))), "Unexpected app name: bing");
    EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, true))), "Unexpected app name: 1");
    for (const char* coords : {"52.5", "52.5;13.4", "abc,13.4", "nan,13.4", "52.5,inf", "52.5,", ",13.4", "52.5,13.4x"})
        EXPECT_EQ(errorOf(navigate(navigateArgs(coords, "coords", nullptr, nullptr, "none", nullptr, "apple_maps"))),
                  "Invalid coordinates '" + std::string(coords) + "': expected latitude,longitude")
            << coords;
    // The start is checked once the destination was found.
    EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, "52.5 13.4", "coords", nullptr, "apple_maps"))),
              "Invalid coordinates '52.5 13.4': expected latitude,longitude");
    EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "address", nullptr, "apple_maps"))), "Missing start argument");
    EXPECT_TRUE(MapItem::openedMaps().empty());
    EXPECT_TRUE(Application::shared().openedURLs().empty());
}

TEST_F(NavigationTest, CoordinatesAreReverseGeocodedAndTheItemKeepsItsOwnPosition) {
    ASSERT_EQ(navigate(navigateArgs(" 52.5, 13.4", "coords", nullptr, nullptr, "none", nullptr, "apple_maps", "walking")).status(),
              HYBCommandStatus::Ok);
    EXPECT_TRUE(navigate(navigateArgs("52.5,13.4", "coords", "My gate", nullptr, "none", nullptr, "apple_maps")).message().isNull());
    const std::vector<MapItem::MapsLaunch> maps = MapItem::openedMaps();
    ASSERT_EQ(maps.size(), 2u);
    for (const MapItem::MapsLaunch& launch : maps) {
        ASSERT_EQ(launch.items.size(), 2u);
        EXPECT_TRUE(launch.items[0].isCurrentLocation());
        EXPECT_EQ(launch.items[1].placemark().coordinate(), (platform::LocationCoordinate{52.5, 13.4}));
    }
    // Without a name the item takes the place's name; a given name wins.
    EXPECT_EQ(maps[0].items[1].name(), "Brandenburg Gate");
    EXPECT_EQ(maps[1].items[1].name(), "My gate");
    EXPECT_EQ(maps[0].launchOptions[platform::kMapsLaunchOptionsDirectionsModeKey], Value(platform::kMapsLaunchOptionsDirectionsModeWalking));
}

TEST_F(NavigationTest, AddressesAreGeocodedAndTheStartOfTypeNoneIsTheCurrentLocation) {
    hybtest::LogCapture log;
    EXPECT_EQ(navigate(navigateArgs("Eiffel", "address", nullptr, "Paris", "none", nullptr, "google_maps", nullptr, true)).status(),
              HYBCommandStatus::Ok);
    EXPECT_EQ(Application::shared().openedURLs(), (std::vector<std::string>{"comgooglemaps://?saddr=&daddr=48.858400,2.294500"}));
    EXPECT_TRUE(log.contains("LaunchNavigator[native]: Attempting to geocode address: Eiffel"));
    EXPECT_FALSE(log.contains("Attempting to geocode address: Paris"));
    EXPECT_TRUE(log.contains("LaunchNavigator[native]: Using google_maps to navigate to 5, Avenue Anatole France, Paris,  [48.8584, 2.2945] from "
                             " current location"));

    Application::shared().clearOpenedURLs();
    EXPECT_EQ(navigate(navigateArgs("Eiffel", "address", "Tower", "52.5163,13.3777", "coords", "Gate", "google_maps", "transit", true)).status(),
              HYBCommandStatus::Ok);
    EXPECT_EQ(Application::shared().openedURLs(),
              (std::vector<std::string>{"comgooglemaps://?saddr=52.516300,13.377700&daddr=48.858400,2.294500&directionsmode=transit"}));
    EXPECT_TRUE(log.contains("to 5, Avenue Anatole France, Paris,  [48.8584, 2.2945] (Tower) from  Pariser Platz, Berlin, Germany,  "
                             "[52.5163, 13.3777] (Gate)"));
}

TEST_F(NavigationTest, ALookUpThatFindsNothingOrFailsAnswersAnError) {
    EXPECT_EQ(navigate(navigateArgs("Atlantis", nullptr, nullptr, nullptr, "none", nullptr, "apple_maps")).status(), HYBCommandStatus::Error);
    EXPECT_EQ(errorOf(navigate(navigateArgs("0,0", "coords", nullptr, nullptr, "none", nullptr, "apple_maps"))).empty(), false);
    GeocoderPlaces::shared().setFailure(platform::Error("kCLErrorDomain", 2, "The network is down"));
    EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "apple_maps"))), "The network is down");
    EXPECT_EQ(errorOf(navigate(navigateArgs("52.5,13.4", "coords", nullptr, nullptr, "none", nullptr, "apple_maps"))), "The network is down");
    GeocoderPlaces::shared().setFailure(std::nullopt);
    EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, "Atlantis", "address", nullptr, "apple_maps"))).empty(), false);
    EXPECT_TRUE(MapItem::openedMaps().empty());
}

TEST_F(NavigationTest, ExtrasTravelAsTextAndInvalidOnesStillLaunchWithAConsoleError) {
    hybtest::LogCapture log;
    EXPECT_EQ(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "google_maps", nullptr, true, "{bad")).status(),
              HYBCommandStatus::Ok);
    EXPECT_TRUE(log.contains("LaunchNavigator[native] ERROR: Failed to parse extras parameter as valid JSON"));
    EXPECT_TRUE(scriptsContain("console.error(\"LaunchNavigator[native]: Failed to parse extras parameter as valid JSON\")"));

    EXPECT_EQ(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "google_maps", nullptr, false,
                                    R"({"a":"x y","n":5,"f":1.5,"b":true,"o":{"p":1},"z":null})"))
                  .status(),
              HYBCommandStatus::Ok);
    EXPECT_TRUE(log.contains("extras value of \"o\" is not a string, number or boolean; left out"));
    EXPECT_EQ(Application::shared().openedURLs(),
              (std::vector<std::string>{"comgooglemaps://?saddr=&daddr=52.516300,13.377700",
                                        "comgooglemaps://?saddr=&daddr=52.516300,13.377700&a=x%20y&n=5&f=1.5&b=true"}));

    // A bare value is not JSON text of a container: it launches like other invalid extras. An array
    // is read, but is no set of extras.
    EXPECT_EQ(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "google_maps", nullptr, false, "5")).status(),
              HYBCommandStatus::Ok);
    for (const char* notAnObject : {"[1]", "[]"})
        EXPECT_EQ(errorOf(navigate(navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "google_maps", nullptr, false, notAnObject))),
                  "Extras parameter must be a JSON object");
    EXPECT_EQ(Application::shared().openedURLs().size(), 3u);
}

TEST_F(NavigationTest, DebugLinesReachThePageConsoleWithQuotesEscaped) {
    GeocoderPlaces::shared().add(Placemark({52.52, 13.41}, platform::Dictionary{{"Name", "The \"Gate\"\\"}}));
    ASSERT_EQ(navigate(navigateArgs("The \"Gate\"\\", nullptr, nullptr, nullptr, "none", nullptr, "apple_maps", nullptr, "true")).status(),
              HYBCommandStatus::Ok);
    EXPECT_TRUE(plugin().debugEnabled());
    EXPECT_TRUE(scriptsContain("console.log(\"LaunchNavigator[native]: Attempting to geocode address: The \\\"Gate\\\"\\\\\")"));

    // Debugging off: no page lines, but errors still reach the log.
    hybtest::LogCapture log;
    m_scripts->scripts.clear();
    EXPECT_EQ(navigate(navigateArgs(nullptr, nullptr, nullptr, nullptr, "none", nullptr, "apple_maps")).status(), HYBCommandStatus::Error);
    EXPECT_FALSE(plugin().debugEnabled());
    EXPECT_TRUE(m_scripts->scripts.empty());
    EXPECT_TRUE(log.contains("LaunchNavigator[native] ERROR: Missing destination argument"));
}

TEST_F(NavigationTest, ANewerNavigationAnswersTheOneStillWaitingAndOnlyTheNewerLaunches) {
    call("navigate", navigateArgs("Berlin", nullptr, nullptr, nullptr, "none", nullptr, "google_maps"), "first");
    call("navigate", navigateArgs("Eiffel", nullptr, nullptr, "Berlin", "address", nullptr, "google_maps"), "second");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].callbackId, "first");
    EXPECT_EQ(errorOf(answers()[0]), "Navigation replaced by a newer navigate call");

    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(answers()[1].callbackId, "second");
    EXPECT_EQ(answers()[1].status(), HYBCommandStatus::Ok);
    EXPECT_EQ(Application::shared().openedURLs(),
              (std::vector<std::string>{"comgooglemaps://?saddr=52.516300,13.377700&daddr=48.858400,2.294500"}));

    // A navigation that was answered already is not answered again by a later one.
    EXPECT_EQ(errorOf(navigate(navigateArgs(nullptr, nullptr, nullptr, nullptr, "none", nullptr, "google_maps"))), "Missing destination argument");
    EXPECT_EQ(answers().size(), 3u);
}

} // namespace
