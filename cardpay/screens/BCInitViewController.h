// The first screen of the payment road: a splash (or only the loading box when the configuration list
// asks for it), the init command with the device's description, then an upgrade prompt, or analytics
// start and tracking followed by the user-information road (a user id is known) or the order screen.
//
// The order and user-information screens are made by class name (BCScreenRegistry.h); when their class
// is not registered the start screen stays (the registry logs it).
//
// The start screen stays at the bottom of the stack; its OK answer without a pending upgrade ends the
// road with "fail" (it is the only way out of a failure alert on this screen).
//
// Main thread only.
#pragma once

#include "cardpay/screens/BCBaseViewController.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/Layer.h"

#include <memory>
#include <string>

namespace cardpay {

class BCInitViewController : public BCBaseViewController {
public:
    static constexpr double kUserInfoDelay = 0.6;
    // The analytics application key.
    static constexpr const char* kTrackerAppKey = "3F9B2C71E4D08A56B1C7E92D40F6A3B8";

    BCInitViewController() = default;

    void viewDidLoad() override;
    void resetStatusBar() override;
    void showLoadingAlertView() override;
    static void setBgColors(platform::View& view, std::shared_ptr<platform::GradientLayer>& layer);
    void addSubViews() override;
    void postInitMessage();

    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void buttonOKClicked() override;
    void buttonCancelClicked() override;

    void pushViewControllerToOrderViewController();
    void pushViewToUserInfoViewController();
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

    bool mNeedUpgrade() const { return m_needUpgrade; }
    bool mForceUpGrade() const { return m_forceUpgrade; }
    const std::string& mUpgradeUrl() const { return m_upgradeUrl; }
    const std::shared_ptr<platform::ImageView>& logoView() const { return m_logoView; }
    const std::shared_ptr<platform::ImageView>& loadingView() const { return m_loadingView; }
    const std::shared_ptr<platform::Label>& versionLabel() const { return m_version; }
    const std::shared_ptr<platform::View>& backGroundView() const { return m_backGroundView; }

private:
    void offerUpgrade(bool compulsory);
    void startTracking();
    // The pay mode of the order screen: 100 card pay, 101 account pay.
    static int orderPayMode();

    bool m_needUpgrade = false;
    bool m_forceUpgrade = false;
    std::string m_upgradeUrl;
    std::shared_ptr<platform::ImageView> m_logoView;
    std::shared_ptr<platform::Label> m_version;
    std::shared_ptr<platform::Label> m_footer;
    std::shared_ptr<platform::View> m_backGroundView;
    std::shared_ptr<platform::GradientLayer> m_backGroundLayer;
    std::shared_ptr<platform::ImageView> m_loadingView;
};

} // namespace cardpay
