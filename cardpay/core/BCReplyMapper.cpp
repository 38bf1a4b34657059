#include "cardpay/core/BCReplyMapper.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <utility>

namespace cardpay {

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;

Value textOf(const Dictionary& params, std::string_view key) {
    const Value& v = params[key];
    return v.isString() ? v : Value();
}

Value dictionaryOf(const Dictionary& params, std::string_view key) {
    const Value& v = params[key];
    return v.isDictionary() ? v : Value();
}

Value textOrDictionaryOf(const Dictionary& params, std::string_view key) {
    const Value& v = params[key];
    return v.isString() || v.isDictionary() ? v : Value();
}

// An array of element dictionaries; entries of other types are skipped.
Value elementsOf(const Dictionary& params, std::string_view key) {
    const Array* items = params[key].getArray();
    if (!items)
        return Value();
    Array kept;
    std::copy_if(items->begin(), items->end(), std::back_inserter(kept), [](const Value& v) { return v.isDictionary(); });
    return kept;
}

Value cardsOf(const Dictionary& params, std::string_view key) {
    const Array* items = params[key].getArray();
    if (!items)
        return Value();
    Array kept;
    std::copy_if(items->begin(), items->end(), std::back_inserter(kept), BCReplyMapper::isCard);
    return kept;
}

// Array of any entries (order rows are shown as the server sends them).
Value arrayOf(const Dictionary& params, std::string_view key) {
    const Value& v = params[key];
    return v.isArray() ? v : Value();
}

} // namespace

bool BCReplyMapper::isCard(const Value& card) {
    const Array* items = card.getArray();
    return items && items->size() >= 3 && std::all_of(items->begin(), items->end(), [](const Value& v) { return v.isString(); });
}

bool BCReplyMapper::hasEntrustStep(const Dictionary& params) {
    const Array* rules = params["entrust_rules"].getArray();
    return rules && !rules->empty();
}

bool BCReplyMapper::hasMalformedPoints(const Dictionary& params) {
    const auto plainNumber = [](const Value& value) {
        const std::string* text = value.getString();
        if (!text || text->empty() || text->size() > 16)
            return false;
        std::size_t digits = 0, points = 0;
        for (char c : *text) {
            if (c >= '0' && c <= '9')
                ++digits;
            else if (c == '.')
                ++points;
            else
                return false;
        }
        return digits > 0 && points <= 1;
    };
    for (const char* form : {"rules", "entrust_rules", "user_info"}) {
        for (const Value& element : params[form].arrayOrEmpty()) {
            std::string type = element["type"].stringOr("");
            std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (type != "point")
                continue;
            for (const char* key : {"max_use_point", "ordr_amnt", "point", "ratio"})
                if (const Value* value = element.getDictionary() ? element.getDictionary()->find(key) : nullptr;
                    value && !plainNumber(*value))
                    return true;
        }
    }
    return false;
}

Dictionary BCReplyMapper::common(const Dictionary& params) {
    Dictionary changes;
    for (const auto& [key, field] : {std::pair{"open_alert_box", "openAlertBox"}, std::pair{"expired_alert_box", "expiredAlertBox"},
                                     std::pair{"temp_alert_box", "tempAlertBox"}}) {
        if (const Value& box = params[key]; box.isDictionary())
            changes.set(field, box);
    }
    return changes;
}

Dictionary BCReplyMapper::initReply(const Dictionary& params) {
    Dictionary changes = common(params);
    changes.set("merID", textOf(params, "merchant_id"));
    changes.set("mUser_id", textOf(params, "user_id"));
    changes.set("mOrderInfoArray", arrayOf(params, "order_info"));
    changes.set("mUpdateInfo", dictionaryOf(params, "update_info"));
    changes.set("mAccount_info", dictionaryOf(params, "account_info"));
    changes.set("limitPayMethod", textOf(params, "sup_pay_method"));
    changes.set("kaLeFuInfo", dictionaryOf(params, "kalefu_info"));
    changes.set("mediumMode", textOf(params, "trade_privilege"));
    changes.set("mediumTypes", textOf(params, "upcard_support_type"));
    changes.set("noMediumMessage", textOf(params, "upcard_msg"));
    changes.set("mInputInfoItem", elementsOf(params, "input_info"));
    changes.set("mBindCardArray", cardsOf(params, "cards"));
    changes.set("mOtherCard_info", dictionaryOf(params, "other_card_info"));
    changes.set("mBankUrl", textOf(params, "bank_url"));
    changes.set("orderViewTitle", textOf(params, "title"));
    changes.set("orderViewAction", dictionaryOf(params, "init_button"));
    changes.set("findPwdUrl", dictionaryOf(params, "find_pwd_url"));
    changes.set("RegUrl", dictionaryOf(params, "reg_url"));
    changes.set("trackerFlag", textOf(params, "tracker_flag"));
    changes.set("riskInfo", dictionaryOf(params, "risk_info"));
    changes.set("warningInfo", textOf(params, "pay_tip"));
    changes.set("ADString", textOf(params, "ad"));
    return changes;
}

Dictionary BCReplyMapper::userInfoReply(const Dictionary& params) {
    Dictionary changes = common(params);
    if (const Value id = textOf(params, "user_id"); !id.isNull())
        changes.set("mUser_id", id);
    changes.set("mUserInfo", elementsOf(params, "user_info"));
    changes.set("mUserCards", cardsOf(params, "user_cards"));
    changes.set("mUserRules", elementsOf(params, "rules"));
    changes.set("promotion", dictionaryOf(params, "promotion"));
    changes.set("instalment", dictionaryOf(params, "instalment"));
    changes.set("addCardTip", textOf(params, "add_card_tip"));
    changes.set("userEmptyInfo", textOf(params, "empty_info"));
    changes.set("UserServiceUrl", dictionaryOf(params, "service_url"));
    changes.set("UserBindUrl", dictionaryOf(params, "bind_url"));
    changes.set("promotionChangeInfo", textOf(params, "promotion_change_info"));
    return changes;
}

Dictionary BCReplyMapper::rulesReply(const Dictionary& params) {
    Dictionary changes = common(params);
    changes.set("mPayElementArray", elementsOf(params, "rules"));
    changes.set("mEntrustElementArray", elementsOf(params, "entrust_rules"));
    Value button;
    for (const char* key : {"rules_button", "openrules_button", "followrules_button"}) {
        button = dictionaryOf(params, key);
        if (!button.isNull())
            break;
    }
    changes.set("actionButton", std::move(button));
    changes.set("viewControllerTitle", textOf(params, "title"));
    changes.set("serviceCheckBox", dictionaryOf(params, "service_checkbox"));
    changes.set("mFailContinue", textOf(params, "fail_continue"));
    // A card's form may come with its own promotion and instalment offers; without them the screens keep
    // what they hold.
    for (const char* key : {"promotion", "instalment"})
        if (const Value offer = dictionaryOf(params, key); !offer.isNull())
            changes.set(key, offer);
    return changes;
}

Dictionary BCReplyMapper::paymentReply(const Dictionary& params) {
    Dictionary changes = common(params);
    changes.set("queryTimeoutMessage", textOf(params, "timeout_msg"));
    return changes;
}

Dictionary BCReplyMapper::queryReply(const Dictionary& params) {
    Dictionary changes = common(params);
    changes.set("paySuccessMessage", textOrDictionaryOf(params, "pay_msg"));
    changes.set("successInfo", textOrDictionaryOf(params, "succ_info"));
    changes.set("promotionMessage", textOrDictionaryOf(params, "promotion_msg"));
    changes.set("instalmentMessage", textOrDictionaryOf(params, "instalment_msg"));
    changes.set("mTemporaryFlag", textOf(params, "temporary_pay_flag"));
    changes.set("mTemporaryInfo", textOrDictionaryOf(params, "temporary_pay_info"));
    changes.set("luckRrawFlag", textOf(params, "luck_draw_flag"));
    changes.set("viewControllerTitle", textOf(params, "title"));
    if (const Value mode = textOf(params, "default_pay_mode"); !mode.isNull())
        changes.set("defaultPayMode", mode);
    return changes;
}

Dictionary BCReplyMapper::bingoPromotionReply(const Dictionary& params) {
    Dictionary changes = common(params);
    const Value draw = dictionaryOf(params, "luck_draw");
    changes.set("luckPromotions", draw["options"].isArray() ? draw : Value());
    return changes;
}

Dictionary BCReplyMapper::instalmentReply(const Dictionary& params) {
    Dictionary changes = common(params);
    changes.set("updatedInstalment", dictionaryOf(params, "instalment"));
    changes.set("instalmentEmptyInfo", textOf(params, "instalment_empty_info"));
    return changes;
}

} // namespace cardpay
