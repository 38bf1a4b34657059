// The payment screens' factory of standard controls: fonts, text fields, labels, buttons, image views,
// the loading wheel and solid images. Main thread only.
#pragma once

#include "cardpay/views/BCLabel.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/ui/Button.h"
#include "platform/ui/Font.h"
#include "platform/ui/Image.h"
#include "platform/ui/ImageView.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCViews {
public:
    using Action = platform::Control::Action;

    BCViews() = delete;

    static platform::Font defaultFontWithSize(double size);
    static std::shared_ptr<BCTextField> normalTextFieldWithFrame(platform::Rect frame, const std::string& placeHolder);
    static std::shared_ptr<BCTextField> imageTextFieldWithImageName(const std::string& imageName, platform::Rect frame,
                                                                    const std::string& placeHolder);
    // None for no title; else a label as wide as four Chinese characters at 16 points, plus 10. Its text
    // keeps kLeftLabelGap free at its right end, shrunk to fit when it is wider.
    static constexpr double kLeftLabelGap = 6;
    static std::shared_ptr<BCLabel> textFieldLeftLabelWithTitle(const std::optional<std::string>& title);
    static std::shared_ptr<BCTextField> titleTextFieldWithTitle(const std::optional<std::string>& title, platform::Rect frame,
                                                                const std::string& placeHolder);
    // None when the bundle has no image of that name; the view takes the image's real size.
    static std::shared_ptr<platform::ImageView> normalImageViewWithFrame(platform::Rect frame, const std::string& imageName);
    static std::shared_ptr<platform::ImageView> normalImageViewWithFrame(platform::Rect frame, platform::Image::Ptr image);
    static std::shared_ptr<BCLabel> normalLabelWithFrame(platform::Rect frame, const std::string& text, double fontSize,
                                                         const platform::Color& color);
    static std::shared_ptr<BCLabel> wrapLabelWithFrame(platform::Rect frame, const std::string& text, double fontSize,
                                                       const platform::Color& color);
    static std::shared_ptr<platform::Button> buttonWithNomalImageName(const std::string& normal, const std::string& highlighted,
                                                                      const std::string& disabled);
    static std::shared_ptr<platform::Button> actionButtonWithFrame(platform::Rect frame, const std::string& title,
                                                                   std::weak_ptr<void> target, Action action);
    static std::shared_ptr<platform::Button> smsButtonWithFrame(platform::Rect frame, const std::string& title,
                                                                std::weak_ptr<void> target, Action action);
    static std::shared_ptr<platform::Button> textButtonWithFrame(platform::Rect frame, const std::string& text,
                                                                 std::weak_ptr<void> target, Action action);
    static std::shared_ptr<platform::Button> indicatorButtonWithFrame(platform::Rect frame, const std::string& title,
                                                                      std::weak_ptr<void> target, Action action);
    // Image 20009 turning by 3.14 radians every half second, for ever (animation key "transform").
    static std::shared_ptr<platform::ImageView> loadingImageViewWithOriginalPoint(platform::Point point);
    // A 10 x 10-point image of one colour (r, g, b from 0 to 255), for stretched backgrounds.
    static platform::Image::Ptr imageWithR(double r, double g, double b, double alpha);

    // The width of the left labels: "四个字符" at 16 points, plus 10.
    static double leftLabelWidth();
};

// Runs the changes inside the screens' rotation animation: named "BaseView", ease-in-out, of the duration.
void inBaseViewAnimation(double duration, const std::function<void()>& changes);
// Widens (or narrows, for a negative amount) a view, keeping its origin and height.
void growWidth(platform::View& view, double by);

} // namespace cardpay
