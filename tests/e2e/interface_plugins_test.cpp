// The interface plug-ins on the real engine with the sample bundle, shown by the window host and driven by
// synthesised GTK clicks: the launch image covers the page until it has loaded, then fades; the page's
// action sheet, picker and date picker answer what was chosen on the native views; focusing the page's
// input fires the keyboard events; the camera
// takes a picture with its shutter and the page shows it from its file URL; an alert of the start page shows
// above the launch screen.
#include "SampleBundleOnEngine.h"
#include "HostInput.h"

#include "platform/device/PhotoLibrary.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/CaptureVideoPreviewLayer.h"
#include "platform/device/FrameSource.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ActionSheet.h"
#include "platform/ui/ViewAnimation.h"
#include "plugins/ActionSheet.h"
#include "plugins/DatePicker.h"
#include "plugins/HYBCamera.h"
#include "plugins/HYBSplashScreen.h"
#include "plugins/PickerViewPlugin.h"


using e2e::centreOnScreen;
using e2e::treeAnimates;
using platform::Point;

namespace {

class InterfaceOnEngineTest : public e2e::SampleBundleOnEngine {
protected:
    InterfaceOnEngineTest()
        : SampleBundleOnEngine({.extraFiles = {"Default-667h@2x.png", "Default-568h@2x.png", "Default@2x.png"},
                                .hideWindowOnTearDown = true}) {}

    void didLoadPage() override {
        if (m_loads == 1 && m_onLoad)
            m_onLoad();
    }
    template <class Plugin>
    std::shared_ptr<Plugin> plugin(const char* service) {
        return std::dynamic_pointer_cast<Plugin>(controller().getCommandInstance(service));
    }
    // The centre of the page's element on the screen, scrolled into view first.
    Point elementCentre(const std::string& id) {
        const std::string at = eval("(function () { var e = document.getElementById('" + id +
                                    "'); e.scrollIntoView({block: 'center'}); var r = e.getBoundingClientRect();"
                                    " return (r.left + r.width / 2) + ',' + (r.top + r.height / 2); })()");
        const std::size_t comma = at.find(',');
        if (comma == std::string::npos)
            return Point{-1, -1};
        return Point{std::stod(at.substr(0, comma)), std::stod(at.substr(comma + 1))};
    }
    // Clicks once the page has told where the element is: an evaluation may answer "" (while a request of
    // the page is being handed over, say), and a click at no place would leave the wait after it waiting.
    void clickElement(const std::string& id) {
        Point at{-1, -1};
        ASSERT_TRUE(e2e::waitUntil([&] {
            at = elementCentre(id);
            return at.x >= 0 && at.y >= 0;
        })) << "where " << id << " is";
        e2e::click(*m_host, at);
    }
    void clickView(platform::View& view) {
        ASSERT_TRUE(e2e::waitUntil([&] { return !treeAnimates(*view.rootView()); }));
        e2e::click(*m_host, centreOnScreen(view));
    }

    std::function<void()> m_onLoad;
};

} // namespace

TEST_F(InterfaceOnEngineTest, TheSplashCoversThePageUntilItHasLoadedThenFades) {
    // The moment the page has loaded, the splash is fading: a click on the page's button reaches nothing.
    // (The plug-ins' current sheet is process-wide: an earlier case may have left its own, hidden.)
    const std::shared_ptr<platform::ActionSheet> earlier = plugins::ActionSheet::currentSheet();
    bool coveredAtLoad = false;
    m_onLoad = [&] {
        auto splash = plugin<plugins::HYBSplashScreen>("SplashScreen");
        coveredAtLoad = splash && splash->imageView() && splash->imageView()->image() && !controller().view()->isUserInteractionEnabled();
        if (coveredAtLoad)
            e2e::click(*m_host, elementCentre("iface-sheet"));  // at once: the splash is still fading
    };
    launch();
    ASSERT_TRUE(coveredAtLoad) << "the launch image (the sample's Default-667h) was up at the load";
    auto splash = plugin<plugins::HYBSplashScreen>("SplashScreen");
    EXPECT_EQ(splash->curImageName().value_or(""), "Default-667h");
    ASSERT_TRUE(e2e::waitUntil([&] { return !splash->imageView(); })) << "faded and gone";
    EXPECT_TRUE(controller().view()->isUserInteractionEnabled());
    EXPECT_EQ(plugins::ActionSheet::currentSheet(), earlier) << "the click under the splash reached nothing";

    // Now the page takes the same click.
    clickElement("iface-sheet");
    EXPECT_TRUE(e2e::waitUntil([&] {
        const std::shared_ptr<platform::ActionSheet> sheet = plugins::ActionSheet::currentSheet();
        return sheet && sheet != earlier && sheet->isVisible();
    }));
}

// A start page whose "deviceready" handler alerts: the alert shows above the launch screen, which stays up
// while the page's load waits for the answer; once OK is clicked the page loads and the launch image goes.
TEST_F(InterfaceOnEngineTest, AnAlertInDevicereadyShowsAboveTheLaunchScreenAndThePageLoadsOnceAnswered) {
    m_home.writeBundleFile("www/index.html",
                           "<!DOCTYPE html><html><head><meta charset='utf-8'><script src='hybrid.js'></script><script>"
                           "document.addEventListener('deviceready', function () {"
                           " alert('Welcome back!'); document.getElementById('ready').textContent = 'deviceready'; });"
                           "</script></head><body><span id='ready'>waiting</span></body></html>");
    m_launched = runtime::launchApplication(m_home.folders().bundle(), m_home.folders().home());
    ASSERT_TRUE(m_launched.ok()) << m_launched.error().localizedDescription();
    m_webView = std::static_pointer_cast<webengine::WebKitGtkWebView>(controller().webView());
    m_host = std::make_unique<webengine::WindowHost>(webengine::WindowHost::Kind::Offscreen);
    m_host->show();
    auto alert = e2e::shownDialogAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "index.html");
    EXPECT_EQ(alert->message(), "Welcome back!");
    EXPECT_EQ(m_loads, 0) << "the load waits for the answer";
    auto splash = plugin<plugins::HYBSplashScreen>("SplashScreen");
    ASSERT_TRUE(splash && splash->imageView()) << "the launch image is up, under the alert";
    EXPECT_FALSE(controller().view()->isUserInteractionEnabled());

    e2e::clickButton(*m_host, *alert, "OK");
    ASSERT_TRUE(e2e::waitUntil([&] { return m_loads > 0; }));
    EXPECT_TRUE(shows("ready", "deviceready"));
    EXPECT_TRUE(e2e::waitUntil([&] { return !splash->imageView() && controller().view()->isUserInteractionEnabled(); }));
    EXPECT_FALSE(alert->isVisible());
}

TEST_F(InterfaceOnEngineTest, TheActionSheetAnswersTheButtonAClickChose) {
    launchAndWaitForThePage();
    clickElement("iface-sheet");
    std::shared_ptr<platform::ActionSheet> sheet;
    ASSERT_TRUE(e2e::waitUntil([&] {
        sheet = plugins::ActionSheet::currentSheet();
        return sheet && sheet->isVisible();
    }));
    ASSERT_EQ(sheet->numberOfButtons(), 4);
    clickView(*sheet->buttonViews().at(2));  // the second label
    EXPECT_TRUE(shows("iface-sheet-result", "button 3 (Choose from library)")) << text("iface-sheet-result");
    EXPECT_FALSE(sheet->isVisible());
}

TEST_F(InterfaceOnEngineTest, ThePickerAnswersTheItemsChosenAfterASpinAndDone) {
    launchAndWaitForThePage();
    clickElement("iface-picker3");
    std::shared_ptr<plugins::PickerViewPlugin> picker;
    ASSERT_TRUE(e2e::waitUntil([&] {
        picker = plugin<plugins::PickerViewPlugin>("PickerView");
        return picker && picker->pickerView() != nullptr;
    }));
    ASSERT_TRUE(picker->pickerView()->spin(0, 1));  // Zhejiang
    ASSERT_TRUE(picker->pickerView()->spin(1, 0));  // Hangzhou
    ASSERT_TRUE(picker->pickerView()->spin(2, 1));  // Yuhang
    EXPECT_EQ(picker->label()->text(), "Yuhang, Hangzhou");
    clickView(*picker->toolbar()->items().back()->viewForBar());  // Done
    EXPECT_TRUE(shows("iface-picker-result", "Picker: Zhejiang / Hangzhou / Yuhang")) << text("iface-picker-result");
    EXPECT_FALSE(picker->pickerView());
}

TEST_F(InterfaceOnEngineTest, DatePickerChangesAndDoneReachThePage) {
    launchAndWaitForThePage();
    clickElement("iface-date-datetime");
    std::shared_ptr<plugins::DatePicker> dates;
    ASSERT_TRUE(e2e::waitUntil([&] {
        dates = plugin<plugins::DatePicker>("DatePicker");
        return dates && dates->isShown();
    }));
    EXPECT_EQ(dates->datePicker()->datePickerMode(), platform::DatePickerMode::DateAndTime);
    dates->datePicker()->setDateAsUser(platform::Date{1773480360 + 3600});  // an hour after the start
    EXPECT_TRUE(shows("iface-date-result", "Date: 2026-03-14T")) << text("iface-date-result");
    const std::string changed = text("iface-date-result");
    eval("document.getElementById('log').textContent = ''; 1");
    clickView(*dates->doneButton());
    EXPECT_TRUE(shows("log", "DatePicker: 2026-03-14T")) << "Done reports the date once more";
    EXPECT_EQ(text("iface-date-result"), changed);
    EXPECT_FALSE(dates->isShown());
}

TEST_F(InterfaceOnEngineTest, FocusingThePagesInputFiresTheKeyboardEvents) {
    launchAndWaitForThePage();
    eval("document.getElementById('log').textContent = ''; 1");
    clickElement("iface-input");
    EXPECT_TRUE(shows("log", "native.keyboardshow keyboardHeight=216")) << text("log");
    EXPECT_TRUE(shows("log", "native.showkeyboard keyboardHeight=216")) << text("log");
    EXPECT_TRUE(shows("iface-keyboard-result", "shown, 216 points high"));
    EXPECT_EQ(eval("String(hybrid.plugins.Keyboard.isVisible)"), "true");

    clickElement("iface-keyboard-result");  // text that takes no focus: the input loses it
    EXPECT_TRUE(shows("log", "native.keyboardhide")) << text("log");
    EXPECT_TRUE(shows("log", "native.hidekeyboard")) << text("log");
    EXPECT_EQ(eval("String(hybrid.plugins.Keyboard.isVisible)"), "false");

    // The page closes the keyboard natively: the input loses the focus and the hide pair fires again.
    clickElement("iface-input");
    ASSERT_TRUE(e2e::waitUntil([&] { return eval("String(hybrid.plugins.Keyboard.isVisible)") == "true"; }));
    eval("document.getElementById('log').textContent = ''; hybrid.plugins.Keyboard.close(); 1");
    EXPECT_TRUE(shows("log", "native.hidekeyboard")) << text("log");
    EXPECT_TRUE(e2e::waitUntil([&] { return eval("String(document.activeElement.id)") != "iface-input"; }));
    EXPECT_FALSE(m_webView->isFirstResponder());
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
    // The shutter: the round button in the middle of the bottom bar, clicked once the picker is in place.
    ASSERT_TRUE(e2e::waitUntil([&] { return !treeAnimates(*picker->view()->rootView()); }));
    const platform::Rect screen = platform::Screen::main().bounds();
    e2e::click(*m_host, Point{screen.midX(), screen.maxY() - 48});
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
