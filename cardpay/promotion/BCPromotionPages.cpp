#include "cardpay/promotion/BCPromotionPages.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/promotion/BCPromotionNotifications.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/Layer.h"

namespace cardpay {

namespace {

const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);

platform::Image::Ptr image(int number) { return BCImageManager::instance()->imageNamed(number); }

std::string text(const platform::Dictionary& dictionary, std::string_view key) { return dictionary[key].stringOr(""); }

void post(const char* name, const void* sender, platform::Dictionary object = {}) {
    platform::NotificationCenter::defaultCenter().post(name, sender, std::move(object));
}

std::shared_ptr<platform::Button> plainButton(platform::Rect frame) { return platform::Button::create(platform::ButtonType::Custom, frame); }

// A button of the pages that carries out an action: clipping, exclusive touch, rounded corners.
std::shared_ptr<platform::Button> actionButton(platform::Rect frame, const std::string& title) {
    auto button = plainButton(frame);
    button->setClipsToBounds(true);
    button->setExclusiveTouch(true);
    button->layer()->setCornerRadius(4);
    button->setTitle(cutForLayout(title), platform::kControlStateNormal);
    setPromotionButtonBackgrounds(*button);
    return button;
}

} // namespace

void setPromotionButtonBackgrounds(platform::Button& button) {
    if (BCDataContainer::instance()->BundleConfig()) {
        button.setBackgroundImage(image(20012), platform::kControlStateNormal);
        button.setBackgroundImage(image(20013), platform::kControlStateHighlighted);
        button.setBackgroundImage(image(20014), platform::kControlStateDisabled);
    } else {
        button.setBackgroundImage(BCViews::imageWithR(92, 163, 218, 1), platform::kControlStateNormal);
        button.setBackgroundImage(BCViews::imageWithR(64, 133, 187, 1), platform::kControlStateHighlighted);
        button.setBackgroundImage(BCViews::imageWithR(153, 153, 153, 1), platform::kControlStateDisabled);
    }
}

// --- List rows ------------------------------------------------------------------------------------

BCPromotionListCell::BCPromotionListCell(platform::TableViewCellStyle style, const std::string& reuseIdentifier)
    : platform::TableViewCell(style, reuseIdentifier) {
    m_indicatorImage = image(20004);
    m_indicatorImageView = std::make_shared<platform::ImageView>();
    m_indicatorImageView->setHidden(true);
    contentView()->addSubview(m_indicatorImageView);
    m_bottomLine = std::make_shared<BCLineView>(platform::Rect(), kLineColor);
    m_bottomLine->setUserInteractionEnabled(false);
    addSubview(m_bottomLine);
}

void BCPromotionListCell::setIndicatorImage(platform::Image::Ptr image) {
    m_indicatorImage = std::move(image);
    setNeedsLayout();
}

void BCPromotionListCell::setCellState(unsigned state) {
    m_cellState = state;
    setNeedsLayout();
}

void BCPromotionListCell::layoutSubviews() {
    platform::TableViewCell::layoutSubviews();
    const platform::Rect content = contentView()->bounds();
    const platform::Size mark = m_indicatorImage ? realSize(*m_indicatorImage) : platform::Size{};
    m_indicatorImageView->setFrame(platform::Rect(content.width() - mark.width - 12, (content.height() - mark.height) / 2,
                                                  mark.width, mark.height));
    m_indicatorImageView->setHidden(m_cellState == 0);
    if (m_cellState != 0)
        m_indicatorImageView->setImage(image(m_cellState == 1 ? 20004 : 20011));
    const platform::Rect cell = bounds();
    platform::Rect label = textLabel()->frame();
    label.size.width = std::max(0.0, cell.width() - mark.width - 24 - 5);
    textLabel()->setFrame(label);
    m_bottomLine->setFrame(platform::Rect(0, cell.height() - 1, cell.width(), 1));
    bringSubviewToFront(m_bottomLine);
    setBackgroundColor(platform::Color::clear());
}

unsigned promotionCellState(const platform::Value& option, long row, long selectedIndex) {
    if (option["available"].integerValue() == 1)
        return 0;
    return row == selectedIndex ? 1 : 2;
}

// --- Option list ----------------------------------------------------------------------------------

std::shared_ptr<BCPromotionListViewController> BCPromotionListViewController::initWithFrame(platform::Rect frame) {
    return std::make_shared<BCPromotionListViewController>(frame);
}

BCPromotionListViewController::BCPromotionListViewController(platform::Rect frame)
    : platform::TableViewController(platform::TableViewStyle::Plain), m_myFrame(frame) {}

void BCPromotionListViewController::viewDidLoad() {
    platform::TableViewController::viewDidLoad();
    const auto table = tableView();
    table->setAutoresizingMask(0);
    table->setFrame(m_myFrame);
    table->setRowHeight(kRowHeight);
    table->setSeparatorStyle(platform::TableViewCellSeparatorStyle::None);
    table->setBackgroundColor(platform::Color::fromRGBA255(239, 239, 244));
    m_selectedIndex = -1;
}

long BCPromotionListViewController::numberOfRows(platform::TableView&, long) { return static_cast<long>(m_myDataSource.size()); }

std::shared_ptr<platform::TableViewCell> BCPromotionListViewController::cellForRow(platform::TableView&, platform::IndexPath indexPath) {
    auto cell = std::make_shared<BCPromotionListCell>(platform::TableViewCellStyle::Subtitle, BCPromotionListCell::kReuseIdentifier);
    cell->setSelectionStyle(platform::TableViewCellSelectionStyle::None);
    cell->contentView()->setBackgroundColor(platform::Color::clear());
    cell->setExclusiveTouch(true);
    cell->textLabel()->setLineBreakMode(platform::LineBreakMode::TruncateTail);
    cell->textLabel()->setFont(platform::Font::systemFont(16));
    const platform::Value& option = m_myDataSource[static_cast<std::size_t>(indexPath.row)];
    cell->textLabel()->setText(cutForLayout(option["label"].stringOr("")));
    cell->setCellState(promotionCellState(option, indexPath.row, m_selectedIndex));
    return cell;
}

void BCPromotionListViewController::didSelectRow(platform::TableView&, platform::IndexPath indexPath) {
    if (indexPath.row < 0 || indexPath.row >= static_cast<long>(m_myDataSource.size()))
        return;
    const platform::Value& option = m_myDataSource[static_cast<std::size_t>(indexPath.row)];
    if (promotionCellState(option, indexPath.row, m_selectedIndex) == 0)
        return;
    post(kNotificationListViewCoupon, this, option.dictionaryOrEmpty());
    const std::weak_ptr<BCPromotionListViewController> weak =
        std::static_pointer_cast<BCPromotionListViewController>(shared_from_this());
    const long row = indexPath.row;
    platform::DispatchQueue::main()->after(kMarkDelay, [weak, row] {
        if (const auto list = weak.lock()) {
            list->m_selectedIndex = row;
            list->tableReload();
        }
    });
}

void BCPromotionListViewController::tableReload() { tableView()->reloadData(); }

// --- Coupon page ----------------------------------------------------------------------------------

std::shared_ptr<BCPromotionCouponView> BCPromotionCouponView::initWithFrame(platform::Rect frame, const platform::Dictionary& content) {
    auto page = std::make_shared<BCPromotionCouponView>(frame, content);
    page->addSubviews();
    return page;
}

BCPromotionCouponView::BCPromotionCouponView(platform::Rect frame, platform::Dictionary content)
    : platform::View(frame), m_myContentDic(std::move(content)) {}

bool BCPromotionCouponView::isValidCode(const std::string& code) {
    // The pattern's own bound first: a pasted page of text is refused without being scanned.
    return code.size() >= 8 && code.size() <= 32 && BCUtils::isValidateTextField(code, kCodePattern);
}

std::optional<platform::Dictionary> BCPromotionCouponView::rule(std::size_t index) const {
    if (const platform::Dictionary* found = m_myContentDic["rules"][index].getDictionary())
        return *found;
    return std::nullopt;
}

std::string BCPromotionCouponView::hintText() const {
    const auto hint = rule(1);
    if (!hint || text(*hint, "type") != "string")
        return "";
    return text(*hint, "label") + " " + text(*hint, "value");
}

platform::Size BCPromotionCouponView::tipSize(const std::string& tip) const {
    return newSizeWithFont(tip, platform::Font::systemFont(16), bounds().width() - 24, platform::LineBreakMode::WordWrap);
}

std::shared_ptr<platform::Label> BCPromotionCouponView::makeTipLabel(const std::string& tip) const {
    const platform::Size size = tipSize(tip);
    const double y = (m_myCouponCell ? m_myCouponCell->frame().maxY() : 0) + 12;
    auto label = std::make_shared<platform::Label>(platform::Rect(12, y, size.width, size.height));
    label->setFont(platform::Font::systemFont(16));
    label->setTextColor(platform::Color::grey(0.4));
    label->setNumberOfLines(0);
    label->setLineBreakMode(platform::LineBreakMode::WordWrap);
    label->setBackgroundColor(platform::Color::clear());
    label->setText(cutForLayout(tip));
    return label;
}

void BCPromotionCouponView::addSubviews() {
    const double w = bounds().width();
    const double h = bounds().height();
    if (const auto code = rule(0); code && text(*code, "type") == "coupon_code") {
        m_verifyButton = plainButton(platform::Rect(w - 12 - 60, 12, 60, 44));
        m_verifyButton->setTitle(cutForLayout(text(*code, "button_label")), platform::kControlStateNormal);
        m_verifyButton->setTitleColor(BCUtils::underLineNormalColor(), platform::kControlStateNormal);
        m_verifyButton->setBackgroundColor(platform::Color::white());
        setVerifyTarget(false);
        m_myCouponCell = BCBaseCell::create<BCCouponCell>(platform::Rect(12, 12, w - 24 - 60, 16), *code,
                                                          std::static_pointer_cast<BCTextFieldDelegate>(
                                                              std::static_pointer_cast<BCPromotionCouponView>(shared_from_this())));
        addSubview(m_myCouponCell);
        addSubview(m_verifyButton);
    }
    if (const auto hint = rule(1); hint && text(*hint, "type") == "string") {
        m_couponTipLabel = makeTipLabel(hintText());
        addSubview(m_couponTipLabel);
    }
    auto bar = std::make_shared<platform::View>(BCUtils::iOS7Device() ? platform::Rect(0, h - 10 - 44, w, 54)
                                                                      : platform::Rect(0, h - 74, w, 54));
    bar->setBackgroundColor(platform::Color::white());
    addSubview(bar);
    addUseButtonWithTitle(m_myContentDic["use_button"]["label"].stringOr(""));
    bar->addSubview(m_useButton);
}

void BCPromotionCouponView::addUseButtonWithTitle(const std::string& title) {
    m_useButton = actionButton(platform::Rect(12, 5, bounds().width() - 24, 44), title);
    const std::weak_ptr<BCPromotionCouponView> weak = std::static_pointer_cast<BCPromotionCouponView>(shared_from_this());
    m_useButton->addTarget(weak, [weak](platform::Control&) {
        if (const auto page = weak.lock())
            page->useCouponAction();
    }, platform::kControlEventTouchUpInside);
    m_useButton->setEnabled(false);
}

void BCPromotionCouponView::setVerifyTarget(bool confirmed) {
    if (!m_verifyButton)
        return;
    m_verifyButton->removeTarget(this);
    const std::weak_ptr<BCPromotionCouponView> weak = std::static_pointer_cast<BCPromotionCouponView>(shared_from_this());
    // The target is the page itself, so the next change can take this action out again.
    m_verifyButton->addTarget(weak, [weak, confirmed](platform::Control&) {
        if (const auto page = weak.lock())
            confirmed ? page->changeCoupon() : page->verifyAction();
    }, platform::kControlEventTouchUpInside);
}

void BCPromotionCouponView::verifyAction() {
    const auto code = rule(0).value_or(platform::Dictionary());
    const std::string entered = m_myCouponCell ? m_myCouponCell->text() : std::string();
    platform::Dictionary check{{"button_action", code["button_action"]}, {"name", code["name"]}, {"value", entered}};
    const bool valid = isValidCode(entered);
    if (m_myCouponCell)
        m_myCouponCell->doneClick();
    if (valid)
        post(kNotificationVerifyCoupon, this, std::move(check));
    else
        post(kNotificationCouponErr, this);
}

void BCPromotionCouponView::refreshViewWithData(const std::optional<platform::Dictionary>& coupon) {
    if (!coupon)
        return;
    m_myCouponDic = coupon;
    if (m_couponTipLabel)
        m_couponTipLabel->removeFromSuperview();
    m_couponTipLabel = makeTipLabel(text(*coupon, "label"));
    addSubview(m_couponTipLabel);
    m_useButton->setEnabled(true);
    if (m_verifyButton) {
        m_verifyButton->setTitle(std::string(kChangeTitle), platform::kControlStateNormal);
        setVerifyTarget(true);
    }
}

void BCPromotionCouponView::changeCoupon() {
    if (m_myCouponCell)
        m_myCouponCell->setText("");
    if (m_couponTipLabel) {
        // Measured anew: the hint is often longer than the coupon's label it replaces.
        const std::string hint = hintText();
        m_couponTipLabel->setText(cutForLayout(hint));
        platform::Rect frame = m_couponTipLabel->frame();
        frame.size = tipSize(hint);
        m_couponTipLabel->setFrame(frame);
    }
    m_useButton->setEnabled(false);
    if (m_verifyButton) {
        m_verifyButton->setTitle(cutForLayout(rule(0).value_or(platform::Dictionary())["button_label"].stringOr("")), platform::kControlStateNormal);
        setVerifyTarget(false);
    }
}

void BCPromotionCouponView::useCouponAction() {
    if (m_myCouponDic)
        post(kNotificationListViewCoupon, this, *m_myCouponDic);
}

// --- Login page -----------------------------------------------------------------------------------

std::shared_ptr<BCPromotionLoginView> BCPromotionLoginView::initWithFrame(platform::Rect frame, const platform::Dictionary& content) {
    auto page = std::make_shared<BCPromotionLoginView>(frame, content);
    page->addSubviews();
    return page;
}

BCPromotionLoginView::BCPromotionLoginView(platform::Rect frame, platform::Dictionary content)
    : platform::View(frame), m_myContentDic(std::move(content)) {}

void BCPromotionLoginView::addSubviews() {
    const double w = bounds().width();
    const double h = bounds().height();
    m_tipLabel = std::make_shared<platform::Label>(platform::Rect(12, (h - 16 - 44 - 24) / 2, w - 24, 16));
    m_tipLabel->setTextAlignment(platform::TextAlignment::Center);
    m_tipLabel->setBackgroundColor(platform::Color::clear());
    m_tipLabel->setText(cutForLayout(text(m_myContentDic, "tip")));
    addSubview(m_tipLabel);
    m_loginButton = actionButton(platform::Rect((w - 100) / 2, m_tipLabel->frame().maxY() + 24, 100, 44),
                                 m_myContentDic["button"]["label"].stringOr(""));
    m_loginButton->setBackgroundColor(platform::Color::fromRGBA(0, 0, 1));
    const std::weak_ptr<BCPromotionLoginView> weak = std::static_pointer_cast<BCPromotionLoginView>(shared_from_this());
    m_loginButton->addTarget(weak, [weak](platform::Control&) {
        if (const auto page = weak.lock())
            page->loginAcition();
    }, platform::kControlEventTouchUpInside);
    addSubview(m_loginButton);
}

void BCPromotionLoginView::loginAcition() { post(kNotificationLogin, this); }

} // namespace cardpay
