// The interface plug-ins on the real engine with the sample bundle: the launch image covers the page
// until it has loaded, and the page's action sheet, picker and date picker answer what a user chose on
// the native views (touches synthesised by the platform's touch driver at the views' places); the camera
// takes a picture with its shutter and the page shows it from its file URL.
#include "EngineHarness.h"

#include "app/Plugins.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "platform/PhotoLibrary.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/CaptureVideoPreviewLayer.h"
#include "platform/device/FrameSource.h"
#include "platform/ui/TableView.h"
#include "platform/WebView.h"
#include "platform/ui/ActionSheet.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"
#include "plugins/ActionSheet.h"
#include "plugins/DatePicker.h"
#include "plugins/HYBCamera.h"
#include "plugins/HYBSplashScreen.h"
#include "plugins/PickerViewPlugin.h"
#include "runtime/AppDelegate.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBViewController.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/HYBURLProtocol.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::filesystem::path kSampleBundle = std::filesystem::path(__FILE__).parent_path() / "../../app/bundle";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class InterfaceOnEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_DISPLAY();
        for (const char* file : {"Info.plist", "config.xml", "config.plist", "www/index.html", "www/hybrid.js", "Default-667h@2x.png",
                                 "Default-568h@2x.png", "Default@2x.png"})
            m_home.writeBundleFile(file, readFile(kSampleBundle / file));
        platform::Application::shared().resetForTesting();
        runtime::HYBURLProtocol::resetForTesting();
        app::registerPlugins();
        webengine::WebKitGtkWebView::installAsEngine();
        platform::NotificationCenter::defaultCenter().addObserver(this, runtime::kHYBPageDidLoadNotification, nullptr,
                                                                  [this](const platform::Notification&) { ++m_loads; });
    }
    void TearDown() override {
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        if (m_window)
            gtk_container_remove(GTK_CONTAINER(m_window), m_webView->widget());
        m_webView.reset();
        m_launched = platform::Error();
        platform::Application::shared().resetForTesting();
        platform::WebView::setFactory({});
        runtime::HYBURLProtocol::resetForTesting();
        if (m_window)
            gtk_widget_destroy(m_window);
    }

    // Launches the sample bundle; `beforeLoad` runs once the application is up, before the page loads.
    void launch(const std::function<void()>& beforeLoad = {}) {
        m_launched = runtime::launchApplication(m_home.folders().bundle(), m_home.folders().home());
        ASSERT_TRUE(m_launched.ok()) << m_launched.error().localizedDescription();
        m_webView = std::static_pointer_cast<webengine::WebKitGtkWebView>(controller().webView());
        if (beforeLoad)
            beforeLoad();
        m_window = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(m_window), 375, 667);
        gtk_container_add(GTK_CONTAINER(m_window), m_webView->widget());
        gtk_widget_show_all(m_window);
        ASSERT_TRUE(e2e::waitUntil([&] { return m_loads > 0; }));
        ASSERT_TRUE(e2e::waitUntil([&] { return text("ready") == "deviceready"; }));
    }
    // Launches and waits until the launch image has faded and the page takes touches.
    void launchAndWaitForThePage() {
        launch();
        ASSERT_TRUE(e2e::waitUntil([&] { return controller().view()->isUserInteractionEnabled(); }));
    }
    runtime::HYBViewController& controller() { return *(*m_launched)->viewController(); }
    const std::shared_ptr<platform::Window>& window() { return (*m_launched)->window(); }
    template <class Plugin>
    std::shared_ptr<Plugin> plugin(const char* service) {
        return std::dynamic_pointer_cast<Plugin>(controller().getCommandInstance(service));
    }
    std::string eval(const std::string& script) { return m_webView->stringByEvaluatingJavaScriptFromString(script); }
    std::string text(const std::string& id) { return eval("document.getElementById('" + id + "').textContent"); }
    bool shows(const std::string& id, const std::string& part) {
        return e2e::waitUntil([&] { return text(id).find(part) != std::string::npos; });
    }
    // A tap on the view, as the user's finger would give it; false when nothing took it.
    static bool tap(platform::View& view) { return platform::TouchDriver::tap(view) != nullptr; }

    hybtest::TempHome m_home;
    int m_loads = 0;
    platform::Result<std::shared_ptr<runtime::AppDelegate>> m_launched = platform::Error();
    std::shared_ptr<webengine::WebKitGtkWebView> m_webView;
    GtkWidget* m_window = nullptr;
};

} // namespace

TEST_F(InterfaceOnEngineTest, TheSplashCoversThePageUntilItHasLoadedThenFades) {
    std::shared_ptr<plugins::HYBSplashScreen> splash;
    launch([&] {
        splash = plugin<plugins::HYBSplashScreen>("SplashScreen");
        ASSERT_TRUE(splash) << "made at start-up";
        ASSERT_TRUE(splash->imageView());
        EXPECT_EQ(splash->curImageName(), "Default-667h");
        EXPECT_TRUE(splash->imageView()->image()) << "the sample bundle's launch image";
        // A touch meanwhile reaches nothing of the page.
        std::shared_ptr<platform::View> hit =
            platform::TouchDriver::tapAt(window(), platform::Point{100, 200});
        EXPECT_TRUE(!hit || !hit->isDescendantOf(*controller().view()));
    });
    // The page has loaded: the sample's fade (0.5 s) runs, then the views go and the page takes touches.
    ASSERT_TRUE(splash);
    EXPECT_FALSE(splash->isVisible());
    ASSERT_TRUE(e2e::waitUntil([&] { return !splash->imageView(); }));
    EXPECT_TRUE(controller().view()->isUserInteractionEnabled());
    EXPECT_EQ(platform::TouchDriver::tapAt(window(), platform::Point{100, 200}), m_webView);
}

TEST_F(InterfaceOnEngineTest, TheActionSheetAnswersTheChosenButton) {
    launchAndWaitForThePage();
    eval("showSheet(); 1");
    std::shared_ptr<platform::ActionSheet> sheet;
    ASSERT_TRUE(e2e::waitUntil([&] {
        sheet = plugins::ActionSheet::currentSheet();
        return sheet && sheet->isVisible();
    }));
    ASSERT_EQ(sheet->numberOfButtons(), 4);
    ASSERT_TRUE(tap(*sheet->buttonViews().at(2)));  // the second label
    EXPECT_TRUE(shows("iface-sheet-result", "button 3 (Choose from library)")) << text("iface-sheet-result");
}

TEST_F(InterfaceOnEngineTest, ThePickerAnswersTheItemsChosenAfterASpin) {
    launchAndWaitForThePage();
    eval("showPicker(3); 1");
    auto picker = plugin<plugins::PickerViewPlugin>("PickerView");
    ASSERT_TRUE(e2e::waitUntil([&] { return picker && picker->pickerView() != nullptr; }));
    ASSERT_TRUE(picker->pickerView()->spin(0, 1));  // Zhejiang
    ASSERT_TRUE(picker->pickerView()->spin(1, 0));  // Hangzhou
    ASSERT_TRUE(picker->pickerView()->spin(2, 1));  // Yuhang
    EXPECT_EQ(picker->label()->text(), "Yuhang, Hangzhou");
    ASSERT_TRUE(e2e::waitUntil([&] { return !platform::ViewAnimation::isAnimating(*controller().view()); }));
    const auto& items = picker->toolbar()->items();
    ASSERT_TRUE(tap(*items.back()->viewForBar()));  // Done
    EXPECT_TRUE(shows("iface-picker-result", "Picker: Zhejiang / Hangzhou / Yuhang")) << text("iface-picker-result");
    EXPECT_FALSE(picker->pickerView());
}

TEST_F(InterfaceOnEngineTest, DatePickerChangesAndDoneReachThePage) {
    launchAndWaitForThePage();
    eval("showDate('datetime'); 1");
    auto dates = plugin<plugins::DatePicker>("DatePicker");
    ASSERT_TRUE(e2e::waitUntil([&] { return dates && dates->isShown(); }));
    EXPECT_EQ(dates->datePicker()->datePickerMode(), platform::DatePickerMode::DateAndTime);
    dates->datePicker()->setDateAsUser(platform::Date{1773480360 + 3600});  // an hour after the start
    EXPECT_TRUE(shows("iface-date-result", "Date: 2026-03-14T")) << text("iface-date-result");
    const std::string changed = text("iface-date-result");
    eval("document.getElementById('log').textContent = ''; 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return !platform::ViewAnimation::isAnimating(*dates->datePickerComponentsContainer()); }));
    ASSERT_TRUE(tap(*dates->doneButton()));
    EXPECT_TRUE(shows("log", "DatePicker: 2026-03-14T")) << "Done reports the date once more";
    EXPECT_EQ(text("iface-date-result"), changed);
    EXPECT_FALSE(dates->isShown());
}

TEST_F(InterfaceOnEngineTest, TheCameraTakesAPictureWithTheShutterAndTheLibraryAnswersItsURL) {
    platform::CaptureDevice::setCameras({platform::CameraConfiguration{platform::CaptureDevicePosition::Back,
                                                                       platform::FrameSource::fromDescription("qr:camera page"), 30, 640, 480}});
    launchAndWaitForThePage();
    eval("takePicture(1); 1");
    std::shared_ptr<plugins::HYBCamera> camera;
    ASSERT_TRUE(e2e::waitUntil([&] {
        camera = plugin<plugins::HYBCamera>("Camera");
        return camera && camera->pickerController() && !camera->hasPendingOperation();
    }));
    std::shared_ptr<plugins::HYBCameraPicker> picker = camera->pickerController();
    ASSERT_TRUE(e2e::waitUntil([&] { return picker->previewLayer() && picker->previewLayer()->latestFrame(); })) << "a frame came";
    // The shutter: the round button in the middle of the bottom bar.
    const platform::Rect screen = window()->bounds();
    std::shared_ptr<platform::View> hit = platform::TouchDriver::tapAt(window(), platform::Point{screen.midX(), screen.maxY() - 48});
    ASSERT_TRUE(hit);
    ASSERT_TRUE(shows("camera-result", "hyb_photo_001.jpg")) << text("camera-result");
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("document.getElementById('camera-image').naturalWidth") == "180"; }))
        << "the page shows the picture from its file URL, 480 x 640 upright fitted into 320 x 240: "
        << eval("document.getElementById('camera-image').naturalWidth");
    EXPECT_EQ(eval("document.getElementById('camera-image').src"), "hybfile://localhost/temporary/hyb_photo_001.jpg");

    // From the library: the answer is the item's photo-library URL.
    platform::Result<platform::URL> seeded = platform::PhotoLibrary().writeImageData(
        *platform::Image::solidColor(platform::Color::fromRGBA255(30, 90, 200), {40, 30})->jpegData(0.9), "jpg");
    ASSERT_TRUE(seeded);
    eval("chooseLibraryURL(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] {
        return camera->pickerController() && camera->pickerController() != picker && !camera->hasPendingOperation();
    })) << "the library is on screen";
    picker = camera->pickerController();
    ASSERT_TRUE(e2e::waitUntil([&] { return picker->libraryTable() && picker->libraryTable()->numberOfRows(0) == 1; }));
    ASSERT_TRUE(picker->pick(0));
    ASSERT_TRUE(shows("camera-result", seeded->absoluteString())) << text("camera-result");

    eval("cleanupPictures(); 1");
    ASSERT_TRUE(shows("camera-result", "temporary pictures removed"));
}
