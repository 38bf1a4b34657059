// Builds the user-information screen from an arbitrary user-information answer and plays a user and the
// server on it. The input is a JSON text, a zero byte, then action bytes. The JSON is an object with
// "user" (the answer's params, mapped as the core maps them), "rules" (a card form's answer) and "plans"
// (an instalment answer); anything else counts as empty. Each action byte chooses a row of the card list
// (or an index outside it), asks for a phone change, presses Next, flips a chooser's switch, delivers a
// card form (3006), plans (3019) or a failure, or grows the points cell. The road has no transaction
// number, so nothing is sent. After every action the payment's parameters must join into one JSON object
// and the body must hold its Next button.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCReplyMapper.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "platform/formats/JSON.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

void expectOneObject(const cardpay::BCUserInfoViewController& screen) {
    std::string params = R"("pay_type":"1")";
    for (const std::string& part : {screen.paymentParams(), screen.promotionView() ? screen.promotionView()->optionParams() : std::string(),
                                    screen.instalmentView() ? screen.instalmentView()->optionParams() : std::string()})
        if (!part.empty())
            params += "," + part;
    const auto parsed = platform::JSON::parse("{" + params + "}");
    if (!parsed.ok() || !parsed.value().getDictionary())
        __builtin_trap();  // a parameter text that breaks the command
}

void expectNextInBody(const cardpay::BCUserInfoViewController& screen) {
    const auto& next = screen.mBtnNext();
    const auto& body = screen.mainView();
    if (!next || !body || next->superview() != body || next->frame().maxY() > body->frame().size.height + 0.5)
        __builtin_trap();  // Next outside the body
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(bytes, 0, size);
    const std::size_t jsonSize = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : size;
    const auto parsed = platform::JSON::parse(std::string_view(bytes, jsonSize));
    if (!parsed.ok())
        return 0;
    const platform::Value& input = parsed.value();
    cardpay::BCDataContainer::destory();
    const auto container = cardpay::BCDataContainer::instance();
    container->apply(cardpay::BCReplyMapper::userInfoReply(input["user"].dictionaryOrEmpty()));

    auto screen = std::make_shared<cardpay::BCUserInfoViewController>();
    screen->view();
    expectOneObject(*screen);
    expectNextInBody(*screen);
    for (std::size_t i = jsonSize + 1; i < size; ++i) {
        const std::uint8_t key = data[i];
        const long argument = static_cast<long>(key >> 3) - 2;
        switch (key & 0x07) {
        case 0:
            screen->showBindCardsList();
            if (screen->cardListView())
                screen->listViewDidSelectedAtIndex(*screen->cardListView(), argument);
            break;
        case 1: screen->modifyAction(std::nullopt); break;
        case 2: screen->nextAction(); break;
        case 3:
            if (const auto& view = argument & 1 ? screen->promotionView() : screen->instalmentView())
                view->checkBox()->tapAction();
            break;
        case 4:
            container->apply(cardpay::BCReplyMapper::rulesReply(input["rules"].dictionaryOrEmpty()));
            screen->comunicateToBCMPDidSucceedWithEvent(cardpay::kBCEventRules);
            break;
        case 5:
            container->apply(cardpay::BCReplyMapper::instalmentReply(input["plans"].dictionaryOrEmpty()));
            screen->comunicateToBCMPDidSucceedWithEvent(cardpay::kBCEventInstalment);
            break;
        case 6: screen->comunicateToBCMPDidFailWithErrorType(2000 + static_cast<int>(key >> 3) % 12, "failed"); break;
        default:
            if (const auto cell = std::dynamic_pointer_cast<cardpay::BCPointCell>(container->pointCell()))
                screen->pointCellKeyPathChanged(*cell, static_cast<double>(argument));
            break;
        }
        screen->dismissAlertView();
        expectOneObject(*screen);
        expectNextInBody(*screen);
    }
    return 0;
}
