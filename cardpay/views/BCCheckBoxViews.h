// The agreement check box with its label and link, a plain check box, and a table cell with a left
// indicator image. Main thread only; delegates are held weakly.
#pragma once

#include "cardpay/views/BCLabel.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/core/Value.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/TableView.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCCheckBoxView;

class BCCheckBoxDelegate {
public:
    virtual ~BCCheckBoxDelegate() = default;
    // After each toggle.
    virtual void checkBox(BCCheckBoxView& /*view*/) {}
    // The link was touched: open href_url titled href_title.
    virtual void checkBoxHref(const std::string& /*url*/, const std::string& /*title*/) {}
};

// Content: "label", "href_label", "href_title", "href_url", "checked" ("0" ticked), "required",
// "error_info", "name", "value". The view is as wide as its box, label and link.
class BCCheckBoxView : public platform::View {
public:
    BCCheckBoxView(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCCheckBoxDelegate> delegate);

    bool mSelected() const { return m_selected; }
    const platform::Dictionary& boxContent() const { return m_content; }
    // "name":"value" when ticked, "name":"" when not (both JSON-escaped).
    std::string checkBoxParams() const;
    // "error_info" when "required" is present (whatever its value).
    std::optional<std::string> errorInfo() const;
    void checkBoxHref();
    void checkboxClick();

    const std::shared_ptr<platform::Button>& checkBoxButton() const { return m_checkBox; }
    const std::shared_ptr<BCLabel>& label() const { return m_label; }
    const std::shared_ptr<BCUnderLineButton>& linkButton() const { return m_link; }

    void touchesEnded(const platform::TouchSet& touches) override;

private:
    platform::Dictionary m_content;
    std::weak_ptr<BCCheckBoxDelegate> m_delegate;
    std::shared_ptr<platform::Button> m_checkBox;
    std::shared_ptr<BCLabel> m_label;
    std::shared_ptr<BCUnderLineButton> m_link;
    double m_xOffset = 0;
    double m_boxHeight = 0;
    bool m_selected = false;
    std::shared_ptr<BCCheckBoxView*> m_alive = std::make_shared<BCCheckBoxView*>(this);
};

// A box and a title; a tap flips it and calls the block with the new state.
class BCCheckBox : public platform::View {
public:
    static double boxHeight() { return 35; }

    BCCheckBox(platform::Point origin, const std::string& title, std::function<void(bool)> actionBlock);
    bool selected() const { return m_selected; }
    void setSelected(bool selected);
    void tapAction();
    void chageBackgroundColor() {}
    const std::shared_ptr<platform::ImageView>& imageView() const { return m_imageView; }

private:
    std::shared_ptr<platform::ImageView> m_imageView;
    bool m_selected = false;
    std::function<void(bool)> m_actionBlock;
    std::shared_ptr<BCCheckBox*> m_alive = std::make_shared<BCCheckBox*>(this);
};

// A table cell whose text starts after a left indicator image (image 20010, hidden at first).
class BCTableViewCell : public platform::TableViewCell {
public:
    BCTableViewCell(platform::TableViewCellStyle style, std::string reuseIdentifier);
    const std::shared_ptr<platform::ImageView>& indicatorImageView() const { return m_indicatorImageView; }
    platform::Image::Ptr indicatorImage() const { return m_indicatorImageView->image(); }
    void setIndicatorImage(platform::Image::Ptr image);
    void layoutSubviews() override;

private:
    std::shared_ptr<platform::ImageView> m_indicatorImageView;
};

} // namespace cardpay
