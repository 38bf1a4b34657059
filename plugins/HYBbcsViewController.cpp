#include "plugins/HYBbcsViewController.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"
#include "platform/ui/BarButtonItem.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/ViewAnimation.h"
#include "plugins/HYBbcsProcessor.h"
#include "runtime/HYBScreenOrientationDelegate.h"

#include <algorithm>
#include <map>

namespace plugins {

namespace {

constexpr double kToolbarHeight = 44;
constexpr double kBarHeightFromSeven = 64;
constexpr double kToolbarTopFromSeven = 20;
constexpr double kBackItemLead = -10;
constexpr double kLineHeight = 2.0;
constexpr double kReticleSide = 500;
constexpr double kReticleAlpha = 0.4;
constexpr double kReticleLineWidth = 4;
constexpr double kMarginAlpha = 0.375;
constexpr double kLineAlpha = 0.2;

bool fromSystemSeven() { return platform::isVersionAtLeast(platform::Device::current().systemVersion(), "7.0"); }

// A bundle picture "name.png"; nullptr when the bundle lacks it or it does not decode.
platform::Image::Ptr bundleImage(const std::string& name) {
    const std::string path = platform::Bundle::main().pathForResource(name, "png");
    if (path.empty())
        return nullptr;
    auto image = platform::Image::fromFile(path);
    return image ? *image : nullptr;
}

std::shared_ptr<platform::View> coloredView(platform::Rect frame, platform::Color color) {
    auto view = std::make_shared<platform::View>(frame);
    view->setBackgroundColor(color);
    return view;
}

std::map<std::string, HYBbcsOverlayRegistry::Builder>& overlayBuilders() {
    static auto* builders = new std::map<std::string, HYBbcsOverlayRegistry::Builder>;
    return *builders;
}

} // namespace

void HYBbcsOverlayRegistry::registerOverlay(const std::string& name, Builder builder) {
    if (builder)
        overlayBuilders()[name] = std::move(builder);
    else
        overlayBuilders().erase(name);
}

const HYBbcsOverlayRegistry::Builder* HYBbcsOverlayRegistry::builder(const std::string& name) {
    auto it = overlayBuilders().find(name);
    return it == overlayBuilders().end() ? nullptr : &it->second;
}

HYBbcsScanScreen::HYBbcsScanScreen(std::weak_ptr<HYBbcsScanProcessor> processor, std::optional<std::string> alternateXib)
    : m_processor(std::move(processor)), m_alternateXib(std::move(alternateXib)) {}

HYBbcsScanScreen::~HYBbcsScanScreen() { m_sweeping = false; }

void HYBbcsScanScreen::loadView() {
    std::shared_ptr<HYBbcsScanProcessor> owner = processor();
    std::shared_ptr<platform::ViewController> parent = owner ? owner->parentViewController() : nullptr;
    const platform::Rect frame = parent ? parent->view()->frame() : platform::Screen::main().bounds();
    auto root = std::make_shared<platform::View>(frame);
    setView(root);
    if (owner && owner->previewLayer()) {
        const std::shared_ptr<platform::CaptureVideoPreviewLayer>& preview = owner->previewLayer();
        preview->setFrame(root->bounds());
        preview->setVideoGravity(platform::kLayerVideoGravityResizeAspectFill);
        if (preview->isOrientationSupported())
            preview->setOrientation(static_cast<int>(platform::CaptureVideoOrientation::Portrait));
        root->layer()->insertSublayerAt(preview, 0);
    }
    if (std::shared_ptr<platform::View> overlay = buildOverlayView())
        root->addSubview(overlay);
}

void HYBbcsScanScreen::viewWillAppear(bool) {
    std::shared_ptr<HYBbcsScanProcessor> owner = processor();
    if (!owner || !owner->previewLayer())
        return;
    owner->previewLayer()->setOrientation(static_cast<int>(platform::Application::shared().statusBarOrientation()));
    owner->previewLayer()->setFrame(view()->bounds());
}

void HYBbcsScanScreen::viewDidAppear(bool animated) {
    startCapturing();
    ViewController::viewDidAppear(animated);
}

void HYBbcsScanScreen::viewDidDisappear(bool animated) {
    stopScanLine();
    ViewController::viewDidDisappear(animated);
}

void HYBbcsScanScreen::startCapturing() {
    if (std::shared_ptr<HYBbcsScanProcessor> owner = processor())
        owner->setCapturing(true);
}

void HYBbcsScanScreen::cancelButtonPressed() {
    std::weak_ptr<HYBbcsScanProcessor> weak = m_processor;
    platform::DispatchQueue::main()->async([weak] {
        if (std::shared_ptr<HYBbcsScanProcessor> owner = weak.lock())
            owner->barcodeScanCancelled();
    });
}

void HYBbcsScanScreen::flipCameraButtonPressed() {
    std::weak_ptr<HYBbcsScanProcessor> weak = m_processor;
    platform::DispatchQueue::main()->async([weak] {
        if (std::shared_ptr<HYBbcsScanProcessor> owner = weak.lock())
            owner->flipCamera();
    });
}

std::shared_ptr<platform::View> HYBbcsScanScreen::buildOverlayViewFromXib() {
    if (const HYBbcsOverlayRegistry::Builder* builder = HYBbcsOverlayRegistry::builder(m_alternateXib.value_or("")))
        (*builder)(*this);
    if (!m_overlayView) {
        platform::Log::write("An error occurred loading the overlay xib.  It appears that the overlayView outlet is not set.");
        return nullptr;
    }
    return m_overlayView;
}

std::shared_ptr<platform::View> HYBbcsScanScreen::buildOverlayView() {
    const platform::Rect bounds = view()->bounds();
    const double W = bounds.size.width, H = bounds.size.height, S = std::min(W, H);
    const double L = W / 2 - S / 4, T = H / 2 - S / 4;
    // The line goes onto the root view first, under whichever overlay follows.
    loopDrawLine(S / 2 - 20, S / 2 - 20, L + 10, T + 10);
    if (m_alternateXib)
        return buildOverlayViewFromXib();

    const bool seven = fromSystemSeven();
    auto overlay = std::make_shared<platform::View>(platform::Rect(0, 0, W, H));
    overlay->setAutoresizesSubviews(true);
    overlay->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleHeight);
    overlay->setOpaque(false);

    auto toolbar = std::make_shared<platform::Toolbar>();
    toolbar->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleTopMargin);
    toolbar->setBackgroundColor(platform::Color::clear());
    toolbar->setBackgroundImage(platform::Image::solidColor(platform::Color::clear()), platform::BarPosition::Any);
    toolbar->setShadowImage(platform::Image::solidColor(platform::Color::clear()), platform::BarPosition::Any);
    auto back = platform::BarButtonItem::withImage(bundleImage("nav_back"), platform::BarButtonItemStyle::Plain);
    back->setTarget(weak_from_this(), [weak = std::weak_ptr<ViewController>(weak_from_this())](platform::BarButtonItem&) {
        if (auto screen = std::static_pointer_cast<HYBbcsScanScreen>(weak.lock()))
            screen->cancelButtonPressed();
    });
    back->setTintColor(platform::Color::white());
    auto title = std::make_shared<platform::Label>(platform::Rect(0, 0, 80, kToolbarHeight));
    title->setBackgroundColor(platform::Color::clear());
    title->setTextColor(platform::Color::white());
    title->setTintColor(platform::Color::white());
    title->setTextAlignment(platform::TextAlignment::Center);
    title->setText("扫一扫");
    toolbar->setItems({platform::BarButtonItem::fixedSpace(kBackItemLead), back, platform::BarButtonItem::flexibleSpace(),
                       platform::BarButtonItem::withCustomView(title), platform::BarButtonItem::flexibleSpace()});
    toolbar->sizeToFit();
    toolbar->setFrame(platform::Rect(0, seven ? kToolbarTopFromSeven : 0, W, kToolbarHeight));

    auto bar = std::make_shared<platform::View>(platform::Rect(0, 0, W, seven ? kBarHeightFromSeven : kToolbarHeight));
    if (platform::Image::Ptr pattern = bundleImage("bar-background"))
        bar->setBackgroundColor(platform::Color::pattern(pattern));
    bar->addSubview(toolbar);
    overlay->addSubview(bar);

    auto reticle = std::make_shared<platform::ImageView>(buildReticleImage());
    reticle->setFrame(platform::Rect((W - S) / 2, (H - S) / 2, S, S));
    reticle->setOpaque(false);
    reticle->setContentMode(platform::ContentMode::ScaleAspectFit);
    reticle->setAutoresizingMask(platform::kAutoresizingFlexibleLeftMargin | platform::kAutoresizingFlexibleRightMargin |
                                 platform::kAutoresizingFlexibleTopMargin | platform::kAutoresizingFlexibleBottomMargin);
    overlay->addSubview(reticle);

    const platform::Color shade = platform::Color::fromRGBA(0, 0, 0, kMarginAlpha);
    m_parts.margins = {coloredView(platform::Rect(0, 0, W, T), shade), coloredView(platform::Rect(0, H - T, W, T), shade),
                       coloredView(platform::Rect(0, T, S / 4, S / 2), shade),
                       coloredView(platform::Rect(W - L, T, S / 4, S / 2), shade)};
    // The top margin lies over the bar: touches pass through the shades to the back item.
    for (const std::shared_ptr<platform::View>& margin : m_parts.margins) {
        margin->setUserInteractionEnabled(false);
        overlay->addSubview(margin);
    }

    m_parts.overlay = overlay;
    m_parts.barBackground = bar;
    m_parts.toolbar = toolbar;
    m_parts.backItem = back;
    m_parts.titleLabel = title;
    m_parts.reticle = reticle;
    return overlay;
}

platform::Image::Ptr HYBbcsScanScreen::buildReticleImage() const {
    std::unique_ptr<platform::ImageContext> image = platform::ImageContext::begin({kReticleSide, kReticleSide}, 1);
    if (!image)
        return nullptr;
    platform::GraphicsContext& context = image->context();
    std::shared_ptr<HYBbcsScanProcessor> owner = processor();
    const bool is1D = owner ? owner->is1D() : false;
    const bool is2D = owner ? owner->is2D() : true;
    context.setLineWidth(kReticleLineWidth);
    if (is1D) {
        context.setStrokeColor(platform::Color::fromRGBA(1, 0, 0, kReticleAlpha));
        const platform::Point line[] = {{127, 250}, {373, 250}};
        context.strokeLineSegments(line);
    }
    if (is2D) {
        context.setStrokeColor(platform::Color::fromRGBA(0, 1, 0, kReticleAlpha));
        const platform::Point brackets[] = {
            {127, 125}, {127, 155}, {125, 127}, {155, 127}, {127, 375}, {127, 345}, {125, 373}, {155, 373},
            {373, 375}, {373, 345}, {375, 373}, {345, 373}, {373, 125}, {373, 155}, {375, 127}, {345, 127},
        };
        context.strokeLineSegments(brackets);
    }
    return image->end();
}

void HYBbcsScanScreen::loopDrawLine(double width, double distance, double left, double top) {
    if (m_readLineView)
        m_readLineView->removeFromSuperview();
    auto line = coloredView(platform::Rect(left, top, width, kLineHeight), platform::Color::fromRGBA(0, 1, 0, kLineAlpha));
    m_readLineView = line;
    m_sweeping = true;
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::ViewAnimation::animate(
        kSweepDuration, 0, platform::kAnimationOptionCurveEaseIn,
        [&] { line->setFrame(platform::Rect(left, top + distance, width, kLineHeight)); },
        [weak, width, distance, left, top](bool) {
            auto screen = std::static_pointer_cast<HYBbcsScanScreen>(weak.lock());
            if (screen && screen->m_sweeping)
                screen->loopDrawLine(width, distance, left, top);
        });
    view()->addSubview(line);
}

void HYBbcsScanScreen::stopScanLine() { m_sweeping = false; }

platform::InterfaceOrientationMask HYBbcsScanScreen::supportedInterfaceOrientations() {
    return platform::kInterfaceOrientationMaskPortrait;
}

platform::InterfaceOrientation HYBbcsScanScreen::preferredInterfaceOrientationForPresentation() {
    return platform::InterfaceOrientation::Portrait;
}

bool HYBbcsScanScreen::shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) {
    if (std::shared_ptr<runtime::HYBScreenOrientationDelegate> delegate = orientationDelegate())
        return delegate->shouldAutorotateToInterfaceOrientation(orientation);
    return true;
}

void HYBbcsScanScreen::willAnimateRotationToInterfaceOrientation(platform::InterfaceOrientation to, double duration) {
    std::shared_ptr<HYBbcsScanProcessor> owner = processor();
    if (owner && owner->previewLayer()) {
        owner->previewLayer()->setOrientation(static_cast<int>(to));
        owner->previewLayer()->setFrame(view()->bounds());
    }
    ViewController::willAnimateRotationToInterfaceOrientation(to, duration);
}

platform::StatusBarStyle HYBbcsScanScreen::preferredStatusBarStyle() { return platform::StatusBarStyle::LightContent; }

} // namespace plugins
