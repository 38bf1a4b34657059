#include "cardpay/views/BCViews.h"

#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/views/BCTextSize.h"
#include "platform/ui/ViewAnimation.h"

#include <cmath>
#include <numbers>

namespace cardpay {

namespace {

std::shared_ptr<platform::Button> imageButton(const std::string& normal, const std::string& highlighted, const std::string& disabled,
                                              platform::Rect frame, const std::string& title, std::weak_ptr<void> target,
                                              BCViews::Action action) {
    auto button = BCViews::buttonWithNomalImageName(normal, highlighted, disabled);
    button->setFrame(frame);
    button->setTitle(cutForLayout(title), 0);
    button->addTarget(std::move(target), std::move(action), platform::kControlEventTouchUpInside);
    return button;
}

} // namespace

platform::Font BCViews::defaultFontWithSize(double size) { return platform::Font::systemFont(size); }

std::shared_ptr<BCTextField> BCViews::normalTextFieldWithFrame(platform::Rect frame, const std::string& placeHolder) {
    auto field = std::make_shared<BCTextField>(frame);
    field->setPlaceholder(cutForLayout(placeHolder));
    field->setBorderStyle(platform::TextBorderStyle::None);
    field->setBackgroundColor(platform::Color::clear());
    field->setClearButtonMode(platform::TextFieldViewMode::WhileEditing);
    field->setContentVerticalAlignment(platform::ContentVerticalAlignment::Center);
    return field;
}

std::shared_ptr<BCTextField> BCViews::imageTextFieldWithImageName(const std::string& imageName, platform::Rect frame,
                                                                  const std::string& placeHolder) {
    auto field = normalTextFieldWithFrame(frame, placeHolder);
    if (auto image = normalImageViewWithFrame(platform::Rect(), imageName)) {
        field->setLeftView(image);
        field->setLeftViewMode(platform::TextFieldViewMode::Always);
    }
    return field;
}

double BCViews::leftLabelWidth() {
    return newSizeWithFont("四个字符", defaultFontWithSize(16), 200, platform::LineBreakMode::WordWrap).width + 10;
}

std::shared_ptr<BCLabel> BCViews::textFieldLeftLabelWithTitle(const std::optional<std::string>& title) {
    if (!title)
        return nullptr;
    auto label = normalLabelWithFrame(platform::Rect(0, 0, leftLabelWidth(), 44), *title, 16, platform::Color::fromRGBA255(51, 51, 51));
    // A title wider than four Chinese characters ("Password:") is drawn smaller rather than run into
    // the field's text: a few points stay free at the label's right end.
    label->setTextInsets(0, kLeftLabelGap);
    label->setAdjustsFontSizeToFitWidth(true);
    label->setMinimumScaleFactor(0.6);
    return label;
}

std::shared_ptr<BCTextField> BCViews::titleTextFieldWithTitle(const std::optional<std::string>& title, platform::Rect frame,
                                                              const std::string& placeHolder) {
    auto field = normalTextFieldWithFrame(frame, placeHolder);
    if (auto label = textFieldLeftLabelWithTitle(title)) {
        field->setLeftView(label);
        field->setLeftViewMode(platform::TextFieldViewMode::Always);
    }
    field->setFont(defaultFontWithSize(16));
    field->setTextColor(platform::Color::fromRGBA255(102, 102, 102));
    return field;
}

std::shared_ptr<platform::ImageView> BCViews::normalImageViewWithFrame(platform::Rect frame, const std::string& imageName) {
    auto image = platform::Image::named(imageName);
    if (!image)
        return nullptr;
    const platform::Size size = realSize(*image);
    auto view = std::make_shared<platform::ImageView>(platform::Rect(frame.origin, size));
    view->setImage(image);
    return view;
}

std::shared_ptr<platform::ImageView> BCViews::normalImageViewWithFrame(platform::Rect frame, platform::Image::Ptr image) {
    auto view = std::make_shared<platform::ImageView>(frame);
    view->setImage(std::move(image));
    return view;
}

std::shared_ptr<BCLabel> BCViews::normalLabelWithFrame(platform::Rect frame, const std::string& text, double fontSize,
                                                       const platform::Color& color) {
    auto label = std::make_shared<BCLabel>(frame);
    label->setText(text);
    label->setTextAlignment(platform::TextAlignment::Left);
    label->setFont(defaultFontWithSize(fontSize));
    label->setTextColor(color);
    label->setBackgroundColor(platform::Color::clear());
    label->setVerticalAlignment(BCLabel::Middle);
    return label;
}

std::shared_ptr<BCLabel> BCViews::wrapLabelWithFrame(platform::Rect frame, const std::string& text, double fontSize,
                                                     const platform::Color& color) {
    auto label = normalLabelWithFrame(frame, text, fontSize, color);
    label->setNumberOfLines(0);
    label->setLineBreakMode(platform::LineBreakMode::WordWrap);
    return label;
}

std::shared_ptr<platform::Button> BCViews::buttonWithNomalImageName(const std::string& normal, const std::string& highlighted,
                                                                    const std::string& disabled) {
    auto button = platform::Button::create(platform::ButtonType::Custom);
    button->setClipsToBounds(true);
    button->setExclusiveTouch(true);
    button->layer()->setCornerRadius(5);
    button->setBackgroundImage(platform::Image::named(normal), 0);
    button->setBackgroundImage(platform::Image::named(highlighted), 1);
    button->setBackgroundImage(platform::Image::named(disabled), 2);
    return button;
}

std::shared_ptr<platform::Button> BCViews::actionButtonWithFrame(platform::Rect frame, const std::string& title,
                                                                 std::weak_ptr<void> target, Action action) {
    return imageButton("button_normal@2x", "button_pressed@2x", "button_disabled@2x", frame, title, std::move(target), std::move(action));
}

std::shared_ptr<platform::Button> BCViews::smsButtonWithFrame(platform::Rect frame, const std::string& title,
                                                              std::weak_ptr<void> target, Action action) {
    auto button = imageButton("sms_normal@2x", "sms_pressed@2x", "button_disabled@2x", frame, title, std::move(target), std::move(action));
    button->layer()->setCornerRadius(0);
    return button;
}

std::shared_ptr<platform::Button> BCViews::textButtonWithFrame(platform::Rect frame, const std::string& text,
                                                               std::weak_ptr<void> target, Action action) {
    auto button = platform::Button::create(platform::ButtonType::Custom, frame);
    button->setClipsToBounds(true);
    button->setExclusiveTouch(true);
    button->setTitle(cutForLayout(text), 0);
    button->setTitleColor(platform::Color::fromRGBA(0, 0, 1), 0);
    button->setTitleColor(platform::Color::grey(2.0 / 3.0), 1);
    button->addTarget(std::move(target), std::move(action), platform::kControlEventTouchUpInside);
    return button;
}

std::shared_ptr<platform::Button> BCViews::indicatorButtonWithFrame(platform::Rect frame, const std::string& title,
                                                                    std::weak_ptr<void> target, Action action) {
    auto button = platform::Button::create(platform::ButtonType::Custom, frame);
    button->addTarget(std::move(target), std::move(action), platform::kControlEventTouchUpInside);
    button->setBackgroundColor(platform::Color::white());
    const platform::Rect bounds = button->bounds();
    auto backdrop = std::make_shared<platform::View>(bounds);
    backdrop->setBackgroundColor(platform::Color::white());
    backdrop->setUserInteractionEnabled(false);
    button->addSubview(backdrop);
    auto label = normalLabelWithFrame(platform::Rect(12, 0, bounds.size.width - 24, bounds.size.height), title, 16, platform::Color::black());
    label->setUserInteractionEnabled(false);
    button->addSubview(label);
    if (auto arrow = BCImageManager::instance()->imageNamed(20001)) {
        const platform::Size size = realSize(*arrow);
        auto view = std::make_shared<platform::ImageView>(
            platform::Rect(bounds.size.width - 12 - size.width, (bounds.size.height - size.height) / 2, size.width, size.height));
        view->setImage(arrow);
        view->setTransform(platform::AffineTransform::rotation(-std::numbers::pi / 2));
        view->setUserInteractionEnabled(false);
        button->addSubview(view);
    }
    return button;
}

std::shared_ptr<platform::ImageView> BCViews::loadingImageViewWithOriginalPoint(platform::Point point) {
    auto image = BCImageManager::instance()->imageNamed(20009);
    const platform::Size size = image ? realSize(*image) : platform::Size{22, 22};
    auto view = std::make_shared<platform::ImageView>(platform::Rect(point, size));
    view->setImage(image);
    platform::Animation turn;
    turn.keyPath = "transform";
    turn.fromValue = 0;
    turn.toValue = 3.14;
    turn.duration = 0.5;
    turn.cumulative = true;
    turn.repeatCount = platform::Animation::kRepeatForever;
    view->layer()->addAnimation(turn, "transform");
    return view;
}

void inBaseViewAnimation(double duration, const std::function<void()>& changes) {
    platform::ViewAnimation::beginAnimations("BaseView");
    platform::ViewAnimation::setAnimationDuration(duration);
    platform::ViewAnimation::setAnimationCurve(platform::AnimationCurve::EaseInOut);
    changes();
    platform::ViewAnimation::commitAnimations();
}

void growWidth(platform::View& view, double by) {
    platform::Rect frame = view.frame();
    frame.size.width += by;
    view.setFrame(frame);
}

platform::Image::Ptr BCViews::imageWithR(double r, double g, double b, double alpha) {
    return platform::Image::solidColor(platform::Color::fromRGBA(r / 255, g / 255, b / 255, alpha), {10, 10}, 1);
}

} // namespace cardpay
