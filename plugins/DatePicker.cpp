#include "plugins/DatePicker.h"

#include "platform/core/Log.h"
#include "platform/text/DateFormatter.h"
#include "platform/text/Text.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/web/WebView.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace plugins {

namespace {

constexpr double kDimmedAlpha = 0.4;
constexpr double kButtonWidth = 90;
constexpr double kButtonMargin = 8;

const platform::DateFormatter& dateFormatter() {
    static const platform::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ss'Z'", platform::DateFormatter::TimeZone::Local);
    return formatter;
}

// A date option: the text read with the formatter; nothing when absent, empty or unreadable.
std::optional<platform::Date> dateOption(const platform::Value& value) {
    const std::string* text = value.getString();
    if (!text || text->empty())
        return std::nullopt;
    return dateFormatter().parse(*text);
}

platform::DatePickerMode modeOption(const platform::Value& value) {
    const std::string* mode = value.getString();
    if (mode && *mode == "date")
        return platform::DatePickerMode::Date;
    if (mode && *mode == "time")
        return platform::DatePickerMode::Time;
    return platform::DatePickerMode::DateAndTime;
}

// A button's title: the page's label; without one (absent, not text, or empty) the platform's own
// title, so that the sheet always has its two buttons and the user a way out.
std::string buttonLabel(const platform::Value& value, const char* fallback) {
    const std::string* label = value.getString();
    return label && !label->empty() ? *label : std::string(fallback);
}

bool isHexDigit(char c) { return platform::hexDigitValue(c) >= 0; }

} // namespace

DatePicker::~DatePicker() {
    if (m_datePickerContainer)
        m_datePickerContainer->removeFromSuperview();
}

void DatePicker::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<DatePicker>("DatePicker");
    (void)registered;
}

const runtime::HYBActionTable& DatePicker::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<DatePicker>({{"show", &DatePicker::show}});
    return table;
}

void DatePicker::show(const runtime::HYBInvokedUrlCommand& command) {
    (void)showForPhone(command.argumentAtIndex(0).dictionaryOrEmpty());
}

bool DatePicker::showForPhone(const platform::Dictionary& options) {
    std::shared_ptr<platform::WebView> webView = this->webView();
    if (!webView)
        return false;
    if (m_datePickerContainer)
        m_datePickerContainer->setBackgroundColor(platform::Color::black().withAlpha(kDimmedAlpha));
    else
        loadViews();

    updateDatePicker(options);
    updateCancelButton(options);
    updateDoneButton(options);

    m_datePickerContainer->removeFromSuperview();
    std::shared_ptr<platform::View> host = webView->superview();
    platform::View& superview = host ? *host : static_cast<platform::View&>(*webView);
    const platform::Size size = superview.frame().size;
    platform::Log::writef("%.2f", size.width);
    platform::Log::writef("%.2f", size.height);
    m_datePickerContainer->setFrame(platform::Rect(0, 0, size.width, size.height));
    superview.addSubview(m_datePickerContainer);
    layoutSheet(superview.bounds().size);
    m_datePickerContainer->layoutIfNeeded();

    const platform::Rect shown = m_datePickerComponentsContainer->frame();
    m_datePickerComponentsContainer->setFrame(shown.offsetBy(0, shown.size.height));
    m_datePickerContainer->setBackgroundColor(platform::Color::black().withAlpha(0));
    m_shown = true;

    std::shared_ptr<platform::View> sheet = m_datePickerComponentsContainer;
    std::shared_ptr<platform::View> container = m_datePickerContainer;
    platform::ViewAnimation::animate(kAnimationDuration, 0, platform::kAnimationOptionCurveEaseOut, [sheet, container, shown] {
        sheet->setFrame(shown);
        container->setBackgroundColor(platform::Color::black().withAlpha(kDimmedAlpha));
    });
    return true;
}

void DatePicker::hide() {
    if (!m_datePickerContainer)
        return;
    m_shown = false;
    std::shared_ptr<platform::View> sheet = m_datePickerComponentsContainer;
    std::shared_ptr<platform::View> container = m_datePickerContainer;
    const platform::Rect frame = sheet->frame();
    platform::ViewAnimation::animate(
        kAnimationDuration, 0, platform::kAnimationOptionCurveEaseOut,
        [sheet, container, frame] {
            sheet->setFrame(frame.offsetBy(0, frame.size.height));
            container->setBackgroundColor(platform::Color::black().withAlpha(0));
        },
        [container](bool finished) {
            // A `show` during the slide re-animates the sheet (finished false): the container stays.
            if (finished)
                container->removeFromSuperview();
        });
}

void DatePicker::doneAction() {
    if (!m_shown)
        return;
    dateChangedAction();
    hide();
}

void DatePicker::cancelAction() {
    if (!m_shown)
        return;
    platform::Log::write("JS Cancel is going to be executed");
    evalJs("datePicker._dateSelectionCanceled();");
    hide();
}

void DatePicker::dateChangedAction() {
    if (m_datePicker)
        evalJs(platform::formatString("datePicker._dateSelected(\"%f\");", m_datePicker->date().secondsSince1970));
}

void DatePicker::updateDatePicker(const platform::Dictionary& options) {
    const platform::Date now = platform::DateFormatter::now();
    const platform::Value* allowOld = options.find("allowOldDates");
    std::optional<platform::Date> minimum;
    if (!allowOld || allowOld->integerValue() == 0)
        minimum = now;
    if (std::optional<platform::Date> date = dateOption(options["minDate"]))
        minimum = date;
    const platform::Value* allowFuture = options.find("allowFutureDates");
    std::optional<platform::Date> maximum;
    if (!allowFuture || allowFuture->integerValue() == 0)
        maximum = now;
    if (std::optional<platform::Date> date = dateOption(options["maxDate"]))
        maximum = date;
    m_datePicker->setMinimumDate(minimum);
    m_datePicker->setMaximumDate(maximum);

    m_datePicker->setDate(dateOption(options["date"]).value_or(now));
    m_datePicker->setDatePickerMode(modeOption(options["mode"]));
    const std::int64_t interval = options["minuteInterval"].integerValue();
    if (interval != 0)
        m_datePicker->setMinuteInterval(static_cast<int>(std::clamp<std::int64_t>(interval, INT_MIN, INT_MAX)));
    if (const std::string* locale = options["locale"].getString(); locale && !locale->empty())
        m_datePicker->setLocale(*locale);
}

void DatePicker::updateCancelButton(const platform::Dictionary& options) {
    m_cancelButton->setTitle(buttonLabel(options["cancelButtonLabel"], "Cancel"), platform::kControlStateNormal);
    m_cancelButton->setTintColor(colorFromHexString(options["cancelButtonColor"].stringOr("")));
}

void DatePicker::updateDoneButton(const platform::Dictionary& options) {
    m_doneButton->setTitle(buttonLabel(options["doneButtonLabel"], "Done"), platform::kControlStateNormal);
    m_doneButton->setTintColor(colorFromHexString(options["doneButtonColor"].stringOr("")));
}

platform::Color DatePicker::colorFromHexString(const std::string& text) {
    // The platform's hexadecimal scan: blanks skipped, an optional "0x", then as many digits as there
    // are; a number past 32 bits reads as the largest.
    std::size_t i = 1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
        ++i;
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && isHexDigit(text[i + 2]))
        i += 2;
    if (i >= text.size() || !isHexDigit(text[i]))
        return platform::Color::black();
    std::uint64_t value = 0;
    for (; i < text.size() && isHexDigit(text[i]); ++i) {
        value = std::min<std::uint64_t>(value * 16 + static_cast<unsigned>(platform::hexDigitValue(text[i])), UINT32_MAX);
    }
    return platform::Color::fromRGBA255(static_cast<int>((value >> 16) & 0xff), static_cast<int>((value >> 8) & 0xff),
                                        static_cast<int>(value & 0xff));
}

void DatePicker::loadViews() {
    m_datePickerContainer = std::make_shared<platform::View>();
    m_datePickerContainer->setOpaque(false);
    m_datePickerContainer->setBackgroundColor(platform::Color::black().withAlpha(kDimmedAlpha));

    m_datePickerComponentsContainer = std::make_shared<platform::View>();
    m_datePickerComponentsContainer->setBackgroundColor(platform::Color::white());
    m_datePickerContainer->addSubview(m_datePickerComponentsContainer);

    auto self = std::static_pointer_cast<DatePicker>(shared_from_this());
    std::weak_ptr<DatePicker> weak = self;
    m_cancelButton = platform::Button::create(platform::ButtonType::System);
    m_cancelButton->setContentHorizontalAlignment(platform::ContentHorizontalAlignment::Left);
    m_cancelButton->addTarget(weak, [weak](platform::Control&) {
        if (auto plugin = weak.lock())
            plugin->cancelAction();
    }, platform::kControlEventTouchUpInside);
    m_doneButton = platform::Button::create(platform::ButtonType::System);
    m_doneButton->setContentHorizontalAlignment(platform::ContentHorizontalAlignment::Right);
    m_doneButton->addTarget(weak, [weak](platform::Control&) {
        if (auto plugin = weak.lock())
            plugin->doneAction();
    }, platform::kControlEventTouchUpInside);
    m_separator = std::make_shared<platform::View>();
    m_separator->setBackgroundColor(platform::Color::grey(0.8));
    m_datePicker = std::make_shared<platform::DatePicker>();
    m_datePicker->addTarget(weak, [weak](platform::Control&) {
        if (auto plugin = weak.lock())
            plugin->dateChangedAction();
    }, platform::kControlEventValueChanged);

    for (const std::shared_ptr<platform::View>& view :
         {std::static_pointer_cast<platform::View>(m_cancelButton), std::static_pointer_cast<platform::View>(m_doneButton), m_separator,
          std::static_pointer_cast<platform::View>(m_datePicker)})
        m_datePickerComponentsContainer->addSubview(view);
}

void DatePicker::layoutSheet(platform::Size size) {
    const double pickerHeight = m_datePicker->frame().size.height > 0 ? m_datePicker->frame().size.height : 216;
    const double sheetHeight = kBarHeight + pickerHeight;
    m_datePickerComponentsContainer->setFrame(platform::Rect(0, size.height - sheetHeight, size.width, sheetHeight));
    m_cancelButton->setFrame(platform::Rect(kButtonMargin, 0, kButtonWidth, kBarHeight));
    m_doneButton->setFrame(platform::Rect(size.width - kButtonMargin - kButtonWidth, 0, kButtonWidth, kBarHeight));
    m_separator->setFrame(platform::Rect(0, kBarHeight - 0.5, size.width, 0.5));
    m_datePicker->setFrame(platform::Rect(0, kBarHeight, size.width, pickerHeight));
}

void DatePicker::evalJs(std::string script) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->evalJs(std::move(script));
}

} // namespace plugins
