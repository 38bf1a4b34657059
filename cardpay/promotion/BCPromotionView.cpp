#include "cardpay/promotion/BCPromotionView.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/promotion/BCPromotionPannelViewController.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/system/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Touch.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>
#include <cstdlib>

namespace cardpay {

namespace {

const platform::Color kTextColor = platform::Color::grey(0.2);
const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);
constexpr double kRowHeight = 44;
constexpr double kFontSize = 16;

std::string textOf(const platform::Dictionary& dict, std::string_view key) { return dict[key].stringOr(""); }

std::optional<std::string> optionalText(const platform::Dictionary& dict, std::string_view key) {
    if (const std::string* text = dict[key].getString())
        return *text;
    return std::nullopt;
}

// The option at `index`, none past the end; a malformed entry is an option without keys.
std::optional<platform::Dictionary> optionAt(const platform::Array& options, long index) {
    if (index < 0 || static_cast<std::size_t>(index) >= options.size())
        return std::nullopt;
    return options[static_cast<std::size_t>(index)].dictionaryOrEmpty();
}

std::vector<std::string> labelsOf(const platform::Array& options) {
    std::vector<std::string> labels;
    labels.reserve(options.size());
    for (const platform::Value& option : options)
        labels.push_back(option["label"].stringOr(""));
    return labels;
}

// The options that give the starting choice: the plans (type 1), else those of the item at
// "default_item_idx" (none for an index outside the items).
platform::Array startingOptions(const platform::Dictionary& element, unsigned type) {
    if (type == BCPromotionView::Instalment)
        return element["options"].arrayOrEmpty();
    const platform::Array& items = element["items"].arrayOrEmpty();
    const std::int64_t index = element["default_item_idx"].integerValue();
    if (index < 0 || static_cast<std::uint64_t>(index) >= items.size())
        return {};
    return items[static_cast<std::size_t>(index)]["options"].arrayOrEmpty();
}

std::string amountText(const platform::Dictionary& option) { return textOf(option, "rel_label") + textOf(option, "rel_value"); }

double systemVersion() { return std::strtod(platform::Device::current().systemVersion().c_str(), nullptr); }

platform::Size imageSize(int number) {
    auto image = BCImageManager::instance()->imageNamed(number);
    return image ? realSize(*image) : platform::Size{};
}

void growHeight(platform::View& view, double by) {
    platform::Rect frame = view.frame();
    frame.size.height += by;
    view.setFrame(frame);
}

} // namespace

// MARK: - BCToggleView

BCToggleView::BCToggleView(platform::Rect frame) : platform::View(frame) {}

BCToggleView::BCToggleView(platform::Point origin, const std::string& title, ActionBlock actionBlock)
    : BCToggleView(origin, title, std::nullopt, std::move(actionBlock), {}) {}

BCToggleView::BCToggleView(platform::Point origin, const std::string& title, const std::optional<platform::Dictionary>& urlDic,
                           ActionBlock actionBlock, LinkBlock linkBlock)
    : m_actionBlcok(std::move(actionBlock)), m_linkBlock(std::move(linkBlock)) {
    const double screenWidth = platform::Screen::main().bounds().size.width;
    const double x = origin.x;
    const platform::Size titleSize = newSizeWithFont(title, platform::Font::systemFont(kFontSize), screenWidth, platform::LineBreakMode::WordWrap);
    const platform::Size box = imageSize(20015);
    const double height = std::max(titleSize.height, box.height);
    setFrame(platform::Rect(x, (boxHeight() - height) / 2, screenWidth - x, height));
    setBackgroundColor(platform::Color::clear());

    m_titleLabel = BCViews::normalLabelWithFrame(platform::Rect(0, 0, titleSize.width, height), title, kFontSize, kTextColor);
    m_titleLabel->setUserInteractionEnabled(false);

    m_imageViewCheckBox = BCViews::normalImageViewWithFrame(
        platform::Rect(screenWidth - box.width - 2 * x, (height - box.height) / 2, box.width, box.height),
        BCImageManager::instance()->imageNamed(20015));
    m_imageViewCheckBox->setUserInteractionEnabled(true);
    auto tap = std::make_shared<platform::TapGestureRecognizer>();
    tap->addTarget(std::weak_ptr<void>(m_alive), [alive = std::weak_ptr<BCToggleView*>(m_alive)](platform::GestureRecognizer&) {
        if (auto self = alive.lock())
            (*self)->tapAction();
    });
    m_imageViewCheckBox->addGestureRecognizer(tap);

    if (urlDic) {
        const std::string label = textOf(*urlDic, "label");
        m_linkButton = platform::Button::create(platform::ButtonType::Custom,
                                                platform::Rect(screenWidth - box.width - x - 110, (boxHeight() - height) / 2, 100, titleSize.height));
        m_linkButton->setClipsToBounds(true);
        m_linkButton->setExclusiveTouch(true);
        m_linkButton->setTitle(cutForLayout(label), platform::kControlStateNormal);
        m_linkButton->setTitle(cutForLayout(label), platform::kControlStateHighlighted);
        m_linkButton->setTitleColor(BCUtils::navBarColor(), platform::kControlStateNormal);
        m_linkButton->setTitleColor(kTextColor, platform::kControlStateHighlighted);
        m_linkButton->titleLabel()->setFont(platform::Font::systemFont(kFontSize));
        m_linkButton->addTarget(std::weak_ptr<void>(m_alive), [alive = std::weak_ptr<BCToggleView*>(m_alive)](platform::Control&) {
            if (auto self = alive.lock())
                (*self)->installmentDesAction();
        }, platform::kControlEventTouchUpInside);
        addSubview(m_linkButton);
    }
    addSubview(m_imageViewCheckBox);
    addSubview(m_titleLabel);
}

void BCToggleView::setSelected(bool selected) {
    m_selected = selected;
    if (m_imageViewCheckBox)
        m_imageViewCheckBox->setImage(BCImageManager::instance()->imageNamed(selected ? 20015 : 20016));
}

void BCToggleView::tapAction() {
    setSelected(!m_selected);
    if (m_actionBlcok) {
        // The block may replace itself (the screen drops the blocks when it goes): call a copy.
        const ActionBlock block = m_actionBlcok;
        block(m_selected);
    }
}

void BCToggleView::installmentDesAction() {
    if (m_linkBlock) {
        const LinkBlock block = m_linkBlock;
        block();
    }
}

// MARK: - BCPromotionView

std::shared_ptr<BCPromotionView> BCPromotionView::create(platform::Rect frame, const platform::Dictionary& promotion,
                                                         double leftMargin, unsigned type) {
    std::shared_ptr<BCPromotionView> view(new BCPromotionView(frame, promotion, leftMargin, type));
    const double height = view->makePromotionAndInstalment();
    view->setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, height));
    return view;
}

BCPromotionView::BCPromotionView(platform::Rect frame, const platform::Dictionary& promotion, double leftMargin, unsigned type)
    : platform::View(frame), m_leftMargin(leftMargin), m_promotionContent(promotion), m_promotionViewType(type) {
    setClipsToBounds(true);
    m_plans = promotion["options"].arrayOrEmpty();
    m_promotionLabels = labelsOf(m_plans);
}

BCPromotionView::~BCPromotionView() {
    if (m_checkBox) {
        m_checkBox->setActionBlcok({});
        m_checkBox->setLinkBlock({});
    }
}

double BCPromotionView::makePromotionAndInstalment() {
    const double width = frame().size.width;
    const std::weak_ptr<BCPromotionView> weakSelf = std::static_pointer_cast<BCPromotionView>(shared_from_this());

    // 1. The starting choice.
    m_startOptions = startingOptions(m_promotionContent, m_promotionViewType);
    const std::optional<platform::Dictionary> first = optionAt(m_startOptions, 0);
    if (m_promotionViewType == Promotion && first)
        m_selectValue = optionalText(*first, "value");
    m_selectOption = first;

    // 2. The switch row.
    auto header = std::make_shared<platform::View>(platform::Rect(0, 0, width, kRowHeight));
    header->setBackgroundColor(platform::Color::white());
    std::optional<platform::Dictionary> url;
    if (const platform::Dictionary* dict = m_promotionContent["url"].getDictionary())
        url = *dict;
    m_checkBox = std::make_shared<BCToggleView>(
        platform::Point{12, 0}, textOf(m_promotionContent, "label"), url,
        [weakSelf](bool on) {
            if (auto self = weakSelf.lock())
                self->switchFlipped(on);
        },
        [weakSelf] {
            auto self = weakSelf.lock();
            if (!self)
                return;
            const platform::Dictionary* link = self->m_promotionContent["url"].getDictionary();
            auto delegate = self->delegate();
            if (link && delegate)
                delegate->promotionViewOpenUrl(textOf(*link, "href"), textOf(*link, "label"));
        });
    m_checkBox->setSelected(textOf(m_promotionContent, "checked") == "0");
    m_didSelected = m_checkBox->selected();
    header->addSubview(m_checkBox);
    header->addSubview(std::make_shared<BCLineView>(platform::Rect(m_leftMargin, 0, width, 1), kLineColor));
    addSubview(header);
    m_hideHeight = kHideHeight;

    // 3. The chooser row.
    m_promotionView = std::make_shared<BCDefaultCardView>(platform::Rect(0, kRowHeight, width, kRowHeight),
                                                          first ? textOf(*first, "label") : std::string(), m_leftMargin);
    m_promotionView->addTarget(weakSelf, [weakSelf](platform::Control&) {
        if (auto self = weakSelf.lock())
            self->showPromotionListView();
    }, platform::kControlEventTouchUpInside);
    m_promotionView->setUserInteractionEnabled(m_didSelected);
    addSubview(m_promotionView);
    double y = kRowHeight + m_promotionView->frame().size.height;

    // 4. The amount line (a promotion always has one, if only a blank).
    std::string text = first ? amountText(*first) : std::string();
    if (text.empty() && m_promotionViewType == Promotion)
        text = " ";
    if (!text.empty()) {
        const double height = sizeWithFontSize(text, kFontSize, width - 24).height;
        m_amountLabelBg = std::make_shared<platform::View>(platform::Rect(0, y, width, height + 10));
        m_amountLabelBg->setBackgroundColor(platform::Color::white());
        m_promotionAmountLabel = BCViews::wrapLabelWithFrame(platform::Rect(12, 5, width - 24, height), text, kFontSize, kTextColor);
        if (first) {
            const platform::AttributedString attributed = attributedStringFromInfo(*first);
            if (!attributed.string().empty())
                m_promotionAmountLabel->setAttributedText(attributed);
        }
        m_amountLabelBg->addSubview(m_promotionAmountLabel);
        addSubview(m_amountLabelBg);
        y += height + 10;
        m_bottomLine = std::make_shared<BCLineView>(platform::Rect(m_leftMargin, y - 1, width, 1), kLineColor);
        addSubview(m_bottomLine);
    }

    // 5.
    checheAvailableWithContent(first);
    m_totalHeight = y;
    return m_didSelected ? m_totalHeight : m_hideHeight;
}

std::string BCPromotionView::eventName(const char* suffix) const {
    return (BCDataContainer::instance()->payType() == 101 ? "bankpay_" : "loginpay_") + std::string(suffix);
}

void BCPromotionView::switchFlipped(bool on) {
    m_didSelected = on;
    if (on)
        BCTrackerManager::trackEvent(eventName(m_promotionViewType == Promotion ? "agree_reduce_activity" : "agree_installment"));
    checheAvailableWithContent(optionAt(m_startOptions, m_selectIndex));
    m_promotionView->setUserInteractionEnabled(on);
    if (auto delegate = this->delegate())
        delegate->promotionAndInstalmentCooperate(*this);
}

std::string BCPromotionView::optionParams() {
    const std::string name = textOf(m_promotionContent, "name");
    std::string value;
    if (m_promotionViewType == Instalment) {
        const std::optional<platform::Dictionary> plan = optionAt(m_plans, m_selectIndex);
        if (!plan)
            return {};  // no plan to send
        value = textOf(*plan, "value");
    } else {
        if (!m_selectValue)
            m_selectValue = std::string();
        value = *m_selectValue;
    }
    checheAvailableWithContent(m_selectOption);
    return m_isAvailable ? BCJsonService::member(name, value) : std::string();
}

void BCPromotionView::checheAvailableWithContent(const std::optional<platform::Dictionary>& option) {
    const platform::Value* available = option ? option->find("available") : nullptr;
    if (available && available->stringOr("") != "0")
        m_isAvailable = false;
    else
        m_isAvailable = m_didSelected;
}

platform::AttributedString BCPromotionView::attributedStringFromInfo(const platform::Dictionary& option) {
    const std::string caption = textOf(option, "rel_label");
    const std::string amount = textOf(option, "rel_value");
    platform::AttributedString text(caption + amount);
    const std::optional<platform::Color> style = hexToColor(textOf(option, "rel_value_style"));
    if (!style || systemVersion() < 6.0)
        return text;
    const platform::TextRange whole{0, text.length()};
    (void)text.addForegroundColor(kTextColor, whole);
    (void)text.addFont(platform::Font::systemFont(kFontSize), whole);
    const platform::TextRange amountRange{platform::AttributedString(caption).length(), platform::AttributedString(amount).length()};
    (void)text.addForegroundColor(*style, amountRange);
    (void)text.addFont(platform::Font::boldSystemFont(kFontSize), amountRange);
    text.setParagraphStyle({platform::TextAlignment::Left, platform::LineBreakMode::WordWrap});
    return text;
}

void BCPromotionView::animationWithStatus(bool open) {
    const double offset = (open ? openHeight() : m_hideHeight) - frame().size.height;
    const std::weak_ptr<BCPromotionView> weakSelf = std::static_pointer_cast<BCPromotionView>(shared_from_this());
    platform::ViewAnimation::animate(kAnimationDuration, [weakSelf, open, offset] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (self->m_promotionAmountLabel)
            self->m_promotionAmountLabel->setAlpha(open ? 1 : 0);
        if (offset == 0)
            return;
        growHeight(*self, offset);
        if (auto delegate = self->delegate())
            delegate->promotionViewWillChangeFrameWithOffset(*self, offset);
    });
}

void BCPromotionView::refreshInstalmentList(const platform::Dictionary& element) {
    m_plans = element["options"].arrayOrEmpty();
    m_promotionLabels = labelsOf(m_plans);
    if (m_promotionViewType == Instalment)
        m_startOptions = m_plans;
    m_selectIndex = 0;
    m_selectOption = optionAt(m_plans, 0);
    m_promotionView->setText(m_promotionLabels.empty() ? std::string() : m_promotionLabels.front());
    showAmountOf(m_selectOption.value_or(platform::Dictionary{}));
    checheAvailableWithContent(m_selectOption);
}

void BCPromotionView::showPromotionListView() {
    if (auto delegate = this->delegate())
        delegate->promotionViewWillChange(*this);
    auto screen = m_screen.lock();
    if (!screen)
        return;
    const std::shared_ptr<platform::View>& host = screen->view();
    if (m_promotionViewType == Promotion) {
        openPannel(*host);
        return;
    }
    auto list = std::make_shared<BCListView>(host->bounds(), m_promotionLabels);
    list->setDelegate(std::static_pointer_cast<BCPromotionView>(shared_from_this()));
    list->setSelectedIndex(m_selectIndex);
    list->setHeaderTitle(textOf(m_promotionContent, "label"));
    host->addSubview(list);
}

void BCPromotionView::openPannel(platform::View& host) {
    if (!m_myPannel) {
        m_myPannel = BCPromotionPannelViewController::initWithContent(m_promotionContent);
        m_myPannel->setMyController(std::static_pointer_cast<BCPromotionView>(shared_from_this()));
    }
    host.addSubview(m_myPannel->view());
    m_myPannel->showPannel();
}

void BCPromotionView::listViewDidSelectedAtIndex(BCListView&, long index) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_promotionLabels.size())
        return;  // the footer, or a row no longer listed
    m_selectIndex = index;
    m_promotionView->setText(m_promotionLabels[static_cast<std::size_t>(index)]);
    BCTrackerManager::trackEvent(eventName("select_installment"), platform::Dictionary{{"pos", std::to_string(index)}});
    m_selectOption = optionAt(m_plans, m_selectIndex);
    // The amount line follows the plan chosen: it must never show another plan than the one sent.
    if (m_promotionViewType == Instalment)
        showAmountOf(m_selectOption.value_or(platform::Dictionary{}));
}

void BCPromotionView::panelViewWithCoupon(const platform::Dictionary& option) {
    m_promotionView->setText(textOf(option, "label"));
    if (!m_selectCouponDic || option["rel_value"] != (*m_selectCouponDic)["rel_value"]) {
        if (auto delegate = this->delegate())
            delegate->promotionRealPayAmountChange();
    }
    m_selectValue = optionalText(option, "value");
    m_selectCouponDic = option;
    m_selectOption = option;
    checheAvailableWithContent(option);
    BCTrackerManager::trackEvent(eventName("select_reduce_activity"), option);
    if (!amountText(option).empty())
        showAmountOf(option);
}

void BCPromotionView::showAmountOf(const platform::Dictionary& option) {
    const double width = frame().size.width;
    const std::string text = amountText(option);
    double grow = 0;
    if (!m_promotionAmountLabel) {
        if (text.empty())
            return;
        // A view made without an amount line gets one under the chooser row.
        const double y = kRowHeight + m_promotionView->frame().size.height;
        m_amountLabelBg = std::make_shared<platform::View>(platform::Rect(0, y, width, 10));
        m_amountLabelBg->setBackgroundColor(platform::Color::white());
        m_promotionAmountLabel = BCViews::wrapLabelWithFrame(platform::Rect(12, 5, width - 24, 0), "", kFontSize, kTextColor);
        m_promotionAmountLabel->setAlpha(frame().size.height > m_hideHeight ? 1 : 0);
        m_amountLabelBg->addSubview(m_promotionAmountLabel);
        addSubview(m_amountLabelBg);
        m_bottomLine = std::make_shared<BCLineView>(platform::Rect(m_leftMargin, y + 9, width, 1), kLineColor);
        addSubview(m_bottomLine);
        grow = 10;
    }
    if (text.empty())
        m_promotionAmountLabel->setText(text);
    else
        m_promotionAmountLabel->setAttributedText(attributedStringFromInfo(option));
    const platform::Rect label = m_promotionAmountLabel->frame();
    const double height = text.empty() ? 0 : sizeWithFontSize(text, kFontSize, label.size.width).height;
    const double labelGrowth = height - label.size.height;
    growHeight(*m_promotionAmountLabel, labelGrowth);
    growHeight(*m_amountLabelBg, labelGrowth);
    grow += labelGrowth;
    if (grow == 0)
        return;
    m_amountGrowth += grow;
    m_bottomLine->setFrame(platform::Rect(m_leftMargin, m_amountLabelBg->frame().maxY() - 1, width, 1));
    if (frame().size.height <= m_hideHeight)
        return;  // closed: the next opening takes the new height
    growHeight(*this, grow);
    if (auto delegate = this->delegate())
        delegate->promotionViewWillChangeFrameWithOffset(*this, grow);
}

} // namespace cardpay
