#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCInitViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCNavController.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>

namespace cardpay {

namespace {

constexpr double kNextHeight = 44;
constexpr char kPage[] = "order_View";
constexpr char kUserAccountKey[] = "UserAccount";

std::string text(int id) { return BCLocale::instance()->getStringById(id); }

std::string labelOf(const std::optional<platform::Dictionary>& dict) {
    const std::string* label = dict ? (*dict)["label"].getString() : nullptr;
    return label ? *label : std::string();
}

std::string hrefOf(const std::optional<platform::Dictionary>& dict) {
    const std::string* href = dict ? (*dict)["href"].getString() : nullptr;
    return href ? *href : std::string();
}

// Some "input_info" element is the merchant's fixed card: type "pan", read-only.
bool didHasMerchantPan(const platform::Array& elements) {
    return std::any_of(elements.begin(), elements.end(), [](const platform::Value& element) {
        const platform::Dictionary* dict = element.getDictionary();
        return dict && (*dict)["type"].stringOr("") == "pan" && (*dict)["readonly"].stringOr("") == "true";
    });
}

platform::Dictionary loginElement(int placeholder, const char* name, std::optional<const char*> regexp) {
    platform::Dictionary element{{"placeholder", text(placeholder)}, {"name", name}, {"value", ""},
                                 {"label", ""},                       {"type", name}, {"tip", ""}};
    if (regexp)
        element.set("regexp", *regexp);
    return element;
}

} // namespace

void BCOrderInfoViewController::registerScreen() {
    BCOrderScreenRegistry::shared().registerClass(std::string(kOrderScreenClass), [](int payMode, bool isRoot) {
        return std::unique_ptr<BCBaseViewController>(new BCOrderInfoViewController(payMode, isRoot));
    });
}

std::weak_ptr<BCOrderInfoViewController> BCOrderInfoViewController::weakSelf() {
    return std::static_pointer_cast<BCOrderInfoViewController>(self());
}

void BCOrderInfoViewController::viewDidLoad() {
    BCBaseViewController::viewDidLoad();
    makeDatas();
    addSubViews();
}

void BCOrderInfoViewController::viewDidAppear(bool animated) {
    BCBaseViewController::viewDidAppear(animated);
    // The start screen leaves the stack once the order screen shows. Only the start screen: with a
    // known user this screen may appear once the user-information screen has been pushed over it, and
    // that one stays on top.
    if (const auto navigation = navigationController()) {
        auto stack = navigation->viewControllers();
        const auto start = std::remove_if(stack.begin(), stack.end(), [](const auto& screen) {
            return std::dynamic_pointer_cast<BCInitViewController>(screen) != nullptr;
        });
        if (start != stack.end()) {
            stack.erase(start, stack.end());
            navigation->setViewControllers(stack);
        }
    }
    BCTrackerManager::trackPageBegin(kPage);
}

void BCOrderInfoViewController::viewDidDisappear(bool animated) {
    BCTrackerManager::trackPageEnd(kPage);
    BCBaseViewController::viewDidDisappear(animated);
}

void BCOrderInfoViewController::addNavigationBar() {
    const auto title = BCDataContainer::instance()->orderViewTitle();
    if (!m_isRootViewController) {
        addBackNavigationBar(title);
        return;
    }
    const auto weak = weakSelf();
    const platform::Rect frame(0, BCUtils::viewControllerBoundsOriginY(), BCUtils::displayWidth(), kBarHeight);
    auto bar = std::make_shared<BCNavigationBar>(frame, title, text(10004), weak, [weak] {
        if (const auto screen = weak.lock())
            screen->cancelAction();
    }, false);
    setNavigationBar(bar);
    view()->addSubview(bar);
}

void BCOrderInfoViewController::makeDatas() {
    const auto container = BCDataContainer::instance();
    m_payChannels.clear();
    m_supportAccountPayMode = container->mAccount_info().has_value();
    if (m_supportAccountPayMode) {
        if (m_payMode == kAccountPay && container->limitPayMethod() != "01")
            m_payChannels.push_back(text(17001));
        else if (m_payMode == kCardPay)
            m_payChannels.push_back(text(17002));
    }
    // A card-medium channel needs a text label to be shown.
    if (const std::string label = labelOf(container->kaLeFuInfo()); container->kaLeFuInfo() && !label.empty())
        m_payChannels.push_back(label);
    m_loginRules = {loginElement(17006, "user_name", "[.@_A-Za-z0-9]{1,64}"), loginElement(17007, "password", std::nullopt)};
    m_bindCardDescriptions.clear();
    for (const platform::Value& card : container->mBindCardArray().value_or(platform::Array{})) {
        const platform::Array& items = *card.getArray();  // the core keeps only arrays of three texts
        m_bindCardDescriptions.push_back(items[1].stringOr("") + " " + items[2].stringOr(""));
    }
}

void BCOrderInfoViewController::addSubViews() {
    const auto container = BCDataContainer::instance();
    m_subviewOriginY = addOrderViewWithStyle(0) + 15;
    m_scrollViewHeight = m_subviewOriginY;
    if (container->limitPayMethod() == "001")
        return;
    m_onlySupportCardMedium = container->mediumMode() == "0";
    if (m_onlySupportCardMedium) {
        const std::string types = container->mediumTypes().value_or("");
        const bool mediumAllowed = types.size() >= 4 && types[3] == '1';
        if (mediumAllowed && container->kaLeFuInfo() && container->shouldSupportMedium()) {
            addOnlySupportCardMediumView();
        } else {
            setMClientMustBeTerminated(true);
            showAlertViewWithMessage(container->noMediumMessage());
        }
        return;
    }
    const platform::Array inputs = container->mInputInfoItem().value_or(platform::Array{});
    if (didHasMerchantPan(inputs))
        addSubViewsWithMerchantCard();
    else if (m_payMode == kAccountPay && m_supportAccountPayMode)
        addSubViewsWithAccount();
    else if ((m_payMode == kAccountPay || m_payMode == kCardPay) && !m_bindCardDescriptions.empty())
        addSubViewsWithCommCards();
    else if (m_payMode == kAccountPay || m_payMode == kCardPay)
        addSubViewsWithNewCard();
}

double BCOrderInfoViewController::beginBody() {
    m_subView = std::make_shared<platform::View>(platform::Rect(0, m_subviewOriginY, BCUtils::displayWidth(), 0));
    mScrollView()->addSubview(m_subView);
    return 0;
}

void BCOrderInfoViewController::endBody(double height) {
    const double width = BCUtils::displayWidth();
    m_subView->setFrame(platform::Rect(0, m_subviewOriginY, width, height));
    m_scrollViewHeight += height;
    mScrollView()->setContentSize({width, m_scrollViewHeight});
}

std::shared_ptr<BCLableCell> BCOrderInfoViewController::addTitle(int textId) {
    auto title = std::make_shared<BCLableCell>(platform::Rect(12, 0, BCUtils::displayWidth() - 24, 0), text(textId),
                                               platform::Font::systemFont(16), platform::Color::fromRGBA(0.2, 0.2, 0.2),
                                               platform::TextAlignment::Left);
    m_subView->addSubview(title);
    return title;
}

void BCOrderInfoViewController::addNext(double y, bool enabled) {
    const std::string title = labelOf(BCDataContainer::instance()->orderViewAction());
    addBtnNextWithTitle(title, platform::Rect(12, y, BCUtils::displayWidth() - 24, kNextHeight), enabled, *m_subView);
}

std::shared_ptr<BCUnderLineButton> BCOrderInfoViewController::addLink(const std::string& title, const platform::Font& font,
                                                                      platform::Rect frame,
                                                                      void (BCOrderInfoViewController::*action)()) {
    auto link = std::make_shared<BCUnderLineButton>(frame, title, font);
    const auto weak = weakSelf();
    link->setMTarget(weak);
    link->setMSelector([weak, action] {
        if (const auto screen = weak.lock())
            ((*screen).*action)();
    });
    m_subView->addSubview(link);
    m_links.push_back(link);
    return link;
}

void BCOrderInfoViewController::addPayChannelView(double y) {
    if (m_payChannels.empty() || !m_isRootViewController)
        return;
    m_payChannelView = std::make_shared<BCPayChannelView>(platform::Rect(0, y, BCUtils::displayWidth(), 0));
    m_payChannelHeight = 0;
    const auto weak = weakSelf();
    m_payChannelView->setDelegate(weak);
    m_subView->addSubview(m_payChannelView);
    m_payChannelView->setDataSource(weak);
}

void BCOrderInfoViewController::didPayChannelViewFinishedLayout(BCPayChannelView& channels) {
    // Only the body's own channel view counts, and a second report (a reload) grows the body by the
    // change only: the channels' height is in the body once.
    if (!m_subView || &channels != m_payChannelView.get())
        return;
    const double height = channels.frame().size.height - m_payChannelHeight;
    m_payChannelHeight = channels.frame().size.height;
    platform::Rect frame = m_subView->frame();
    frame.size.height += height;
    m_subView->setFrame(frame);
    m_scrollViewHeight += height;
    mScrollView()->setContentSize({BCUtils::displayWidth(), m_scrollViewHeight});
}

std::string BCOrderInfoViewController::titleOfSectionsAtIndex(int index) {
    return index >= 0 && index < numberOfSectionsInPayChannelView() ? m_payChannels[static_cast<std::size_t>(index)] : std::string();
}

void BCOrderInfoViewController::addSubViewsWithAccount() {
    const auto container = BCDataContainer::instance();
    const double width = BCUtils::displayWidth();
    beginBody();
    const double titleHeight = addTitle(17002)->frame().size.height;
    auto form = std::make_shared<BCPaymentElementsView>(platform::Rect(0, titleHeight + 5, width, 0), m_loginRules,
                                                        std::static_pointer_cast<BCTextFieldDelegate>(self()));
    m_subView->addSubview(form);
    setPaymentElementsView(form);
    initTextFieldArray();
    if (const auto stored = BCUtils::readUserIdFromFile(kUserAccountKey)) {
        if (const auto name = BCMPServiceConsumption::decryptString(*stored)) {
            for (const auto& field : mTextFieldsArray())
                if (const auto cell = std::dynamic_pointer_cast<BCUserNameCell>(field)) {
                    cell->setText(*name);
                    break;
                }
        }
    }
    const double b = titleHeight + 5 + form->frame().size.height + 12;
    addNext(b, canEnableNextButton());

    const platform::Font font = platform::Font::systemFont(16);
    double y = b + 56;
    double linkHeight = 0;
    if (const std::string find = labelOf(container->findPwdUrl()); container->findPwdUrl()) {
        const platform::Size size = newSizeWithFont(find, font, width, platform::LineBreakMode::WordWrap);
        addLink(find, font, platform::Rect(12, y, size.width, size.height), &BCOrderInfoViewController::showFindPwd);
        linkHeight = size.height;
    }
    if (const std::string reg = labelOf(container->RegUrl()); container->RegUrl()) {
        const platform::Size size = newSizeWithFont(reg, font, width, platform::LineBreakMode::WordWrap);
        addLink(reg, font, platform::Rect(width - 12 - size.width, y, size.width, size.height), &BCOrderInfoViewController::showReg);
        linkHeight = size.height;
    }
    if (container->findPwdUrl() || container->RegUrl())
        y += linkHeight + 12;
    endBody(y);
    addPayChannelView(y);  // grows the body once its rows are laid out
}

void BCOrderInfoViewController::addSubViewsWithCommCards() {
    const double width = BCUtils::displayWidth();
    beginBody();
    const double titleHeight = addTitle(17001)->frame().size.height;
    m_newCard = false;
    const std::size_t index = static_cast<std::size_t>(m_commCardIndex);
    m_defaultCardView = std::make_shared<BCDefaultCardView>(platform::Rect(0, titleHeight + 5, width, 0),
                                                            index < m_bindCardDescriptions.size() ? m_bindCardDescriptions[index] : "");
    const auto weak = weakSelf();
    m_defaultCardView->addTarget(weak, [weak](platform::Control&) {
        if (const auto screen = weak.lock())
            screen->showBindCardsList();
    }, platform::kControlEventTouchUpInside);
    m_subView->addSubview(m_defaultCardView);
    const double next = titleHeight + 5 + m_defaultCardView->frame().size.height + 15;
    addNext(next, true);
    const double y = next + 61;
    endBody(y);
    addPayChannelView(y);  // grows the body once its rows are laid out
}

void BCOrderInfoViewController::addBankCell(const platform::Array& inputs) {
    m_bankCell = std::make_shared<BCNewBankCardCell>(platform::Rect(0, 0, BCUtils::displayWidth(), 0), inputs,
                                                     std::static_pointer_cast<BCTextFieldDelegate>(self()));
    m_subView->addSubview(m_bankCell);
    setTextFieldsArray({m_bankCell->bankCell()});
}

void BCOrderInfoViewController::addSupportedBanksLink(const platform::Font& font, const std::function<double(double)>& xForWidth, double y) {
    const std::string title = text(13011);
    const double linkWidth = newSizeWithFont(title, font, BCUtils::displayWidth(), platform::LineBreakMode::WordWrap).width;
    addLink(title, font, platform::Rect(xForWidth(linkWidth), y, linkWidth, 16), &BCOrderInfoViewController::showSupportedBank);
}

void BCOrderInfoViewController::addSubViewsWithNewCard() {
    const auto container = BCDataContainer::instance();
    const double width = BCUtils::displayWidth();
    beginBody();
    m_newCard = true;
    platform::Array inputs = container->mInputInfoItem().value_or(platform::Array{});
    if (!inputs.empty() && inputs[0].getDictionary()) {
        platform::Dictionary first = *inputs[0].getDictionary();
        first.set("label", text(17001));
        inputs[0] = first;
    }
    addBankCell(inputs);
    if (!container->mBankUrl().value_or("").empty())
        addSupportedBanksLink(platform::Font::systemFont(16), [width](double linkWidth) { return width - 12 - linkWidth; }, 0);
    const double cellHeight = m_bankCell->frame().size.height;
    addNext(cellHeight + 20, m_bankCell->bankCell() && !m_bankCell->bankCell()->text().empty());
    const double y = cellHeight + 84;
    endBody(y);
    addPayChannelView(y);  // grows the body once its rows are laid out
}

void BCOrderInfoViewController::addSubViewsWithMerchantCard() {
    const auto container = BCDataContainer::instance();
    beginBody();
    addBankCell(container->mInputInfoItem().value_or(platform::Array{}));
    m_newCard = true;
    double y = m_bankCell->frame().size.height;
    if (!container->mBankUrl().value_or("").empty()) {
        addSupportedBanksLink(platform::Font::boldSystemFont(16), [](double) { return 12.0; }, y + 15);
        y += 61;
    } else {
        y += 30;
    }
    addNext(y, m_bankCell->bankCell() && !m_bankCell->bankCell()->text().empty());
    y += 74;
    endBody(y);
}

void BCOrderInfoViewController::addOnlySupportCardMediumView() {
    m_newCard = true;
    beginBody();
    endBody(0);
    addPayChannelView(0);
}

// --- Bound-card list --------------------------------------------------------------------------------

void BCOrderInfoViewController::showBindCardsList() {
    endEditing();
    m_listView = std::make_shared<BCListView>(view()->bounds(), m_bindCardDescriptions);
    m_listView->setWholeEnds(BCListView::cardNumbers(BCDataContainer::instance()->mBindCardArray().value_or(platform::Array{})));
    m_listView->setDelegate(weakSelf());
    m_listView->setEditable(true);
    m_listView->setSelectedIndex(m_commCardIndex);
    m_listView->setHeaderTitle(text(17004));
    m_listView->setFooterTitle(labelOf(BCDataContainer::instance()->mOtherCard_info()));
    view()->addSubview(m_listView);
}

void BCOrderInfoViewController::listViewDidSelectedAtIndex(BCListView&, long index) {
    if (index >= 0 && index < static_cast<long>(m_bindCardDescriptions.size())) {
        m_commCardIndex = index;
        if (m_defaultCardView)
            m_defaultCardView->setText(m_bindCardDescriptions[static_cast<std::size_t>(index)]);
        BCTrackerManager::trackEvent("bankpay_choose_bankcard", platform::Dictionary{{"pos", std::to_string(index)}});
        return;
    }
    BCDataContainer::instance()->setPayType(m_payMode);
    if (const auto navigation = navigationController())
        if (const auto entry = makeScreen("BCInputCardViewController"))
            navigation->pushViewController(entry, true);
}

void BCOrderInfoViewController::listViewDidDeletedAtIndex(BCListView&, long index) {
    const auto cards = BCDataContainer::instance()->mBindCardArray().value_or(platform::Array{});
    if (index < 0 || static_cast<std::size_t>(index) >= cards.size() || !service())
        return;
    showLoadingAlertView();
    m_shouldDeletedCardId = index;
    service()->postUnBindCardRequestWithCardId((*cards[static_cast<std::size_t>(index)].getArray())[0].stringOr(""));
}

void BCOrderInfoViewController::refreshCommCard() {
    const auto container = BCDataContainer::instance();
    platform::Array cards = container->mBindCardArray().value_or(platform::Array{});
    const long index = m_shouldDeletedCardId;
    m_shouldDeletedCardId = -1;
    if (index < 0 || static_cast<std::size_t>(index) >= cards.size())
        return;
    cards.erase(cards.begin() + index);
    container->setMBindCardArray(cards);
    if (static_cast<std::size_t>(index) < m_bindCardDescriptions.size())
        m_bindCardDescriptions.erase(m_bindCardDescriptions.begin() + index);
    if (!m_bindCardDescriptions.empty()) {
        m_commCardIndex = 0;
        if (m_defaultCardView)
            m_defaultCardView->setText(m_bindCardDescriptions.front());
    } else {
        shouldDismissCommCardList();
    }
    if (m_listView)
        m_listView->refreshListAfterDeleted();
}

void BCOrderInfoViewController::shouldDismissCommCardList() {
    removeSubViews();
    m_scrollViewHeight = m_subviewOriginY;
    addSubViewsWithNewCard();
}

void BCOrderInfoViewController::removeSubViews() {
    if (m_subView)
        m_subView->removeFromSuperview();
    m_subView.reset();
    m_defaultCardView.reset();
    m_payChannelView.reset();
    m_bankCell.reset();
    m_links.clear();
    BCDataContainer::instance()->setMOtherCard_info(std::nullopt);
}

// --- Web pages ----------------------------------------------------------------------------------------

void BCOrderInfoViewController::pushWebPage(const std::string& url, const std::string& title) { openWebPage(url, title); }

void BCOrderInfoViewController::showSupportedBank() {
    BCTrackerManager::trackEvent(m_payMode == kCardPay ? "bankpay_support_bank" : "loginpay_support_bank");
    pushWebPage(BCDataContainer::instance()->mBankUrl().value_or(""), text(11002));
}

void BCOrderInfoViewController::showFindPwd() {
    BCTrackerManager::trackEvent("login_forget_pwd");
    const auto link = BCDataContainer::instance()->findPwdUrl();
    pushWebPage(hrefOf(link), labelOf(link));
}

void BCOrderInfoViewController::showReg() {
    BCTrackerManager::trackEvent("login_by_register");
    const auto link = BCDataContainer::instance()->RegUrl();
    pushWebPage(hrefOf(link), labelOf(link));
}

void BCOrderInfoViewController::pullListAnimationDidStart(double offset) {
    endEditing();
    m_subviewOriginY += offset;
    if (m_subView) {
        platform::Rect frame = m_subView->frame();
        frame.origin.y += offset;
        m_subView->setFrame(frame);
    }
    platform::Size content = mScrollView()->contentSize();
    content.height += offset;
    mScrollView()->setContentSize(content);
}

void BCOrderInfoViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    BCBaseViewController::willRotateToInterfaceOrientation(orientation, duration);
    // The body's views span the display and take the new width. This platform may send a second call
    // for the same turn: the body already has that width then, and nothing grows twice.
    const double width = BCUtils::rotatedWidth();
    if (!m_subView || m_subView->frame().size.width == width)
        return;
    platform::ViewAnimation::beginAnimations("BaseView");
    platform::ViewAnimation::setAnimationDuration(duration);
    platform::ViewAnimation::setAnimationCurve(platform::AnimationCurve::EaseInOut);
    for (const std::shared_ptr<platform::View>& widened : {m_subView, std::static_pointer_cast<platform::View>(m_payChannelView)}) {
        if (!widened)
            continue;
        platform::Rect frame = widened->frame();
        frame.size.width = width;
        widened->setFrame(frame);
    }
    platform::ViewAnimation::commitAnimations();
    if (m_payChannelView)
        m_payChannelView->willRotateToInterfaceOrientation(orientation, duration);
    if (m_defaultCardView)
        m_defaultCardView->willRotateToInterfaceOrientation(orientation, duration);
    if (m_bankCell)
        m_bankCell->willRotateToInterfaceOrientation(orientation, duration);  // the cell widens itself
}

// --- Actions ------------------------------------------------------------------------------------------

void BCOrderInfoViewController::nextAction() {
    BCBaseViewController::nextAction();
    const auto container = BCDataContainer::instance();
    const auto cell = m_bankCell ? m_bankCell->bankCell() : nullptr;
    if (!service())
        return;
    if (cell && cell->isReadOnly()) {
        showLoadingAlertView();
        container->setDefaultPayMode(std::string("1"));
        container->setMFirstPayFlag(std::string("0"));
        service()->postRulesRequestWithFlag("0", BCUtils::getNormalCardID(cell->text()), "1", "1");
        return;
    }
    if (m_payMode == kAccountPay) {
        // Without an account label there is nothing to post in this mode: say so instead of waiting.
        if (labelOf(container->mAccount_info()).empty() || !paymentElementsView()) {
            showAlertViewWithMessage(text(12003));
            return;
        }
        if (const auto complaint = paymentElementsView()->checkPaymentParamsError()) {
            showAlertViewWithMessage(complaint);
            return;
        }
        showLoadingAlertView();
        container->setDefaultPayMode(std::string("2"));
        service()->postGetUserInfoRequestWithParams(paymentElementsView()->paymentParams());
        return;
    }
    if (m_payMode != kCardPay)
        return;
    if (!cell) {
        const auto cards = container->mBindCardArray().value_or(platform::Array{});
        const std::size_t index = static_cast<std::size_t>(m_commCardIndex);
        if (index >= cards.size())
            return;
        const std::string cardId = (*cards[index].getArray())[0].stringOr("");
        showLoadingAlertView();
        container->setDefaultPayMode(std::string("1"));
        container->setMFirstPayFlag(std::string("1"));
        container->setMCardId(cardId);
        service()->postRulesRequestWithFlag("1", cardId, "1", "1");
        BCTrackerManager::trackEvent("bankpay_choose_bankcard_next");
        return;
    }
    if (!cell->isLegalLength()) {
        showAlertViewWithMessage(text(12014));
        return;
    }
    const std::string number = BCUtils::getNormalCardID(cell->text());
    showLoadingAlertView();
    container->setDefaultPayMode(std::string("1"));
    container->setMEntrustedCard(number);
    container->setMFirstPayFlag(std::string("0"));
    BCTrackerManager::trackEvent("bankpay_input_cardNO_next");
    service()->postRulesRequestWithFlag("0", number, "1", "1");
}

void BCOrderInfoViewController::didChoosedChannelAtIndex(int index) {
    const auto container = BCDataContainer::instance();
    if (index == 1) {
        openCardMedium();
        return;
    }
    if (index != 0)
        return;
    if (m_onlySupportCardMedium) {
        openCardMedium();
    } else if (m_supportAccountPayMode && container->limitPayMethod() != "01") {
        if (m_payMode == kAccountPay)
            pushOrderScreen(kCardPay, "open_bankpay");
        else if (m_payMode == kCardPay)
            pushOrderScreen(kAccountPay, "open_loginpay");
    } else if (container->limitPayMethod() == "01") {
        openCardMedium();
    }
}

void BCOrderInfoViewController::openCardMedium() {
    const auto container = BCDataContainer::instance();
    const auto navigation = navigationController();
    const auto screen = navigation && container->shouldSupportMedium() ? makeScreen(container->mediumViewClassName().value_or(""))
                                                                       : nullptr;
    if (screen) {
        navigation->pushViewController(screen, true);
        return;
    }
    // No card-medium screen here: the user is told so, with the server's text when it gave one.
    const std::string message = container->noMediumMessage().value_or("");
    showAlertViewWithMessage(message.empty() ? text(12018) : message);
}

void BCOrderInfoViewController::pushOrderScreen(int payMode, const char* event) {
    BCDataContainer::instance()->setPayType(payMode);
    BCTrackerManager::trackEvent(event);
    if (const auto navigation = navigationController())
        if (const auto screen = makeOrderScreen(payMode, false))
            navigation->pushViewController(screen, true);
}

void BCOrderInfoViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCBaseViewController::comunicateToBCMPDidSucceedWithEvent(event);
    switch (event) {
    case kBCEventCardUnbound: {
        const auto weak = weakSelf();
        platform::RunLoop::main().perform([weak] {
            if (const auto screen = weak.lock())
                screen->refreshCommCard();
        });
        break;
    }
    case kBCEventRules:
    case kBCEventRulesWithEntrust:
        BCDataContainer::instance()->setPayType(m_payMode);  // read by the screens from here on
        moveOnAfterAlertBox(event == kBCEventRules ? "BCPayingViewController" : "BCEntrustViewController", m_newCard);
        break;
    case kBCEventUserInfo: {
        for (const auto& field : mTextFieldsArray())
            if (const auto cell = std::dynamic_pointer_cast<BCUserNameCell>(field))
                if (const auto sealed = BCMPServiceConsumption::encryptString(cell->text()))
                    BCUtils::writeUserIdToFile(*sealed, kUserAccountKey);
        if (const auto user = BCDataContainer::instance()->mUser_id(); user && !user->empty())
            BCTrackerManager::trackEvent("login", platform::Dictionary{{"sysid", *user}});
        BCDataContainer::instance()->setPayType(m_payMode);
        pushRoadScreen(kUserInfoScreenClass, m_newCard);
        break;
    }
    default:
        break;
    }
}

void BCOrderInfoViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    if (error) {
        dismissAlertView();
        showAlertViewWithMessage(error);
        return;
    }
    BCBaseViewController::comunicateToBCMPDidFailWithErrorType(type, error);
}

void BCOrderInfoViewController::cancelAction() {
    endEditing();
    m_exitPlugin = true;
    showAlertViewWithTitle(text(12020), text(13003), text(10004), text(10001));  // a question, not a failure
}

void BCOrderInfoViewController::buttonOKClicked() {
    if (!m_exitPlugin) {
        BCBaseViewController::buttonOKClicked();
        return;
    }
    dismissAlertView();
    exitWithResult("cancel");
}

void BCOrderInfoViewController::buttonCancelClicked() {
    BCBaseViewController::buttonCancelClicked();
    m_exitPlugin = false;
}

} // namespace cardpay
