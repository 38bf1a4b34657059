#include "platform/ui/AlertView.h"

#include "platform/ui/Label.h"
#include "platform/ui/Overlay.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>

namespace platform {

namespace {

constexpr double kPadding = 16;
constexpr double kTop = 20;

std::shared_ptr<Label> textLabel(const std::string& text, const Font& font, double width) {
    auto label = std::make_shared<Label>();
    label->setText(text);
    label->setFont(font);
    label->setNumberOfLines(0);
    label->setTextAlignment(TextAlignment::Center);
    label->setLineBreakMode(LineBreakMode::WordWrap);
    Size size = label->sizeThatFits(Size{width, 0});
    label->setFrame(Rect(0, 0, width, size.height));
    return label;
}

} // namespace

std::shared_ptr<AlertView> AlertView::create(const std::string& title, const std::string& message,
                                             const std::shared_ptr<AlertViewDelegate>& delegate,
                                             std::optional<std::string> cancelButtonTitle, std::vector<std::string> otherButtonTitles) {
    auto alert = std::shared_ptr<AlertView>(new AlertView());
    alert->m_title = title;
    alert->m_message = message;
    alert->setDelegate(delegate);
    if (cancelButtonTitle)
        alert->m_cancelIndex = alert->addButtonWithTitle(*cancelButtonTitle);
    for (const auto& t : otherButtonTitles)
        alert->addButtonWithTitle(t);
    return alert;
}

long AlertView::firstOtherButtonIndex() const {
    for (long i = 0; i < numberOfButtons(); ++i)
        if (i != m_cancelIndex)
            return i;
    return -1;
}

void AlertView::setAlertViewStyle(AlertViewStyle style) {
    m_style = style;
    if (style == AlertViewStyle::Default) {
        m_textField.reset();
        return;
    }
    if (!m_textField) {
        m_textField = std::make_shared<TextField>(Rect(0, 0, kWidth - 2 * kPadding, kTextFieldHeight));
        m_textField->setBorderStyle(TextBorderStyle::Line);
        m_textField->setFont(Font::systemFont(13));
        m_textField->setBackgroundColor(Color::white());
    }
    m_textField->setSecureTextEntry(style == AlertViewStyle::SecureTextInput);
}

bool AlertView::textFieldShouldReturn(TextField&) {
    pressReturn();
    return false;
}

long AlertView::preferredButtonIndex() const {
    if (validIndex(m_preferredIndex))
        return m_preferredIndex;
    const long index = firstOtherButtonIndex();
    return index >= 0 ? index : m_cancelIndex;
}

void AlertView::pressReturn() {
    const long index = preferredButtonIndex();
    if (m_window && !isDismissing() && validIndex(index))
        tapped(index);
}

void AlertView::pressEscape() {
    if (m_window && !isDismissing() && validIndex(m_cancelIndex))
        tapped(m_cancelIndex);
}

std::shared_ptr<AlertView> AlertView::frontmostAlert() {
    const auto& alerts = showing();
    for (auto it = alerts.rbegin(); it != alerts.rend(); ++it) {
        if (!(*it)->isDismissing())
            return *it;
    }
    return nullptr;
}

void AlertView::show() {
    if (!beginShowing())
        return;
    auto self = shared_from_this();
    Rect screen = m_window->bounds();
    m_window->addSubview(std::make_shared<overlay::Backdrop>(screen, true));

    // Buttons in showing order: the cancel button first when side by side, last when stacked.
    std::vector<long> order;
    for (long i = 0; i < numberOfButtons(); ++i)
        if (i != m_cancelIndex)
            order.push_back(i);
    bool hasCancel = m_cancelIndex >= 0 && m_cancelIndex < numberOfButtons();
    bool sideBySide = numberOfButtons() == 2;
    if (hasCancel)
        order.insert(sideBySide ? order.begin() : order.end(), m_cancelIndex);
    const double buttonsHeight = order.empty() ? 0 : (sideBySide ? 1 : static_cast<double>(order.size())) * kButtonHeight;

    double textWidth = kWidth - 2 * kPadding;
    auto box = std::make_shared<overlay::Box>(Rect(0, 0, kWidth, 0));
    std::vector<std::shared_ptr<Label>> labels;
    for (auto [text, font] : {std::pair{m_title, Font::boldSystemFont(17)}, std::pair{m_message, Font::systemFont(13)}})
        labels.push_back(text.empty() ? nullptr : textLabel(text, font, textWidth));
    // What the box holds besides the buttons: the labels (4 points apart) and the text field between margins.
    auto contentHeight = [&] {
        double height = 2 * kTop - 4;
        for (const auto& label : labels)
            height += label ? label->frame().height() + 4 : 0;
        return height + (m_textField ? kTextFieldHeight + 8 : 0);
    };
    // Too tall for the screen: the message gives up lines first, then the title, down to one line each.
    const double room = screen.height() - 2 * overlay::kScreenMargin - buttonsHeight;
    for (auto it = labels.rbegin(); it != labels.rend() && contentHeight() > room; ++it) {
        const std::shared_ptr<Label>& label = *it;
        if (!label)
            continue;
        const double lineHeight = label->font().lineHeight();
        const double height = std::max(lineHeight, label->frame().height() - (contentHeight() - room));
        label->setNumberOfLines(std::max(1, static_cast<int>(height / lineHeight)));
        label->setLineBreakMode(LineBreakMode::TruncateTail);
        label->setFrame(Rect(0, 0, textWidth, label->sizeThatFits(Size{textWidth, 0}).height));
    }
    double y = kTop;
    for (const auto& label : labels) {
        if (!label)
            continue;
        label->setFrame(Rect(kPadding, y, textWidth, label->frame().height()));
        box->addSubview(label);
        y = label->frame().maxY() + 4;
    }
    if (m_textField) {
        m_textField->setFrame(Rect(kPadding, y + 4, textWidth, kTextFieldHeight));
        m_textField->setDelegate(std::shared_ptr<TextFieldDelegate>(self, static_cast<TextFieldDelegate*>(self.get())));
        box->addSubview(m_textField);
        y = m_textField->frame().maxY() + 4;
    }
    y += kTop - 4;

    std::weak_ptr<AlertView> weak = self;
    for (std::size_t k = 0; k < order.size(); ++k) {
        long index = order[k];
        Font font = index == m_cancelIndex ? Font::boldSystemFont(17) : Font::systemFont(17);
        auto button = overlay::makeRowButton(m_buttons[static_cast<std::size_t>(index)], font, box->tintColor(), [weak, index] {
            if (auto alert = weak.lock())
                alert->tapped(index);
        });
        Rect frame = sideBySide ? Rect(k * kWidth / 2, y, kWidth / 2, kButtonHeight) : Rect(0, y + k * kButtonHeight, kWidth, kButtonHeight);
        button->setFrame(frame);
        box->addSubview(button);
        m_buttonViews[static_cast<std::size_t>(index)] = button;
    }
    if (sideBySide) {
        auto separator = std::make_shared<View>(Rect(kWidth / 2, y, 0.5, kButtonHeight));
        separator->setBackgroundColor(Color::grey(0, 0.2));
        separator->setUserInteractionEnabled(false);
        box->addSubview(separator);
    }
    double height = y + buttonsHeight;
    box->setFrame(Rect(screen.midX() - kWidth / 2, std::max(overlay::kScreenMargin, screen.midY() - height / 2), kWidth, height));
    m_window->addSubview(box);
    if (m_textField)
        m_textField->becomeFirstResponder();

    m_window->setAlpha(0);
    std::shared_ptr<Window> window = m_window;
    ViewAnimation::animate(overlay::kFadeDuration, 0, kAnimationOptionAllowUserInteraction, [&] { window->setAlpha(1); }, [weak](bool finished) {
        auto alert = weak.lock();
        if (!finished || !alert || alert->m_window == nullptr)
            return;
        if (auto d = alert->delegate())
            d->didPresentAlertView(*alert);
    });
}

double AlertView::dismissDuration() const { return overlay::kFadeDuration; }

} // namespace platform
