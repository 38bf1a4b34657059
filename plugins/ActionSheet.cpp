#include "plugins/ActionSheet.h"

#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Device.h"
#include "platform/web/WebView.h"
#include "plugins/PageText.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace plugins {

namespace {

// Main thread only, like the sheets themselves.
struct SheetState {
    struct Pending {
        std::shared_ptr<platform::ActionSheet> sheet;
        std::string callbackId;
    };
    std::shared_ptr<platform::ActionSheet> current;
    // Each sheet whose `show` has not been answered yet (with its callback id), oldest first.
    std::vector<Pending> pending;

    std::vector<Pending>::iterator find(const platform::ActionSheet* sheet) {
        return std::find_if(pending.begin(), pending.end(), [sheet](const Pending& p) { return p.sheet.get() == sheet; });
    }
    void forget(const platform::ActionSheet* sheet) {
        if (auto it = find(sheet); it != pending.end())
            pending.erase(it);
    }
};

SheetState& state() {
    static auto* shared = new SheetState;  // never destroyed: sheets may answer during exit
    return *shared;
}

double coordinate(const platform::Value& value) {
    if (!value.isNumber())
        return 0;
    const double number = value.doubleValue();
    if (std::isnan(number))
        return 0;
    return std::trunc(std::clamp(number, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

} // namespace

void ActionSheet::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<ActionSheet>("ActionSheet");
    (void)registered;
}

const runtime::HYBActionTable& ActionSheet::actions() const {
    static const runtime::HYBActionTable table =
        runtime::HYBActionTable::of<ActionSheet>({{"show", &ActionSheet::show}, {"hide", &ActionSheet::hide}});
    return table;
}

std::shared_ptr<platform::ActionSheet> ActionSheet::currentSheet() { return state().current; }

platform::Rect ActionSheet::getPopupRectFromIPadPopupCoordinates(const platform::Value& coordinates) {
    const platform::Array& c = coordinates.arrayOrEmpty();
    if (c.size() == 2)
        return platform::Rect(coordinate(c[0]), coordinate(c[1]), 0, 0);
    if (c.size() == 4)
        return platform::Rect(coordinate(c[0]), coordinate(c[1]), coordinate(c[2]), coordinate(c[3]));
    return platform::Rect();
}

void ActionSheet::show(const runtime::HYBInvokedUrlCommand& command) {
    const platform::Value argument = command.argumentAtIndex(0);
    const platform::Dictionary& options = argument.dictionaryOrEmpty();
    const std::optional<std::string> title = encodeString(pageText(options["title"]));
    const platform::Array& labels = options["buttonLabels"].arrayOrEmpty();
    const std::optional<std::string> cancelLabel = encodeString(pageText(options["addCancelButtonWithLabel"]));
    const std::optional<std::string> destructiveLabel = encodeString(pageText(options["addDestructiveButtonWithLabel"]));
    const platform::Value* position = options.find("position");

    auto self = std::static_pointer_cast<ActionSheet>(shared_from_this());
    std::shared_ptr<platform::ActionSheet> sheet = platform::ActionSheet::create(title.value_or(""), self);
    if (destructiveLabel)
        sheet->setDestructiveButtonIndex(sheet->addButtonWithTitle(*destructiveLabel));
    for (const platform::Value& label : labels)
        sheet->addButtonWithTitle(encodeString(pageText(label)).value_or(""));
    if (cancelLabel)
        sheet->setCancelButtonIndex(sheet->addButtonWithTitle(*cancelLabel));

    SheetState& shared = state();
    shared.current = sheet;
    if (command.callbackId())
        shared.pending.push_back({sheet, *command.callbackId()});

    const bool anchored = position && !position->isNull() &&
                          platform::Device::current().userInterfaceIdiom() == platform::UserInterfaceIdiom::Pad;
    const platform::Rect anchor = anchored ? getPopupRectFromIPadPopupCoordinates(*position) : platform::Rect();
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak, sheet, anchored, anchor] {
        auto plugin = weak.lock();
        std::shared_ptr<platform::WebView> webView = plugin ? plugin->webView() : nullptr;
        if (!webView) {
            state().forget(sheet.get());
            return;
        }
        std::shared_ptr<platform::View> host = webView->superview();
        platform::View& view = host ? *host : static_cast<platform::View&>(*webView);
        if (anchored)
            sheet->showFromRect(anchor, view, true);
        else
            sheet->showInView(view);
    });
}

void ActionSheet::hide(const runtime::HYBInvokedUrlCommand&) {
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
        auto self = std::static_pointer_cast<ActionSheet>(weak.lock());
        if (!self)
            return;
        // Every sheet still on screen goes, newest first, so none is left over the page unanswered.
        std::vector<SheetState::Pending> shown;
        for (const SheetState::Pending& p : state().pending)
            if (p.sheet->isVisible())
                shown.insert(shown.begin(), p);
        for (const SheetState::Pending& p : shown) {
            p.sheet->dismissWithClickedButtonIndex(-2, true);
            if (auto delegate = self->commandDelegate())
                delegate->sendPluginResult(runtime::HYBPluginResult::resultWithStatus(runtime::HYBCommandStatus::Ok), p.callbackId);
        }
    });
}

void ActionSheet::dispose() {
    // Sheets of a page that is going go with it, answered as dismissed.
    std::vector<SheetState::Pending> mine;
    for (const SheetState::Pending& p : state().pending)
        if (p.sheet->delegate().get() == static_cast<platform::ActionSheetDelegate*>(this))
            mine.push_back(p);
    for (const SheetState::Pending& p : mine)
        p.sheet->dismissWithClickedButtonIndex(-2, false);
    HYBPlugin::dispose();
}

void ActionSheet::didDismissWithButtonIndex(platform::ActionSheet& sheet, long index) {
    answer(sheet, runtime::HYBPluginResult::messageAsInt(runtime::HYBCommandStatus::Ok, static_cast<std::int32_t>(index + 1)));
}

void ActionSheet::answer(platform::ActionSheet& sheet, runtime::HYBPluginResult result) {
    SheetState& shared = state();
    auto it = shared.find(&sheet);
    if (it == shared.pending.end())
        return;
    std::string callbackId = std::move(it->callbackId);
    shared.pending.erase(it);
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), std::move(callbackId));
}

} // namespace plugins
