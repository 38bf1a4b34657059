#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/ViewAnimation.h"

namespace cardpay {

namespace {

constexpr double kNextGap = 20;
constexpr double kNextHeight = 44;

} // namespace

std::shared_ptr<BCInputCardViewController> BCInputCardViewController::initForAccount(bool forAccount) {
    return std::make_shared<BCInputCardViewController>(forAccount);
}

void BCInputCardViewController::registerScreen() {
    BCScreenRegistry::shared().registerClass("BCInputCardViewController", [] {
        return std::unique_ptr<BCBaseViewController>(new BCInputCardViewController(false));
    });
}

void BCInputCardViewController::viewDidLoad() {
    BCBaseViewController::viewDidLoad();
    addSubViews();
}

// The road's own bar is hidden: without this one the screen would have no way back to the order screen.
void BCInputCardViewController::addNavigationBar() { addBackNavigationBar(BCDataContainer::instance()->orderViewTitle()); }

void BCInputCardViewController::addSubViews() {
    const auto container = BCDataContainer::instance();
    const double width = BCUtils::displayWidth();
    double y = addOrderViewWithStyle(1) + 15;
    m_cardCell = std::make_shared<BCNewBankCardCell>(platform::Rect(0, y, width, 0), container->mInputInfoItem().value_or(platform::Array{}),
                                                     std::static_pointer_cast<BCTextFieldDelegate>(self()));
    mScrollView()->addSubview(m_cardCell);
    setTextFieldsArray({m_cardCell->bankCell()});  // Next follows the card field: off again once it is emptied
    y = m_cardCell->frame().maxY() + kNextGap;
    const auto action = container->orderViewAction().value_or(platform::Dictionary{});
    const bool filled = m_cardCell->bankCell() && !m_cardCell->bankCell()->text().empty();
    addBtnNextWithTitle(action["label"].stringOr(""), platform::Rect(12, y, width - 24, kNextHeight), filled, *mScrollView());
    mScrollView()->setContentSize({width, y + kNextHeight + kNextGap});
}

void BCInputCardViewController::nextAction() {
    BCBaseViewController::nextAction();
    const auto cell = m_cardCell ? m_cardCell->bankCell() : nullptr;
    if (!cell || !service())
        return;
    if (!cell->isLegalLength()) {
        showAlertViewWithMessage(BCLocale::instance()->getStringById(12014));
        return;
    }
    const std::string number = BCUtils::getNormalCardID(cell->text());
    const auto container = BCDataContainer::instance();
    container->setMEntrustedCard(number);
    showLoadingAlertView();
    if (m_forAccount) {
        service()->postBindCardRulesRequestWithParams(cell->param().value_or(""));
    } else {
        container->setDefaultPayMode(std::string("1"));
        container->setMFirstPayFlag(std::string("0"));  // a typed card, as on the order screen
        BCTrackerManager::trackEvent("bankpay_input_cardNO_next");
        service()->postRulesRequestWithFlag("0", number, "1", "1");
    }
}

void BCInputCardViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCBaseViewController::comunicateToBCMPDidSucceedWithEvent(event);
    if (event == kBCEventRules)
        moveOnAfterAlertBox("BCPayingViewController", true);
    else if (event == kBCEventRulesWithEntrust)
        moveOnAfterAlertBox("BCEntrustViewController", true);
}

void BCInputCardViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    BCBaseViewController::willRotateToInterfaceOrientation(orientation, duration);
    // The cell widens itself by the rotation's offset; a second call for the same turn (this platform
    // may send one) finds it at the new width already.
    if (!m_cardCell || m_cardCell->frame().size.width == BCUtils::rotatedWidth())
        return;
    m_cardCell->willRotateToInterfaceOrientation(orientation, duration);
}

} // namespace cardpay
