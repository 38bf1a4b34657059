// The application executable: --help, bad options and device files, and --headless --screenshot of the
// sample bundle (the window takes the device file's screen size).
#include "ProgramRun.h"
#include "PushBundle.h"

#include <cairo.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <glib.h>

namespace {

e2e::ProgramRun runHost(std::vector<std::string> arguments) { return e2e::runProgram(HYB_HOST_EXE, std::move(arguments)); }

// A copy of the sample bundle whose push client stays on the loopback interface, where nothing answers.
std::string copySampleBundle(const e2e::TempFolder& folder)
{
    const std::string bundle = folder.path() + "/bundle";
    std::filesystem::copy(HYB_SAMPLE_BUNDLE, bundle, std::filesystem::copy_options::recursive);
    std::filesystem::remove(bundle + "/PushEndpoints.plist");
    std::ofstream(bundle + "/PushEndpoints.plist") << e2e::pushEndpointsPlist();
    return bundle;
}

TEST(HybridHostTest, HelpAndBadOptions)
{
    auto help = runHost({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("--screenshot FILE"), std::string::npos);
    auto bad = runHost({"--nonsense"});
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("unknown option --nonsense"), std::string::npos);
    auto missing = runHost({"/nonexistent/bundle"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("no bundle folder"), std::string::npos);
    EXPECT_NE(help.out.find("--device FILE"), std::string::npos);
}

TEST(HybridHostTest, ABadDeviceFileStopsBeforeAnyWindowWithStatusTwo)
{
    e2e::TempFolder folder;
    const std::string file = folder.path() + "/device.json";
    std::ofstream(file) << "{\n  \"screen\": {\"width\": 320},\n  \"radio\": \"6G\"\n}\n";
    auto bad = runHost({"--headless", "--device", file, HYB_SAMPLE_BUNDLE});
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("\"radio\": expected one of"), std::string::npos) << bad.err;
    std::ofstream(file) << "{\n  \"screen\": {\"width\": 320,\n}\n";
    auto broken = runHost({"--headless", "--device", file, HYB_SAMPLE_BUNDLE});
    EXPECT_EQ(broken.exitStatus, 2);
    EXPECT_NE(broken.err.find("line 3, column"), std::string::npos) << broken.err;
    auto missing = runHost({"--headless", "--device", folder.path() + "/none.json", HYB_SAMPLE_BUNDLE});
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
}

TEST(HybridHostTest, HeadlessScreenshotShowsTheDemoPage)
{
    e2e::TempFolder folder;
    const std::string png = folder.path() + "/page.png";
    // A device whose screen is 400 x 720 points.
    const std::string device = folder.path() + "/device.json";
    std::ofstream(device) << R"({"screen": {"width": 400, "height": 720}})";
    auto run = runHost({"--headless", "--device", device, "--screenshot", png, copySampleBundle(folder)});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), 400);
    EXPECT_EQ(cairo_image_surface_get_height(image), 720);
    // The page is drawn: the pixels are not all the same.
    cairo_surface_flush(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    std::set<uint32_t> colours;
    for (int y = 0; y < 720; y += 7) {
        for (int x = 0; x < 400; x += 7)
            colours.insert(*reinterpret_cast<const uint32_t*>(data + y * stride + x * 4));
    }
    EXPECT_GT(colours.size(), 5u);
    cairo_surface_destroy(image);
}

// The window as seen holds the native layer over the page: a bundle that keeps its launch image up
// after the load shows the image in the screenshot, where the page alone is white.
TEST(HybridHostTest, HeadlessScreenshotShowsTheNativeLayerOverThePage)
{
    e2e::TempFolder folder;
    const std::string bundle = copySampleBundle(folder);
    std::stringstream config;
    config << std::ifstream(bundle + "/config.xml").rdbuf();
    std::string text = config.str();
    const auto widgetEnd = text.find("</widget>");
    ASSERT_NE(widgetEnd, std::string::npos);
    text.insert(widgetEnd, "    <preference name=\"AutoHideSplashScreen\" value=\"false\" />\n"
                           "    <preference name=\"ShowSplashScreenSpinner\" value=\"false\" />\n");
    std::ofstream(bundle + "/config.xml", std::ios::trunc) << text;
    const std::string device = folder.path() + "/device.json";
    std::ofstream(device) << R"({"screen": {"width": 375, "height": 667, "scale": 2}})";
    const std::string png = folder.path() + "/window.png";

    auto run = runHost({"--headless", "--device", device, "--screenshot", png, bundle});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(cairo_image_surface_get_width(image), 375);
    cairo_surface_flush(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    auto pixel = [&](int x, int y) { return *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4); };
    auto red = [](uint32_t p) { return int((p >> 16) & 0xff); };
    auto blue = [](uint32_t p) { return int(p & 0xff); };
    // The launch image (Default-667h): a blue field with a white ring around (187, 240).
    for (auto [x, y] : {std::pair{10, 10}, std::pair{360, 650}, std::pair{187, 240}}) {
        EXPECT_GT(blue(pixel(x, y)) - red(pixel(x, y)), 60) << "blue launch image at " << x << "," << y;
    }
    EXPECT_GT(red(pixel(187, 240 - 61)), 230) << "the ring is white";
    cairo_surface_destroy(image);
}

// A bundle that declares push is built wrongly without its push configuration: the application ends at
// launch, saying why.
TEST(HybridHostTest, ABundleDeclaringPushWithoutItsConfigurationEndsAtLaunch)
{
    e2e::TempFolder folder;
    const std::string bundle = copySampleBundle(folder);
    std::filesystem::remove(bundle + "/PushConfig.plist");
    auto run = runHost({"--headless", "--screenshot", folder.path() + "/page.png", bundle});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("error: PushConfig.plist not found"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(folder.path() + "/page.png"));

    std::ofstream(bundle + "/PushConfig.plist") << "<plist version=\"1.0\"><dict><key>CHANNEL</key><string>x</string></dict></plist>";
    run = runHost({"--headless", "--screenshot", folder.path() + "/page.png", bundle});
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("error: app key not found in PushConfig.plist "), std::string::npos) << run.err;
}

} // namespace
