// A label that places its text at the top, the middle or the bottom of its bounds; both measuring and
// drawing go through the text rectangle. Its text is cut for layout (BCTextSize.h). Main thread only.
#pragma once

#include "platform/ui/Label.h"

namespace cardpay {

class BCLabel : public platform::Label {
public:
    enum VerticalAlignment : int { Top = 0, Middle = 1, Bottom = 2 };

    explicit BCLabel(platform::Rect frame = {});

    // The text, cut to kMaxLayoutCharacters (BCTextSize.h).
    void setText(const std::string& text);

    int verticalAlignment() const { return m_verticalAlignment; }
    void setVerticalAlignment(int alignment) { m_verticalAlignment = alignment; }
    // Room kept free at the left and right ends of the bounds: the text is measured and drawn between.
    void setTextInsets(double left, double right);
    double leftTextInset() const { return m_leftInset; }
    double rightTextInset() const { return m_rightInset; }

    platform::Rect textRectForBounds(platform::Rect bounds, int numberOfLines) const override;
    void drawTextInRect(platform::Rect rect) override;

private:
    int m_verticalAlignment = Middle;
    double m_leftInset = 0, m_rightInset = 0;
};

} // namespace cardpay
