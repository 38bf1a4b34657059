// What the promotion panel tells the promotion view that opened it: the option the user picked.
#pragma once

#include "platform/core/Value.h"

namespace cardpay {

class BCPromotionPannelViewDelegate {
public:
    virtual ~BCPromotionPannelViewDelegate() = default;
    // An option was chosen in the panel (a list row, or the confirmed coupon).
    virtual void panelViewWithCoupon(const platform::Dictionary& option) = 0;
};

} // namespace cardpay
