// The payment screens' own modal box over the whole screen: an alert box (title, message, up to two
// buttons) or a loading box (logo, message, spinning wheel, no buttons). Button presses go to one block
// (boxes the server describes) or else to the delegate.
//
// The server's alert dictionary: "title" and "text" (texts), "func" (the OK button) and "cancel" (the
// Cancel button), each a dictionary of "label" (the button's title; no text, no button) and "action"
// (the text handed to the block; absent, empty or not text: none). A dictionary with neither button
// gets one OK button (text 10001) whose action is none, so the box can always be dismissed.
//
// A box never grows past the screen: when its title and message would make it taller than the display
// less kScreenMargin above and below, it takes that height, its title and message scroll in
// `textScrollView` and its buttons stay at its foot. Texts are cut for layout (BCTextSize.h) before they
// are measured.
//
// Main thread only. The delegate is held weakly; the block is held strongly until the box goes.
#pragma once

#include "cardpay/views/BCWidgets.h"
#include "platform/core/Value.h"
#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/Layer.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/View.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCAlertViewExDelegate {
public:
    virtual ~BCAlertViewExDelegate() = default;
    virtual void buttonOKClicked() {}
    virtual void buttonCancelClicked() {}
};

class BCAlertViewEx : public platform::View {
public:
    using ActionBlock = std::function<void(const std::optional<std::string>& action)>;
    using Text = std::optional<std::string>;

    static constexpr double kPadding = 12;
    static constexpr double kButtonHeight = 44;
    static constexpr double kScreenMargin = 20;

    // The caller passes the display's bounds and adds the box to its view before showing it.
    explicit BCAlertViewEx(platform::Rect frame);
    ~BCAlertViewEx() override;

    void showAlertViewWithTitle(const Text& title, const Text& message, const Text& btnOk, const Text& btnCancel,
                                std::weak_ptr<BCAlertViewExDelegate> delegate);
    void showAlertViewWithItem(const platform::Dictionary& item, ActionBlock block);
    void showLoadingViewWithMessage(const Text& message, std::weak_ptr<BCAlertViewExDelegate> delegate);
    void dismissAlertView() { removeFromSuperview(); }

    void buttonOKClicked();
    void buttonCancelClicked();

    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

    // 10 x 10 images of one colour (the RGB form: components 0 to 255, opaque).
    static platform::Image::Ptr imageWithColor(const platform::Color& color);
    static platform::Image::Ptr imageWithR(double r, double g, double b);

    bool isLoadingStyle() const { return m_loadingStyle; }
    double mWidth() const { return m_width; }
    double mHeight() const { return m_height; }
    const std::optional<std::string>& okBlockAction() const { return m_okBlockAction; }
    const std::optional<std::string>& cancelBlockAction() const { return m_cancelBlockAction; }
    // The parts (each may be none).
    const std::shared_ptr<platform::View>& baseView() const { return m_baseView; }
    const std::shared_ptr<platform::View>& backgroundView() const { return m_backgroundView; }
    const std::shared_ptr<platform::View>& opacityView() const { return m_opacityView; }
    const std::shared_ptr<platform::Layer>& subLayer() const { return m_subLayer; }
    const std::shared_ptr<platform::ImageView>& logoView() const { return m_logoView; }
    const std::shared_ptr<platform::Button>& okButton() const { return m_ok; }
    const std::shared_ptr<platform::Button>& cancelButton() const { return m_cancel; }
    const std::shared_ptr<platform::Label>& titleLabel() const { return m_title; }
    const std::shared_ptr<platform::Label>& messageLabel() const { return m_message; }
    const std::shared_ptr<platform::ImageView>& loadingImageView() const { return m_loadingImageView; }
    // The scrolling holder of the title and message of a box that would be taller than the screen.
    const std::shared_ptr<platform::ScrollView>& textScrollView() const { return m_textScroll; }
    const std::shared_ptr<BCLineView>& buttonLine() const { return m_buttonLine; }
    const std::shared_ptr<BCLineView>& buttonDivider() const { return m_buttonDivider; }

private:
    void caculateSize(bool waiting, const Text& title, const Text& message, const Text& btnOk, const Text& btnCancel);
    void addBaseView();
    void resetLayer(platform::Layer& layer);
    void addBackgroundView();
    void addImageView();
    void addTitle(const std::string& title);
    void addMessage(const std::string& message, bool waiting);
    void addWaitIndicator();
    void addOKButton(const Text& ok, const Text& cancel);
    // Keeps an alert box within `screenHeight`: the height it would take beyond that goes to the text's
    // scrolling holder.
    void fitAlertIntoScreen(double screenHeight);
    // Where the title and message go: the box, or their scrolling holder.
    platform::View& textHolder() const;
    std::shared_ptr<platform::Button> makeButton(platform::Rect frame, const std::string& title, bool ok);

    bool m_loadingStyle = false;
    double m_width = 0, m_height = 0;
    platform::Size m_titleSize, m_msgSize, m_imgSize;
    std::shared_ptr<platform::View> m_baseView;
    std::shared_ptr<platform::View> m_backgroundView;
    platform::Font m_titleFont, m_msgFont;
    platform::Image::Ptr m_logo;
    std::shared_ptr<platform::View> m_opacityView;
    std::shared_ptr<platform::Layer> m_subLayer;
    std::shared_ptr<platform::ImageView> m_logoView;
    std::shared_ptr<platform::Button> m_ok, m_cancel;
    std::shared_ptr<platform::Label> m_title, m_message;
    std::shared_ptr<platform::ImageView> m_loadingImageView;
    std::shared_ptr<platform::ScrollView> m_textScroll;
    double m_textHeight = 0;  // the height the title and message take in the box, scrolled or not
    double m_footHeight = 0;  // the buttons' part under them, and the bottom margin
    std::shared_ptr<BCLineView> m_buttonLine, m_buttonDivider;
    std::weak_ptr<BCAlertViewExDelegate> m_delegate;
    ActionBlock m_buttonActionBlock;
    std::optional<std::string> m_okBlockAction, m_cancelBlockAction;
};

} // namespace cardpay
