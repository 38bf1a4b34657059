#include "platform/ui/TextInputDriver.h"

#include "platform/core/Log.h"
#include "platform/ui/Button.h"
#include "platform/ui/TextField.h"

#include <glib.h>

namespace platform {

bool TextInputDriver::focus(TextField& field) { return field.becomeFirstResponder(); }

std::size_t TextInputDriver::type(TextField& field, const std::string& text) {
    if (!g_utf8_validate_len(text.data(), static_cast<gsize>(text.size()), nullptr)) {
        Log::write("TextInputDriver: input that is not valid UTF-8 was refused");
        return 0;
    }
    std::size_t inserted = 0;
    for (const char* p = text.data(); p < text.data() + text.size();) {
        const char* next = g_utf8_next_char(p);
        inserted += field.insertText(std::string(p, next)) ? 1 : 0;
        p = next;
    }
    return inserted;
}

bool TextInputDriver::backspace(TextField& field) { return field.deleteBackward(); }

bool TextInputDriver::pressReturn(TextField& field) { return field.returnKey(); }

bool TextInputDriver::tapClearButton(TextField& field) { return field.isClearButtonShown() && field.clear(); }

namespace {
Button* findKey(View& view, const std::string& key) {
    if (auto* b = dynamic_cast<Button*>(&view); b && b->titleForState(kControlStateNormal) == key)
        return b;
    for (const auto& child : view.subviews())
        if (Button* found = findKey(*child, key))
            return found;
    return nullptr;
}
} // namespace

bool TextInputDriver::pressKey(TextField& field, const std::string& key) {
    auto input = field.inputView();
    Button* button = input ? findKey(*input, key) : nullptr;
    if (!button || !button->isEnabled())
        return false;
    button->sendActionsForControlEvents(kControlEventTouchDown | kControlEventTouchUpInside);
    return true;
}

} // namespace platform
