// The bank-card client's process-wide state object: what the server answered (filled by the reply
// mapper, BCReplyMapper.h), what the screens write back, and the host's fields of the road.
//
// Values stay platform values; each getter answers the type the screens expect (a text, a dictionary,
// an array) or none: a value of another type counts as absent. Reply keys, beside the Part's names:
//   init ("params" of the init reply): "merchant_id" merID, "user_id" mUser_id, "order_info"
//     mOrderInfoArray, "update_info" mUpdateInfo, "tracker_flag" trackerFlag, "risk_info" riskInfo,
//     "pay_tip" warningInfo, "ad" ADString, and the keys named beside each getter;
//   every successful reply: "open_alert_box", "expired_alert_box", "temp_alert_box" (set when present,
//     forgotten only through their setters);
//   the payment command's reply: "timeout_msg", the text shown when the result poll times out;
//   the successful result poll: the result fields below, and "default_pay_mode" when present.
//
// Thread: main thread only.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/core/Value.h"
#include "platform/system/InterfaceOrientation.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace platform {
class View;
class ViewController;
} // namespace platform

namespace cardpay {

// A payment command as sent: its name, its command code (BCMPService.h), the order (transaction number)
// it was sent for, what the server's "00" for it means (the order paid, or only the card authorised by the
// pre-command of the authorisation step, after which the order still has to be paid), the service
// object that sent it (BCMPService::serial) and its number among the payment commands of the process
// (BCMPService sets it; 0 for one made elsewhere), which tells a late reply to an earlier one apart.
struct BCPayment {
    enum class Meaning { Paid, Authorised };
    std::string command;
    int code = 0;
    std::string tn;
    Meaning meaning = Meaning::Paid;
    std::uint64_t sender = 0;
    std::uint64_t number = 0;
    std::string card;  // for an authorisation: BCDataContainer::authorisationCard when it was sent

    bool paysTheOrder() const { return meaning == Meaning::Paid; }
    bool operator==(const BCPayment&) const = default;
};

// What the host hears when a road ends: {"code": result, "data": reserved text or ""}.
class BCPayResultDelegate {
public:
    virtual ~BCPayResultDelegate() = default;
    virtual void bankCardPayDidFinish(const platform::Dictionary& result) = 0;
    // What bankCardPayDidFinish will say should the wait for a payment's result at the application's end
    // be cut short (the application asked to end again), told before that wait starts: a host that may
    // be ended before its main thread runs again can keep it ready.
    virtual void bankCardPayResultIfCutShort(const platform::Dictionary& /*result*/) {}
};

class BCDataContainer {
public:
    // The state object, made on first use and after `destory`.
    static std::shared_ptr<BCDataContainer> instance();
    // Releases the state object; the next `instance` makes a new one.
    static void destory();

    BCDataContainer() = default;
    BCDataContainer(const BCDataContainer&) = delete;
    BCDataContainer& operator=(const BCDataContainer&) = delete;

    using Text = std::optional<std::string>;
    using Dict = std::optional<platform::Dictionary>;
    using List = std::optional<platform::Array>;

    // Init answer.
    Text mTN() const { return text("mTN"); }
    void setMTN(const Text& tn) { setField("mTN", tn); }
    Text merID() const { return text("merID"); }
    void setMerID(const Text& id) { setField("merID", id); }
    Text mUser_id() const { return text("mUser_id"); }
    List mOrderInfoArray() const { return list("mOrderInfoArray"); }
    Dict mUpdateInfo() const { return dict("mUpdateInfo"); }
    Dict mAccount_info() const { return dict("mAccount_info"); }        // "account_info"
    Text limitPayMethod() const { return text("limitPayMethod"); }      // "sup_pay_method"
    Dict kaLeFuInfo() const { return dict("kaLeFuInfo"); }              // "kalefu_info"
    Text mediumMode() const { return text("mediumMode"); }              // "trade_privilege"
    Text mediumTypes() const { return text("mediumTypes"); }            // "upcard_support_type"
    Text noMediumMessage() const { return text("noMediumMessage"); }    // "upcard_msg"
    List mInputInfoItem() const { return list("mInputInfoItem"); }      // "input_info"
    List mBindCardArray() const { return list("mBindCardArray"); }      // "cards"
    void setMBindCardArray(const List& cards) { setField("mBindCardArray", cards); }
    Dict mOtherCard_info() const { return dict("mOtherCard_info"); }    // "other_card_info"
    void setMOtherCard_info(const Dict& info) { setField("mOtherCard_info", info); }
    Text mBankUrl() const { return text("mBankUrl"); }                  // "bank_url"
    Text orderViewTitle() const { return text("orderViewTitle"); }      // "title"
    Dict orderViewAction() const { return dict("orderViewAction"); }    // "init_button"
    Dict findPwdUrl() const { return dict("findPwdUrl"); }              // "find_pwd_url"
    Dict RegUrl() const { return dict("RegUrl"); }                      // "reg_url"
    Text trackerFlag() const { return text("trackerFlag"); }
    // The order header's risk notice ("risk_info": "label", "value", "style").
    Dict riskInfo() const { return dict("riskInfo"); }
    // Whether a card-medium screen can be offered, and its class name: set by the host.
    bool shouldSupportMedium() const { return m_shouldSupportMedium; }
    void setShouldSupportMedium(bool b) { m_shouldSupportMedium = b; }
    Text mediumViewClassName() const { return text("mediumViewClassName"); }
    void setMediumViewClassName(const Text& name) { setField("mediumViewClassName", name); }

    // User-information answer.
    List mUserInfo() const { return list("mUserInfo"); }                // "user_info"
    List mUserCards() const { return list("mUserCards"); }              // "user_cards"
    List mUserRules() const { return list("mUserRules"); }              // "rules"
    List mPayElementArray() const { return list("mPayElementArray"); }  // "rules" of a rules-type answer
    Dict promotion() const { return dict("promotion"); }                // "promotion"
    void setPromotion(const Dict& d) { setField("promotion", d); }
    Dict instalment() const { return dict("instalment"); }              // "instalment"
    void setInstalment(const Dict& d) { setField("instalment", d); }
    Text addCardTip() const { return text("addCardTip"); }              // "add_card_tip"
    Text userEmptyInfo() const { return text("userEmptyInfo"); }        // "empty_info"
    Dict UserServiceUrl() const { return dict("UserServiceUrl"); }      // "service_url"
    Dict UserBindUrl() const { return dict("UserBindUrl"); }            // "bind_url"
    void makeUserInfoClean();                                           // forgets the two above
    Text promotionChangeInfo() const { return text("promotionChangeInfo"); }   // "promotion_change_info"
    Text instalmentEmptyInfo() const { return text("instalmentEmptyInfo"); }   // "instalment_empty_info"
    Dict updatedInstalment() const { return dict("updatedInstalment"); }       // instalment answer's "instalment"
    // True when the transaction number ends with "2".
    bool isBCMPService() const;

    // Entrust step (the last rules-type answer).
    Dict actionButton() const { return dict("actionButton"); }  // "rules_button", "openrules_button", "followrules_button"
    Text viewControllerTitle() const { return text("viewControllerTitle"); }  // "title"
    List mEntrustElementArray() const { return list("mEntrustElementArray"); } // "entrust_rules"
    Dict serviceCheckBox() const { return dict("serviceCheckBox"); }           // "service_checkbox"
    Text mFailContinue() const { return text("mFailContinue"); }               // "fail_continue"

    // Result poll: texts or dictionaries.
    std::optional<platform::Value> paySuccessMessage() const { return textOrDict("paySuccessMessage"); } // "pay_msg"
    std::optional<platform::Value> successInfo() const { return textOrDict("successInfo"); }             // "succ_info"
    std::optional<platform::Value> promotionMessage() const { return textOrDict("promotionMessage"); }   // "promotion_msg"
    std::optional<platform::Value> instalmentMessage() const { return textOrDict("instalmentMessage"); } // "instalment_msg"
    Text mTemporaryFlag() const { return text("mTemporaryFlag"); }   // "temporary_pay_flag"
    std::optional<platform::Value> mTemporaryInfo() const { return textOrDict("mTemporaryInfo"); } // "temporary_pay_info"
    Text luckRrawFlag() const { return text("luckRrawFlag"); }       // "luck_draw_flag"
    Text queryTimeoutMessage() const { return text("queryTimeoutMessage"); }
    // "luck_draw" of the lucky-draw reply, when it holds an "options" array.
    Dict luckPromotions() const { return dict("luckPromotions"); }

    // Notices and server alert boxes.
    Text warningInfo() const { return text("warningInfo"); }
    Text ADString() const { return text("ADString"); }
    Dict openAlertBox() const { return dict("openAlertBox"); }
    void setOpenAlertBox(const Dict& d) { setField("openAlertBox", d); }
    Dict expiredAlertBox() const { return dict("expiredAlertBox"); }
    void setExpiredAlertBox(const Dict& d) { setField("expiredAlertBox", d); }
    Dict tempAlertBox() const { return dict("tempAlertBox"); }
    void setTempAlertBox(const Dict& d) { setField("tempAlertBox", d); }

    // Payment state written by the screens.
    Text defaultPayMode() const { return text("defaultPayMode"); }
    void setDefaultPayMode(const Text& mode) { setField("defaultPayMode", mode); }
    Text mFirstPayFlag() const { return text("mFirstPayFlag"); }
    void setMFirstPayFlag(const Text& flag) { setField("mFirstPayFlag", flag); }
    Text mCardId() const { return text("mCardId"); }
    void setMCardId(const Text& id) { setField("mCardId", id); }
    Text mEntrustedCard() const { return text("mEntrustedCard"); }
    void setMEntrustedCard(const Text& card) { setField("mEntrustedCard", card); }
    // The card the server's latest authorisation step is for (the card its rules were asked for: a bound
    // card's id or a typed card's number), set when they are asked for (BCMPServiceConsumption).
    Text authorisationCard() const { return text("authorisationCard"); }
    void setAuthorisationCard(const Text& card) { setField("authorisationCard", card); }
    long long payType() const { return m_payType; }
    void setPayType(long long type) { m_payType = type; }
    Text mMessageBlock() const { return text("mMessageBlock"); }
    void setMMessageBlock(const Text& card) { setField("mMessageBlock", card); }
    Text bcPayPrefix() const { return text("bcPayPrefix"); }
    void setBcPayPrefix(const Text& prefix) { setField("bcPayPrefix", prefix); }
    double maxCanUsePoint() const { return m_maxCanUsePoint; }
    void setMaxCanUsePoint(double points) { m_maxCanUsePoint = points; }
    std::shared_ptr<platform::View> pointCell() const { return m_pointCell.lock(); }
    void setPointCell(const std::shared_ptr<platform::View>& cell) { m_pointCell = cell; }
    // The one payment command whose result the road awaits: set when it goes out (BCMPService.h), given
    // up when the server refuses it, settled by the result poll ("00" succeeded, "03" failed). While one is
    // outstanding no other payment command is sent; once a "pay" of this order has succeeded none is.
    bool paymentOutstanding() const { return m_outstandingPayment.has_value(); }
    const std::optional<BCPayment>& outstandingPayment() const { return m_outstandingPayment; }
    void setOutstandingPayment(std::optional<BCPayment> payment) { m_outstandingPayment = std::move(payment); }
    // Settles the outstanding payment (nothing happens when none is) and answers it; a succeeded payment
    // that pays this order (`BCPayment::paysTheOrder`, for the current transaction number) marks the order
    // paid, a succeeded authorisation of this order marks the order authorised.
    std::optional<BCPayment> settleOutstandingPayment(bool succeeded);
    // The payment the poll settled last, and whether it succeeded.
    const std::optional<BCPayment>& lastSettledPayment() const { return m_lastSettled; }
    bool lastSettlementSucceeded() const { return m_lastSettledSucceeded; }
    // The server confirmed a "pay" of this order: the only case in which the road shows success.
    bool orderPaid() const { return isCurrentOrder(m_paidTn); }
    // The server confirmed an authorisation (a pre-command) of this order with the card of the current
    // authorisation step (`authorisationCard`), on whichever screen: that card is never authorised again for
    // the order; what is left is to pay it. Another card chosen since has its own authorisation.
    bool orderAuthorised() const { return m_authorised.contains({mTN().value_or(""), authorisationCard().value_or("")}); }
    Dict BundleConfig() const { return dict("BundleConfig"); }
    void setBundleConfig(const Dict& config) { setField("BundleConfig", config); }

    // Host fields.
    platform::InterfaceOrientation defaultOrientation() const { return m_defaultOrientation; }
    void setDefaultOrientation(platform::InterfaceOrientation o) { m_defaultOrientation = o; }
    std::shared_ptr<platform::ViewController> rootViewController() const { return m_rootViewController.lock(); }
    void setRootViewController(const std::shared_ptr<platform::ViewController>& vc) { m_rootViewController = vc; }
    long long rootViewControllerPresentationStyle() const { return m_presentationStyle; }
    void setRootViewControllerPresentationStyle(long long style) { m_presentationStyle = style; }
    std::optional<platform::Color> windowColor() const { return m_windowColor; }
    void setWindowColor(std::optional<platform::Color> color) { m_windowColor = std::move(color); }
    platform::Size toRotationSize() const { return m_toRotationSize; }
    void setToRotationSize(platform::Size size) { m_toRotationSize = size; }

    // The road's result for the host, handed once to the weakly held delegate; later calls do nothing.
    void setResultDelegate(std::weak_ptr<BCPayResultDelegate> delegate) { m_resultDelegate = std::move(delegate); }
    void setReserved(const Text& reserved) { setField("reserved", reserved); }
    void didFinishedWithResult(const std::string& result);
    // Tells the result delegate that the road would end with {"code": result, "data": data} if cut short
    // (nothing once the result was handed over).
    void tellResultIfCutShort(const std::string& result, const std::string& data) const;
    // A host waits for the road's result: its delegate is alive and has not been handed one yet.
    bool awaitsResult() const { return !m_resultDelivered && !m_resultDelegate.expired(); }
    // The road is ending (its result being decided or handed over): no payment command is sent any more,
    // whatever a screen still shown is asked to do (BCMPService.h).
    bool roadEnding() const { return m_roadEnding || m_resultDelivered; }
    void setRoadEnding() { m_roadEnding = true; }

    // The mapper's way in: every field named (by the getter's name) is set to its value, or forgotten
    // where the value is null.
    void apply(const platform::Dictionary& changes);
    // Every stored text, dictionary and array field by name (diagnostics and tests).
    const platform::Dictionary& storedFields() const { return m_fields; }

private:
    Text text(std::string_view field) const;
    Dict dict(std::string_view field) const;
    List list(std::string_view field) const;
    std::optional<platform::Value> textOrDict(std::string_view field) const;
    bool isCurrentOrder(const std::optional<std::string>& tn) const { return tn && *tn == mTN().value_or(""); }
    template <class T>
    void setField(const char* field, const std::optional<T>& value) {
        if (value)
            m_fields.set(field, *value);
        else
            m_fields.remove(field);
    }

    platform::Dictionary m_fields;
    bool m_shouldSupportMedium = false;
    long long m_payType = 0;
    double m_maxCanUsePoint = 0;
    std::optional<BCPayment> m_outstandingPayment;
    std::optional<BCPayment> m_lastSettled;
    bool m_lastSettledSucceeded = false;
    // The order (transaction number) the server confirmed a "pay" of, and the orders and cards it
    // confirmed an authorisation of.
    std::optional<std::string> m_paidTn;
    std::set<std::pair<std::string, std::string>> m_authorised;  // (transaction number, card)
    std::weak_ptr<platform::View> m_pointCell;
    platform::InterfaceOrientation m_defaultOrientation = platform::InterfaceOrientation::Portrait;
    std::weak_ptr<platform::ViewController> m_rootViewController;
    long long m_presentationStyle = 0;
    std::optional<platform::Color> m_windowColor;
    platform::Size m_toRotationSize;
    std::weak_ptr<BCPayResultDelegate> m_resultDelegate;
    bool m_resultDelivered = false;
    bool m_roadEnding = false;
};

} // namespace cardpay
