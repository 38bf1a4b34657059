// What the entrust and paying screens share: a bar titled by the last rules-type answer with a Back
// button, and a body of one server form under the order header: the form, an optional agreement box
// (tag 10001, made from the answer's "service_checkbox") and the Next button, stacked in the scroll view.
// Unfolding the order header moves the three down. Ticking the agreement box is tracked: the prefix's
// "user_protocol" event when the road has a tracking prefix, else "bankpay_agree_user_protocol" (card
// pay) or "loginpay_agree_user_protocol" with {"agree": "Y"} or {"agree": "N"}.
//
// Main thread only.
#pragma once

#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/views/BCCheckBoxViews.h"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cardpay {

class BCFormScreen : public BCBaseViewController, public BCCheckBoxDelegate {
public:
    void addNavigationBar() override;
    void checkBox(BCCheckBoxView& view) override;
    void checkBoxHref(const std::string& url, const std::string& title) override { BCBaseViewController::checkBoxHref(url, title); }
    void pullListAnimationDidStart(double offset) override;

    const std::shared_ptr<BCCheckBoxView>& licenseBox() const { return m_licenseBox; }

protected:
    // The order header, the form over `elements`, the agreement box when `agreement` is given and the
    // Next button titled `nextTitle`; the content size closes 30 points below the button.
    void addFormBody(const platform::Array& elements, const std::optional<platform::Dictionary>& agreement, const std::string& nextTitle);
    // Pushes the screen of that class name (a paying screen is for a new card), animated, after the
    // focused field resigns, once a pending server alert box is closed with no action (at once without one).
    void moveOnAfterAlertBox(std::string_view className);
    // Moves the views that are there down by `offset` and grows the content by it.
    void moveDown(std::span<const std::shared_ptr<platform::View>> views, double offset);

private:
    std::shared_ptr<BCCheckBoxView> m_licenseBox;
};

} // namespace cardpay
