#include "cardpay/core/BCDataContainer.h"

#include <utility>

namespace cardpay {

namespace {

std::shared_ptr<BCDataContainer>& shared() {
    static std::shared_ptr<BCDataContainer> container;
    return container;
}

} // namespace

std::shared_ptr<BCDataContainer> BCDataContainer::instance() {
    auto& container = shared();
    if (!container)
        container = std::make_shared<BCDataContainer>();
    return container;
}

void BCDataContainer::destory() { shared().reset(); }

BCDataContainer::Text BCDataContainer::text(std::string_view field) const {
    if (const platform::Value* v = m_fields.find(field); v && v->isString())
        return *v->getString();
    return std::nullopt;
}

BCDataContainer::Dict BCDataContainer::dict(std::string_view field) const {
    if (const platform::Value* v = m_fields.find(field); v && v->isDictionary())
        return *v->getDictionary();
    return std::nullopt;
}

BCDataContainer::List BCDataContainer::list(std::string_view field) const {
    if (const platform::Value* v = m_fields.find(field); v && v->isArray())
        return *v->getArray();
    return std::nullopt;
}

std::optional<platform::Value> BCDataContainer::textOrDict(std::string_view field) const {
    if (const platform::Value* v = m_fields.find(field); v && (v->isString() || v->isDictionary()))
        return *v;
    return std::nullopt;
}

void BCDataContainer::apply(const platform::Dictionary& changes) {
    for (const auto& [field, value] : changes) {
        if (value.isNull())
            m_fields.remove(field);
        else
            m_fields.set(field, value);
    }
}

void BCDataContainer::makeUserInfoClean() {
    m_fields.remove("UserServiceUrl");
    m_fields.remove("UserBindUrl");
}

bool BCDataContainer::isBCMPService() const {
    const Text tn = mTN();
    return tn && tn->ends_with('2');
}

std::optional<BCPayment> BCDataContainer::settleOutstandingPayment(bool succeeded) {
    auto settled = std::exchange(m_outstandingPayment, std::nullopt);
    if (!settled)
        return std::nullopt;
    m_lastSettled = settled;
    m_lastSettledSucceeded = succeeded;
    if (succeeded && settled->tn == mTN().value_or("")) {
        if (settled->paysTheOrder()) {
            m_paidTn = settled->tn;
        } else {
            m_authorised.emplace(settled->tn, settled->card);
        }
    }
    return settled;
}

void BCDataContainer::tellResultIfCutShort(const std::string& result, const std::string& data) const {
    if (m_resultDelivered)
        return;
    if (const auto delegate = m_resultDelegate.lock())
        delegate->bankCardPayResultIfCutShort(platform::Dictionary{{"code", result}, {"data", data}});
}

void BCDataContainer::didFinishedWithResult(const std::string& result) {
    if (m_resultDelivered)
        return;
    m_resultDelivered = true;
    auto delegate = m_resultDelegate.lock();
    if (!delegate)
        return;
    delegate->bankCardPayDidFinish(platform::Dictionary{{"code", result}, {"data", text("reserved").value_or("")}});
}

} // namespace cardpay
