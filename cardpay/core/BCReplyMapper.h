// Fills the state object from a reply's "params", one function per reply kind. Each answers the changes
// (field name -> value, null to forget) that BCDataContainer::apply takes in one step, so that a reply is
// mapped whole or not at all. A member of the wrong type counts as absent: "cards" that is not an array,
// a card that is not an array of at least three texts (left out), element lists whose entries are not
// dictionaries (skipped), "luck_draw" without an "options" array.
#pragma once

#include "platform/core/Value.h"

namespace cardpay {

class BCReplyMapper {
public:
    BCReplyMapper() = delete;

    // Members any successful reply may carry: the three server alert boxes, set only when present.
    static platform::Dictionary common(const platform::Dictionary& params);
    static platform::Dictionary initReply(const platform::Dictionary& params);
    static platform::Dictionary userInfoReply(const platform::Dictionary& params);
    // "rules", "bindcardrules", "modifyphone" and "followrules"; "promotion" and "instalment" are set only
    // when the reply has them (dictionaries).
    static platform::Dictionary rulesReply(const platform::Dictionary& params);
    // The payment command's reply (before the poll): the poll's time-out text.
    static platform::Dictionary paymentReply(const platform::Dictionary& params);
    // A successful result poll.
    static platform::Dictionary queryReply(const platform::Dictionary& params);
    static platform::Dictionary bingoPromotionReply(const platform::Dictionary& params);
    static platform::Dictionary instalmentReply(const platform::Dictionary& params);

    // A card array has at least three items, all texts.
    static bool isCard(const platform::Value& card);
    // Whether the rules-type reply asks for the entrust step: a non-empty "entrust_rules" list.
    static bool hasEntrustStep(const platform::Dictionary& params);
    // Whether a form of the reply ("rules", "entrust_rules", "user_info") holds a points element (type
    // "point" in any letter case) whose "max_use_point", "ordr_amnt", "point" or "ratio" is present but
    // not a plain decimal number (digits, at most one point, at most 15 digits in all): such a reply is
    // malformed and changes nothing.
    static bool hasMalformedPoints(const platform::Dictionary& params);
};

} // namespace cardpay
