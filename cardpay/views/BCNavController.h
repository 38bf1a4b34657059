// The container of the payment screens and the bar each screen draws at its top.
//
// BCNavController fixes the orientations (a phone: portrait only; a tablet: the orientation the host had
// when the road opened), records the size the screens rotate to, passes rotations to every screen of
// its stack and keyboard notifications to the screen on top (none while a rotation runs, except that
// the order header takes touches again once the keyboard has shown or hidden).
//
// BCNavigationBar is a 44-point bar: a centred title or a spinner until `resetBarTitle`, the logo
// (image 20008, 20 points high) at the right, and a left button (image 20002 back, 20003 close) when a
// live target and an action are given. The title's label spans the bar; its text is drawn clear of the
// left button's place and the logo, the same room on both sides, and a longer title ends in "…".
//
// Main thread only.
#pragma once

#include "cardpay/views/BCLabel.h"
#include "platform/runloop/Notification.h"
#include "platform/ui/ActivityIndicatorView.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/NavigationController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCPullListView;

// What the navigation controller asks of the screen on top; a screen answers what it overrides.
class BCNavScreen {
public:
    virtual ~BCNavScreen() = default;
    virtual std::shared_ptr<BCPullListView> pullListView() const { return nullptr; }
    virtual void keyBoardWillChangeFrame(const platform::Notification& /*notification*/) {}
    virtual void keyboareWillHide(const platform::Notification& /*notification*/) {}
};

class BCNavController : public platform::NavigationController {
public:
    static std::shared_ptr<BCNavController> initWithRootViewController(const std::shared_ptr<platform::ViewController>& root);
    ~BCNavController() override;

    void viewDidLoad() override;
    platform::StatusBarStyle preferredStatusBarStyle() override;
    bool shouldAutorotate() override { return true; }
    bool shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) override;
    platform::InterfaceOrientationMask supportedInterfaceOrientations() override;
    void viewWillTransitionToSize(platform::Size size, platform::TransitionCoordinator& coordinator) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;
    void didRotateFromInterfaceOrientation(platform::InterfaceOrientation from) override;

    void keyboareWillShow(const platform::Notification& notification);
    void keyboareDidShow(const platform::Notification& notification);
    void keyboareWillHide(const platform::Notification& notification);
    void keyboareDidHide(const platform::Notification& notification);

    bool isOrientating() const { return m_nowOrientating; }
    bool isKeyboardShowing() const { return m_keyBoardShowwing; }

private:
    BCNavScreen* topScreen() const;
    void setPullListTouches(bool enabled) const;

    bool m_nowOrientating = false;
    bool m_keyBoardShowwing = false;
};

class BCNavigationBar : public platform::View {
public:
    using Action = std::function<void()>;
    static constexpr double kLeftButtonWidth = 80;

    BCNavigationBar(platform::Rect frame, const std::optional<std::string>& barTitle, const std::string& btnTitle,
                    std::weak_ptr<void> target, Action action, bool shouldBack);
    ~BCNavigationBar() override;

    // The bar colour: "NavigationBarColors" of the configuration list, else BCUtils navBarColor.
    static platform::Color createBackgroundColor();

    void resetBarTitle(const std::string& title);
    void hideCardPayLogo();
    void showCardPayLogo();
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

    const std::shared_ptr<BCLabel>& barTitle() const { return m_barTitle; }
    const std::shared_ptr<platform::ActivityIndicatorView>& loadingIndicator() const { return m_loadingIndicator; }
    const std::shared_ptr<platform::ImageView>& logoImage() const { return m_logoImage; }
    const std::shared_ptr<platform::Button>& leftButton() const { return m_leftButton; }

private:
    void addBarTitle(const std::string& title);
    void addLoadingIndicator();
    void addCardPaylogo();
    void addLeftButton(std::weak_ptr<void> target, Action action);
    platform::Rect logoFrame() const;
    // The logo's size: image 20008 scaled to 20 points high.
    static platform::Size logoSize();

    bool m_shouldBack = false;
    std::shared_ptr<platform::ImageView> m_logoImage;
    std::shared_ptr<BCLabel> m_barTitle;
    std::shared_ptr<platform::ActivityIndicatorView> m_loadingIndicator;
    std::shared_ptr<platform::Button> m_leftButton;
    std::weak_ptr<void> m_actionTarget;
};

} // namespace cardpay
