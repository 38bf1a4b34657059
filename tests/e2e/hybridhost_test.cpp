// The application executable: --help, bad options and device files, and --headless --screenshot of the
// sample bundle (the window takes the device file's screen size).
#include "EngineHarness.h"

#include <cairo.h>
#include <fstream>
#include <set>
#include <glib.h>

namespace {

struct Run {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

Run runHost(std::vector<std::string> arguments)
{
    e2e::quietAccessibility();
    arguments.insert(arguments.begin(), HYB_HOST_EXE);
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Run run;
    char* out = nullptr;
    char* err = nullptr;
    int status = 0;
    GError* error = nullptr;
    // The screenshot run has its own time-out (60 s); the test's CTest time-out bounds the rest.
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status, &error)) {
        run.err = error->message;
        g_error_free(error);
        return run;
    }
    run.out = out ? out : "";
    run.err = err ? err : "";
    g_free(out);
    g_free(err);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
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
    auto run = runHost({"--headless", "--device", device, "--screenshot", png, HYB_SAMPLE_BUNDLE});
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

} // namespace
