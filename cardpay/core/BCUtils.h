// Helpers of the payment screens: display metrics in points, the client's fixed colours, card-number
// checks and formats, text patterns, the keyboard bar, and the client's settings list.
//
// The settings list is a property list (a dictionary of texts) in the application's Library,
// "Library/BCPayClient.plist"; a missing or damaged list reads as empty.
//
// Thread: main thread only.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/system/InterfaceOrientation.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class Toolbar;
}

namespace cardpay {

// What the keyboard bar's Done button calls (held weakly).
class BCEditDoneTarget {
public:
    virtual ~BCEditDoneTarget() = default;
    virtual void editDone() = 0;
};

class BCUtils {
public:
    BCUtils() = delete;

    // Metrics of the current orientation (the status bar's), in points.
    static double displayWidth();
    static double displayHeight();
    static double statusBarHeight();
    static platform::Point displayCenter();
    // The status-bar height on system 7.0 and later, else 0.
    static double viewControllerBoundsOriginY();
    // Metrics of the orientation being rotated to: BCDataContainer's toRotationSize when both sides are
    // positive, else the current display turned a quarter.
    static double rotatedWidth();
    static double rotatedHeight();
    static double rotatedOffset();  // rotatedWidth() - displayWidth()
    static platform::Point rotatedDisplayCenter();
    // True when the new orientation and the status bar's belong to different families.
    static bool shouldChangeOrientation(platform::InterfaceOrientation orientation);
    static bool iOS7Device();
    static bool iPadDevice();

    static platform::Color navBarColor();
    static platform::Color navBarTitleColor();
    static platform::Color borderColor();
    static platform::Color focusedTextFieldBorderColor();
    static platform::Color greenTextColor();
    static platform::Color redTextColor();
    static platform::Color resultTitleColor();
    static platform::Color underLineNormalColor();
    static platform::Color adBackgroundColor();

    // 13 to 19 characters passing the Luhn check; characters that are not digits count as 0.
    static bool checkCardId(std::string_view card);
    // An address the road may open in its web page: an absolute http or https URL (the scheme in any
    // letter case). Server-given addresses of any other scheme ("file", "data", "javascript", ...) are not.
    static bool isWebAddress(std::string_view url);
    // A blank after every fourth character (also after the last complete group); none for empty input.
    static std::optional<std::string> getFormatCardID(std::string_view card);
    // The text with every blank removed.
    static std::string getNormalCardID(std::string_view card);
    // Whether the whole text matches the pattern (platform/text/RegularExpression.h).
    static bool isValidateTextField(std::string_view text, std::string_view regex);
    // The current Gregorian year (local time of the clock's wall time) as four digits.
    static std::string getCurrentYear();

    // A 44-point keyboard bar: a flexible space, then a Done button (text 10012) that calls the target's
    // `editDone`.
    static std::shared_ptr<platform::Toolbar> myToolBar(std::weak_ptr<BCEditDoneTarget> target);

    // The settings list.
    static std::optional<std::string> readUserIdFromFile(const std::string& key);
    static bool writeUserIdToFile(const std::string& value, const std::string& key);
    static std::string settingsListPath();

    // A device id on systems before 7.0, else none.
    static std::optional<std::string> currentUID();
    // "zh_CN", "en_US" or none, from the user's locale.
    static std::optional<std::string> currentLang();
    // The screen's size in pixels, "<width>*<height>".
    static std::string currentScreen();
};

} // namespace cardpay
