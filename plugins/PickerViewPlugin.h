// The page's "PickerView" service: a picker wheel at the bottom of the screen with one or more linked
// columns (each lists the "subItems" of the item chosen in the column to its left) under a toolbar of
// Cancel, a caption and Done, over a dimmed page.
//
// Guarantees:
// - Main thread only.
// - `show` (0: the item array, 1: the options) answers once: OK with the array of selected item
//   dictionaries (Done) or OK with "cancel" (Cancel). Its arguments are checked before anything is
//   shown; when they cannot be shown it answers Error with a text saying why: argument 0 must be a
//   non-empty array of dictionaries, argument 1 a dictionary with a "level" of 1 or more, and every item
//   that can be chosen in the columns 0 to level - 2 needs a non-empty "subItems" array of dictionaries.
// - A `show` while a picker is up removes the shown picker first and answers its call "cancel".
// - Moving column c shows the "subItems" of the chosen item in column c + 1 with its first row
//   selected; columns further right keep their lists until their left neighbour moves. The caption shows
//   the "subtext" of the last column's chosen item, when it has one.
// - `hide` does nothing. Titles that are not strings show as their text; button options whose "text" is
//   not a string keep the titles "Done" and "Cancel".
// Made by the name "PickerViewPlugin" once registerClass() ran.
#pragma once

#include "platform/core/Color.h"
#include "platform/ui/Label.h"
#include "platform/ui/PickerView.h"
#include "platform/ui/Toolbar.h"
#include "runtime/HYBPlugin.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plugins {

class PickerViewPlugin : public runtime::HYBPlugin, public platform::PickerViewDataSource, public platform::PickerViewDelegate {
public:
    static constexpr double kToolbarHeight = 44;
    static constexpr double kSheetHeight = 260;  // the toolbar and the wheel

    using HYBPlugin::HYBPlugin;
    ~PickerViewPlugin() override;

    static void registerClass();

    // ---- page actions ----
    void show(const runtime::HYBInvokedUrlCommand& command);
    void hide(const runtime::HYBInvokedUrlCommand& command);

    // ---- the wheel's data source and delegate ----
    long numberOfComponents(platform::PickerView& pickerView) override;
    long numberOfRows(platform::PickerView& pickerView, long component) override;
    std::optional<std::string> titleForRow(platform::PickerView& pickerView, long row, long component) override;
    std::optional<double> widthForComponent(platform::PickerView& pickerView, long component) override;
    std::shared_ptr<platform::View> viewForRow(platform::PickerView& pickerView, long row, long component,
                                               std::shared_ptr<platform::View> reusing) override;
    void didSelectRow(platform::PickerView& pickerView, long row, long component) override;

    // ---- the toolbar's buttons ----
    void onConfirm();
    void onCancel();

    // "#rrggbb" or "0xrrggbb" (any case) or "rrggbb" of more than 5 characters; black otherwise.
    static platform::Color colorWithHexColorString(const std::string& text);
    // Why the arguments cannot be shown, or nothing when they can.
    static std::optional<std::string> invalidArguments(const platform::Value& items, const platform::Value& options);

    // The shown views (nullptr when none), for tests.
    const std::shared_ptr<platform::View>& maskView() const { return m_maskView; }
    const std::shared_ptr<platform::PickerView>& pickerView() const { return m_pickerView; }
    const std::shared_ptr<platform::Toolbar>& toolbar() const { return m_toolbar; }
    const std::shared_ptr<platform::Label>& label() const { return m_label; }
    // The item chosen in each column.
    platform::Array selectedItems() const;

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "PickerViewPlugin"; }

private:
    void createPickerView(platform::View& host);
    void updateCaption();
    void removeViews();
    void finish(runtime::HYBPluginResult result);
    const platform::Dictionary& itemAt(long column, long row) const;

    std::shared_ptr<platform::View> m_maskView;
    std::shared_ptr<platform::PickerView> m_pickerView;
    std::shared_ptr<platform::Toolbar> m_toolbar;
    std::shared_ptr<platform::Label> m_label;
    platform::Array m_data;
    platform::Dictionary m_options;
    long m_level = 0;
    std::optional<std::string> m_callbackId;
    // Per column: the list shown (inside m_data, which does not change while shown) and the row chosen.
    std::vector<const platform::Array*> m_values;
    std::vector<long> m_selected;
};

} // namespace plugins
