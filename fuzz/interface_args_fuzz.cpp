// Sends any JSON argument array to the interface plug-ins on the headless views: ActionSheet show (then a
// tap on one of its buttons, or hide), PickerView show (then spins the input chooses, then Done or
// Cancel), DatePicker show (then user dates, then Done or Cancel) and the Keyboard's flags. The first
// bytes of the input choose the moves; the rest is the JSON text. Every show answers at most once (the
// action sheet's hide answers OK, then -1, by design), and nothing crashes.
#include "CallbackCountingDelegate.h"
#include "PluginStage.h"
#include "platform/formats/JSON.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Label.h"
#include "platform/ui/TouchDriver.h"
#include "platform/web/WebView.h"
#include "plugins/ActionSheet.h"
#include "plugins/DatePicker.h"
#include "plugins/HYBKeyboard.h"
#include "plugins/PickerViewPlugin.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>

namespace {

using CountingDelegate = fuzzing::CallbackCountingDelegate;

struct Stage : fuzzing::PluginStage {
    void settle() { clock.advance(1.0); }
};

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

Stage* g_stage = nullptr;

} // namespace

// The stage, and the text engine's caches warmed (fonts load once per process, not per input).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_stage = new Stage;
    platform::Label label(platform::Rect(0, 0, 100, 20));
    label.setText("Warm 字体");
    (void)label.sizeThatFits(platform::Size{100, 20});
    std::unique_ptr<platform::ImageContext> context = platform::ImageContext::begin(platform::Size{100, 20}, 1);
    label.drawRect(label.bounds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Stage& stage = *g_stage;
    FuzzedDataProvider input(data, size);
    std::vector<std::uint8_t> moves = input.ConsumeBytes<std::uint8_t>(8);
    moves.resize(8, 0);
    const std::string text = input.ConsumeRemainingBytesAsString();
    auto parsed = platform::JSON::parse(text);
    if (!parsed.ok() || !parsed->isArray())
        return 0;
    const platform::Array& arguments = *parsed->getArray();
    auto delegate = std::make_shared<CountingDelegate>();
    auto run = [&](runtime::HYBPlugin& plugin, const char* action, const char* callbackId) {
        check(plugin.performAction(action, runtime::HYBInvokedUrlCommand(arguments, callbackId, "Interface", action)));
    };

    // Action sheet: a tap on a button, a tap outside, or hide.
    {
        auto plugin = stage.attach<plugins::ActionSheet>(delegate);
        run(*plugin, "show", "sheet");
        stage.settle();
        std::shared_ptr<platform::ActionSheet> sheet = plugins::ActionSheet::currentSheet();
        check(sheet && sheet->isVisible());
        const auto buttons = sheet->buttonViews();
        std::vector<std::shared_ptr<platform::View>> shown;
        for (const auto& view : buttons)
            if (view)
                shown.push_back(view);
        const bool hide = moves[0] % 4 == 0 || shown.empty();
        if (hide)
            run(*plugin, "hide", "hide");
        else
            platform::TouchDriver::tap(*shown[moves[1] % shown.size()]);
        stage.settle();
        if (sheet->isVisible()) {  // a tap between the buttons of a pad's box, say
            sheet->dismissWithClickedButtonIndex(-2, false);
            stage.settle();
        }
        check(delegate->answers["sheet"] == (hide ? 2 : 1));
        check(!delegate->answers.contains("hide"));
    }

    // Picker: spins, then Done or Cancel.
    {
        auto plugin = stage.attach<plugins::PickerViewPlugin>(delegate);
        run(*plugin, "show", "picker");
        if (plugin->pickerView()) {
            check(delegate->answers["picker"] == 0);
            platform::PickerView& wheel = *plugin->pickerView();
            for (std::size_t i = 2; i + 1 < moves.size(); i += 2) {
                const long columns = wheel.numberOfComponents();
                if (columns <= 0)
                    break;
                const long column = moves[i] % columns;
                const long rows = wheel.numberOfRows(column);
                wheel.spin(column, rows > 0 ? moves[i + 1] % rows : 0);
            }
            run(*plugin, "hide", "picker-hide");
            if (moves[7] % 2)
                plugin->onConfirm();
            else
                plugin->onCancel();
            plugin->onConfirm();  // a second press finds nothing shown
        }
        check(delegate->answers["picker"] == 1);
        check(!delegate->answers.contains("picker-hide"));
        stage.settle();
    }

    // Date picker: user dates, then Done or Cancel; it never answers.
    {
        auto plugin = stage.attach<plugins::DatePicker>(delegate);
        run(*plugin, "show", "date");
        stage.settle();
        if (auto picker = plugin->datePicker()) {
            picker->setDateAsUser(platform::Date{static_cast<double>(moves[2]) * 1e7});
            if (moves[3] % 2)
                plugin->doneAction();
            else
                plugin->cancelAction();
            stage.settle();
            check(!plugin->datePickerContainer()->superview());
        }
        check(!delegate->answers.contains("date"));
    }

    // Keyboard flags.
    {
        auto plugin = stage.attach<plugins::HYBKeyboard>(delegate);
        run(*plugin, "hideKeyboardAccessoryBar", "bar");
        run(*plugin, "disableScroll", "scroll");
        run(*plugin, "editingChanged", "editing");
        run(*plugin, "close", "close");
        stage.webView->scrollView().setContentOffset(platform::Point{0, 10});
        run(*plugin, "disableScroll", "scroll");
        check(!delegate->answers.contains("bar") && !delegate->answers.contains("scroll") && !delegate->answers.contains("editing"));
        stage.webView->endEditing(true);
    }
    stage.webView->scrollView().setContentOffset(platform::Point{});
    return 0;
}
