// The page's "DatePicker" service: the platform's date picker in a sheet that slides up from the
// bottom over a dimmed page, with a cancel and a done button. It talks to the page by script only:
//   datePicker._dateSelected("<seconds since 1970, six decimals>");   at every change, and on Done
//   datePicker._dateSelectionCanceled();                                 on Cancel
// and never answers the call.
//
// Guarantees:
// - Main thread only.
// - Options (argument 0; anything but a dictionary reads as no options): "mode" ("date", "time", else
//   date and time), "date" (the start, "yyyy-MM-dd'T'HH:mm:ss'Z'" in the local time zone; absent or
//   unreadable: now), "allowOldDates" / "allowFutureDates" (non-zero: no limit on that side; absent or
//   zero: now is the limit), "minDate" / "maxDate" (texts in the same format, overriding those; an
//   unreadable one changes nothing), "minuteInterval" (a divisor of 60, else ignored), "locale",
//   "cancelButtonLabel" / "doneButtonLabel" (titles; absent, not text or empty: "Cancel" / "Done", so
//   that the sheet never lacks its way out), "cancelButtonColor" / "doneButtonColor" (tints by
//   colorFromHexString). A minimum after the maximum keeps the minimum.
// - The sheet and its views are built once, in code, and reused by every later `show`; a `show` while
//   shown applies the options again and slides the sheet in again. Done and Cancel act once per showing.
// Made by the name "DatePicker" once registerClass() ran.
#pragma once

#include "platform/core/Color.h"
#include "platform/ui/Button.h"
#include "platform/ui/DatePicker.h"
#include "runtime/HYBPlugin.h"

#include <memory>
#include <string>

namespace plugins {

class DatePicker : public runtime::HYBPlugin {
public:
    static constexpr double kBarHeight = 44;
    static constexpr double kAnimationDuration = 0.3;

    using HYBPlugin::HYBPlugin;
    ~DatePicker() override;

    static void registerClass();

    // ---- page action ----
    // 0: the options dictionary.
    void show(const runtime::HYBInvokedUrlCommand& command);

    // ---- the sheet ----
    bool showForPhone(const platform::Dictionary& options);
    void hide();
    void doneAction();
    void cancelAction();
    void dateChangedAction();

    void updateDatePicker(const platform::Dictionary& options);
    void updateCancelButton(const platform::Dictionary& options);
    void updateDoneButton(const platform::Dictionary& options);

    // The text is read as one hexadecimal number from its second character on (the first is normally
    // "#"): red bits 16-23, green 8-15, blue 0-7. Text that does not read gives black.
    static platform::Color colorFromHexString(const std::string& text);

    const std::shared_ptr<platform::View>& datePickerContainer() const { return m_datePickerContainer; }
    const std::shared_ptr<platform::View>& datePickerComponentsContainer() const { return m_datePickerComponentsContainer; }
    const std::shared_ptr<platform::Button>& cancelButton() const { return m_cancelButton; }
    const std::shared_ptr<platform::Button>& doneButton() const { return m_doneButton; }
    const std::shared_ptr<platform::DatePicker>& datePicker() const { return m_datePicker; }
    bool isShown() const { return m_shown; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "DatePicker"; }

private:
    void loadViews();
    void layoutSheet(platform::Size size);
    void evalJs(std::string script);

    std::shared_ptr<platform::View> m_datePickerContainer;
    std::shared_ptr<platform::View> m_datePickerComponentsContainer;
    std::shared_ptr<platform::Button> m_cancelButton;
    std::shared_ptr<platform::Button> m_doneButton;
    std::shared_ptr<platform::DatePicker> m_datePicker;
    std::shared_ptr<platform::View> m_separator;
    bool m_shown = false;
};

} // namespace plugins
