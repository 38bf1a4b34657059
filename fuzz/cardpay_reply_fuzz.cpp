// Feeds arbitrary bytes to the bank-card service objects as the reply to a command: the first byte
// chooses the command (init, sms, payment and its first poll, user information, the rules-type
// commands, unbinding, instalment, lucky draw, points, coupon), the rest is the reply body. A transport
// stand-in hands the body back. Every reply must give at most one answer per request, and a failure
// must leave the state object as it was.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCMPService.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace {

class ReplayTransport final : public cardpay::BCCommandTransport {
public:
    RequestID send(const std::string&, Completion completion) override {
        pending.push_back({++m_next, std::move(completion)});
        return m_next;
    }
    void cancel(RequestID id) override { std::erase_if(pending, [id](const auto& p) { return p.first == id; }); }
    std::deque<std::pair<RequestID, Completion>> pending;

private:
    RequestID m_next = 0;
};

class Judge final : public cardpay::BCMPServiceDelegate {
public:
    void comunicateToBCMPDidSucceedWithEvent(int) override { ++answers; }
    void comunicateToBCMPDidSucceedWithEvent(int, const platform::Value&) override { ++answers; }
    void comunicateToBCMPDidFailWithErrorType(int, const std::optional<std::string>&) override {
        ++answers;
        if (cardpay::BCDataContainer::instance()->storedFields() != before)
            __builtin_trap(); // a failed reply changed the state object
    }
    int answers = 0;
    platform::Dictionary before;
};

void post(cardpay::BCMPServiceConsumption& service, std::uint8_t kind) {
    switch (kind % 12) {
    case 0: service.postInitRequest(cardpay::BCInitInfo{}); break;
    case 1: service.postSmsRequestWithFlag("1", ""); break;
    case 2: service.postRequestWithCmd("pay", ""); break;
    case 3: service.postGetUserInfoRequestWithParams(""); break;
    case 4: service.postRulesRequestWithFlag("1", "card", "1", "1"); break;
    case 5: service.postModifyPhoneRequestWithCard("card"); break;
    case 6: service.postFollowRulesRequestWithParams(""); break;
    case 7: service.postUnBindCardRequestWithCardId("card"); break;
    case 8: service.postGetInstalmentWithCmd("instalment", ""); break;
    case 9: service.postBingoPromotionRequest(); break;
    case 10: service.postPromotionScore("point", std::string("uuid")); break;
    default: service.postPromotionCoupon("coupon", ""); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto transport = [] {
        auto t = std::make_shared<ReplayTransport>();
        cardpay::BCMPService::setTransport(t);
        return t;
    }();
    if (size == 0)
        return 0;
    cardpay::BCDataContainer::destory();
    cardpay::BCDataContainer::instance()->setMTN("201712010001");
    auto judge = std::make_shared<Judge>();
    auto service = cardpay::BCMPServiceConsumption::create();
    service->setDelegate(judge);
    post(*service, data[0]);

    const platform::Bytes body(data + 1, data + size);
    // The command's reply, then (after a payment command) the first poll's, with the same bytes.
    for (int round = 0; round < 2 && !transport->pending.empty(); ++round) {
        auto [id, completion] = std::move(transport->pending.front());
        transport->pending.pop_front();
        judge->before = cardpay::BCDataContainer::instance()->storedFields();
        const int answersBefore = judge->answers;
        completion({cardpay::BCTransportOutcome::Kind::Body, body, {}});
        if (judge->answers > answersBefore + 1)
            __builtin_trap(); // one reply, one answer at most
    }
    cardpay::BCMPService::releaseCommon();
    service.reset();
    transport->pending.clear();
    return 0;
}
