#include "cardpay/screens/BCFormScreen.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "platform/ui/NavigationController.h"

namespace cardpay {

namespace {

constexpr double kFormGap = 15;
constexpr double kGap = 12;
constexpr double kBoxHeight = 40;
constexpr double kNextHeight = 44;
constexpr double kBottomMargin = 30;

} // namespace

void BCFormScreen::addNavigationBar() { addBackNavigationBar(BCDataContainer::instance()->viewControllerTitle()); }

void BCFormScreen::addFormBody(const platform::Array& elements, const std::optional<platform::Dictionary>& agreement,
                               const std::string& nextTitle) {
    const double width = BCUtils::displayWidth();
    double y = addOrderViewWithStyle(1) + kFormGap;
    auto form = std::make_shared<BCPaymentElementsView>(platform::Rect(0, y, width, 0), elements,
                                                        std::static_pointer_cast<BCTextFieldDelegate>(self()));
    mScrollView()->addSubview(form);
    setPaymentElementsView(form);
    initTextFieldArray();
    y += form->frame().size.height + kGap;
    if (agreement) {
        m_licenseBox = std::make_shared<BCCheckBoxView>(platform::Rect(kGap, y, width - 2 * kGap, kBoxHeight), *agreement,
                                                        std::dynamic_pointer_cast<BCCheckBoxDelegate>(self()));
        m_licenseBox->setTag(kAgreementTag);
        mScrollView()->addSubview(m_licenseBox);
        y += m_licenseBox->frame().size.height + kGap;
    }
    addBtnNextWithTitle(nextTitle, platform::Rect(kGap, y, width - 2 * kGap, kNextHeight), canEnableNextButton(), *mScrollView());
    mScrollView()->setContentSize({width, y + kNextHeight + kBottomMargin});
}

void BCFormScreen::moveOnAfterAlertBox(std::string_view className) { BCBaseViewController::moveOnAfterAlertBox(className, true); }

void BCFormScreen::checkBox(BCCheckBoxView& view) {
    if (&view != m_licenseBox.get())
        return;
    const auto container = BCDataContainer::instance();
    if (const auto prefix = container->bcPayPrefix(); prefix && !prefix->empty()) {
        BCTrackerManager::trackEvent(*prefix + "user_protocol");
        return;
    }
    const platform::Dictionary parameters{{"agree", view.mSelected() ? "Y" : "N"}};
    BCTrackerManager::trackEvent(container->payType() == 101 ? "bankpay_agree_user_protocol" : "loginpay_agree_user_protocol",
                                 parameters);
}

void BCFormScreen::pullListAnimationDidStart(double offset) {
    endEditing();
    const std::shared_ptr<platform::View> body[] = {paymentElementsView(), m_licenseBox, mBtnNext()};
    moveDown(body, offset);
}

void BCFormScreen::moveDown(std::span<const std::shared_ptr<platform::View>> views, double offset) {
    for (const auto& view : views) {
        if (!view)
            continue;
        platform::Rect frame = view->frame();
        frame.origin.y += offset;
        view->setFrame(frame);
    }
    platform::Size content = mScrollView()->contentSize();
    content.height += offset;
    mScrollView()->setContentSize(content);
}

} // namespace cardpay
