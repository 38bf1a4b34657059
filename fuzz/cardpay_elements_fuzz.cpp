// Builds the payment screens' server-described views from arbitrary input, then plays keys on them.
// The input is a JSON text, a zero byte, then key bytes. The JSON is an element list, or an object with
// "elements" (an element list), "alert" (a server alert dictionary) and "check" (a check box's
// contents). Each key byte picks a cell and a key: a digit, delete, Done, a typed character or a
// selection. After every key the form's parameters must make one JSON object.
#include "JsonThenActions.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "cardpay/views/BCCheckBoxViews.h"
#include "platform/formats/JSON.h"
#include "platform/ui/TextInputDriver.h"

#include <cstddef>
#include <cstdint>

namespace {

struct Screen final : cardpay::BCTextFieldDelegate {
    void textFieldChangeType(int) override {}
};

void expectOneObject(const std::string& params) {
    const auto parsed = platform::JSON::parse("{" + params + "}");
    if (!parsed.ok() || !parsed.value().getDictionary())
        __builtin_trap();  // a parameter text that is not one object
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzzing::JsonThenActions split = fuzzing::splitJsonThenActions(data, size);
    if (!split.json)
        return 0;
    const platform::Value& parsed = *split.json;
    cardpay::BCDataContainer::destory();
    cardpay::BCDataContainer::instance()->setMMessageBlock(std::string("6222020200001234"));

    platform::Array elements;
    if (const platform::Array* list = parsed.getArray())
        elements = *list;
    if (const platform::Dictionary* object = parsed.getDictionary()) {
        if (const platform::Array* list = (*object)["elements"].getArray())
            elements = *list;
        if (const platform::Dictionary* alert = (*object)["alert"].getDictionary()) {
            auto box = std::make_shared<cardpay::BCAlertViewEx>(platform::Rect(0, 0, 375, 667));
            box->showAlertViewWithItem(*alert, [](const std::optional<std::string>&) {});
            if (box->okButton())
                box->okButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
            if (box->cancelButton())
                box->cancelButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
            box->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
        }
        if (const platform::Dictionary* check = (*object)["check"].getDictionary()) {
            auto box = std::make_shared<cardpay::BCCheckBoxView>(platform::Rect(0, 0, 375, 0), *check,
                                                                 std::weak_ptr<cardpay::BCCheckBoxDelegate>());
            box->checkboxClick();
            expectOneObject(box->checkBoxParams());
        }
    }

    auto screen = std::make_shared<Screen>();
    cardpay::BCPaymentElementsView form(platform::Rect(0, 0, 375, 0), elements, screen);
    std::vector<std::shared_ptr<cardpay::BCBaseCell>> cells;
    for (const auto& view : form.elementArray())
        if (auto cell = std::dynamic_pointer_cast<cardpay::BCBaseCell>(view))
            cells.push_back(std::move(cell));
    expectOneObject(form.paymentParams());
    if (cells.empty())
        return 0;
    for (std::size_t i = 0; i < split.actionCount; ++i) {
        const std::uint8_t key = split.actions[i];
        cardpay::BCBaseCell& cell = *cells[(key >> 4) % cells.size()];
        const int action = key & 0x0F;
        if (action < 10)
            cell.keyboard()->digitKey(action)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
        else if (action == 10)
            cell.keyboard()->deleteKey()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
        else if (action == 11)
            platform::TextInputDriver::type(*cell.textField(), "\"\\x");
        else if (action == 12)
            cardpay::setSelectedRange(*cell.textField(), {key % 7u, key % 3u});
        else if (action == 13)
            cell.deleteClick();
        else if (action == 14)
            cell.textChanged(std::string(1, static_cast<char>('0' + key % 10)));
        else
            form.willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
        expectOneObject(form.paymentParams());
        expectOneObject(form.smsParams());
        (void)form.checkPaymentParamsError();
    }
    return 0;
}
