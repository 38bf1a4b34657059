#include "plugins/HYBSplashScreen.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewController.h"
#include "platform/web/WebView.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/TextCase.h"

#include <cmath>
#include <numbers>

namespace plugins {

namespace {

constexpr double kDefaultFadeDuration = 0.25;
constexpr unsigned kPortraitBits = 2 | 4;
constexpr unsigned kLandscapeBits = 8 | 16;
constexpr unsigned kAllMarginsFlexible = platform::kAutoresizingFlexibleLeftMargin | platform::kAutoresizingFlexibleRightMargin |
                                         platform::kAutoresizingFlexibleTopMargin | platform::kAutoresizingFlexibleBottomMargin;
const char* const kObservedKeyPaths[] = {"frame", "bounds"};

platform::ActivityIndicatorViewStyle spinnerStyle(const std::optional<platform::Value>& setting) {
    const std::string* name = setting ? setting->getString() : nullptr;
    if (name && *name == "whiteLarge")
        return platform::ActivityIndicatorViewStyle::WhiteLarge;
    if (name && *name == "white")
        return platform::ActivityIndicatorViewStyle::White;
    return platform::ActivityIndicatorViewStyle::Gray;
}

// The name without its extension ("Launch.png" -> "Launch"; a dot in a folder name is not one).
std::string withoutExtension(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == (slash == std::string::npos ? 0 : slash + 1))
        return name;
    return name.substr(0, dot);
}

} // namespace

HYBSplashScreen::~HYBSplashScreen() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    if (std::shared_ptr<platform::View> view = m_observedView.lock())
        for (const char* keyPath : kObservedKeyPaths)
            view->removeObserver(this, keyPath);
}

void HYBSplashScreen::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBSplashScreen>("HYBSplashScreen");
    (void)registered;
}

const runtime::HYBActionTable& HYBSplashScreen::actions() const {
    static const runtime::HYBActionTable table =
        runtime::HYBActionTable::of<HYBSplashScreen>({{"show", &HYBSplashScreen::show}, {"hide", &HYBSplashScreen::hide}});
    return table;
}

void HYBSplashScreen::pluginInitialize() {
    platform::NotificationCenter::defaultCenter().addObserver(this, runtime::kHYBPageDidLoadNotification, webView().get(),
                                                              [this](const platform::Notification&) { pageDidLoad(); });
    setVisible(true);
}

void HYBSplashScreen::show(const runtime::HYBInvokedUrlCommand&) { setVisible(true); }

void HYBSplashScreen::hide(const runtime::HYBInvokedUrlCommand&) { setVisible(false); }

void HYBSplashScreen::pageDidLoad() {
    if (!flagSetting("AutoHideSplashScreen", true))
        return;
    setVisible(false);
}

std::optional<platform::Value> HYBSplashScreen::setting(std::string_view name) const {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return std::nullopt;
    const platform::Dictionary settings = delegate->settings();
    if (const platform::Value* value = settings.find(runtime::lowercased(name)))
        return *value;
    return std::nullopt;
}

bool HYBSplashScreen::flagSetting(std::string_view name, bool absent) const {
    std::optional<platform::Value> value = setting(name);
    return value ? value->boolValue() : absent;
}

double HYBSplashScreen::fadeDuration() const {
    if (!flagSetting("FadeSplashScreen", false))
        return 0;
    std::optional<platform::Value> value = setting("FadeSplashScreenDuration");
    const double duration = value ? value->doubleValue() : kDefaultFadeDuration;
    // A negative or unreadable duration does not fade (an animation cannot run backwards).
    return std::isfinite(duration) && duration > 0 ? duration : 0;
}

std::shared_ptr<platform::View> HYBSplashScreen::controllerView() const {
    std::shared_ptr<platform::ViewController> controller = viewController();
    return controller ? controller->view() : nullptr;
}

void HYBSplashScreen::setVisible(bool visible) {
    if (visible == m_visible)
        return;
    m_visible = visible;
    const double duration = fadeDuration();

    if (visible) {
        if (!m_imageView) {
            createViews();
        } else {
            // Shown again during a fade: back at full opacity; the fade's end keeps the views.
            m_imageView->setAlpha(1);
            if (m_activityView)
                m_activityView->setAlpha(1);
        }
        return;
    }
    if (duration == 0) {
        destroyViews();
        return;
    }
    std::shared_ptr<platform::View> view = controllerView();
    if (!view) {
        destroyViews();
        return;
    }
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    platform::ViewAnimation::transition(
        *view, duration, 0,
        [weak] {
            auto self = std::static_pointer_cast<HYBSplashScreen>(weak.lock());
            if (!self)
                return;
            if (self->m_activityView)
                self->m_activityView->setAlpha(0);
            if (self->m_imageView)
                self->m_imageView->setAlpha(0);
        },
        [weak](bool finished) {
            if (!finished)
                return;
            platform::DispatchQueue::main()->async([weak] {
                if (auto self = std::static_pointer_cast<HYBSplashScreen>(weak.lock()))
                    self->fadeFinished(true);
            });
        });
}

void HYBSplashScreen::fadeFinished(bool finished) {
    if (!finished)
        return;
    if (!m_visible) {
        destroyViews();
        return;
    }
    // `show` came during the fade: the splash stays.
    if (m_imageView)
        m_imageView->setAlpha(1);
    if (m_activityView)
        m_activityView->setAlpha(1);
}

void HYBSplashScreen::createViews() {
    std::shared_ptr<platform::View> view = controllerView();
    if (!view)
        return;
    const platform::ActivityIndicatorViewStyle style = spinnerStyle(setting("TopActivityIndicator"));
    view->setUserInteractionEnabled(false);

    m_activityView = std::make_shared<platform::ActivityIndicatorView>(style);
    const platform::Rect bounds = view->bounds();
    m_activityView->setCenter(platform::Point{bounds.size.width / 2, bounds.size.height / 2});
    m_activityView->setAutoresizingMask(kAllMarginsFlexible);
    m_activityView->startAnimating();

    m_imageView = std::make_shared<platform::ImageView>();
    view->addSubview(m_imageView);
    if (flagSetting("ShowSplashScreenSpinner", true))
        view->addSubview(m_activityView);

    auto self = std::static_pointer_cast<HYBSplashScreen>(shared_from_this());
    for (const char* keyPath : kObservedKeyPaths)
        view->addObserver(self, keyPath);
    m_observedView = view;
    updateImage();
}

void HYBSplashScreen::destroyViews() {
    if (m_imageView)
        m_imageView->removeFromSuperview();
    if (m_activityView)
        m_activityView->removeFromSuperview();
    m_imageView.reset();
    m_activityView.reset();
    m_curImageName.reset();
    if (std::shared_ptr<platform::View> view = controllerView())
        view->setUserInteractionEnabled(true);
    if (std::shared_ptr<platform::View> observed = m_observedView.lock())
        for (const char* keyPath : kObservedKeyPaths)
            observed->removeObserver(this, keyPath);
    m_observedView.reset();
}

void HYBSplashScreen::observeValueForKeyPath(const std::string&, platform::View&) { updateImage(); }

HYBSplashScreen::Device HYBSplashScreen::getCurrentDevice() {
    Device device;
    const platform::UserInterfaceIdiom idiom = platform::Device::current().userInterfaceIdiom();
    device.phone = idiom != platform::UserInterfaceIdiom::Pad;
    device.pad = idiom == platform::UserInterfaceIdiom::Pad;
    const platform::Rect screen = platform::Screen::main().bounds();
    const double longer = std::trunc(std::max(screen.size.width, screen.size.height));
    device.screen568 = device.phone && longer == 568;
    device.screen667 = device.phone && longer == 667;
    device.screen736 = device.phone && longer == 736;
    device.retina = platform::Screen::main().scale() == 2.0;
    return device;
}

std::string HYBSplashScreen::getImageName(platform::InterfaceOrientation orientation, platform::ViewController& delegate,
                                          const Device& device) {
    std::string name = "Default";
    const platform::Value file = platform::Bundle::main().objectForInfoDictionaryKey("UILaunchImageFile");
    if (const std::string* text = file.getString())
        name = withoutExtension(*text);

    const platform::InterfaceOrientationMask mask = delegate.supportedInterfaceOrientations();
    const bool landscapeBit = (mask & kLandscapeBits) != 0;
    const bool bothFamilies = (mask & kPortraitBits) != 0 && landscapeBit;
    const bool landscape = bothFamilies ? platform::isLandscape(orientation) : landscapeBit;

    if (device.screen568)
        return name + "-568h";
    if (device.screen667)
        return name + "-667h";
    if (device.screen736)
        return name + (landscape ? "-Landscape" : "") + "-736h";
    if (device.pad)
        return name + (landscape ? "-Landscape" : "-Portrait");
    return name;
}

void HYBSplashScreen::updateImage() {
    std::shared_ptr<platform::ViewController> controller = viewController();
    if (!controller || !m_imageView)
        return;
    const std::string name = getImageName(controller->interfaceOrientation(), *controller, getCurrentDevice());
    if (name != m_curImageName) {
        m_imageView->setImage(platform::Image::named(name));
        m_curImageName = name;
    }
    if (m_imageView->image())
        updateBounds();
    else
        platform::Log::write("WARNING: The splashscreen image named " + name + " was not found");
}

void HYBSplashScreen::updateBounds() {
    std::shared_ptr<platform::ViewController> controller = viewController();
    std::shared_ptr<platform::View> view = controllerView();
    if (!controller || !view || !m_imageView)
        return;
    const platform::Image::Ptr image = m_imageView->image();
    platform::Size size = image ? image->size() : platform::Size{};
    platform::Point origin;
    platform::AffineTransform transform;

    if (getCurrentDevice().phone && platform::isLandscape(controller->interfaceOrientation())) {
        transform = platform::AffineTransform::rotation(std::numbers::pi / 2);
        std::swap(size.width, size.height);
    }
    const platform::Rect screen = view->convertRectFrom(platform::Screen::main().bounds(), nullptr);
    const platform::Size viewSize = view->bounds().size;
    if (screen.size == size) {
        if (!platform::isVersionAtLeast(platform::Device::current().systemVersion(), "7.0")) {
            const platform::Rect statusBar = view->convertRectFrom(platform::Application::shared().statusBarFrame(), nullptr);
            origin.y -= statusBar.size.height;
        }
    } else if (size.width > 0 && size.height > 0 && viewSize.height > 0) {
        const double scale = viewSize.width / viewSize.height > size.width / size.height ? viewSize.width / size.width
                                                                                      : viewSize.height / size.height;
        size.width *= scale;
        size.height *= scale;
    }
    // The frame (origin, size) with the transform: the turned image's bounds are the size unswapped.
    const bool turned = transform != platform::AffineTransform();
    m_imageView->setTransform(transform);
    m_imageView->setBounds(platform::Rect{{}, turned ? platform::Size{size.height, size.width} : size});
    m_imageView->setCenter(platform::Point{origin.x + size.width / 2, origin.y + size.height / 2});
}

} // namespace plugins
