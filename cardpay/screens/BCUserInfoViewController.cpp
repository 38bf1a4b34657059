#include "cardpay/screens/BCUserInfoViewController.h"

#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCNavController.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>
#include <cctype>

namespace cardpay {

namespace {

constexpr double kGap = 12;
constexpr double kNextHeight = 44;
constexpr double kBoxHeight = 40;
constexpr double kLinkFontSize = 16;
const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);

std::string text(int id) { return BCLocale::instance()->getStringById(id); }

// "label" and "href" of a link dictionary when both are texts.
struct Link {
    std::string label;
    std::string href;
};

std::optional<Link> linkOf(const std::optional<platform::Dictionary>& dict) {
    const std::string* label = dict ? (*dict)["label"].getString() : nullptr;
    const std::string* href = dict ? (*dict)["href"].getString() : nullptr;
    if (!label || !href)
        return std::nullopt;
    return Link{*label, *href};
}

bool isPan(const std::string& type) {
    return type.size() == 3 && std::equal(type.begin(), type.end(), "pan", [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

bool known(const std::optional<std::string>& value) { return value && !value->empty(); }

// The account is the only pay method and the user is known: leaving the screen leaves the road.
bool accountOnly() {
    const auto container = BCDataContainer::instance();
    return container->limitPayMethod() == "01" && known(container->mUser_id());
}

void moveBy(platform::View& view, double dy) {
    platform::Rect frame = view.frame();
    frame.origin.y += dy;
    view.setFrame(frame);
}

void growBy(platform::View& view, double dw, double dh) {
    platform::Rect frame = view.frame();
    frame.size.width += dw;
    frame.size.height += dh;
    view.setFrame(frame);
}

} // namespace

void BCUserInfoViewController::registerScreen() {
    BCScreenRegistry::shared().registerClass<BCUserInfoViewController>(std::string(kUserInfoScreenClass));
}

BCUserInfoViewController::~BCUserInfoViewController() {
    m_bindCardDescriptions.clear();
    if (const auto container = m_container.lock())
        container->makeUserInfoClean();
}

std::weak_ptr<BCUserInfoViewController> BCUserInfoViewController::weakSelf() {
    return std::static_pointer_cast<BCUserInfoViewController>(self());
}

void BCUserInfoViewController::viewDidLoad() {
    m_container = BCDataContainer::instance();
    BCBaseViewController::viewDidLoad();
    initLocalDatas();
    addSubViews();
}

void BCUserInfoViewController::viewDidAppear(bool animated) {
    BCBaseViewController::viewDidAppear(animated);
    if (alertBox())
        handleAlertBoxWithDefaultAction(nullptr);
    BCTrackerManager::trackPageBegin(kPageName);
}

void BCUserInfoViewController::viewDidDisappear(bool animated) {
    BCTrackerManager::trackPageEnd(kPageName);
    BCBaseViewController::viewDidDisappear(animated);
}

void BCUserInfoViewController::addNavigationBar() {
    if (!accountOnly()) {
        addBackNavigationBar(text(11021));
        return;
    }
    const auto weak = weakSelf();
    const platform::Rect frame(0, BCUtils::viewControllerBoundsOriginY(), BCUtils::displayWidth(), kBarHeight);
    auto bar = std::make_shared<BCNavigationBar>(frame, text(11021), text(10004), weak, [weak] {
        if (const auto screen = weak.lock())
            screen->cancelAction();
    }, false);
    setNavigationBar(bar);
    view()->addSubview(bar);
}

void BCUserInfoViewController::initLocalDatas() {
    const auto container = BCDataContainer::instance();
    // The elements move into the screen. A rebuild after a card change keeps those it holds when the
    // card's answer brought none (the core keeps them from the user-information answer only).
    if (const auto promotion = container->promotion()) {
        setPromotion(promotion);
        container->setPromotion(std::nullopt);
    }
    if (const auto instalment = container->instalment()) {
        setInstalment(instalment);
        container->setInstalment(std::nullopt);
    }
    m_isBCMP = container->isBCMPService();
    m_bindCardDescriptions.clear();
    for (const platform::Value& card : container->mUserCards().value_or(platform::Array{})) {
        const platform::Array& items = *card.getArray();  // the core keeps only arrays of three texts
        m_bindCardDescriptions.push_back(items[1].stringOr("") + " " + items[2].stringOr(""));
    }
}

// --- Body -----------------------------------------------------------------------------------------

void BCUserInfoViewController::addSubViews() {
    const auto container = BCDataContainer::instance();
    const double width = BCUtils::displayWidth();
    const double top = addOrderViewWithStyle(1) + 15;
    m_mainView = std::make_shared<platform::View>(platform::Rect(0, top, width, 0));
    mScrollView()->addSubview(m_mainView);

    m_userInfoView = std::make_shared<BCPaymentElementsView>(platform::Rect(kGap, 0, width - 2 * kGap, 0),
                                                             container->mUserInfo().value_or(platform::Array{}),
                                                             std::static_pointer_cast<BCTextFieldDelegate>(self()));
    m_mainView->addSubview(m_userInfoView);
    double y = m_userInfoView->frame().size.height;
    if (promotion())
        y += addPromotionViewAtY(y) + kGap;

    std::string nextTitle;
    bool nextEnabled = true;
    m_noBindCards = m_bindCardDescriptions.empty();
    if (!m_noBindCards) {
        nextTitle = text(10002);
        container->setMFirstPayFlag(std::string("1"));
        y += addCardListViewWithOriginY(y) - 1;
        y += addInstalmentViewAtY(y);
        y += addCardRules(container->mUserRules().value_or(platform::Array{}), y - 1) + kGap;
        y += addIndicatorViewWithOriginY(y) + kGap;
        nextEnabled = canEnableNextButton();
    } else if (const auto tip = container->addCardTip(); !tip) {
        y += showNoCardInfoAtY(y) + kGap;
        nextTitle = text(10006);
    } else {
        if (m_isBCMP) {
            nextTitle = text(11022);
            y += showNoCardInfoAtY(y) + kGap;
        } else {
            nextTitle = *tip;
            y += makeInputAtY(y) + kGap;
            nextEnabled = canEnableNextButton();
        }
        y += addIndicatorViewWithOriginY(y) + kGap;
    }
    addNextButton(nextTitle, y, nextEnabled);
    y += kNextHeight;
    m_mainView->setFrame(platform::Rect(0, top, width, y));
    mScrollView()->setContentSize({width, top + y + 30});
}

double BCUserInfoViewController::addCardListViewWithOriginY(double y) {
    if (m_defaultCardView)
        m_defaultCardView->removeFromSuperview();
    const std::size_t index = static_cast<std::size_t>(m_selectedCardIndex);
    const std::string line = index < m_bindCardDescriptions.size() ? m_bindCardDescriptions[index] : std::string();
    m_defaultCardView = std::make_shared<BCDefaultCardView>(platform::Rect(0, y, mScrollView()->frame().size.width, 0), line);
    const auto weak = weakSelf();
    m_defaultCardView->addTarget(weak, [weak](platform::Control&) {
        if (const auto screen = weak.lock())
            screen->showBindCardsList();
    }, platform::kControlEventTouchUpInside);
    m_mainView->addSubview(m_defaultCardView);
    return m_defaultCardView->frame().size.height;
}

double BCUserInfoViewController::addPromotionViewAtY(double y) {
    const double height = makePromotionViewAtY(y);
    if (const auto view = promotionView())
        m_mainView->addSubview(view);
    return height;
}

double BCUserInfoViewController::addInstalmentViewAtY(double y) {
    const double height = makeInstalmentViewAtY(y);
    if (const auto view = instalmentView())
        m_mainView->addSubview(view);
    return height;
}

double BCUserInfoViewController::addCardRules(const platform::Array& rules, double y) {
    if (const auto old = paymentElementsView())
        old->removeFromSuperview();
    const double width = BCUtils::displayWidth();
    auto form = std::make_shared<BCPaymentElementsView>(platform::Rect(0, y, width, 0), rules,
                                                        std::static_pointer_cast<BCTextFieldDelegate>(self()));
    form->addSmsCodeTarget(weakSelf(), [weak = weakSelf()] {
        if (const auto screen = weak.lock())
            screen->smsCodeAction();
    });
    // The line above the first cell, inset like the lines between the cells of the card block.
    if (!rules.empty())
        form->addSubview(std::make_shared<BCLineView>(platform::Rect(kGap, 0, width, 1), kLineColor));
    m_mainView->addSubview(form);
    setPaymentElementsView(form);
    initTextFieldArray();
    return form->frame().size.height;
}

double BCUserInfoViewController::addIndicatorViewWithOriginY(double y) {
    if (m_indicatorView)
        m_indicatorView->removeFromSuperview();
    m_bindLink.reset();
    const auto container = BCDataContainer::instance();
    const double width = BCUtils::displayWidth() - 2 * kGap;
    m_indicatorView = std::make_shared<platform::View>(platform::Rect(0, y, width, 0));
    double h = 0;
    if (const auto service = linkOf(container->UserServiceUrl())) {
        const platform::Dictionary content{{"label", text(13006)},      {"href_label", service->label},
                                           {"required", "0"},           {"checked", "0"},
                                           {"href_title", text(11007)}, {"href_url", service->href},
                                           {"error_info", text(12006)}};
        auto box = std::make_shared<BCCheckBoxView>(platform::Rect(kGap, 0, width, kBoxHeight), content,
                                                    std::static_pointer_cast<BCCheckBoxDelegate>(weakSelf().lock()));
        box->setTag(kAgreementTag);
        m_indicatorView->addSubview(box);
        h = box->frame().size.height;
    }
    if (const auto bind = linkOf(container->UserBindUrl())) {
        const platform::Font font = platform::Font::systemFont(kLinkFontSize);
        const platform::Size size = newSizeWithFont(bind->label, font, width, platform::LineBreakMode::WordWrap);
        m_bindLink = makeLink(platform::Rect(kGap, h + kGap - 3, size.width, size.height), bind->label,
                              &BCUserInfoViewController::pushViewToBindUrlViewContriller);
        m_indicatorView->addSubview(m_bindLink);
        h += kGap + size.height;
    }
    m_indicatorView->setFrame(platform::Rect(0, y, width, h));
    m_mainView->addSubview(m_indicatorView);
    return h;
}

double BCUserInfoViewController::showNoCardInfoAtY(double y) {
    const std::string info = BCDataContainer::instance()->userEmptyInfo().value_or("");
    const platform::Size size = sizeWithFontSize(info, 16, m_mainView->frame().size.width - 2 * kGap);
    m_noCardLabel = BCViews::wrapLabelWithFrame(platform::Rect(kGap, y, size.width, size.height), info, 16,
                                                platform::Color::fromRGBA(0.2, 0.2, 0.2));
    m_mainView->addSubview(m_noCardLabel);
    return size.height;
}

double BCUserInfoViewController::makeInputAtY(double y) {
    const auto container = BCDataContainer::instance();
    const double width = BCUtils::displayWidth();
    // The card field is captioned "PayAccount" whatever caption the server gave it.
    platform::Array inputs = container->mInputInfoItem().value_or(platform::Array{});
    for (platform::Value& input : inputs)
        if (const platform::Dictionary* element = input.getDictionary(); element && isPan((*element)["type"].stringOr(""))) {
            platform::Dictionary captioned = *element;
            captioned.set("label", text(17002));
            input = captioned;
            break;
        }
    m_cardInputCell = std::make_shared<BCNewBankCardCell>(platform::Rect(0, y, width, 0), inputs,
                                                          std::static_pointer_cast<BCTextFieldDelegate>(self()));
    m_mainView->addSubview(m_cardInputCell);
    if (const auto field = m_cardInputCell->bankCell()) {
        field->setLabelText(text(17002));
        setTextFieldsArray({field});
    }
    if (!container->mBankUrl().value_or("").empty()) {
        const std::string title = text(13011);
        const platform::Font font = platform::Font::systemFont(kLinkFontSize);
        const double linkWidth = newSizeWithFont(title, font, width, platform::LineBreakMode::WordWrap).width;
        m_supportedBanksLink = makeLink(platform::Rect(width - kGap - linkWidth, y, linkWidth, 16), title,
                                        &BCUserInfoViewController::showSupportedBank);
        m_mainView->addSubview(m_supportedBanksLink);
    }
    return m_cardInputCell->frame().size.height;
}

std::shared_ptr<BCUnderLineButton> BCUserInfoViewController::makeLink(platform::Rect frame, const std::string& title,
                                                                     void (BCUserInfoViewController::*action)()) {
    auto link = std::make_shared<BCUnderLineButton>(frame, title, platform::Font::systemFont(kLinkFontSize));
    const auto weak = weakSelf();
    link->setMTarget(weak);
    link->setMSelector([weak, action] {
        if (const auto screen = weak.lock())
            ((*screen).*action)();
    });
    return link;
}

void BCUserInfoViewController::addNextButton(const std::string& title, double y, bool enabled) {
    if (const auto old = mBtnNext())
        old->removeFromSuperview();
    addBtnNextWithTitle(title, platform::Rect(kGap, y, BCUtils::displayWidth() - 2 * kGap, kNextHeight), enabled, *m_mainView);
}

void BCUserInfoViewController::refreshCardRulesView() {
    const auto container = BCDataContainer::instance();
    initLocalDatas();
    const double width = BCUtils::displayWidth();
    double y = m_userInfoView->frame().size.height;
    if (promotion())
        y += addPromotionViewAtY(y) + kGap;
    y += addCardListViewWithOriginY(y);
    if (instalment())
        y += addInstalmentViewAtY(y - 1) - 1;
    y += addCardRules(container->mPayElementArray().value_or(platform::Array{}), y - 2) + kGap;
    y += addIndicatorViewWithOriginY(y) + kGap;
    addNextButton(text(10002), y, canEnableNextButton());
    y += kNextHeight + 30;
    platform::Rect body = m_mainView->frame();
    body.size.height = y;
    m_mainView->setFrame(body);
    mScrollView()->setContentSize({width, body.maxY()});
}

// --- Card list ------------------------------------------------------------------------------------

void BCUserInfoViewController::showBindCardsList() {
    endEditing();
    m_cardListView = std::make_shared<BCListView>(view()->bounds(), m_bindCardDescriptions);
    m_cardListView->setWholeEnds(BCListView::cardNumbers(BCDataContainer::instance()->mUserCards().value_or(platform::Array{})));
    m_cardListView->setHeaderTitle(text(17004));
    m_cardListView->setFooterTitle(m_isBCMP ? std::nullopt : BCDataContainer::instance()->addCardTip());
    m_cardListView->setSelectedIndex(static_cast<long>(m_selectedCardIndex));
    m_cardListView->setDelegate(weakSelf());
    view()->addSubview(m_cardListView);
}

std::optional<std::string> BCUserInfoViewController::cardIdAtIndex(long long index) const {
    const auto cards = BCDataContainer::instance()->mUserCards().value_or(platform::Array{});
    if (index < 0 || static_cast<std::size_t>(index) >= cards.size())
        return std::nullopt;
    return (*cards[static_cast<std::size_t>(index)].getArray())[0].stringOr("");
}

void BCUserInfoViewController::listViewDidSelectedAtIndex(BCListView&, long index) {
    const long count = static_cast<long>(m_bindCardDescriptions.size());
    if (index == count && !m_isBCMP) {
        if (const auto navigation = navigationController())
            navigation->pushViewController(BCInputCardViewController::initForAccount(true), true);
        return;
    }
    const auto card = cardIdAtIndex(index);
    if (!card || !service())
        return;
    BCTrackerManager::trackEvent("loginpay_choose_bankcard", platform::Dictionary{{"pos", std::to_string(index)}});
    m_indexBeforeSelected = index;
    showLoadingAlertView();
    service()->postRulesRequestWithFlag("1", *card, "1", "2");
}

// --- Actions --------------------------------------------------------------------------------------

void BCUserInfoViewController::nextAction() {
    BCBaseViewController::nextAction();
    const auto container = BCDataContainer::instance();
    if (m_noBindCards) {
        const auto navigation = navigationController();
        if (!container->addCardTip()) {
            if (accountOnly())
                cancelAction();
            else if (navigation)
                navigation->popToRootViewController(true);
        } else if (m_isBCMP) {
            if (navigation)
                navigation->popToRootViewController(true);
        } else {
            BCTrackerManager::trackEvent("bankpay_input_cardNO_next");
            const auto field = m_cardInputCell ? m_cardInputCell->bankCell() : nullptr;
            if (!field || !field->isLegalLength()) {
                showAlertViewWithMessage(text(12014));
                return;
            }
            if (!service())
                return;
            container->setMEntrustedCard(BCUtils::getNormalCardID(field->text()));
            showLoadingAlertView();
            service()->postBindCardRulesRequestWithParams(field->param().value_or(""));
        }
        return;
    }
    if (askForPaymentResultInstead() || !checkPaymentParams() || !service())
        return;
    showLoadingAlertView();
    postCommonCmd("pay");
    BCTrackerManager::trackEvent("loginpay_apply");
}

void BCUserInfoViewController::postCommonCmd(const std::string& command) {
    // Members joined by ",": an empty part adds no stray comma that would spoil the body.
    std::string params = R"("pay_type":"1","pay_mode":"2","bind":"yes")";
    for (const std::string& part : {paymentParams(), promotionView() ? promotionView()->optionParams() : std::string(),
                                    instalmentView() ? instalmentView()->optionParams() : std::string()})
        if (!part.empty())
            params += "," + part;
    service()->postRequestWithCmd(command, params);
}

void BCUserInfoViewController::modifyAction(const std::optional<std::string>&) {
    const auto card = cardIdAtIndex(m_selectedCardIndex);
    if (!card || !service())
        return;
    m_handleModifyPhone = true;
    BCDataContainer::instance()->setMCardId(*card);
    endEditing();
    showLoadingAlertView();
    service()->postModifyPhoneRequestWithCard(*card);
}

void BCUserInfoViewController::showSupportedBank() {
    BCTrackerManager::trackEvent(BCDataContainer::instance()->payType() == 101 ? "bankpay_support_bank" : "loginpay_support_bank");
    openWebPage(BCDataContainer::instance()->mBankUrl().value_or(""), text(11002));
}

void BCUserInfoViewController::pushViewToBindUrlViewContriller() {
    if (const auto bind = linkOf(BCDataContainer::instance()->UserBindUrl()))
        openWebPage(bind->href, text(11023));
}

void BCUserInfoViewController::pullListAnimationDidStart(double offset) {
    endEditing();
    if (m_mainView)
        moveBy(*m_mainView, offset);
    platform::Size content = mScrollView()->contentSize();
    content.height += offset;
    mScrollView()->setContentSize(content);
}

void BCUserInfoViewController::growBody(double offset) {
    if (!m_mainView || offset == 0)
        return;
    growBy(*m_mainView, 0, offset);
    platform::Size content = mScrollView()->contentSize();
    content.height += offset;
    mScrollView()->setContentSize(content);
}

void BCUserInfoViewController::pointCellKeyPathChanged(BCPointCell& cell, double offset) {
    if (!BCDataContainer::instance()->pointCell() || !m_mainView || !cell.superview())
        return;
    const platform::Rect inBody = cell.convertRectTo(cell.bounds(), m_mainView.get());
    mScrollView()->scrollRectToVisible(cell.convertRectTo(cell.bounds(), mScrollView().get()), true);
    for (const auto& child : m_mainView->subviews())
        if (child->frame().origin.y > inBody.maxY())
            moveBy(*child, offset);
    growBody(offset);
}

// --- Leaving --------------------------------------------------------------------------------------

void BCUserInfoViewController::cancelAction() {
    endEditing();
    m_exitPlugin = true;
    showAlertViewWithTitle(text(12020), text(13003), text(10004), text(10001));  // a question, not a failure
}

void BCUserInfoViewController::buttonOKClicked() {
    BCBaseViewController::buttonOKClicked();
    if (BCDataContainer::instance()->limitPayMethod() == "01" && m_exitPlugin) {
        dismissAlertView();
        exitWithResult("cancel");
    }
}

void BCUserInfoViewController::buttonCancelClicked() {
    BCBaseViewController::buttonCancelClicked();
    if (BCDataContainer::instance()->limitPayMethod() == "01")
        m_exitPlugin = false;
}

// --- Service answers ------------------------------------------------------------------------------

void BCUserInfoViewController::willShowPaymentSuccess() { BCTrackerManager::trackEvent("loginpay_succeed"); }

void BCUserInfoViewController::pushViewControllerToPayingViewController(bool newCard) { pushRoadScreen(kPayingScreenClass, newCard); }

void BCUserInfoViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCBaseViewController::comunicateToBCMPDidSucceedWithEvent(event);
    const bool phoneChange = m_handleModifyPhone;
    m_handleModifyPhone = false;
    switch (event) {
    case kBCEventRules:
        if (!m_noBindCards && !phoneChange) {
            m_selectedCardIndex = m_indexBeforeSelected;
            refreshCardRulesView();
            if (m_defaultCardView && static_cast<std::size_t>(m_selectedCardIndex) < m_bindCardDescriptions.size())
                m_defaultCardView->setText(m_bindCardDescriptions[static_cast<std::size_t>(m_selectedCardIndex)]);
            if (alertBox())
                handleAlertBoxWithDefaultAction(nullptr);
        } else {
            // A changed phone number pays with the bound card shown (its id kept by the change).
            pushViewControllerToPayingViewController(!phoneChange);
        }
        break;
    default:
        paymentScreenDidSucceedWithEvent(event);
        break;
    }
}

void BCUserInfoViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    BCBaseViewController::comunicateToBCMPDidFailWithErrorType(type, error);
    // A phone change that failed is over: a later card form is shown here again.
    m_handleModifyPhone = false;
    paymentDidFail(type, error);
}

// --- Promotion and instalment ---------------------------------------------------------------------

void BCUserInfoViewController::promotionViewWillChangeFrameWithOffset(BCPromotionView& view, double offset) {
    std::vector<std::shared_ptr<platform::View>> below;
    const bool promotionChanged = &view == promotionView().get();
    if (promotionChanged)
        below = {m_defaultCardView, instalmentView(), paymentElementsView()};
    else if (&view == instalmentView().get())
        below = {paymentElementsView()};
    below.push_back(m_indicatorView);
    below.push_back(mBtnNext());
    for (const auto& moved : below)
        if (moved)
            moveBy(*moved, offset);
    growBody(offset);
    if (promotionChanged && switchInstalmentOff()) {
        const auto weak = weakSelf();
        platform::RunLoop::main().performAfterDelay(0.5, [weak] {
            if (const auto screen = weak.lock())
                screen->showPromotionChangeInfo();
        });
    }
}

// --- Rotation -------------------------------------------------------------------------------------

void BCUserInfoViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    BCBaseViewController::willRotateToInterfaceOrientation(orientation, duration);
    // A second call for the same turn finds the body at the new width already.
    if (!m_mainView || m_mainView->frame().size.width == BCUtils::rotatedWidth())
        return;
    const double d = BCUtils::rotatedOffset();
    platform::ViewAnimation::beginAnimations("BaseView");
    platform::ViewAnimation::setAnimationDuration(duration);
    platform::ViewAnimation::setAnimationCurve(platform::AnimationCurve::EaseInOut);
    // The user information and the card-number cell widen themselves with their rotation call.
    for (const std::shared_ptr<platform::View>& widened : {m_mainView, std::static_pointer_cast<platform::View>(m_cardListView)})
        if (widened)
            growBy(*widened, d, 0);
    platform::ViewAnimation::commitAnimations();
    if (m_userInfoView)
        m_userInfoView->willRotateToInterfaceOrientation(orientation, duration);
    if (m_cardInputCell)
        m_cardInputCell->willRotateToInterfaceOrientation(orientation, duration);
}

} // namespace cardpay
