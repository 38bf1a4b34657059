// The tab bar of the promotion panel: one text button per title from x 20 with 30 points between them
// (titles are not clipped to the screen), the selected one in RGB 0,180,171 with an underline.
// Main thread only; the delegate is held weakly.
#pragma once

#include "cardpay/views/BCWidgets.h"
#include "platform/ui/Button.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <string>
#include <vector>

namespace cardpay {

class BCPromotionTabBarViewDelegate {
public:
    virtual ~BCPromotionTabBarViewDelegate() = default;
    virtual void promotionTabBarSelect(unsigned long /*index*/) {}
};

class BCPromotionTabBarViewController : public platform::ViewController {
public:
    static constexpr double kHeight = 44;
    static constexpr double kFirstX = 20;
    static constexpr double kGap = 30;

    static std::shared_ptr<BCPromotionTabBarViewController> initWithButtonNames(std::vector<std::string> names);
    explicit BCPromotionTabBarViewController(std::vector<std::string> names);

    void viewDidLoad() override;
    void addbutionsStyle1();
    void deselectButtons();
    // An index that is not below the number of buttons changes nothing.
    void selectButtonAtIndex(unsigned long index);
    void buttonAction(platform::Control& button);

    unsigned long selectIndex() const { return m_selectIndex; }
    std::shared_ptr<BCPromotionTabBarViewDelegate> myDelegate() const { return m_myDelegate.lock(); }
    void setMyDelegate(std::weak_ptr<BCPromotionTabBarViewDelegate> delegate) { m_myDelegate = std::move(delegate); }
    const std::vector<std::shared_ptr<platform::Button>>& tabButtonArray() const { return m_tabButtonArray; }
    const std::shared_ptr<BCLineView>& cursorline() const { return m_cursorline; }

    static platform::Color selectedColor() { return platform::Color::fromRGBA255(0, 180, 171); }

private:
    std::vector<std::shared_ptr<platform::Button>> m_tabButtonArray;
    std::shared_ptr<BCLineView> m_cursorline;
    std::vector<std::string> m_tabNameArr;
    unsigned long m_selectIndex = 0;
    std::weak_ptr<BCPromotionTabBarViewDelegate> m_myDelegate;
};

} // namespace cardpay
