// The page's "ActionSheet" service: a native action sheet (title, destructive button, labelled buttons,
// cancel button) over the web view; the page hears the number of the button the user chose.
//
// Guarantees:
// - Main thread: the sheet is built, shown and answered there (platform views are main-thread only).
// - `show` answers later, once, with OK and the chosen button's 1-based number in display order: the
//   destructive button first, then the labels, then the cancel button. Nothing is answered at once.
// - Class-wide: the current sheet is the last one built. `hide` dismisses every sheet still on screen
//   (two `show` calls leave two), newest first: each `show` is answered OK without a message, then -1 by
//   its dismissal. A sheet that already answered is not answered again, and each sheet answers its own
//   `show` (a second `show` does not take over the first sheet's answer). dispose() dismisses the plug-in's
//   sheets at once, each answered -1.
// - A phone sheet taller than the screen scrolls its title and buttons (the cancel button stays in
//   view); see platform/ui/ActionSheet.h.
// - Bad input: options that are not a dictionary give an empty sheet; "buttonLabels" that is not an array
//   gives no labels; a label (or title) that is not a string shows as its text. On a pad with
//   "position", the sheet points at the rectangle of getPopupRectFromIPadPopupCoordinates.
// Made by the name "ActionSheet" once registerClass() ran.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/ActionSheet.h"
#include "runtime/HYBPlugin.h"

#include <memory>
#include <optional>
#include <string>

namespace plugins {

class ActionSheet : public runtime::HYBPlugin, public platform::ActionSheetDelegate {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    // ---- page actions ----
    // 0: the options dictionary ("title", "buttonLabels", "addCancelButtonWithLabel",
    // "addDestructiveButtonWithLabel", "position").
    void show(const runtime::HYBInvokedUrlCommand& command);
    void hide(const runtime::HYBInvokedUrlCommand& command);

    void dispose() override;

    void didDismissWithButtonIndex(platform::ActionSheet& sheet, long index) override;

    // Texts shown in the sheet, as given.
    static std::optional<std::string> encodeString(std::optional<std::string> text) { return text; }
    // [x, y] -> (x, y, 0, 0); [x, y, width, height] -> that rectangle; anything else the empty rectangle
    // at (0, 0). Elements are read as integers (non-numbers 0, out of range clamped).
    static platform::Rect getPopupRectFromIPadPopupCoordinates(const platform::Value& coordinates);

    // The sheet `hide` dismisses (the last one built), for tests.
    static std::shared_ptr<platform::ActionSheet> currentSheet();

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "ActionSheet"; }

private:
    void answer(platform::ActionSheet& sheet, runtime::HYBPluginResult result);
};

} // namespace plugins
