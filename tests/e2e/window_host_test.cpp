// The window host in the real engine: a page under a native view tree, driven by synthesised GTK events.
// Clicks go where the hit test says (a native alert's button, the page, or nowhere), keys reach a native
// text field through the input method, the wheel scrolls native scroll views, the window's size is the
// screen's, and the screenshot shows the page with the native layer over it.
#include "EngineHarness.h"
#include "HostInput.h"

#include "platform/application/Application.h"
#include "platform/runloop/Clock.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Button.h"
#include "platform/ui/Image.h"
#include "platform/web/ScriptDialogPresenter.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"
#include "support/Snapshot.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"
#include "webengine/WindowHost.h"

#include <cairo.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using e2e::centreOnScreen;
using e2e::treeAnimates;
using e2e::waitUntil;
using platform::Point;
using platform::Rect;
using webengine::WebKitGtkWebView;
using webengine::WindowHost;

namespace {

// A blue page that records its clicks and keys.
constexpr const char* kPage = R"(<html><head><style>html, body { margin: 0; height: 100%; background: rgb(0, 0, 255); }</style></head>
<body><script>
window.clicks = [];
window.keys = [];
document.addEventListener('click', e => clicks.push(e.clientX + ',' + e.clientY));
document.addEventListener('keydown', e => keys.push(e.key));
window.hovers = [];
document.documentElement.addEventListener('mouseenter', () => hovers.push('enter'));
document.documentElement.addEventListener('mouseleave', () => hovers.push('leave'));
window.ready = true;
</script></body></html>)";

class AlertRecorder : public platform::AlertViewDelegate {
public:
    std::vector<long> clicked, dismissed;
    void clickedButtonAtIndex(platform::AlertView&, long index) override { clicked.push_back(index); }
    void didDismissWithButtonIndex(platform::AlertView&, long index) override { dismissed.push_back(index); }
};

class FieldRecorder : public platform::TextFieldDelegate {
public:
    std::vector<std::string> changes;
    int returns = 0;
    bool shouldChangeCharacters(platform::TextField&, platform::TextRange16 range, const std::string& text) override
    {
        changes.push_back(std::to_string(range.location) + "," + std::to_string(range.length) + ":" + text);
        return true;
    }
    bool textFieldShouldReturn(platform::TextField&) override
    {
        ++returns;
        return true;
    }
};

uint32_t pixelAt(cairo_surface_t* image, int x, int y)
{
    cairo_surface_flush(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    return *reinterpret_cast<const uint32_t*>(data + y * cairo_image_surface_get_stride(image) + x * 4) & 0xFFFFFF;
}

class WindowHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        platform::Screen::main().setBounds(Rect(0, 0, 400, 600));
        WebKitGtkWebView::installAsEngine();
        m_window = platform::Window::create(platform::Screen::main().bounds());
        m_content = std::make_shared<platform::View>(m_window->bounds());
        m_content->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleHeight);
        m_window->addSubview(m_content);
        m_page = WebKitGtkWebView::create(m_window->bounds());
        m_page->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleHeight);
        m_content->addSubview(m_page);
        m_window->makeKeyAndVisible();
        m_host = std::make_unique<WindowHost>(m_kind);
        m_host->show();
        m_page->loadHTMLString(kPage, "file:///");
        ASSERT_TRUE(waitUntil([&] { return eval("window.ready === true") == "true"; }));
    }
    void TearDown() override
    {
        m_host.reset();
        if (m_window)
            m_window->setHidden(true);
        m_page.reset();
        m_content.reset();
        m_window.reset();
        platform::WebView::setFactory(nullptr);
        platform::Screen::main().resetToDefaults();
    }

    std::string eval(const std::string& script) { return m_page->stringByEvaluatingJavaScriptFromString(script); }
    int pageClicks() { return std::stoi("0" + eval("String(clicks.length)")); }

    WindowHost::Kind m_kind = WindowHost::Kind::Offscreen;
    hybtest::TempHome m_home;
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<platform::View> m_content;
    std::shared_ptr<WebKitGtkWebView> m_page;
    std::unique_ptr<WindowHost> m_host;
};

TEST_F(WindowHostTest, AClickWhereNoNativeViewLiesReachesThePage)
{
    auto banner = std::make_shared<platform::View>(Rect(0, 0, 400, 50));
    banner->setBackgroundColor(platform::Color::fromRGBA255(255, 0, 0));
    m_window->addSubview(banner);
    // On the banner: a native view, not the page. Then below it: the page.
    e2e::click(*m_host, Point{200, 25});
    e2e::click(*m_host, Point{120, 300});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
    EXPECT_EQ(eval("clicks.join(';')"), "120,300");
}

TEST_F(WindowHostTest, AClickOnANativeAlertsButtonDismissesItAndTellsTheDelegateItsIndex)
{
    auto recorder = std::make_shared<AlertRecorder>();
    auto alert = platform::AlertView::create("Title", "Message", recorder, std::string("Cancel"), {"OK"});
    alert->show();
    ASSERT_TRUE(waitUntil([&] { return !treeAnimates(*alert->window()); }));
    const auto buttons = alert->buttonViews();
    ASSERT_EQ(buttons.size(), 2u);
    e2e::click(*m_host, centreOnScreen(*buttons[1]));
    EXPECT_EQ(recorder->clicked, std::vector<long>({1}));
    ASSERT_TRUE(waitUntil([&] { return !recorder->dismissed.empty(); }));
    EXPECT_EQ(recorder->dismissed, std::vector<long>({1}));
    EXPECT_FALSE(alert->isVisible());
    // The alert covered the page: the page heard nothing. Now it is gone, the page hears the next click.
    e2e::click(*m_host, Point{10, 10});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
    EXPECT_EQ(eval("clicks.join(';')"), "10,10");
}

TEST_F(WindowHostTest, APressFollowsThePointerToItsReleaseAndALostGrabCancelsIt)
{
    auto button = platform::Button::create(platform::ButtonType::Custom, Rect(100, 100, 120, 44));
    button->setTitle(std::string("Go"), platform::kControlStateNormal);
    auto taps = std::make_shared<int>(0);
    button->addTarget(taps, [taps](platform::Control&) { ++*taps; }, platform::kControlEventTouchUpInside);
    m_window->addSubview(button);
    // Down on the button, out of it, back in and up: one tap.
    e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, Point{150, 120});
    EXPECT_TRUE(button->isHighlighted());
    e2e::sendPointer(*m_host, GDK_MOTION_NOTIFY, Point{300, 400}, 1, GDK_BUTTON1_MASK);
    EXPECT_FALSE(button->isHighlighted());
    e2e::sendPointer(*m_host, GDK_MOTION_NOTIFY, Point{160, 125}, 1, GDK_BUTTON1_MASK);
    e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, Point{160, 125}, 1, GDK_BUTTON1_MASK);
    EXPECT_EQ(*taps, 1);
    // A grab lost in the middle cancels the touch: no tap, and the release after it goes nowhere.
    e2e::sendPointer(*m_host, GDK_BUTTON_PRESS, Point{150, 120});
    e2e::breakGrab(*m_host);
    EXPECT_FALSE(button->isHighlighted());
    e2e::sendPointer(*m_host, GDK_BUTTON_RELEASE, Point{150, 120}, 1, GDK_BUTTON1_MASK);
    EXPECT_EQ(*taps, 1);
    // The page saw none of it.
    e2e::click(*m_host, Point{20, 580});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
    EXPECT_EQ(eval("clicks.join(';')"), "20,580");
}

TEST_F(WindowHostTest, ThePointerMovingOverThePageAndOntoANativeViewEntersAndLeavesIt)
{
    auto banner = std::make_shared<platform::View>(Rect(0, 0, 400, 50));
    m_window->addSubview(banner);
    e2e::sendPointer(*m_host, GDK_MOTION_NOTIFY, Point{200, 300});
    ASSERT_TRUE(waitUntil([&] { return eval("hovers.join(',')") == "enter"; }));
    e2e::sendPointer(*m_host, GDK_MOTION_NOTIFY, Point{200, 20});  // onto the banner
    ASSERT_TRUE(waitUntil([&] { return eval("hovers.join(',')") == "enter,leave"; }));
}

TEST_F(WindowHostTest, WhileAViewOverThePageHasUserInteractionOffAClickReachesNeither)
{
    // As under a splash screen: the controller's view (the page and an image over it) takes no touches.
    auto image = std::make_shared<platform::View>(Rect(100, 100, 200, 200));
    image->setBackgroundColor(platform::Color::fromRGBA255(0, 255, 0));
    auto taps = std::make_shared<int>(0);
    auto recognizer = std::make_shared<platform::TapGestureRecognizer>();
    recognizer->addTarget(taps, [taps](platform::GestureRecognizer&) { ++*taps; });
    image->addGestureRecognizer(recognizer);
    m_content->addSubview(image);
    m_content->setUserInteractionEnabled(false);
    e2e::click(*m_host, Point{200, 200});  // on the image
    e2e::click(*m_host, Point{50, 500});   // on the page
    // Interaction back on: the image takes its tap, and the page its click.
    m_content->setUserInteractionEnabled(true);
    e2e::click(*m_host, Point{200, 200});
    EXPECT_EQ(*taps, 1);
    e2e::click(*m_host, Point{60, 510});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
    EXPECT_EQ(eval("clicks.join(';')"), "60,510");
}

TEST_F(WindowHostTest, KeysReachANativeTextFieldThroughItsDelegateAndOtherwiseThePage)
{
    auto field = std::make_shared<platform::TextField>(Rect(20, 20, 200, 30));
    auto recorder = std::make_shared<FieldRecorder>();
    field->setDelegate(recorder);
    m_window->addSubview(field);
    ASSERT_TRUE(field->becomeFirstResponder());
    e2e::typeKey(*m_host, GDK_KEY_a);
    e2e::typeKey(*m_host, GDK_KEY_b);
    e2e::typeKey(*m_host, GDK_KEY_BackSpace);
    e2e::typeKey(*m_host, GDK_KEY_Tab);
    e2e::typeKey(*m_host, GDK_KEY_Return);
    EXPECT_EQ(recorder->changes, std::vector<std::string>({"0,0:a", "1,0:b", "1,1:", "1,0:\t"}));
    EXPECT_EQ(field->text(), "a\t");
    EXPECT_EQ(recorder->returns, 1);
    // Text from the input method that is not UTF-8 is refused; composed text goes in whole.
    g_signal_emit_by_name(m_host->inputMethod(), "commit", "\xff\xfe");
    g_signal_emit_by_name(m_host->inputMethod(), "commit", "\xe4\xbd\xa0\xe5\xa5\xbd");
    EXPECT_EQ(field->text(), "a\t\xe4\xbd\xa0\xe5\xa5\xbd");
    EXPECT_EQ(recorder->changes.size(), 5u);

    // With no native responder the keys go to the page (focused by a click on it).
    field->endEditing(true);
    e2e::click(*m_host, Point{200, 300});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
    e2e::typeKey(*m_host, GDK_KEY_x);
    ASSERT_TRUE(waitUntil([&] { return eval("keys.join(',')") == "x"; }));
    EXPECT_EQ(field->text(), "a\t\xe4\xbd\xa0\xe5\xa5\xbd");
}

TEST_F(WindowHostTest, TheWheelScrollsTheNativeScrollViewUnderThePointerUnlessScrollingIsOff)
{
    auto scroll = std::make_shared<platform::ScrollView>(Rect(0, 0, 400, 200));
    scroll->setContentSize(platform::Size{400, 1000});
    scroll->setBackgroundColor(platform::Color::fromRGBA255(255, 255, 0));
    auto row = std::make_shared<platform::View>(Rect(0, 0, 400, 44));
    scroll->addSubview(row);
    m_window->addSubview(scroll);
    e2e::wheel(*m_host, Point{100, 20}, 1);  // on a row inside the scroll view
    EXPECT_EQ(scroll->contentOffset().y, 40);
    e2e::wheel(*m_host, Point{100, 100}, -3);  // not past the top
    EXPECT_EQ(scroll->contentOffset().y, 0);
    scroll->setScrollEnabled(false);
    e2e::wheel(*m_host, Point{100, 100}, 1);
    EXPECT_EQ(scroll->contentOffset().y, 0);
}

TEST_F(WindowHostTest, TheScreenshotShowsThePageWithTheNativeLayerOverIt)
{
    // Red over the page, and a green view under the page (which the page hides).
    auto over = std::make_shared<platform::View>(Rect(100, 150, 60, 40));
    over->setBackgroundColor(platform::Color::fromRGBA255(255, 0, 0));
    m_window->addSubview(over);
    auto under = std::make_shared<platform::View>(Rect(250, 400, 60, 40));
    under->setBackgroundColor(platform::Color::fromRGBA255(0, 255, 0));
    m_content->insertSubviewBelow(under, m_page);
    e2e::TempFolder folder;
    const std::string png = folder.path() + "/screen.png";
    ASSERT_TRUE(m_host->writeScreenshot(png).ok());
    cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), 400);
    EXPECT_EQ(cairo_image_surface_get_height(image), 600);
    EXPECT_EQ(pixelAt(image, 130, 170), 0xFF0000u);  // the native view
    EXPECT_EQ(pixelAt(image, 101, 151), 0xFF0000u);
    EXPECT_EQ(pixelAt(image, 280, 420), 0x0000FFu);  // the page, over the view below it
    EXPECT_EQ(pixelAt(image, 20, 580), 0x0000FFu);
    cairo_surface_destroy(image);
    // A longer file there before is replaced whole (nothing of it left after the picture).
    const std::string longer = folder.path() + "/longer.png";
    std::ofstream(longer) << std::string(8 << 20, 'x');
    ASSERT_TRUE(m_host->writeScreenshot(longer).ok());
    EXPECT_EQ(std::filesystem::file_size(longer), std::filesystem::file_size(png));
    // Anything but a regular file is refused at once: a FIFO nobody reads (not waited on), one somebody
    // reads, a folder.
    const std::string fifo = folder.path() + "/screen.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto unread = m_host->writeScreenshot(fifo);
    ASSERT_FALSE(unread.ok());
    EXPECT_EQ(unread.error().localizedDescription(), "cannot write " + fifo + ": not a regular file");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    auto read = m_host->writeScreenshot(fifo);
    ::close(reader);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().localizedDescription(), "cannot write " + fifo + ": not a regular file");
    auto intoFolder = m_host->writeScreenshot(folder.path());
    ASSERT_FALSE(intoFolder.ok());
    EXPECT_NE(intoFolder.error().localizedDescription().find("cannot write " + folder.path() + ": "), std::string::npos);
}

TEST_F(WindowHostTest, EveryWebViewOfAShownTreeIsPlacedAtItsFrameShownWithItsViewAndStackedInTreeOrder)
{
    auto allocationOf = [](GtkWidget* widget) {
        GtkAllocation a;
        gtk_widget_get_allocation(widget, &a);
        return Rect(a.x, a.y, a.width, a.height);
    };
    // A second web view (as an in-app browser adds one), inside a native view at (20, 40).
    auto panel = std::make_shared<platform::View>(Rect(20, 40, 300, 400));
    auto browser = WebKitGtkWebView::create(Rect(10, 44, 280, 300));
    panel->addSubview(browser);
    m_window->addSubview(panel);
    m_host->update();
    GtkWidget* layout = gtk_widget_get_parent(m_page->widget());
    ASSERT_TRUE(layout);
    EXPECT_EQ(gtk_widget_get_parent(browser->widget()), layout);
    ASSERT_TRUE(waitUntil([&] { return allocationOf(browser->widget()) == Rect(30, 84, 280, 300); }));
    GList* children = gtk_container_get_children(GTK_CONTAINER(layout));
    EXPECT_EQ(g_list_length(children), 2u);
    EXPECT_EQ(g_list_nth_data(children, 0), m_page->widget());
    EXPECT_EQ(g_list_nth_data(children, 1), browser->widget());
    g_list_free(children);

    // Hidden with its view (or an ancestor); brought back below the page when moved there.
    panel->setHidden(true);
    m_host->update();
    EXPECT_FALSE(gtk_widget_get_visible(browser->widget()));
    panel->setHidden(false);
    m_content->insertSubviewBelow(panel, m_page);
    m_host->update();
    EXPECT_TRUE(gtk_widget_get_visible(browser->widget()));
    children = gtk_container_get_children(GTK_CONTAINER(layout));
    EXPECT_EQ(g_list_nth_data(children, 0), browser->widget());
    EXPECT_EQ(g_list_nth_data(children, 1), m_page->widget());
    g_list_free(children);

    // A web view that goes takes its widget along; the host goes on with the rest.
    panel->removeFromSuperview();
    panel.reset();
    browser.reset();
    m_host->update();
    children = gtk_container_get_children(GTK_CONTAINER(layout));
    EXPECT_EQ(g_list_length(children), 1u);
    g_list_free(children);
    e2e::click(*m_host, Point{5, 5});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
}

TEST_F(WindowHostTest, TheWheelOverThePageScrollsThePage)
{
    eval("document.body.style.height = '3000px'");
    e2e::wheel(*m_host, Point{200, 300}, 3);
    ASSERT_TRUE(waitUntil([&] { return eval("String(window.scrollY > 0)") == "true"; }));
}

class ToplevelWindowHostTest : public WindowHostTest {
protected:
    ToplevelWindowHostTest() { m_kind = WindowHost::Kind::Toplevel; }
};

TEST_F(ToplevelWindowHostTest, TheScreenAndFullScreenWindowsFollowTheWindowsSize)
{
    auto footer = std::make_shared<platform::View>(Rect(0, 560, 400, 40));
    footer->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleTopMargin);
    m_content->addSubview(footer);
    gtk_window_resize(GTK_WINDOW(m_host->window()), 500, 700);
    ASSERT_TRUE(waitUntil([&] { return platform::Screen::main().bounds() == Rect(0, 0, 500, 700); }));
    EXPECT_EQ(m_window->frame(), Rect(0, 0, 500, 700));
    EXPECT_EQ(footer->frame(), Rect(0, 660, 500, 40));
    // The page's widget follows its view.
    ASSERT_TRUE(waitUntil([&] {
        GtkAllocation allocation;
        gtk_widget_get_allocation(m_page->widget(), &allocation);
        return allocation.width == 500 && allocation.height == 700;
    }));
}

// What the window shows at a point (0xRRGGBB): the offscreen window's own picture, painted by GTK's
// frame cycle as a display would show it (no other test's window can cover it).
uint32_t shownAt(WindowHost& host, int x, int y)
{
    cairo_surface_t* shown = gtk_offscreen_window_get_surface(GTK_OFFSCREEN_WINDOW(host.window()));
    if (!shown)
        return 0xFFFFFFFFu;
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(image);
    cairo_set_source_surface(cr, shown, -x, -y);
    cairo_paint(cr);
    cairo_destroy(cr);
    const uint32_t rgb = pixelAt(image, 0, 0);
    cairo_surface_destroy(image);
    return rgb;
}

TEST_F(WindowHostTest, TheWindowShowsNativeViewsOverThePageAndAnimationsToTheirEnd)
{
    auto over = std::make_shared<platform::View>(Rect(100, 150, 60, 40));
    over->setBackgroundColor(platform::Color::fromRGBA255(255, 0, 0));
    m_window->addSubview(over);
    ASSERT_TRUE(waitUntil([&] { return shownAt(*m_host, 130, 170) == 0xFF0000u && shownAt(*m_host, 300, 400) == 0x0000FFu; }))
        << std::hex << shownAt(*m_host, 130, 170) << " " << shownAt(*m_host, 300, 400);
    // A fade in: drawn frame after frame until it ends, so the display ends at the full colour.
    auto fading = std::make_shared<platform::View>(Rect(200, 300, 60, 40));
    fading->setBackgroundColor(platform::Color::fromRGBA255(0, 255, 0));
    fading->setAlpha(0);
    m_window->addSubview(fading);
    platform::ViewAnimation::animate(0.2, [&] { fading->setAlpha(1); });
    ASSERT_TRUE(waitUntil([&] { return shownAt(*m_host, 230, 320) == 0x00FF00u; })) << std::hex << shownAt(*m_host, 230, 320);
    // Hidden, the view leaves the display.
    over->setHidden(true);
    ASSERT_TRUE(waitUntil([&] { return shownAt(*m_host, 130, 170) == 0x0000FFu; }));
}

TEST_F(ToplevelWindowHostTest, ANativeTextFieldTakesTheKeyboardFocusFromThePageAndGivesItBack)
{
    eval("window.focusEvents = []; window.addEventListener('blur', () => focusEvents.push('blur'));"
         "window.addEventListener('focus', () => focusEvents.push('focus')); true");
    // The display's input focus on the window (there is no window manager to give it).
    gtk_window_present(GTK_WINDOW(m_host->window()));
    ASSERT_TRUE(waitUntil([&] { return gtk_window_is_active(GTK_WINDOW(m_host->window())); }));
    e2e::click(*m_host, Point{200, 300});
    ASSERT_TRUE(waitUntil([&] { return pageClicks() >= 1; }));
    auto field = std::make_shared<platform::TextField>(Rect(20, 20, 200, 30));
    m_window->addSubview(field);
    ASSERT_TRUE(field->becomeFirstResponder());
    m_host->update();
    ASSERT_TRUE(waitUntil([&] { return eval("focusEvents[focusEvents.length - 1]") == "blur"; })) << eval("focusEvents.join(',')");
    e2e::typeKey(*m_host, GDK_KEY_x);
    EXPECT_EQ(field->text(), "x");
    ASSERT_TRUE(field->resignFirstResponder());
    m_host->update();
    ASSERT_TRUE(waitUntil([&] { return eval("focusEvents[focusEvents.length - 1]") == "focus"; }));
    e2e::typeKey(*m_host, GDK_KEY_y);
    ASSERT_TRUE(waitUntil([&] { return eval("keys.join(',')") == "y"; }));
    EXPECT_EQ(field->text(), "x");
}

} // namespace

namespace {

// The window as seen, compared with the reference of that name.
void expectWindow(WindowHost& host, const std::string& name)
{
    e2e::TempFolder folder;
    const std::string png = folder.path() + "/window.png";
    auto written = host.writeScreenshot(png);
    ASSERT_TRUE(written.ok()) << written.error().localizedDescription();
    auto image = platform::Image::fromFile(png);
    ASSERT_TRUE(image.ok());
    hybtest::expectSnapshotImageIn("e2e", *image.value(), name);
}

} // namespace

// alert, confirm and prompt, inline while the page loads or once it shows: each is a native alert over the
// window, titled with the page's file name; a dialog while the page loads holds the load (nothing else
// waits for it), and the page gets what the person chose.
TEST_F(ToplevelWindowHostTest, APagesDialogsAreNativeAlertsAndThePageGetsWhatWasChosen)
{
    struct Case {
        std::string page;
        std::string script;  // sets window.result after its dialog
        bool whileLoading;   // inline, else once the page shows
        std::vector<guint> typed;
        std::string clicked;
        std::string result;
        std::string snapshot;
    };
    const std::vector<Case> cases{
        {"alert", "alert('Hello from the page.\\nIt waits for you.'); result = 'after the alert';", true, {}, "OK", "after the alert", "dialog_inline_alert"},
        {"confirm", "result = String(confirm('Delete the draft?'));", false, {}, "OK", "true", "dialog_confirm"},
        {"confirm-cancel", "result = String(confirm('Delete the draft?'));", true, {}, "Cancel", "false", ""},
        {"prompt", "result = JSON.stringify(prompt('Your name?', 'Ada'));", false, {GDK_KEY_space, GDK_KEY_L, GDK_KEY_period}, "OK", "\"Ada L.\"", "dialog_prompt"},
        {"prompt-cancel", "result = JSON.stringify(prompt('Your name?', 'Ada'));", true, {GDK_KEY_x}, "Cancel", "null", ""},
        {"prompt-empty", "result = JSON.stringify(prompt('Your name?'));", true, {}, "OK", "\"\"", ""},
        // A default longer than the alert shows comes back whole when left as shown.
        {"prompt-long-default", "var d = 'é'.repeat(100000) + '.'; result = String(prompt('Your text?', d) === d);", false, {}, "OK", "true", ""},
        // The keys are the alert's: Return is OK (the only button of an alert), Escape is Cancel.
        {"alert-return", "alert('Saved.'); result = 'after the alert';", false, {GDK_KEY_a, GDK_KEY_Return}, "", "after the alert", ""},
        {"confirm-return", "result = String(confirm('Delete the draft?'));", true, {GDK_KEY_a, GDK_KEY_Return}, "", "true", ""},
        {"confirm-escape", "result = String(confirm('Delete the draft?'));", false, {GDK_KEY_Escape}, "", "false", ""},
        {"prompt-escape", "result = JSON.stringify(prompt('Your name?', 'Ada'));", false, {GDK_KEY_b, GDK_KEY_Escape}, "", "null", ""},
    };
    // Each case's dialog is not in a row with the one before (which would offer "Block Dialogs").
    platform::Clock::TimePoint rowEnds{};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        ASSERT_TRUE(waitUntil([&] { return platform::Clock::current().now() > rowEnds; }));
        const std::string script = c.whileLoading ? c.script : "requestAnimationFrame(function () { requestAnimationFrame(function () { " + c.script + " }); });";
        m_page->loadHTMLString("<html><head><script>var keys = []; document.addEventListener('keydown', function (e) { keys.push(e.key); });"
                               "</script></head><body style='margin: 0; background: rgb(255, 204, 0)'><h1>Before the dialog</h1><script>" + script +
                                   "</script><h1>After it</h1></body></html>",
                               "file:///app/www/" + c.page + ".html");
        auto alert = e2e::shownDialogAlert();
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->title(), c.page + ".html");
        EXPECT_EQ(alert->numberOfButtons(), c.page.starts_with("alert") ? 1 : 2);
        // Nothing but the page waits: the main loop turns.
        bool ran = false;
        platform::RunLoop::main().perform([&] { ran = true; });
        EXPECT_TRUE(waitUntil([&] { return ran; }));
        EXPECT_EQ(m_page->isLoading(), c.whileLoading);
        EXPECT_EQ(eval("1 + 1"), "") << "the page's script is stopped in the dialog: evaluation answers at once";
        for (guint key : c.typed)
            e2e::typeKey(*m_host, key);
        if (!c.snapshot.empty())
            expectWindow(*m_host, c.snapshot);
        if (!c.clicked.empty())
            e2e::clickButton(*m_host, *alert, c.clicked);
        ASSERT_TRUE(waitUntil([&] { return eval("window.result") == c.result; })) << eval("window.result");
        EXPECT_EQ(eval("keys.join()"), "") << "no key reached the page under the alert";
        EXPECT_TRUE(waitUntil([&] { return !m_page->isLoading(); }));
        EXPECT_EQ(eval("document.querySelectorAll('h1').length"), "2");
        EXPECT_TRUE(waitUntil([&] { return !alert->isVisible(); }));
        rowEnds = platform::Clock::current().now() + platform::seconds(platform::ScriptDialogPresenter::kInARowSeconds);
    }

    // Return in the prompt's field is OK.
    m_page->evaluateJavaScript("window.later = JSON.stringify(prompt('Again?', 'yes'))", [](std::string) {});
    auto alert = e2e::shownDialogAlert();
    ASSERT_TRUE(alert);
    e2e::typeKey(*m_host, GDK_KEY_Return);
    ASSERT_TRUE(waitUntil([&] { return eval("window.later") == "\"yes\""; })) << eval("window.later");

    // print() prints nothing: no dialog of the engine's own (whose loop held the application), and the
    // page goes on at once.
    GList* before = gtk_window_list_toplevels();
    const guint windows = g_list_length(before);
    g_list_free(before);
    m_page->loadHTMLString("<html><body><script>print(); result = 'after print';</script></body></html>", "file:///app/www/print.html");
    ASSERT_TRUE(waitUntil([&] { return !m_page->isLoading(); }));
    EXPECT_EQ(eval("window.result"), "after print");
    GList* after = gtk_window_list_toplevels();
    EXPECT_EQ(g_list_length(after), windows);
    g_list_free(after);
}

// A page that alerts a thousand times in a loop, also one that gives itself another address before each
// alert: the application runs on between the alerts; from the third in a row the alert offers to block the
// page's dialogs (Return is still OK), and once blocked the loop ends at once. The blocked ones are answered
// as the engine hands them over, with no question to the page pending.
TEST_F(ToplevelWindowHostTest, APageAlertingInALoopNeverWedgesTheApplicationAndItsDialogsCanBeBlocked)
{
    const struct {
        const char* page;
        std::string before;  // script before each alert
    } cases[] = {{"loop.html", ""},
                 // (The engine refuses more than a hundred such changes in a few seconds: the loop goes on.)
                 {"wander.html", "try { history.replaceState(null, '', '?round=' + i); } catch (e) {}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        // Not in a row with the case before: its last dialog was answered more than a second ago.
        const auto rowEnds = platform::Clock::current().now() + platform::seconds(platform::ScriptDialogPresenter::kInARowSeconds);
        ASSERT_TRUE(waitUntil([&] { return platform::Clock::current().now() > rowEnds; }));
        m_page->loadHTMLString("<html><body style='margin: 0; background: rgb(255, 204, 0)'><h1>Loop</h1><script>"
                               "for (var i = 1; i <= 1000; i++) { window.rounds = i; " + c.before + " alert('Round ' + i + ' of 1000'); }"
                               "result = 'the loop ended at ' + rounds;</script></body></html>",
                               std::string("file:///app/www/") + c.page);
        for (int round = 1; round <= 3; ++round) {
            auto alert = e2e::shownDialogAlert();
            ASSERT_TRUE(alert);
            EXPECT_EQ(alert->message(), "Round " + std::to_string(round) + " of 1000");
            EXPECT_EQ(alert->numberOfButtons(), round < 3 ? 1 : 2);
            if (round == 3 && c.before.empty())
                expectWindow(*m_host, "dialog_loop_block_offered");
            bool ran = false;
            platform::RunLoop::main().perform([&] { ran = true; });
            EXPECT_TRUE(waitUntil([&] { return ran; }));
            if (round < 3)
                e2e::clickButton(*m_host, *alert, "OK");
            else
                e2e::typeKey(*m_host, GDK_KEY_Return);
            ASSERT_TRUE(waitUntil([&] { return !alert->isVisible(); }));
        }
        auto alert = e2e::shownDialogAlert();
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->message(), "Round 4 of 1000") << "Return blocked nothing";
        ASSERT_EQ(alert->numberOfButtons(), 2);
        e2e::clickButton(*m_host, *alert, "Block Dialogs");
        // Waited for with no question to the page, so that each blocked dialog comes in a turn of its own.
        ASSERT_TRUE(waitUntil([&] { return !m_page->isLoading(); }));
        ASSERT_TRUE(waitUntil([&] { return eval("window.result") == "the loop ended at 1000"; })) << eval("window.result");
        EXPECT_TRUE(waitUntil([&] { return !platform::ScriptDialogPresenter::shared().shownAlert(); })) << "the blocked page's dialogs show no more";
        // The page's later dialogs are answered at once; the page goes on.
        m_page->evaluateJavaScript("window.after = String(confirm('Sure?'))", [](std::string) {});
        ASSERT_TRUE(waitUntil([&] { return eval("window.after") == "false"; }));
    }
}

// A leave question ("beforeunload", after the person used the page): Stay keeps the page, Leave lets the
// navigation go on.
TEST_F(WindowHostTest, ALeaveQuestionKeepsThePageOnStayAndLetsItGoOnLeave)
{
    e2e::TempFolder folder;
    std::ofstream(folder.path() + "/left.html") << "<p>left</p>";
    const std::string form = "file://" + folder.path() + "/form.html";
    // Leave first: the page left holds no question, so the next load of the form is not asked about.
    for (const std::string choice : {"Leave", "Stay"}) {
        SCOPED_TRACE(choice);
        m_page->loadHTMLString("<html style='height: 100%'><body style='margin: 0; height: 100%; background: rgb(255, 204, 0)'><script>"
                               "addEventListener('beforeunload', function (e) { e.preventDefault(); e.returnValue = 'unsaved'; });"
                               "document.addEventListener('click', function () { location.href = 'left.html'; });"
                               // Shown first: the engine takes no click before.
                               "requestAnimationFrame(function () { requestAnimationFrame(function () { window.formShown = true; }); });"
                               "</script></body></html>",
                               form);
        ASSERT_TRUE(waitUntil([&] { return eval("window.formShown === true") == "true"; }));
        e2e::click(*m_host, Point{200, 300});
        auto alert = e2e::shownDialogAlert();
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->title(), "form.html");
        EXPECT_EQ(alert->buttonTitleAtIndex(0), "Stay");
        EXPECT_EQ(alert->buttonTitleAtIndex(1), "Leave");
        if (choice == "Stay")
            expectWindow(*m_host, "dialog_leave_question");
        e2e::clickButton(*m_host, *alert, choice);
        if (choice == "Leave") {
            EXPECT_TRUE(waitUntil([&] { return eval("location.pathname").ends_with("/left.html"); })) << eval("location.href");
        } else {
            // Still there: the next click asks again.
            ASSERT_TRUE(waitUntil([&] { return !alert->isVisible(); }));
            EXPECT_EQ(eval("location.href"), form);
            e2e::click(*m_host, Point{200, 300});
            auto again = e2e::shownDialogAlert();
            ASSERT_TRUE(again);
            EXPECT_EQ(again->buttonTitleAtIndex(0), "Stay");
            e2e::clickButton(*m_host, *again, "Stay");
            ASSERT_TRUE(waitUntil([&] { return !again->isVisible(); }));
            EXPECT_EQ(eval("location.href"), form);
        }
    }
}

// A page whose view goes away with its dialog showing: the alert goes, and the next page's dialog shows.
TEST_F(WindowHostTest, AWebViewThatGoesTakesItsDialogsAlong)
{
    auto other = WebKitGtkWebView::create(Rect(0, 300, 400, 300));
    m_content->addSubview(other);
    other->loadHTMLString("<script>alert('from the view that goes')</script>", "https://example.com/");
    auto alert = e2e::shownDialogAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "example.com");
    m_page->evaluateJavaScript("window.answer = String(confirm('Still here?'))", [](std::string) {});
    other->removeFromSuperview();
    other.reset();
    EXPECT_FALSE(alert->isVisible());
    auto next = e2e::shownDialogAlert();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->message(), "Still here?");
    e2e::clickButton(*m_host, *next, "OK");
    ASSERT_TRUE(waitUntil([&] { return eval("window.answer") == "true"; }));
}
