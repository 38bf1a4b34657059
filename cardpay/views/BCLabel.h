// A label that places its text at the top, the middle or the bottom of its bounds; both measuring and
// drawing go through the text rectangle. Main thread only.
#pragma once

#include "platform/ui/Label.h"

namespace cardpay {

class BCLabel : public platform::Label {
public:
    enum VerticalAlignment : int { Top = 0, Middle = 1, Bottom = 2 };

    explicit BCLabel(platform::Rect frame = {});

    int verticalAlignment() const { return m_verticalAlignment; }
    void setVerticalAlignment(int alignment) { m_verticalAlignment = alignment; }

    platform::Rect textRectForBounds(platform::Rect bounds, int numberOfLines) const override;
    void drawTextInRect(platform::Rect rect) override;

private:
    int m_verticalAlignment = Middle;
};

} // namespace cardpay
