#include "cardpay/views/BCCheckBoxViews.h"

#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Touch.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace cardpay {

namespace {

const platform::Color kTextColor = platform::Color::fromRGBA(0.2, 0.2, 0.2);

platform::Size imageSize(int number) {
    auto image = BCImageManager::instance()->imageNamed(number);
    return image ? realSize(*image) : platform::Size{};
}

} // namespace

// MARK: - BCCheckBoxView

BCCheckBoxView::BCCheckBoxView(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCCheckBoxDelegate> delegate)
    : platform::View(frame), m_content(content), m_delegate(std::move(delegate)) {
    m_selected = content["checked"].stringOr("") == "0";
    auto images = BCImageManager::instance();
    const platform::Size box = imageSize(20011);
    m_checkBox = platform::Button::create(platform::ButtonType::Custom, platform::Rect(0, 0, box.width, box.height));
    m_checkBox->setExclusiveTouch(true);
    m_checkBox->setImage(images->imageNamed(20011), 0);
    m_checkBox->setImage(images->imageNamed(20004), 4);
    m_checkBox->setSelected(m_selected);
    addActionBlock(*m_checkBox, [alive = std::weak_ptr<BCCheckBoxView*>(m_alive)](platform::Control&) {
        if (auto self = alive.lock())
            (*self)->checkboxClick();
    }, platform::kControlEventTouchDown);
    addSubview(m_checkBox);
    m_xOffset = std::floor(box.width + 5);
    m_boxHeight = box.height;

    const platform::Font font = platform::Font::systemFont(16);
    if (const std::string* label = content["label"].getString()) {
        // A label of Latin text ends in a blank before its link ("I agree Terms", not "I agreeTerms").
        const bool linkFollows = content["href_label"].isString();
        const unsigned char last = label->empty() ? ' ' : static_cast<unsigned char>(label->back());
        const std::string text = cutForLayout(*label) + (linkFollows && last < 0x80 && std::isgraph(last) ? " " : "");
        const platform::Size size = newSizeWithFont(text, font, BCUtils::displayWidth(), platform::LineBreakMode::WordWrap);
        m_boxHeight = std::max(m_boxHeight, size.height);
        m_label = BCViews::normalLabelWithFrame(platform::Rect(m_xOffset, 0, size.width, m_boxHeight), text, 16, kTextColor);
        addSubview(m_label);
        m_xOffset += size.width + 2;
    }
    if (const std::string* href = content["href_label"].getString()) {
        const std::string link = cutForLayout(*href);
        const platform::Size size = newSizeWithFont(link, font, BCUtils::displayWidth(), platform::LineBreakMode::WordWrap);
        m_link = std::make_shared<BCUnderLineButton>(platform::Rect(m_xOffset, (m_boxHeight - size.height) / 2, size.width, size.height), link, font);
        m_link->setMTarget(std::weak_ptr<void>(m_alive));
        m_link->setMSelector([alive = std::weak_ptr<BCCheckBoxView*>(m_alive)] {
            if (auto self = alive.lock())
                (*self)->checkBoxHref();
        });
        addSubview(m_link);
        m_xOffset += size.width;
    }
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, m_xOffset, m_boxHeight));
}

std::string BCCheckBoxView::checkBoxParams() const {
    return BCJsonService::member(m_content["name"].stringOr(""), m_selected ? m_content["value"].stringOr("") : "");
}

std::optional<std::string> BCCheckBoxView::errorInfo() const {
    if (!m_content.contains("required"))
        return std::nullopt;
    return m_content["error_info"].stringOr("");
}

void BCCheckBoxView::checkBoxHref() {
    if (auto delegate = m_delegate.lock())
        delegate->checkBoxHref(m_content["href_url"].stringOr(""), m_content["href_title"].stringOr(""));
}

void BCCheckBoxView::checkboxClick() {
    m_checkBox->setSelected(!m_checkBox->isSelected());
    m_selected = m_checkBox->isSelected();
    if (auto delegate = m_delegate.lock())
        delegate->checkBox(*this);
}

void BCCheckBoxView::touchesEnded(const platform::TouchSet&) { checkboxClick(); }

// MARK: - BCCheckBox

BCCheckBox::BCCheckBox(platform::Point origin, const std::string& title, std::function<void(bool)> actionBlock)
    : platform::View(platform::Rect(origin, platform::Size{})), m_actionBlock(std::move(actionBlock)) {
    const platform::Size titleSize = newSizeWithFont(title, platform::Font::systemFont(16), 0, platform::LineBreakMode::Clip);
    const platform::Size box = imageSize(20004);
    const double height = std::max(titleSize.height, box.height);
    setFrame(platform::Rect(origin.x, origin.y, titleSize.width + box.width + 5, height));
    setBackgroundColor(platform::Color::clear());
    m_imageView = std::make_shared<platform::ImageView>(platform::Rect(0, (height - box.height) / 2, box.width, box.height));
    m_imageView->setImage(BCImageManager::instance()->imageNamed(20011));
    addSubview(m_imageView);
    addSubview(BCViews::normalLabelWithFrame(platform::Rect(box.width + 5, 0, titleSize.width, height), title, 16, kTextColor));
    auto tap = std::make_shared<platform::TapGestureRecognizer>();
    tap->addTarget(std::weak_ptr<void>(m_alive), [alive = std::weak_ptr<BCCheckBox*>(m_alive)](platform::GestureRecognizer&) {
        if (auto self = alive.lock())
            (*self)->tapAction();
    });
    addGestureRecognizer(tap);
}

void BCCheckBox::setSelected(bool selected) {
    m_selected = selected;
    m_imageView->setImage(BCImageManager::instance()->imageNamed(selected ? 20004 : 20011));
}

void BCCheckBox::tapAction() {
    setSelected(!m_selected);
    if (m_actionBlock)
        m_actionBlock(m_selected);
}

// MARK: - BCTableViewCell

BCTableViewCell::BCTableViewCell(platform::TableViewCellStyle style, std::string reuseIdentifier)
    : platform::TableViewCell(style, std::move(reuseIdentifier)) {
    m_indicatorImageView = std::make_shared<platform::ImageView>(BCImageManager::instance()->imageNamed(20010));
    m_indicatorImageView->setHidden(true);
    contentView()->addSubview(m_indicatorImageView);
}

void BCTableViewCell::setIndicatorImage(platform::Image::Ptr image) {
    m_indicatorImageView->setImage(std::move(image));
    setNeedsLayout();
}

void BCTableViewCell::layoutSubviews() {
    platform::TableViewCell::layoutSubviews();
    if (auto background = backgroundView())
        background->setBackgroundColor(platform::Color::white());
    const platform::Rect content = contentView()->bounds();
    const auto image = m_indicatorImageView->image();
    const platform::Size size = image ? image->size() : platform::Size{};
    m_indicatorImageView->setFrame(platform::Rect(12, (content.size.height - size.height) / 2, size.width, size.height));
    const double x = 12 + size.width + 5;
    platform::Rect text = textLabel()->frame();
    textLabel()->setFrame(platform::Rect(x, text.origin.y, std::max(0.0, content.size.width - x), text.size.height));
}

} // namespace cardpay
