// Types into text fields as a user would, without a display: tests (and the window host, which feeds
// the desktop's keys through it) focus a field, type characters, press backspace and return, tap the
// clear button and press keys of a custom input view.
//
// Guarantees: main thread only. Each typed character (one code point) is a separate question to the
// delegate, inserted at the selection when allowed. Input that is not valid UTF-8 is refused whole.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class TextField;

class TextInputDriver {
public:
    // The user taps the field: it becomes first responder unless it (or its delegate) refuses.
    static bool focus(TextField& field);
    // Types each character of `text`; answers how many were inserted.
    static std::size_t type(TextField& field, const std::string& text);
    static bool backspace(TextField& field);
    // The return key; answers the delegate's reply.
    static bool pressReturn(TextField& field);
    // Taps the clear button; false when it is not shown.
    static bool tapClearButton(TextField& field);
    // Taps the button titled `key` in the field's input view (a custom keyboard); false when none.
    static bool pressKey(TextField& field, const std::string& key);
};

} // namespace platform
