// The page's "SplashScreen" service: the launch image with a spinner over the web view from start-up
// until the first page has loaded (or until the page hides it), fitted to the view as it changes size,
// optionally fading out.
//
// Guarantees:
// - Main thread only.
// - Shown by pluginInitialize; hidden when this web view's page has loaded unless the preference
//   "AutoHideSplashScreen" is false, then only by the page's `hide`. While shown, the view controller's
//   view takes no touches.
// - Preferences (config.xml, lower-cased names): "AutoHideSplashScreen", "ShowSplashScreenSpinner"
//   (booleans, default true), "TopActivityIndicator" ("whiteLarge", "white", else gray),
//   "FadeSplashScreen" (boolean, default false) and "FadeSplashScreenDuration" (seconds, default 0.25;
//   text that is not a number reads 0; a negative or zero duration does not fade).
// - `show` during a fade keeps the splash: the views stay (back at full opacity) and later hide and show
//   calls work as usual.
// - The image is the bundle's image named by getImageName (Image::named); when there is none, the line
//   "WARNING: The splashscreen image named <name> was not found" is logged and the spinner stays.
// Made by the name "HYBSplashScreen" once registerClass() ran.
#pragma once

#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/ActivityIndicatorView.h"
#include "platform/ui/ImageView.h"
#include "runtime/HYBPlugin.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {
class ViewController;
}

namespace plugins {

class HYBSplashScreen : public runtime::HYBPlugin, public platform::KeyValueObserver {
public:
    // The device flags the image choice reads, in the order of the platform's answer.
    struct Device {
        bool phone = false;
        bool pad = false;
        bool screen568 = false;
        bool screen667 = false;
        bool screen736 = false;
        bool retina = false;
    };

    using HYBPlugin::HYBPlugin;
    ~HYBSplashScreen() override;

    static void registerClass();

    void pluginInitialize() override;

    // ---- page actions (arguments ignored, no answer) ----
    void show(const runtime::HYBInvokedUrlCommand& command);
    void hide(const runtime::HYBInvokedUrlCommand& command);

    // ---- what they are made of ----
    void pageDidLoad();
    void setVisible(bool visible);
    bool isVisible() const { return m_visible; }
    void createViews();
    void destroyViews();
    void updateImage();
    void updateBounds();
    static Device getCurrentDevice();
    // The launch image's name for the orientation, the orientations `delegate` supports and the device.
    static std::string getImageName(platform::InterfaceOrientation orientation, platform::ViewController& delegate, const Device& device);
    // The fade's duration from the preferences: 0 when there is no fade.
    double fadeDuration() const;

    void observeValueForKeyPath(const std::string& keyPath, platform::View& object) override;

    const std::shared_ptr<platform::ImageView>& imageView() const { return m_imageView; }
    const std::shared_ptr<platform::ActivityIndicatorView>& activityView() const { return m_activityView; }
    const std::optional<std::string>& curImageName() const { return m_curImageName; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBSplashScreen"; }

private:
    // The preference's value when it is set (names are looked up lower-cased).
    std::optional<platform::Value> setting(std::string_view name) const;
    // The preference read as a boolean, `absent` when it is not set.
    bool flagSetting(std::string_view name, bool absent) const;
    std::shared_ptr<platform::View> controllerView() const;
    void fadeFinished(bool finished);

    std::shared_ptr<platform::ImageView> m_imageView;
    std::shared_ptr<platform::ActivityIndicatorView> m_activityView;
    std::optional<std::string> m_curImageName;
    std::weak_ptr<platform::View> m_observedView;
    bool m_visible = false;
};

} // namespace plugins
