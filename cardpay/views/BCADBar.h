// The strip of server text at the top of a payment screen's content (the warning text, the
// advertisement text): the text in a small box that the finger scrolls, as high as the text plus 12
// points up to a cap of 47. No timer, no automatic scrolling, no tap action.
//
// Colours follow the configuration list (BCDataContainer BundleConfig): without one the box is pale
// yellow with dark text, with one it takes the advertisement colour with white text.
//
// A text taller than the capped box shows its whole first lines: a strip of the box's colour
// (`footMask`) covers the part of the next line that the cap would cut, at the foot of the box, until the
// finger scrolls. The text is cut for layout (BCTextSize.h).
//
// Main thread only.
#pragma once

#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"

#include <memory>
#include <string>

namespace cardpay {

class BCADBar : public platform::View {
public:
    static constexpr double kFontSize = 15;
    static constexpr double kInset = 12;        // left and right of the text
    static constexpr double kTopInset = 6;      // above the text; the box is the text's height + 12
    static constexpr double kCapHeight = 47;
    static constexpr double kCapFromText = 35;  // texts this high or higher get the cap

    // The frame's height is ignored: the bar sets its own.
    BCADBar(platform::Rect frame, const std::string& content);

    // The width changed by `offset` after a rotation; animated over `duration`.
    void willRotateToChangeOffset(double offset, double duration);

    const std::shared_ptr<platform::ScrollView>& contentScrollView() const { return m_contentScrollView; }
    const std::string& adContent() const { return m_adContent; }
    const std::shared_ptr<platform::Label>& contentLabel() const { return m_contentLabel; }
    // None while the whole text shows.
    const std::shared_ptr<platform::View>& footMask() const { return m_footMask; }

    // The bar's height for a text of height `textHeight`.
    static double barHeight(double textHeight) { return textHeight >= kCapFromText ? kCapHeight : textHeight + 2 * kTopInset; }

private:
    void addContentScrollViewWithContentSize(platform::Size size);
    void addAdContentLabelWithFrame(platform::Rect frame, const std::string& content);
    // The strip over the cut line for a text of height `textHeight` in a bar `width` wide.
    void updateFootMask(double textHeight, double width);

    std::shared_ptr<platform::ScrollView> m_contentScrollView;
    std::shared_ptr<platform::View> m_footMask;
    std::string m_adContent;
    std::shared_ptr<platform::Label> m_contentLabel;
};

} // namespace cardpay
