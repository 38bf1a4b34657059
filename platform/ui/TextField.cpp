#include "platform/ui/TextField.h"

#include "platform/core/Log.h"
#include "platform/system/Pasteboard.h"
#include "platform/ui/GraphicsContext.h"

#include <glib.h>

#include <algorithm>

namespace platform {

namespace {

constexpr double kPadding = 7;  // between the border and the text, and around the side views

bool validUTF8(const std::string& s) { return g_utf8_validate_len(s.data(), static_cast<gsize>(s.size()), nullptr); }

// UTF-16 units of one UTF-8 lead byte's character.
std::size_t units16(unsigned char lead) { return lead >= 0xF0 ? 2 : 1; }
std::size_t charBytes(unsigned char lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

std::size_t length16(const std::string& s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); i += charBytes(static_cast<unsigned char>(s[i])))
        n += units16(static_cast<unsigned char>(s[i]));
    return n;
}

} // namespace

TextField::TextField(Rect frame) : Control(frame) { setBackgroundColor(std::nullopt); }

bool TextField::setText(const std::string& text) {
    if (!validUTF8(text)) {
        Log::write("TextField: text that is not valid UTF-8 was refused");
        return false;
    }
    m_text = text;
    m_length16 = length16(m_text);
    m_selection = {m_length16, 0};
    setNeedsLayout();
    setNeedsDisplay();
    return true;
}

// The byte offset of a UTF-16 offset; an offset inside a character moves to its start.
std::size_t TextField::byteOffset(std::size_t offset16) const {
    std::size_t units = 0, i = 0;
    while (i < m_text.size()) {
        auto lead = static_cast<unsigned char>(m_text[i]);
        if (units + units16(lead) > offset16)
            break;
        units += units16(lead);
        i += charBytes(lead);
    }
    return i;
}

void TextField::setSelectedRange(TextRange16 range) {
    if (range.location > m_length16 || range.length > m_length16 - range.location) {
        Log::writef("TextField: selection {%zu, %zu} past the end (%zu) was clamped", range.location, range.length, m_length16);
        range.location = std::min(range.location, m_length16);
        range.length = std::min(range.length, m_length16 - range.location);
    }
    // Whole characters only: count the units of the bytes each end falls on.
    std::size_t start = length16(m_text.substr(0, byteOffset(range.location)));
    std::size_t end = length16(m_text.substr(0, byteOffset(range.location + range.length)));
    m_selection = {start, end - start};
    setNeedsDisplay();
}

bool TextField::replace(TextRange16 range, const std::string& replacement, bool ask) {
    if (!validUTF8(replacement)) {
        Log::write("TextField: input that is not valid UTF-8 was refused");
        return false;
    }
    if (ask)
        if (auto d = delegate(); d && !d->shouldChangeCharacters(*this, range, replacement))
            return false;
    std::size_t from = byteOffset(range.location), to = byteOffset(range.location + range.length);
    m_text.replace(from, to - from, replacement);
    m_length16 = length16(m_text);
    m_selection = {range.location + length16(replacement), 0};
    setNeedsLayout();
    setNeedsDisplay();
    sendActionsForControlEvents(kControlEventEditingChanged);
    return true;
}

bool TextField::insertText(const std::string& text) {
    if (text.empty())
        return false;
    if (auto* keys = dynamic_cast<KeyInputView*>(m_inputView.get()))
        return keys->typeKeys(text);
    setSelectedRange(m_selection);
    return replace(m_selection, text, true);
}

bool TextField::deleteBackward() {
    if (auto* keys = dynamic_cast<KeyInputView*>(m_inputView.get()))
        return keys->pressDelete();
    setSelectedRange(m_selection);
    TextRange16 range = m_selection;
    if (range.length == 0) {
        if (range.location == 0)
            return false;
        std::size_t end = byteOffset(range.location), start = end;
        while (start > 0 && (static_cast<unsigned char>(m_text[--start]) & 0xC0) == 0x80) {}
        std::size_t units = units16(static_cast<unsigned char>(m_text[start]));
        range = {range.location - units, units};
    }
    return replace(range, "", true);
}

bool TextField::returnKey() {
    if (auto* keys = dynamic_cast<KeyInputView*>(m_inputView.get()))
        return keys->pressReturn();
    auto d = delegate();
    if (d && !d->textFieldShouldReturn(*this))
        return false;
    // A field whose target listens to did-end-on-exit is done when return is pressed.
    if (allControlEvents() & kControlEventEditingDidEndOnExit) {
        sendActionsForControlEvents(kControlEventEditingDidEndOnExit);
        resignFirstResponder();
    }
    return true;
}

bool TextField::clear() {
    if (auto d = delegate(); d && !d->textFieldShouldClear(*this))
        return false;
    if (m_text.empty())
        return true;
    setText("");
    sendActionsForControlEvents(kControlEventEditingChanged);
    return true;
}

bool TextField::canPerformAction(EditAction action) const {
    bool hasSelection = m_selection.length > 0;
    switch (action) {
    case EditAction::Cut:
    case EditAction::Copy:
        return hasSelection && !m_secure;
    case EditAction::Paste:
        return isEditing() && Pasteboard::general()->string().has_value();
    case EditAction::Select:
        return !m_text.empty() && !hasSelection;
    case EditAction::SelectAll:
        return !m_text.empty() && m_selection.length < m_length16;
    }
    return false;
}

bool TextField::willBecomeFirstResponder() {
    auto d = delegate();
    return !d || d->textFieldShouldBeginEditing(*this);
}

void TextField::didBecomeFirstResponder() {
    m_selection = {m_length16, 0};
    setNeedsLayout();
    if (auto d = delegate())
        d->textFieldDidBeginEditing(*this);
    sendActionsForControlEvents(kControlEventEditingDidBegin);
}

bool TextField::willResignFirstResponder(bool forced) {
    auto d = delegate();
    bool agrees = !d || d->textFieldShouldEndEditing(*this);
    return forced || agrees;
}

void TextField::didResignFirstResponder() {
    setNeedsLayout();
    if (auto d = delegate())
        d->textFieldDidEndEditing(*this);
    sendActionsForControlEvents(kControlEventEditingDidEnd);
}

void TextField::setSideView(std::shared_ptr<View>& slot, std::shared_ptr<View> view) {
    if (slot)
        slot->removeFromSuperview();
    slot = std::move(view);
    if (slot)
        addSubview(slot);
    setNeedsLayout();
}

bool TextField::shows(TextFieldViewMode mode) const {
    switch (mode) {
    case TextFieldViewMode::Never: return false;
    case TextFieldViewMode::WhileEditing: return isEditing();
    case TextFieldViewMode::UnlessEditing: return !isEditing();
    case TextFieldViewMode::Always: return true;
    }
    return false;
}

bool TextField::isClearButtonShown() const { return !m_text.empty() && shows(m_clearButtonMode); }

Rect TextField::leftViewRect() const {
    if (!m_leftView || !shows(m_leftViewMode))
        return {};
    Size s = m_leftView->bounds().size;
    return Rect(0, (bounds().size.height - s.height) / 2, s.width, s.height);
}

Rect TextField::rightViewRect() const {
    if (!m_rightView || !shows(m_rightViewMode))
        return {};
    Size s = m_rightView->bounds().size;
    return Rect(bounds().size.width - s.width, (bounds().size.height - s.height) / 2, s.width, s.height);
}

Rect TextField::clearButtonRect() const {
    if (!isClearButtonShown())
        return {};
    double right = bounds().size.width - (m_rightView && shows(m_rightViewMode) ? rightViewRect().size.width : 0);
    return Rect(right - kPadding - kClearButtonSize + 2, (bounds().size.height - kClearButtonSize) / 2, kClearButtonSize,
                kClearButtonSize);
}

Rect TextField::textRect() const {
    Rect b = bounds();
    double left = b.origin.x + (m_borderStyle == TextBorderStyle::None ? 0 : kPadding);
    double right = b.origin.x + b.size.width - (m_borderStyle == TextBorderStyle::None ? 0 : kPadding);
    if (Rect l = leftViewRect(); !l.isEmpty())
        left = std::max(left, l.origin.x + l.size.width + (m_borderStyle == TextBorderStyle::None ? 0 : 2));
    if (Rect r = rightViewRect(); !r.isEmpty())
        right = std::min(right, r.origin.x);
    if (Rect c = clearButtonRect(); !c.isEmpty())
        right = std::min(right, c.origin.x - 4);
    return Rect(left, b.origin.y, std::max(0.0, right - left), b.size.height);
}

void TextField::layoutSubviews() {
    if (m_leftView) {
        m_leftView->setHidden(!shows(m_leftViewMode));
        m_leftView->setFrame(leftViewRect().isEmpty() ? m_leftView->frame() : leftViewRect());
    }
    if (m_rightView) {
        m_rightView->setHidden(!shows(m_rightViewMode));
        m_rightView->setFrame(rightViewRect().isEmpty() ? m_rightView->frame() : rightViewRect());
    }
}

void TextField::drawRect(Rect) {
    GraphicsContext* g = GraphicsContext::current();
    if (!g)
        return;
    Rect b = bounds();
    switch (m_borderStyle) {
    case TextBorderStyle::None:
        break;
    case TextBorderStyle::Line:
        g->setStrokeColor(Color::black());
        g->setLineWidth(1);
        g->strokeRect(b.insetBy(0.5, 0.5));
        break;
    case TextBorderStyle::Bezel:
        g->setStrokeColor(Color::grey(0.45));
        g->setLineWidth(1);
        g->strokeRect(b.insetBy(0.5, 0.5));
        g->setStrokeColor(Color::grey(0.75));
        g->strokeRect(b.insetBy(1.5, 1.5));
        break;
    case TextBorderStyle::RoundedRect:
        if (!backgroundColor()) {
            g->setFillColor(Color::white());
            g->fillRoundedRect(b, 5);
        }
        g->setStrokeColor(Color::grey(0.8));
        g->setLineWidth(1);
        g->strokeRoundedRect(b.insetBy(0.5, 0.5), 5);
        break;
    }

    const bool empty = m_text.empty();
    std::string shown = empty ? m_placeholder : m_text;
    if (!empty && m_secure) {
        shown.clear();
        for (std::size_t i = 0; i < m_text.size(); i += charBytes(static_cast<unsigned char>(m_text[i])))
            shown += "\u2022";
    }
    TextStyle style;
    style.font = m_font;
    style.color = empty ? Color::grey(0.7) : (isEnabled() ? m_textColor : m_textColor.withAlpha(0.5));
    style.alignment = m_alignment;
    style.lineBreakMode = LineBreakMode::Clip;
    style.numberOfLines = 1;
    Rect t = textRect();
    double lineHeight = m_font.lineHeight();
    switch (m_verticalAlignment) {
    case ContentVerticalAlignment::Center:
    case ContentVerticalAlignment::Fill: t = Rect(t.origin.x, t.origin.y + (t.size.height - lineHeight) / 2, t.size.width, lineHeight); break;
    case ContentVerticalAlignment::Top: t.size.height = lineHeight; break;
    case ContentVerticalAlignment::Bottom: t = Rect(t.origin.x, t.origin.y + t.size.height - lineHeight, t.size.width, lineHeight); break;
    }
    g->saveState();
    g->clipToRect(textRect());
    if (!shown.empty())
        g->drawText(AttributedString(shown), style, t);
    if (isEditing()) {  // the caret after the text (the selection's end)
        std::string before = empty ? std::string() : shown.substr(0, m_secure ? 3 * m_selection.location : byteOffset(m_selection.location));
        double x = t.origin.x + TextLayout::singleLineWidth(before, m_font);
        g->setFillColor(tintColor());
        g->fillRect(Rect(x, t.origin.y, 2, lineHeight));
    }
    g->restoreState();

    if (Rect c = clearButtonRect(); !c.isEmpty()) {
        g->setFillColor(Color::grey(0.7));
        g->fillEllipse(c);
        g->setStrokeColor(Color::white());
        g->setLineWidth(1.5);
        Point mid = c.center();
        const Point cross[] = {{mid.x - 4, mid.y - 4}, {mid.x + 4, mid.y + 4}, {mid.x + 4, mid.y - 4}, {mid.x - 4, mid.y + 4}};
        g->strokeLineSegments(cross);
    }
}

void TextField::touchesEnded(const TouchSet& touches) {
    Control::touchesEnded(touches);
    if (!isEnabled() || touches.empty())
        return;
    Point p = (*touches.begin())->locationInView(this);
    if (Rect c = clearButtonRect(); !c.isEmpty() && c.insetBy(-6, -6).contains(p)) {
        clear();
        return;
    }
    if (bounds().contains(p))
        becomeFirstResponder();
}

} // namespace platform
