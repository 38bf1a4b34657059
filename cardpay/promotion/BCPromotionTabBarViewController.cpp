#include "cardpay/promotion/BCPromotionTabBarViewController.h"

#include "cardpay/views/BCTextSize.h"
#include "platform/ui/Screen.h"

#include <algorithm>

namespace cardpay {

std::shared_ptr<BCPromotionTabBarViewController> BCPromotionTabBarViewController::initWithButtonNames(std::vector<std::string> names) {
    return std::make_shared<BCPromotionTabBarViewController>(std::move(names));
}

BCPromotionTabBarViewController::BCPromotionTabBarViewController(std::vector<std::string> names) : m_tabNameArr(std::move(names)) {}

void BCPromotionTabBarViewController::viewDidLoad() {
    platform::ViewController::viewDidLoad();
    view()->setFrame(platform::Rect(0, 0, platform::Screen::main().bounds().width(), kHeight));
    addbutionsStyle1();
    auto line = std::make_shared<BCLineView>(platform::Rect(0, kHeight - 1, view()->bounds().width(), 1),
                                             platform::Color::fromRGBA255(229, 229, 229));
    view()->addSubview(line);
}

void BCPromotionTabBarViewController::addbutionsStyle1() {
    double x = kFirstX;
    const std::weak_ptr<BCPromotionTabBarViewController> weak =
        std::static_pointer_cast<BCPromotionTabBarViewController>(shared_from_this());
    for (const std::string& title : m_tabNameArr) {
        const double width = newSizeWithFont(title, platform::Font::systemFont(16), 200, platform::LineBreakMode::WordWrap).width;
        auto button = platform::Button::create(platform::ButtonType::Custom, platform::Rect(x, 0, width, kHeight));
        button->titleLabel()->setFont(platform::Font::boldSystemFont(16));
        button->setTitle(cutForLayout(title), platform::kControlStateNormal);
        button->setTitleColor(platform::Color::black(), platform::kControlStateNormal);
        button->setTitleColor(selectedColor(), platform::kControlStateHighlighted);
        button->addTarget(weak, [weak](platform::Control& sender) {
            if (const auto bar = weak.lock())
                bar->buttonAction(sender);
        }, platform::kControlEventTouchUpInside);
        view()->addSubview(button);
        m_tabButtonArray.push_back(button);
        x = button->frame().maxX() + kGap;
    }
}

void BCPromotionTabBarViewController::deselectButtons() {
    for (const auto& button : m_tabButtonArray)
        button->setTitleColor(platform::Color::black(), platform::kControlStateNormal);
}

void BCPromotionTabBarViewController::selectButtonAtIndex(unsigned long index) {
    if (index >= m_tabButtonArray.size())
        return;
    deselectButtons();
    m_selectIndex = index;
    const auto& button = m_tabButtonArray[index];
    button->setTitleColor(selectedColor(), platform::kControlStateNormal);
    if (!m_cursorline) {
        m_cursorline = std::make_shared<BCLineView>(platform::Rect(), selectedColor());
        view()->addSubview(m_cursorline);
    }
    const platform::Rect frame = button->frame();
    m_cursorline->setFrame(platform::Rect(frame.minX() - 3, frame.maxY() - 2, frame.width() + 6, 2));
}

void BCPromotionTabBarViewController::buttonAction(platform::Control& button) {
    const auto found = std::find_if(m_tabButtonArray.begin(), m_tabButtonArray.end(),
                                    [&](const auto& each) { return each.get() == &button; });
    if (found == m_tabButtonArray.end())
        return;
    selectButtonAtIndex(static_cast<unsigned long>(found - m_tabButtonArray.begin()));
    if (const auto delegate = myDelegate())
        delegate->promotionTabBarSelect(m_selectIndex);
}

} // namespace cardpay
