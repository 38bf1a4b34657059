// The text blocks and rows the payment screens compose: a label block whose height follows its text, a
// labelled read-only block, order rows and their regions, the order header's body and the default-card
// bar. Main thread only; each answers the rotation call its owner forwards.
#pragma once

#include "cardpay/views/BCLabel.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/core/Value.h"
#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/Control.h"
#include "platform/ui/ImageView.h"

#include <memory>
#include <string>
#include <vector>

namespace cardpay {

// A text block: its height is the text's at the frame's width (characters wrap), the given height is
// ignored.
class BCLableCell : public platform::View {
public:
    // `inset`: room kept free at both ends of the frame's width; the text is measured and drawn between.
    BCLableCell(platform::Rect frame, const std::string& text, const platform::Font& font, const platform::Color& color,
                platform::TextAlignment alignment, double inset = 0);
    const std::shared_ptr<BCLabel>& label() const { return m_label; }
    void setLabelText(const std::string& text) { m_label->setText(text); }
    void setLabelFont(const platform::Font& font) { m_label->setFont(font); }
    void setLabelColor(const platform::Color& color) { m_label->setTextColor(color); }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    std::shared_ptr<BCLabel> m_label;
};

// A caption and a value, each in the title font size (the value font size and the style change nothing).
class BCStringCell : public platform::View {
public:
    BCStringCell(platform::Rect frame, const std::string& label, const std::string& value, const std::string& style,
                 double titleFontSize = 16, double valueFontSize = 16);
    const std::shared_ptr<BCLableCell>& labelCell() const { return m_label; }
    const std::shared_ptr<BCLableCell>& valueCell() const { return m_value; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    std::shared_ptr<BCLableCell> m_label;
    std::shared_ptr<BCLableCell> m_value;
};

// One order row: the key column (see keyColumnWidth), the value beside it (bold and in the "style"
// colour when "style" is six hexadecimal digits, else regular grey 0.4).
class BCOrderItemCell : public platform::View {
public:
    // `keyWidth`: the key column's width (negative: keyColumnWidth of this row alone).
    BCOrderItemCell(platform::Rect frame, const platform::Dictionary& content, double keyWidth = -1);
    const platform::Dictionary& orderContent() const { return m_content; }
    const std::shared_ptr<BCLableCell>& keyLabel() const { return m_keyLabel; }
    const std::shared_ptr<BCLableCell>& valueLabel() const { return m_valueLabel; }
    void resetFrame() {}
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation, double) {}

    // As wide as "订单金额" at 16 points, or as the widest word of the rows' keys where one is wider (a
    // key breaks between its words, inside a word only past 40% of the row's width).
    static double keyColumnWidth(double width, const platform::Array& rows = {});

private:
    platform::Dictionary m_content;
    std::shared_ptr<BCLableCell> m_keyLabel;
    std::shared_ptr<BCLableCell> m_valueLabel;
};

// The order rows, and the "Security Code" row when the user default "BCPayPluginCheckeCode" is set.
class BCOrderInfoRegion : public platform::View {
public:
    BCOrderInfoRegion(platform::Rect frame, const platform::Array& rows);
    double mKeyValueHeight() const { return m_keyValueHeight; }
    const std::vector<std::shared_ptr<BCOrderItemCell>>& cells() const { return m_cells; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    double m_keyValueHeight = 0;
    std::vector<std::shared_ptr<BCOrderItemCell>> m_cells;
};

class BCRiskInfoRegion : public platform::View {
public:
    BCRiskInfoRegion(platform::Rect frame, const platform::Dictionary& risk);
    const std::shared_ptr<BCStringCell>& cell() const { return m_cell; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    platform::Dictionary m_risk;
    std::shared_ptr<BCStringCell> m_cell;
};

// The order header's body: the order region above the risk region (6 points between, 7 below).
class BCOrderView : public platform::View {
public:
    BCOrderView(platform::Rect frame, std::shared_ptr<BCOrderInfoRegion> orderRegion, std::shared_ptr<BCRiskInfoRegion> riskRegion);
    const std::shared_ptr<BCOrderInfoRegion>& orderRegion() const { return m_orderInfo; }
    const std::shared_ptr<BCRiskInfoRegion>& riskRegion() const { return m_riskInfo; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    std::shared_ptr<BCOrderInfoRegion> m_orderInfo;
    std::shared_ptr<BCRiskInfoRegion> m_riskInfo;
};

// A 44-point tappable bar with the chosen card's line (shortened in its middle) and an arrow.
class BCDefaultCardView : public platform::Control {
public:
    BCDefaultCardView(platform::Rect frame, const std::string& text, double lineLeftMargin = 0);
    void setText(const std::string& text) { m_textLabel->setText(text); }
    const std::shared_ptr<BCLabel>& textLabel() const { return m_textLabel; }
    const std::shared_ptr<platform::ImageView>& indicatorImageView() const { return m_indicatorImageView; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation, double) {}

private:
    std::shared_ptr<BCLabel> m_textLabel;
    double m_leftMargin = 0;
    std::shared_ptr<platform::ImageView> m_indicatorImageView;
};

} // namespace cardpay
