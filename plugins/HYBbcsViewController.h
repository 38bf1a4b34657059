// The barcode scan screen: the live camera picture under a transparent bar (back item and the title
// "扫一扫"), a reticle with four darkened margins around a clear square, and a scan line sweeping down
// that square every 2 s. One implementation serves both processors' screens.
//
// A page may name an alternate overlay: overlays are made by builders registered by name
// (HYBbcsOverlayRegistry), called with the screen as owner; a builder connects its view with
// setOverlayView. An unknown name, or a builder that connects nothing, logs "An error occurred loading the
// overlay xib.  It appears that the overlayView outlet is not set." and leaves the camera picture and the
// scan line alone on the screen.
//
// Guarantees:
// - Main thread only.
// - Portrait only; the single rotation question goes to the orientation delegate (held weakly).
// - The screen holds its processor weakly (the processor owns the screen while it is up).
// - The scan line sweeps until stopScanLine() (called when the scan ends, and when the screen goes).
// - Missing bundle images "nav_back" and "bar-background" leave the item and the bar without an image.
#pragma once

#include "platform/ui/Image.h"
#include "platform/ui/ViewController.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class BarButtonItem;
class ImageView;
class Label;
class Toolbar;
} // namespace platform

namespace runtime {
class HYBScreenOrientationDelegate;
}

namespace plugins {

class HYBbcsScanProcessor;

class HYBbcsScanScreen : public platform::ViewController {
public:
    // The built-in overlay's parts (nullptr before loadView, or with an alternate overlay).
    struct OverlayParts {
        std::shared_ptr<platform::View> overlay;
        std::shared_ptr<platform::View> barBackground;
        std::shared_ptr<platform::Toolbar> toolbar;
        std::shared_ptr<platform::BarButtonItem> backItem;
        std::shared_ptr<platform::Label> titleLabel;
        std::shared_ptr<platform::ImageView> reticle;
        std::array<std::shared_ptr<platform::View>, 4> margins;  // top, bottom, left, right
    };

    static constexpr double kSweepDuration = 2.0;

    // initWithProcessor:alternateOverlay:
    HYBbcsScanScreen(std::weak_ptr<HYBbcsScanProcessor> processor, std::optional<std::string> alternateXib);
    ~HYBbcsScanScreen() override;

    std::shared_ptr<HYBbcsScanProcessor> processor() const { return m_processor.lock(); }
    const std::optional<std::string>& alternateXib() const { return m_alternateXib; }
    bool shutterPressed() const { return m_shutterPressed; }
    // The outlet an alternate overlay's builder connects.
    const std::shared_ptr<platform::View>& overlayView() const { return m_overlayView; }
    void setOverlayView(std::shared_ptr<platform::View> view) { m_overlayView = std::move(view); }
    std::shared_ptr<runtime::HYBScreenOrientationDelegate> orientationDelegate() const { return m_orientationDelegate.lock(); }
    void setOrientationDelegate(std::weak_ptr<runtime::HYBScreenOrientationDelegate> delegate) { m_orientationDelegate = std::move(delegate); }
    const std::shared_ptr<platform::View>& readLineView() const { return m_readLineView; }
    const OverlayParts& overlayParts() const { return m_parts; }

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void startCapturing();

    void cancelButtonPressed();
    void flipCameraButtonPressed();
    void shutterButtonPressed() { m_shutterPressed = true; }

    std::shared_ptr<platform::View> buildOverlayView();
    std::shared_ptr<platform::View> buildOverlayViewFromXib();
    platform::Image::Ptr buildReticleImage() const;
    void loopDrawLine(double width, double distance, double left, double top);
    void stopScanLine();

    bool shouldAutorotate() override { return false; }
    platform::InterfaceOrientationMask supportedInterfaceOrientations() override;
    platform::InterfaceOrientation preferredInterfaceOrientationForPresentation() override;
    bool shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) override;
    void willAnimateRotationToInterfaceOrientation(platform::InterfaceOrientation to, double duration) override;
    platform::StatusBarStyle preferredStatusBarStyle() override;

private:
    std::weak_ptr<HYBbcsScanProcessor> m_processor;
    std::optional<std::string> m_alternateXib;
    bool m_shutterPressed = false;
    std::shared_ptr<platform::View> m_overlayView;
    std::weak_ptr<runtime::HYBScreenOrientationDelegate> m_orientationDelegate;
    std::shared_ptr<platform::View> m_readLineView;
    bool m_sweeping = false;
    OverlayParts m_parts;
};

// The metadata processor's screen.
class HYBbcsMetaDataViewController final : public HYBbcsScanScreen {
public:
    using HYBbcsScanScreen::HYBbcsScanScreen;
};

// The frame processor's screen.
class HYBbcsViewController final : public HYBbcsScanScreen {
public:
    using HYBbcsScanScreen::HYBbcsScanScreen;
};

// Alternate overlays by name. A builder makes the overlay for its owner and connects it with
// setOverlayView (or connects nothing). Main thread only.
class HYBbcsOverlayRegistry {
public:
    using Builder = std::function<void(HYBbcsScanScreen& owner)>;
    // Replaces a builder of the same name; an empty builder removes the name.
    static void registerOverlay(const std::string& name, Builder builder);
    static const Builder* builder(const std::string& name);
};

} // namespace plugins
