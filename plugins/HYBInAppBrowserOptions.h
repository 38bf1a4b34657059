// The options of an in-app browser, read from the page's option string: pieces "key=value" separated by
// ",". Each option is a field named exactly as its key.
//
// Guarantees:
// - parseOptions never fails: a piece that is not exactly one "=" between two parts is skipped, a key
//   that names no option is skipped (keys are compared in lower case and never trimmed, so " toolbar"
//   names nothing), and every option not given keeps its default.
// - Values, read in lower case, take one of three forms: a decimal number ("1", "-0.5"), "yes"/"no", or
//   text. A boolean option is true for a non-zero number, "yes", or text that starts with Y, y, T, t or
//   a digit 1 to 9. A text option keeps the value as the page wrote it, whatever its form.
// - Pure; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plugins {

struct HYBInAppBrowserOptions {
    bool location = true;
    bool toolbar = true;
    std::optional<std::string> closebuttoncaption;
    std::string toolbarposition = "bottom";
    bool clearcache = false;
    bool clearsessioncache = false;
    std::optional<std::string> presentationstyle;
    std::optional<std::string> transitionstyle;
    bool enableviewportscale = false;
    bool mediaplaybackrequiresuseraction = false;
    bool allowinlinemediaplayback = false;
    bool keyboarddisplayrequiresuseraction = true;
    bool suppressesincrementalrendering = false;
    bool hidden = false;
    bool disallowoverscroll = false;

    static HYBInAppBrowserOptions parseOptions(std::string_view options);

    friend bool operator==(const HYBInAppBrowserOptions&, const HYBInAppBrowserOptions&) = default;
};

} // namespace plugins
