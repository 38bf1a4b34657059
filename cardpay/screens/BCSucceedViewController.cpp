#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCSuccessMarkup.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/system/Device.h"
#include "platform/text/URL.h"
#include "platform/ui/Layer.h"
#include "platform/ui/NavigationController.h"

#include <algorithm>
#include <cstdlib>

namespace cardpay {

namespace {

constexpr const char* kPage = "result_View";
constexpr double kMargin = 12;
constexpr double kBlockHeight = 48;
constexpr double kNextHeight = 44;

// The poll's value when it is a text (a copy: the getters answer temporaries).
std::optional<std::string> textOf(const std::optional<platform::Value>& value) {
    if (const std::string* text = value ? value->getString() : nullptr)
        return *text;
    return std::nullopt;
}

platform::Color grey(double g) { return platform::Color::grey(g); }

void setWidth(platform::View& view, double width) {
    platform::Rect frame = view.frame();
    frame.size.width = width;
    view.setFrame(frame);
}

} // namespace

void BCSucceedViewController::registerScreen() {
    BCScreenRegistry::shared().registerClass<BCSucceedViewController>(std::string(kSucceedScreenClass));
}

double BCSucceedViewController::contentWidth() const { return mScrollView()->frame().size.width; }

// --- Life cycle -----------------------------------------------------------------------------------

void BCSucceedViewController::viewDidLoad() {
    BCBaseViewController::viewDidLoad();
    if (const auto mode = BCDataContainer::instance()->defaultPayMode())
        BCMPService::storageUserDefaultPayMode(*mode);
}

void BCSucceedViewController::viewWillAppear(bool animated) {
    const auto views = mScrollView()->subviews();
    for (const auto& view : views)
        view->removeFromSuperview();
    m_tempPayInfoLabel.reset();
    m_successInfoView.reset();
    m_successTitleLabel.reset();
    m_successLabel.reset();
    m_indicator.reset();
    m_waitLabel.reset();
    m_tableView.reset();
    m_promotions.clear();
    addSubViews();
    BCBaseViewController::viewWillAppear(animated);
}

void BCSucceedViewController::viewDidAppear(bool animated) {
    BCBaseViewController::viewDidAppear(animated);
    if (const auto navigation = navigationController())
        navigation->setViewControllers({shared_from_this()});
    if (pullListView())
        pullListView()->setUserInteractionEnabled(false);
    BCTrackerManager::trackPageBegin(kPage);
}

void BCSucceedViewController::viewDidDisappear(bool animated) {
    BCTrackerManager::trackPageEnd(kPage);
    BCBaseViewController::viewDidDisappear(animated);
}

void BCSucceedViewController::addNavigationBar() {
    const platform::Rect frame(0, BCUtils::viewControllerBoundsOriginY(), BCUtils::displayWidth(), kBarHeight);
    auto bar = std::make_shared<BCNavigationBar>(frame, BCDataContainer::instance()->viewControllerTitle(), "", std::weak_ptr<void>(),
                                                 BCNavigationBar::Action(), true);
    setNavigationBar(bar);
    view()->addSubview(bar);
}

// --- Content --------------------------------------------------------------------------------------

void BCSucceedViewController::addSubViews() {
    const auto container = BCDataContainer::instance();
    const double width = contentWidth();
    const double y0 = textOf(container->paySuccessMessage()) ? makePaySuccessInfo() : makeOldPaySuccessInfo();
    addBtnNextWithTitle(BCLocale::instance()->getStringById(10005), platform::Rect(kMargin, y0 + kMargin, width - 2 * kMargin, kNextHeight),
                        true, *mScrollView());
    double y = y0 + kMargin + 56;
    if (container->luckRrawFlag() == "0") {
        m_indicator = std::make_shared<platform::ActivityIndicatorView>(platform::ActivityIndicatorViewStyle::White);
        m_indicator->setFrame(platform::Rect(kMargin, y, 20, 20));
        m_indicator->setColor(grey(0.4));  // the white spokes would not show on the light screen
        m_indicator->startAnimating();
        mScrollView()->addSubview(m_indicator);
        m_waitLabel = BCViews::normalLabelWithFrame(platform::Rect(m_indicator->frame().maxX() + 5, y, width, 20), "正在获取抽奖信息...", 16, grey(0.2));
        mScrollView()->addSubview(m_waitLabel);
        if (service())
            service()->postBingoPromotionRequest();
        y += 32;
    }
    mScrollView()->setContentSize({width - 2 * kMargin, y});
}

double BCSucceedViewController::makePaySuccessInfo() {
    const auto container = BCDataContainer::instance();
    const double width = contentWidth();
    m_successInfoView = std::make_shared<platform::View>(platform::Rect(0, 0, width, kBlockHeight));
    m_successInfoView->setBackgroundColor(platform::Color::white());
    mScrollView()->addSubview(m_successInfoView);

    const auto icon = BCImageManager::instance()->imageNamed(20019);
    const platform::Size iconSize = icon ? realSize(*icon) : platform::Size{};
    m_successInfoView->addSubview(BCViews::normalImageViewWithFrame(platform::Rect(kMargin, kMargin, iconSize.width, iconSize.height), icon));

    m_successLabel = BCViews::wrapLabelWithFrame(platform::Rect(), "", 20, grey(0.2));
    const std::string message = textOf(container->paySuccessMessage()).value_or("");
    const auto attributed = atrributedStringFromInfo(message);
    const std::string shown = attributed ? attributed->string() : cutForLayout(message);
    const double x = iconSize.width + 5 + kMargin;
    const double available = view()->frame().size.width - x - kMargin;
    const platform::Size size = sizeWithFontSize(shown, 20, available);
    const double height = std::max(size.height, iconSize.height);
    m_successLabel->setFrame(platform::Rect(x, kMargin, size.width, height));
    m_successLabel->setText(shown);
    if (attributed && std::strtod(platform::Device::current().systemVersion().c_str(), nullptr) >= 6.0)
        m_successLabel->setAttributedText(*attributed);
    m_successInfoView->addSubview(m_successLabel);

    double y = height + kMargin;
    y = addNote(container->promotionMessage(), x, y, available);
    y = addNote(container->instalmentMessage(), x, y, available);
    y = addTemporaryPay(y);
    m_successInfoView->addSubview(std::make_shared<BCLineView>(platform::Rect(0, y + kMargin, width, 1), grey(229.0 / 255)));
    m_successInfoView->setFrame(platform::Rect(0, 0, width, y + kMargin + 1));
    return y + 13;
}

double BCSucceedViewController::addNote(const std::optional<platform::Value>& note, double x, double y, double width) {
    const auto text = textOf(note);
    if (!text)
        return y;
    y += 5;
    const platform::Size size = newSizeWithFont(*text, platform::Font::systemFont(16), width, platform::LineBreakMode::WordWrap);
    m_successInfoView->addSubview(BCViews::wrapLabelWithFrame(platform::Rect(x, y, size.width, size.height), *text, 16, grey(0.4)));
    return y + size.height;
}

double BCSucceedViewController::makeOldPaySuccessInfo() {
    const auto container = BCDataContainer::instance();
    m_successInfoView = std::make_shared<platform::View>(platform::Rect(0, 0, BCUtils::displayWidth(), kBlockHeight));
    m_successInfoView->setBackgroundColor(platform::Color::white());
    mScrollView()->addSubview(m_successInfoView);
    const auto title = textOf(container->successInfo());
    m_successTitleLabel = BCViews::normalLabelWithFrame(platform::Rect(0, 0, m_successInfoView->frame().size.width, kBlockHeight),
                                                        title.value_or(""), 24, BCUtils::resultTitleColor());
    m_successTitleLabel->setTextAlignment(platform::TextAlignment::Center);
    m_successInfoView->addSubview(m_successTitleLabel);
    // The order summary under the title: the frame's header, moved below the block.
    addOrderViewWithStyle(2);
    platform::Rect frame = pullListView()->frame();
    frame.origin.y = kBlockHeight;
    pullListView()->setFrame(frame);
    return addTemporaryPay(kBlockHeight + frame.size.height) + kMargin;
}

double BCSucceedViewController::addTemporaryPay(double y) {
    const auto container = BCDataContainer::instance();
    const auto info = textOf(container->mTemporaryInfo());
    if (container->mTemporaryFlag() != "0" || !info)
        return y;
    const double width = contentWidth();
    const platform::Size size = newSizeWithFont(*info, platform::Font::systemFont(16), width - 44, platform::LineBreakMode::WordWrap);
    m_tempPayInfoLabel = BCViews::wrapLabelWithFrame(platform::Rect(10, 10, size.width, size.height), *info, 16, grey(0.2));
    auto box = std::make_shared<platform::View>(platform::Rect(kMargin, y + kMargin, width - 2 * kMargin, size.height + 20));
    box->setBackgroundColor(platform::Color::fromRGBA255(239, 239, 244));
    box->layer()->setCornerRadius(3);
    box->addSubview(m_tempPayInfoLabel);
    mScrollView()->addSubview(box);
    return y + kMargin + size.height + 20;
}

std::optional<platform::AttributedString> BCSucceedViewController::atrributedStringFromInfo(const std::string& info) const {
    const auto markup = parseSuccessMarkup(info);
    if (!markup)
        return std::nullopt;
    // The text is cut for layout; the coloured stretch keeps what is left of it before the cut.
    const std::string shown = cutForLayout(markup->text);
    const bool cut = shown != markup->text;
    platform::AttributedString attributed(shown);
    const std::size_t kept = attributed.length() - (cut ? 1 : 0);  // the ellipsis is not the server's text
    const std::size_t location = std::min(markup->location, kept);
    const std::size_t length = std::min(markup->length, kept - location);
    if (std::strtod(platform::Device::current().systemVersion().c_str(), nullptr) < 6.0)
        return attributed;
    const platform::Color base = m_successLabel ? m_successLabel->textColor() : grey(0.2);
    (void)attributed.addForegroundColor(base, {0, attributed.length()});
    if (const auto colour = hexToColor(markup->colour))
        (void)attributed.addForegroundColor(*colour, {location, length});
    attributed.setParagraphStyle({platform::TextAlignment::Left, platform::LineBreakMode::WordWrap});
    return attributed;
}

// --- Lucky draw -----------------------------------------------------------------------------------

void BCSucceedViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCBaseViewController::comunicateToBCMPDidSucceedWithEvent(event);
    if (event == kBCEventLuckyDraw)
        makeLuckView();
}

void BCSucceedViewController::comunicateToBCMPDidFailWithErrorType(int, const std::optional<std::string>&) {
    // Only the lucky draw is asked from here: without it the screen stays as it is, without a box.
    removeSpinner();
}

void BCSucceedViewController::removeSpinner() {
    if (!m_indicator || !m_waitLabel)
        return;
    m_indicator->removeFromSuperview();
    m_waitLabel->removeFromSuperview();
    m_indicator.reset();
    m_waitLabel.reset();
}

void BCSucceedViewController::makeLuckView() {
    // Only an awaited draw is shown, in the spinner's place: a second answer (one asked before the
    // content was rebuilt, say) would lay a list over the top of the screen.
    if (!m_indicator)
        return;
    const double top = m_indicator->frame().origin.y;
    removeSpinner();
    m_promotions.clear();
    if (const auto draw = BCDataContainer::instance()->luckPromotions())
        for (const platform::Value& option : (*draw)["options"].arrayOrEmpty())
            if (option.isDictionary() && m_promotions.size() < kMaxLuckyDrawOptions)
                m_promotions.push_back(option);
    if (m_promotions.empty())
        return;
    makeTableViewAtY(top);
    mScrollView()->setContentSize({contentWidth(), top + m_tableView->frame().size.height + kMargin});
}

void BCSucceedViewController::makeTableViewAtY(double y) {
    if (m_promotions.empty())
        return;
    if (m_tableView)
        m_tableView->removeFromSuperview();
    const double height = static_cast<double>(m_promotions.size()) * kRowHeight + kHeaderHeight + kFooterHeight;
    m_tableView = std::make_shared<platform::TableView>(platform::Rect(0, y, contentWidth(), height), platform::TableViewStyle::Plain);
    m_tableView->setScrollEnabled(false);
    m_tableView->setSeparatorStyle(platform::TableViewCellSeparatorStyle::SingleLine);
    const auto self = std::static_pointer_cast<BCSucceedViewController>(shared_from_this());
    m_tableView->setDataSource(std::static_pointer_cast<platform::TableViewDataSource>(self));
    m_tableView->setTableDelegate(std::static_pointer_cast<platform::TableViewDelegate>(self));
    m_tableView->setClipsToBounds(true);
    m_tableView->setBackgroundColor(platform::Color::clear());
    if (BCUtils::iOS7Device())
        m_tableView->setSeparatorInset({});
    m_tableView->setRowHeight(kRowHeight);
    m_tableView->setSectionHeaderHeight(kHeaderHeight);
    m_tableView->setSectionFooterHeight(kFooterHeight);
    mScrollView()->addSubview(m_tableView);
    m_tableView->reloadData();
}

long BCSucceedViewController::numberOfRows(platform::TableView&, long) { return static_cast<long>(m_promotions.size()); }

std::shared_ptr<platform::View> BCSucceedViewController::viewForHeader(platform::TableView& table, long) {
    const double width = contentWidth();
    auto header = std::make_shared<platform::View>(platform::Rect(0, 0, width, 16));
    header->setClipsToBounds(true);
    const auto draw = BCDataContainer::instance()->luckPromotions().value_or(platform::Dictionary{});
    header->addSubview(BCViews::normalLabelWithFrame(platform::Rect(kMargin, 0, width - 2 * kMargin, 16), draw["label"].stringOr(""), 16,
                                                     hexToColor("FF9E4F").value_or(grey(0.2))));
    header->addSubview(std::make_shared<BCLineView>(platform::Rect(0, 20, width, 1), table.separatorColor()));
    return header;
}

std::shared_ptr<platform::View> BCSucceedViewController::viewForFooter(platform::TableView& table, long) {
    auto footer = std::make_shared<platform::View>(platform::Rect(0, 0, contentWidth(), 1));
    footer->setClipsToBounds(true);
    footer->addSubview(std::make_shared<BCLineView>(platform::Rect(0, 0, contentWidth(), 1), table.separatorColor()));
    return footer;
}

std::shared_ptr<platform::TableViewCell> BCSucceedViewController::cellForRow(platform::TableView&, platform::IndexPath indexPath) {
    auto cell = std::make_shared<platform::TableViewCell>(platform::TableViewCellStyle::Subtitle, "commonCards");
    cell->setSelectionStyle(platform::TableViewCellSelectionStyle::Blue);
    cell->contentView()->setBackgroundColor(platform::Color::white());
    cell->setExclusiveTouch(true);
    cell->textLabel()->setLineBreakMode(platform::LineBreakMode::TruncateMiddle);
    cell->textLabel()->setFont(platform::Font::systemFont(16));
    cell->setAccessoryType(platform::TableViewCellAccessoryType::DisclosureIndicator);
    const auto row = static_cast<std::size_t>(indexPath.row);
    if (row < m_promotions.size())
        cell->textLabel()->setText(cutForLayout(m_promotions[row]["label"].stringOr("")));
    return cell;
}

void BCSucceedViewController::didSelectRow(platform::TableView& table, platform::IndexPath indexPath) {
    table.deselectRow(indexPath, true);
    const auto row = static_cast<std::size_t>(indexPath.row);
    if (row >= m_promotions.size())
        return;
    const platform::Value option = m_promotions[row];
    if (const std::string* label = option["label"].getString())
        BCTrackerManager::trackEvent("pay_success_click_activity", platform::Dictionary{{"pos", std::to_string(row)}, {"name", *label}});
    openWebPage(option["url"].stringOr(""), "");
}

// --- Actions --------------------------------------------------------------------------------------

void BCSucceedViewController::nextAction() {
    BCBaseViewController::nextAction();
    BCTrackerManager::trackEvent("pay_success_back_merchant");
    exitWithResult("success");
}

void BCSucceedViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    // This platform may send two calls for one turn: the notice widens once.
    const bool turning = m_successInfoView && m_successInfoView->frame().size.width != BCUtils::rotatedWidth();
    BCBaseViewController::willRotateToInterfaceOrientation(orientation, duration);
    if (!turning)
        return;
    inBaseViewAnimation(duration, [this] {
        setWidth(*m_successInfoView, BCUtils::rotatedWidth());
        if (m_successTitleLabel)
            setWidth(*m_successTitleLabel, BCUtils::rotatedWidth());
        if (m_tempPayInfoLabel)
            growWidth(*m_tempPayInfoLabel, BCUtils::rotatedOffset());
    });
}

} // namespace cardpay
