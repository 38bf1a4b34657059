#include "cardpay/views/BCAlertViewEx.h"

#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCNavController.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"

#include <cmath>

namespace cardpay {

namespace {

const platform::Color kTextColor = platform::Color::fromRGBA(0.2, 0.2, 0.2);
const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);
constexpr int kOKTextId = 10001;

platform::Size measured(const std::string& text, const platform::Font& font, double width) {
    return newSizeWithFont(text, font, width, platform::LineBreakMode::WordWrap);
}

bool hasText(const BCAlertViewEx::Text& text) { return text.has_value(); }

// A button of the server's dictionary: its title when "label" is text, and its action (none when
// absent, empty or not text). A value that is not a dictionary gives no button.
struct ServerButton {
    BCAlertViewEx::Text title;
    std::optional<std::string> action;
};

ServerButton serverButton(const platform::Value& value) {
    ServerButton button;
    const platform::Dictionary* d = value.getDictionary();
    if (!d)
        return button;
    if (const std::string* label = (*d)["label"].getString())
        button.title = *label;
    if (const std::string* action = (*d)["action"].getString(); action && !action->empty())
        button.action = *action;
    return button;
}

platform::Label& setUpTextLabel(platform::Label& label, const platform::Font& font, const platform::Color& color) {
    label.setTextAlignment(platform::TextAlignment::Center);
    label.setLineBreakMode(platform::LineBreakMode::WordWrap);
    label.setNumberOfLines(0);
    label.setBackgroundColor(platform::Color::clear());
    label.setTextColor(color);
    label.setFont(font);
    return label;
}

} // namespace

BCAlertViewEx::BCAlertViewEx(platform::Rect frame)
    : platform::View(frame), m_titleFont(platform::Font::systemFont(16)), m_msgFont(platform::Font::systemFont(16)) {
    m_opacityView = std::make_shared<platform::View>(platform::Rect(0, 0, frame.size.width, frame.size.height));
    m_opacityView->setBackgroundColor(platform::Color::black());
    m_opacityView->layer()->setOpacity(0.6);
    addSubview(m_opacityView);
    setBackgroundColor(platform::Color::clear());
}

BCAlertViewEx::~BCAlertViewEx() {
    m_buttonActionBlock = nullptr;
    m_okBlockAction.reset();
    m_cancelBlockAction.reset();
}

platform::Image::Ptr BCAlertViewEx::imageWithColor(const platform::Color& color) {
    return platform::Image::solidColor(color, {10, 10}, 1);
}

platform::Image::Ptr BCAlertViewEx::imageWithR(double r, double g, double b) { return BCViews::imageWithR(r, g, b, 1); }

// MARK: - Showing

void BCAlertViewEx::showAlertViewWithTitle(const Text& title, const Text& message, const Text& btnOk, const Text& btnCancel,
                                           std::weak_ptr<BCAlertViewExDelegate> delegate) {
    m_delegate = std::move(delegate);
    m_loadingStyle = false;
    const Text shownTitle = title ? Text(cutForLayout(*title)) : std::nullopt;
    const Text shownMessage = message ? Text(cutForLayout(*message)) : std::nullopt;
    caculateSize(false, shownTitle, shownMessage, btnOk, btnCancel);
    m_footHeight = (btnOk || btnCancel ? 56 : 0) + kPadding;
    m_textHeight = m_height - m_footHeight;
    addBaseView();
    fitAlertIntoScreen(BCUtils::displayHeight());
    if (shownTitle)
        addTitle(*shownTitle);
    if (shownMessage)
        addMessage(*shownMessage, false);
    if (btnOk || btnCancel)
        addOKButton(btnOk, btnCancel);
}

void BCAlertViewEx::fitAlertIntoScreen(double screenHeight) {
    const double limit = std::max(screenHeight - 2 * kScreenMargin, m_footHeight + 2 * kPadding);
    if (m_height <= limit && !m_textScroll)
        return;
    m_height = std::min(m_textHeight + m_footHeight, limit);
    m_baseView->setFrame(platform::Rect(0, 0, m_width, m_height));
    m_baseView->setCenter(BCUtils::displayCenter());
    m_subLayer->setFrame(m_baseView->bounds());
    m_backgroundView->setFrame(m_baseView->bounds());
    if (!m_textScroll) {
        m_textScroll = std::make_shared<platform::ScrollView>(platform::Rect());
        m_textScroll->setBackgroundColor(platform::Color::clear());
        m_textScroll->setClipsToBounds(true);
        m_textScroll->setShowsVerticalScrollIndicator(true);
        m_baseView->addSubview(m_textScroll);
    }
    m_textScroll->setFrame(platform::Rect(0, 0, m_width, m_height - m_footHeight));
    m_textScroll->setContentSize({m_width, m_textHeight});
}

platform::View& BCAlertViewEx::textHolder() const { return m_textScroll ? *m_textScroll : *m_baseView; }

void BCAlertViewEx::showAlertViewWithItem(const platform::Dictionary& item, ActionBlock block) {
    m_buttonActionBlock = std::move(block);
    ServerButton ok = serverButton(item["func"]);
    const ServerButton cancel = serverButton(item["cancel"]);
    if (!ok.title && !cancel.title)
        ok.title = BCLocale::instance()->getStringById(kOKTextId);
    m_okBlockAction = ok.action;
    m_cancelBlockAction = cancel.action;
    const auto text = [&](std::string_view key) -> Text {
        if (const std::string* s = item[key].getString())
            return *s;
        return std::nullopt;
    };
    showAlertViewWithTitle(text("title"), text("text"), ok.title, cancel.title, std::weak_ptr<BCAlertViewExDelegate>());
}

void BCAlertViewEx::showLoadingViewWithMessage(const Text& message, std::weak_ptr<BCAlertViewExDelegate> delegate) {
    m_delegate = std::move(delegate);
    m_loadingStyle = true;
    const Text shownMessage = message ? Text(cutForLayout(*message)) : std::nullopt;
    caculateSize(true, std::nullopt, shownMessage, std::nullopt, std::nullopt);
    addBaseView();
    addImageView();
    if (shownMessage)
        addMessage(*shownMessage, true);
    addWaitIndicator();
}

// MARK: - Sizing and layout

void BCAlertViewEx::caculateSize(bool waiting, const Text& title, const Text& message, const Text& btnOk, const Text& btnCancel) {
    m_width = BCUtils::iPadDevice() ? 320 : 270;
    m_height = kPadding;
    m_titleSize = m_msgSize = m_imgSize = {};
    const double textWidth = m_width - 2 * kPadding;
    if (waiting) {
        m_logo = BCImageManager::instance()->imageNamed(20008);
        if (m_logo)
            m_imgSize = realSize(*m_logo);
        m_height += m_imgSize.height + kPadding;
        if (message) {
            m_msgSize = measured(*message, m_msgFont, textWidth);
            m_height += m_msgSize.height + kPadding;
        }
        m_height += 34;
    } else {
        if (title) {
            m_titleSize = measured(*title, m_titleFont, textWidth);
            m_height += m_titleSize.height + kPadding;
        }
        if (message) {
            m_msgSize = measured(*message, m_msgFont, textWidth);
            m_height += m_msgSize.height + kPadding;
        }
        if (hasText(btnOk) || hasText(btnCancel))
            m_height += 56;
    }
    m_height += kPadding;
}

void BCAlertViewEx::addBaseView() {
    if (m_baseView)  // a box shown again starts afresh
        m_baseView->removeFromSuperview();
    m_logoView.reset();
    m_ok.reset();
    m_cancel.reset();
    m_title.reset();
    m_message.reset();
    m_loadingImageView.reset();
    m_buttonLine.reset();
    m_buttonDivider.reset();
    m_textScroll.reset();

    m_baseView = std::make_shared<platform::View>(platform::Rect(0, 0, m_width, m_height));
    m_baseView->setCenter(BCUtils::displayCenter());
    m_baseView->layer()->setCornerRadius(4);
    m_baseView->setClipsToBounds(true);
    resetLayer(*m_baseView->layer());
    addBackgroundView();
    addSubview(m_baseView);
}

void BCAlertViewEx::resetLayer(platform::Layer& layer) {
    m_subLayer = std::make_shared<platform::Layer>();
    m_subLayer->setShadowOffset({0, 10});
    m_subLayer->setShadowRadius(5);
    m_subLayer->setShadowColor(platform::Color::black());
    m_subLayer->setShadowOpacity(0.6);
    m_subLayer->setFrame(m_baseView->bounds());
    m_subLayer->setCornerRadius(10);
    m_subLayer->setBorderColor(platform::Color::fromRGBA(0, 0, 0, 0.75));
    m_subLayer->setBorderWidth(0);
    layer.insertSublayerAt(m_subLayer, 0);
    layer.setCornerRadius(10);
}

void BCAlertViewEx::addBackgroundView() {
    m_backgroundView = std::make_shared<platform::View>(m_baseView->bounds());
    // The loading box's tint is translucent: over an opaque grey (the dimmed white of the screen), so
    // that what lies under the box does not show through it.
    m_baseView->setBackgroundColor(m_loadingStyle ? platform::Color::grey(0.4) : platform::Color::white());
    if (m_loadingStyle)
        m_backgroundView->setBackgroundColor(BCNavigationBar::createBackgroundColor().withAlpha(0.7));
    else
        m_backgroundView->setBackgroundColor(platform::Color::white());
    m_baseView->addSubview(m_backgroundView);
}

void BCAlertViewEx::addImageView() {
    m_logoView = std::make_shared<platform::ImageView>(
        platform::Rect((m_width - m_imgSize.width) / 2, kPadding, m_imgSize.width, m_imgSize.height));
    m_logoView->setImage(m_logo);
    m_baseView->addSubview(m_logoView);
}

void BCAlertViewEx::addTitle(const std::string& title) {
    m_title = std::make_shared<platform::Label>(platform::Rect(kPadding, kPadding, m_width - 2 * kPadding, m_titleSize.height));
    setUpTextLabel(*m_title, m_titleFont, kTextColor).setText(title);
    textHolder().addSubview(m_title);
}

void BCAlertViewEx::addMessage(const std::string& message, bool waiting) {
    const double y = std::floor((waiting ? m_imgSize.height : m_titleSize.height) + 24);
    m_message = std::make_shared<platform::Label>(platform::Rect(kPadding, y, m_width - 2 * kPadding, m_msgSize.height));
    setUpTextLabel(*m_message, m_msgFont, waiting ? platform::Color::white() : kTextColor).setText(message);
    textHolder().addSubview(m_message);
}

void BCAlertViewEx::addWaitIndicator() {
    const auto wheel = BCImageManager::instance()->imageNamed(20009);
    const double wheelWidth = wheel ? realSize(*wheel).width : 22;
    m_loadingImageView = BCViews::loadingImageViewWithOriginalPoint(
        {(m_width - wheelWidth) / 2, m_imgSize.height + 36 + m_msgSize.height});
    m_baseView->addSubview(m_loadingImageView);
}

std::shared_ptr<platform::Button> BCAlertViewEx::makeButton(platform::Rect frame, const std::string& title, bool ok) {
    auto button = platform::Button::create(platform::ButtonType::Custom, frame);
    button->setClipsToBounds(true);
    button->setExclusiveTouch(true);
    button->setAlpha(0.7);
    button->setTitle(cutForLayout(title), platform::kControlStateNormal);
    button->titleLabel()->setFont(platform::Font::systemFont(16));
    button->setTitleColor(BCUtils::navBarColor(), platform::kControlStateNormal);
    button->setBackgroundImage(imageWithR(0, 0, 0), platform::kControlStateHighlighted);
    const std::weak_ptr<BCAlertViewEx> weak = std::static_pointer_cast<BCAlertViewEx>(shared_from_this());
    button->addTarget(weak, [weak, ok](platform::Control&) {
        if (const auto box = weak.lock())
            ok ? box->buttonOKClicked() : box->buttonCancelClicked();
    }, platform::kControlEventTouchUpInside);
    m_baseView->addSubview(button);
    return button;
}

void BCAlertViewEx::addOKButton(const Text& ok, const Text& cancel) {
    const double lineY = std::floor(m_height - kButtonHeight);
    m_buttonLine = std::make_shared<BCLineView>(platform::Rect(0, lineY, m_baseView->bounds().size.width, 1), kLineColor);
    m_baseView->addSubview(m_buttonLine);
    const double y = lineY + 1;
    if (ok && cancel) {
        m_cancel = makeButton(platform::Rect(0, y, m_width / 2, kButtonHeight), *cancel, false);
        m_buttonDivider = std::make_shared<BCLineView>(platform::Rect(m_width / 2, y, 1, kButtonHeight), kLineColor);
        m_baseView->addSubview(m_buttonDivider);
        m_ok = makeButton(platform::Rect(m_width / 2 + 1, y, m_width / 2, kButtonHeight), *ok, true);
    } else if (ok) {
        m_ok = makeButton(platform::Rect(0, y, m_width, kButtonHeight), *ok, true);
    } else {
        m_cancel = makeButton(platform::Rect(0, y, m_width, kButtonHeight), *cancel, false);
    }
}

// MARK: - Buttons

void BCAlertViewEx::buttonOKClicked() {
    if (m_buttonActionBlock) {
        const ActionBlock block = m_buttonActionBlock;  // the block may dismiss and release the box
        block(m_okBlockAction);
    } else if (const auto delegate = m_delegate.lock()) {
        delegate->buttonOKClicked();
    }
}

void BCAlertViewEx::buttonCancelClicked() {
    if (m_buttonActionBlock) {
        const ActionBlock block = m_buttonActionBlock;
        block(m_cancelBlockAction);
    } else if (const auto delegate = m_delegate.lock()) {
        delegate->buttonCancelClicked();
    }
}

// MARK: - Rotation

void BCAlertViewEx::willRotateToInterfaceOrientation(platform::InterfaceOrientation, double duration) {
    if (!m_baseView)
        return;
    const double r = BCUtils::iPadDevice() ? 320 : BCUtils::displayHeight();
    const double d = BCUtils::displayWidth();
    const double w = r - 48;
    const double textWidth = w - 2 * kPadding;

    platform::Rect titleFrame = m_title ? m_title->frame() : platform::Rect();
    if (m_title) {
        m_titleSize = measured(m_title->text(), m_titleFont, textWidth);
        titleFrame.size = {textWidth, m_titleSize.height};
    }
    double dh = 0;
    platform::Rect messageFrame = m_message ? m_message->frame() : platform::Rect();
    if (m_message && !m_message->text().empty()) {
        const platform::Size size = measured(m_message->text(), m_msgFont, textWidth);
        dh = size.height - m_msgSize.height;
        m_msgSize = size;
        messageFrame.size = size;
        messageFrame.size.width = textWidth;
    }

    platform::Rect box = m_baseView->frame();
    m_width = w;
    m_height += dh;
    m_baseView->setFrame(platform::Rect(box.origin.x, box.origin.y, w, m_height));
    m_subLayer->setFrame(m_baseView->bounds());
    m_backgroundView->setFrame(m_baseView->bounds());

    const double buttonWidth = (w - 36) / 2;
    platform::Rect okFrame = m_ok ? m_ok->frame() : platform::Rect();
    platform::Rect cancelFrame = m_cancel ? m_cancel->frame() : platform::Rect();
    if (m_ok && m_cancel) {
        cancelFrame = platform::Rect(12, cancelFrame.origin.y + dh, buttonWidth, kButtonHeight);
        okFrame = platform::Rect((w + 12) / 2, okFrame.origin.y + dh, buttonWidth, kButtonHeight);
    } else if (m_ok || m_cancel) {
        platform::Rect& only = m_ok ? okFrame : cancelFrame;
        only = platform::Rect((w + 36) / 4, only.origin.y + dh, buttonWidth, kButtonHeight);
    }
    platform::Rect logoFrame = m_logoView ? m_logoView->frame() : platform::Rect();
    logoFrame.origin.x = (w - logoFrame.size.width) / 2;
    platform::Rect wheelFrame = m_loadingImageView ? m_loadingImageView->frame() : platform::Rect();
    wheelFrame.origin = {(w - wheelFrame.size.width) / 2, wheelFrame.origin.y + dh};

    inBaseViewAnimation(duration, [&] {
        m_baseView->setCenter({r / 2, d / 2});
        m_opacityView->setFrame(platform::Rect(0, 0, r, d));
        if (m_logoView)
            m_logoView->setFrame(logoFrame);
        if (m_loadingImageView)
            m_loadingImageView->setFrame(wheelFrame);
        if (m_ok)
            m_ok->setFrame(okFrame);
        if (m_cancel)
            m_cancel->setFrame(cancelFrame);
        if (m_title)
            m_title->setFrame(titleFrame);
        if (m_message)
            m_message->setFrame(messageFrame);
    });
}

} // namespace cardpay
