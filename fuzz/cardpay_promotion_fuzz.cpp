// Builds a promotion view and an instalment view from arbitrary elements, then plays choices on them.
// The input is a JSON text, a zero byte, then action bytes. The JSON is an object with "promotion" and
// "instalment" (elements), "choices" (options offered as panel choices) and "plans" (an element of new
// plans); anything else counts as empty. Each action byte flips a switch, opens or closes a view, picks a
// panel choice or a plan, opens the chooser or takes new plans. After every action each view's parameter
// must be empty or exactly one JSON member.
#include "JsonThenActions.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/promotion/BCPromotionView.h"
#include "platform/formats/JSON.h"
#include "platform/ui/ViewController.h"

#include <cstddef>
#include <cstdint>

namespace {

struct Screen final : platform::ViewController, cardpay::BCPromotionViewDelegate {
    void promotionAndInstalmentCooperate(cardpay::BCPromotionView& view) override { view.animationWithStatus(view.didSelected()); }
};

void expectEmptyOrOneMember(const std::string& params) {
    if (params.empty())
        return;
    const auto parsed = platform::JSON::parse("{" + params + "}");
    if (!parsed.ok() || !parsed.value().getDictionary() || parsed.value().getDictionary()->size() != 1)
        __builtin_trap();  // a parameter that is not one member
}

const platform::Dictionary& dictionaryAt(const platform::Value& object, const char* key) {
    return object[key].dictionaryOrEmpty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzzing::JsonThenActions split = fuzzing::splitJsonThenActions(data, size);
    if (!split.json)
        return 0;
    cardpay::BCDataContainer::destory();
    const platform::Value& input = *split.json;
    const platform::Array& choices = input["choices"].arrayOrEmpty();

    auto screen = std::make_shared<Screen>();
    auto promotion = cardpay::BCPromotionView::create(platform::Rect(0, 0, 375, 0), dictionaryAt(input, "promotion"), 0,
                                                      cardpay::BCPromotionView::Promotion);
    auto instalment = cardpay::BCPromotionView::create(platform::Rect(0, 0, 375, 0), dictionaryAt(input, "instalment"), 12,
                                                       cardpay::BCPromotionView::Instalment);
    promotion->setDelegate(screen);
    instalment->setDelegate(screen);
    screen->view()->addSubview(promotion);
    screen->view()->addSubview(instalment);
    expectEmptyOrOneMember(promotion->optionParams());
    expectEmptyOrOneMember(instalment->optionParams());

    cardpay::BCListView list(platform::Rect(), {});
    for (std::size_t i = 0; i < split.actionCount; ++i) {
        const std::uint8_t key = split.actions[i];
        const unsigned argument = key >> 3;
        switch (key & 0x07) {
        case 0: promotion->checkBox()->tapAction(); break;
        case 1: instalment->checkBox()->tapAction(); break;
        case 2:
            if (!choices.empty())
                promotion->panelViewWithCoupon(choices[argument % choices.size()].dictionaryOrEmpty());
            break;
        case 3: instalment->listViewDidSelectedAtIndex(list, static_cast<long>(argument) - 2); break;
        case 4: instalment->refreshInstalmentList(dictionaryAt(input, "plans")); break;
        case 5: (argument & 1 ? promotion : instalment)->animationWithStatus(argument & 2); break;
        case 6: instalment->showPromotionListView(); break;
        default: promotion->showPromotionListView(); break;
        }
        expectEmptyOrOneMember(promotion->optionParams());
        expectEmptyOrOneMember(instalment->optionParams());
        if (promotion->frame().size.height < cardpay::BCPromotionView::kHideHeight)
            __builtin_trap();  // a view closed below its switch row
    }
    return 0;
}
