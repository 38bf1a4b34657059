#include "platform/ui/ActionSheet.h"

#include "platform/system/Device.h"
#include "platform/ui/Label.h"
#include "platform/ui/Overlay.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>

namespace platform {

namespace {

constexpr double kMargin = 8;
// A phone sheet keeps below the status bar and a margin.
constexpr double kTopInset = 20 + kMargin;
constexpr double kTitleFontSize = 13;
constexpr double kButtonFontSize = 20;

Color destructiveRed() { return Color::fromRGBA255(255, 59, 48); }

std::shared_ptr<View> group(Rect frame) {
    auto v = std::make_shared<View>(frame);
    v->setBackgroundColor(Color::grey(0.97));
    v->layer()->setCornerRadius(overlay::kBoxCornerRadius);
    v->layer()->setMasksToBounds(true);
    return v;
}

} // namespace

std::shared_ptr<ActionSheet> ActionSheet::create(const std::string& title, const std::shared_ptr<ActionSheetDelegate>& delegate) {
    auto sheet = std::shared_ptr<ActionSheet>(new ActionSheet());
    sheet->m_title = title;
    sheet->setDelegate(delegate);
    return sheet;
}

long ActionSheet::firstOtherButtonIndex() const {
    for (long i = 0; i < numberOfButtons(); ++i)
        if (i != m_cancelIndex && i != m_destructiveIndex)
            return i;
    return -1;
}

Rect ActionSheet::sheetFrame() const { return m_window && m_sheet ? m_sheet->frame() : Rect{}; }

std::shared_ptr<ScrollView> ActionSheet::rowsView() const { return m_window ? m_rows.lock() : nullptr; }

double ActionSheet::buildRows(View& into, double width, double y, bool withCancel) {
    if (!m_title.empty()) {
        auto label = std::make_shared<Label>();
        label->setText(m_title);
        label->setFont(Font::systemFont(kTitleFontSize));
        label->setTextColor(Color::grey(0.55));
        label->setNumberOfLines(0);
        label->setTextAlignment(TextAlignment::Center);
        label->setLineBreakMode(LineBreakMode::WordWrap);
        double h = label->sizeThatFits(Size{width - 32, 0}).height;
        label->setFrame(Rect(16, y + 14, width - 32, h));
        into.addSubview(label);
        y += h + 28;
    }
    std::weak_ptr<ActionSheet> weak = shared_from_this();
    for (long i = 0; i < numberOfButtons(); ++i) {
        if (i == m_cancelIndex && !withCancel)
            continue;
        Color color = i == m_destructiveIndex ? destructiveRed() : into.tintColor();
        auto button = overlay::makeRowButton(m_buttons[static_cast<std::size_t>(i)], Font::systemFont(kButtonFontSize), color, [weak, i] {
            if (auto s = weak.lock())
                s->tapped(i);
        });
        button->setFrame(Rect(0, y, width, kButtonHeight));
        into.addSubview(button);
        m_buttonViews[static_cast<std::size_t>(i)] = button;
        y += kButtonHeight;
    }
    return y;
}

void ActionSheet::showInView(View& view) {
    if (m_window)
        return;
    if (Device::current().userInterfaceIdiom() == UserInterfaceIdiom::Pad) {
        showOnPad(view, std::nullopt, true);
        return;
    }
    if (!beginShowing())
        return;
    auto self = shared_from_this();
    m_onPad = false;
    Rect screen = m_window->bounds();
    auto backdrop = std::make_shared<overlay::Backdrop>(screen, true);
    m_window->addSubview(backdrop);

    double width = screen.width() - 2 * kMargin;
    auto sheet = std::make_shared<View>(Rect(0, 0, width, 0));
    sheet->setOpaque(false);
    bool hasCancel = validIndex(m_cancelIndex);
    bool hasMain = !m_title.empty() || numberOfButtons() > (hasCancel ? 1 : 0);
    double y = 0;
    if (hasMain) {
        // The title and buttons scroll when they are taller than the room the cancel button leaves.
        auto rows = std::make_shared<ScrollView>(Rect(0, 0, width, 0));
        double bottom = buildRows(*rows, width, 0, false);
        double room = screen.height() - kTopInset - kMargin - (hasCancel ? kButtonHeight + kMargin : 0);
        double height = std::min(bottom, std::max(room, std::min(bottom, kButtonHeight)));
        auto main = group(Rect(0, 0, width, height));
        rows->setFrame(main->bounds());
        rows->setContentSize(Size{width, bottom});
        main->addSubview(rows);
        m_rows = rows;
        sheet->addSubview(main);
        y = height + kMargin;
    }
    if (hasCancel) {
        auto cancel = group(Rect(0, y, width, kButtonHeight));
        std::weak_ptr<ActionSheet> weak = self;
        long index = m_cancelIndex;
        auto button = overlay::makeRowButton(m_buttons[static_cast<std::size_t>(index)], Font::boldSystemFont(kButtonFontSize),
                                             sheet->tintColor(), [weak, index] {
                                                 if (auto s = weak.lock())
                                                     s->tapped(index);
                                             });
        button->setFrame(cancel->bounds());
        cancel->addSubview(button);
        sheet->addSubview(cancel);
        m_buttonViews[static_cast<std::size_t>(index)] = button;
        y += kButtonHeight;
    }
    double height = std::max(0.0, y);
    Rect shown(kMargin, screen.maxY() - kMargin - height, width, height);
    sheet->setFrame(shown.offsetBy(0, height + kMargin));
    m_sheet = sheet;
    m_window->addSubview(sheet);
    backdrop->setAlpha(0);
    ViewAnimation::animate(overlay::kSlideDuration, 0, kAnimationOptionAllowUserInteraction, [&] {
        sheet->setFrame(shown);
        backdrop->setAlpha(1);
    });
}

void ActionSheet::showFromRect(Rect rect, View& view, bool animated) {
    if (m_window)
        return;
    if (Device::current().userInterfaceIdiom() != UserInterfaceIdiom::Pad) {
        showInView(view);
        return;
    }
    showOnPad(view, rect, animated);
}

void ActionSheet::showOnPad(View& view, std::optional<Rect> rect, bool animated) {
    auto anchorWindow = std::dynamic_pointer_cast<Window>(view.rootView());
    if (!beginShowing())
        return;
    auto self = shared_from_this();
    m_onPad = true;
    Rect screen = m_window->bounds();
    auto backdrop = std::make_shared<overlay::Backdrop>(screen, false);
    std::weak_ptr<ActionSheet> weak = self;
    backdrop->onTap = [weak] {
        if (auto s = weak.lock())
            s->tapped(s->m_cancelIndex);
    };
    m_window->addSubview(backdrop);

    // The rows scroll when the box is cut to fit the screen.
    auto content = std::make_shared<ScrollView>(Rect(0, 0, kPadWidth, 0));
    double height = buildRows(*content, kPadWidth, 0, false);
    content->setContentSize(Size{kPadWidth, height});
    m_rows = content;
    auto box = std::make_shared<overlay::Box>(Rect{});
    if (rect && anchorWindow) {
        Rect target = overlay::clampedInto(view.convertRectTo(overlay::sanitized(*rect), anchorWindow.get()), screen);
        overlay::Placement p = overlay::place(Size{kPadWidth, height}, target, screen, 0);
        box->setFrame(p.frame);
        box->setArrow(p.direction, p.tip);
    } else {
        Rect area = anchorWindow ? overlay::clampedInto(view.convertRectTo(view.bounds(), anchorWindow.get()), screen) : screen;
        box->setFrame(Rect(area.midX() - kPadWidth / 2, area.midY() - height / 2, kPadWidth, height));
    }
    Rect inner = box->contentRect();
    content->setFrame(inner);
    content->setClipsToBounds(true);
    content->layer()->setCornerRadius(overlay::kBoxCornerRadius);
    content->layer()->setMasksToBounds(true);
    box->addSubview(content);
    m_sheet = box;
    m_window->addSubview(box);
    if (animated) {
        m_window->setAlpha(0);
        std::shared_ptr<Window> window = m_window;
        ViewAnimation::animate(overlay::kFadeDuration, 0, kAnimationOptionAllowUserInteraction, [&] { window->setAlpha(1); });
    }
}

double ActionSheet::dismissDuration() const { return m_onPad ? overlay::kFadeDuration : overlay::kSlideDuration; }

void ActionSheet::animateOut(Window& window) {
    if (!m_onPad && m_sheet)
        m_sheet->setFrame(m_sheet->frame().offsetBy(0, m_sheet->frame().height() + kMargin));
    else
        window.setAlpha(0);
}

} // namespace platform
