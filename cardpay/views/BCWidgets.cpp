#include "cardpay/views/BCWidgets.h"

#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/ui/GraphicsContext.h"

#include <algorithm>

namespace cardpay {

bool BCTextField::canPerformAction(platform::EditAction action) const {
    switch (action) {
    case platform::EditAction::Paste:
        if (!m_allowPaste)
            return false;
        break;
    case platform::EditAction::Select:
        if (!m_allowSelect)
            return false;
        break;
    case platform::EditAction::SelectAll:
        if (!m_allowSelectAll)
            return false;
        break;
    default:
        break;
    }
    return platform::TextField::canPerformAction(action);
}

BCLineView::BCLineView(platform::Rect frame, const platform::Color& color) : platform::View(frame) {
    setBackgroundColor(color);
    setUserInteractionEnabled(false);
}

BCUnderLineButton::BCUnderLineButton(platform::Rect frame, const std::string& title, const platform::Font& font)
    : platform::Control(frame) {
    setBackgroundColor(platform::Color::clear());
    m_label = std::make_shared<platform::Label>(bounds());
    m_label->setText(cutForLayout(title));
    m_label->setFont(font);
    m_label->setTextColor(BCUtils::underLineNormalColor());
    m_label->setBackgroundColor(platform::Color::clear());
    m_label->setUserInteractionEnabled(false);
    addSubview(m_label);
    addActionBlock(*this, [](platform::Control& sender) { static_cast<BCUnderLineButton&>(sender).touchUpInside(); },
                   platform::kControlEventTouchUpInside);
}

void BCUnderLineButton::setHighlighted(bool highlighted) {
    platform::Control::setHighlighted(highlighted);
    m_label->setTextColor(highlighted ? BCUtils::focusedTextFieldBorderColor() : BCUtils::underLineNormalColor());
}

void BCUnderLineButton::touchUpInside() {
    m_label->setTextColor(BCUtils::underLineNormalColor());
    if (m_target.lock() && m_action)
        m_action();
}

void BCUnderLineButton::drawRect(platform::Rect) {
    platform::GraphicsContext* context = platform::GraphicsContext::current();
    if (!context)
        return;
    // The underline runs under the text, one point above the bottom of the text's line.
    const platform::Size text = newSizeWithFont(m_label->text(), m_label->font(), bounds().size.width, platform::LineBreakMode::WordWrap);
    const double width = std::min(text.width, bounds().size.width);
    const double y = std::min(bounds().size.height, (bounds().size.height + text.height) / 2) - 1;
    context->setFillColor(m_label->textColor());
    context->fillRect(platform::Rect(0, y, width, 1));
}

BCToast::BCToast(const std::string& message, std::weak_ptr<platform::View> onView)
    : platform::View(platform::Rect()), m_message(cutForLayout(message)), m_onView(std::move(onView)) {
    setBackgroundColor(platform::Color::grey(0, 0.75));
    layer()->setCornerRadius(6);
    setUserInteractionEnabled(false);
    m_label = std::make_shared<platform::Label>();
    m_label->setText(m_message);
    m_label->setFont(platform::Font::systemFont(14));
    m_label->setTextColor(platform::Color::white());
    m_label->setTextAlignment(platform::TextAlignment::Center);
    m_label->setNumberOfLines(0);
    m_label->setLineBreakMode(platform::LineBreakMode::WordWrap);
    addSubview(m_label);
}

void BCToast::show() {
    auto view = m_onView.lock();
    if (!view)
        return;
    const platform::Rect host = view->bounds();
    const double maxWidth = std::max(40.0, host.size.width - 60);
    const platform::Size text = newSizeWithFont(m_message, m_label->font(), maxWidth - 24, platform::LineBreakMode::WordWrap);
    const double width = std::min(maxWidth, text.width + 24);
    const double height = text.height + 16;
    setFrame(platform::Rect(host.origin.x + (host.size.width - width) / 2, host.origin.y + (host.size.height - height) / 2, width, height));
    m_label->setFrame(platform::Rect(12, 8, width - 24, text.height));
    const auto self = std::static_pointer_cast<BCToast>(shared_from_this());
    view->addSubview(self);
    if (m_timer)
        m_timer->invalidate();
    m_timer = platform::RunLoop::main().scheduleTimer(platform::seconds(kStay), [weak = std::weak_ptr<BCToast>(self)] {
        if (auto toast = weak.lock())
            toast->removeFromSuperview();
    });
}

void addActionBlock(platform::Control& control, std::function<void(platform::Control&)> block, unsigned events) {
    // The control keeps a target's action only while the target lives: the action itself holds it.
    auto holder = std::make_shared<char>();
    control.addTarget(std::weak_ptr<void>(holder), [holder, block = std::move(block)](platform::Control& sender) {
        if (block)
            block(sender);
    }, events);
}

BCTextRange selectedRange(const platform::TextField& field) {
    const platform::TextRange16 range = field.selectedRange();
    return {range.location, range.length};
}

void setSelectedRange(platform::TextField& field, BCTextRange range) { field.setSelectedRange({range.location, range.length}); }

} // namespace cardpay
