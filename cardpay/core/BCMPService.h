// The service objects of the payment screens: each screen owns one, whose weakly held delegate hears the
// answers of the commands it posts (on the main thread, on a later turn than the post).
//
// A command goes out as {"v":"1.4","cmd":<name>,"params":{<parameter text>}} (BCJsonService.h) through
// the road's transport; every value the core itself writes into a parameter text is JSON-escaped. The
// reply is read as BCJsonService describes, mapped into BCDataContainer in one step (BCReplyMapper.h)
// and answered with an event or a failure type; a failed reply changes nothing in the container.
//
// After the payment command ("cmd", the pre-command and the temporary command) the service polls the
// result: "query" with the transaction number, at once and then every kPollInterval seconds (a main
// run-loop timer) while the reply's "status" is "01". "00" maps the result and gives event 3004; "03"
// gives failure 2007 with "fail_msg", or 2011 when "reopen_flag" is "0"; still "01" after kMaxPolls polls
// gives 2008 with the payment reply's time-out text, else text 12013. The poll keeps `currentCMD` of the
// payment command.
//
// Which commands move money is decided from the command itself, never from who named it: "pay" pays
// the order and "prepay" authorises the card (`moneyMovingCommand`). Only the screens' pay and
// pre-command entries (`postRequestWithCmd`, `postPreCmd`), which carry the card, PIN and agreement the
// user gave, send a payment, whatever the command's name (the authorisation step's command is the
// server's button's), what a "00" means following the name when it is a known one. The temporary command
// (a server alert box's action) is never a payment: it is sent as a plain command (1005), answered with
// kBCEventTempAnswered (or a failure) and never polled, held or counted as a payment. A known payment
// command posted through a plain entry (`post`: a box's action, points, coupon, instalment) is not sent:
// the poster hears kBCFailureSystem. Names are
// read as a server that ignores ASCII case and surrounding blanks would read them ("PAY" pays), and the
// result poll's own command ("query") is never sent as a payment or a plain command.
//
// A payment is never sent twice. From the moment a payment command goes out until the server refuses
// it (a reply whose "resp" is not "00") or the poll tells how it ended ("00" or "03"), the payment is
// outstanding (BCDataContainer::outstandingPayment: the command, its order, what a "00" means for it and
// the service that sent it) and a payment command posted meanwhile, by any service object, is not sent:
// its result is asked for instead (`queryPaymentResult`). A poll answer settles that payment, whichever
// service asked (BCDataContainer::settleOutstandingPayment), and 3004 means only that the payment the
// container settled last succeeded: what that was is the container's to say. Once a "pay" of this order
// has succeeded (BCDataContainer::orderPaid) no payment command is sent at all: the poster hears 3004
// again, on a later turn; once an authorisation of this order with the current step's card has succeeded
// (BCDataContainer::orderAuthorised) no authorisation is sent again for it, and the poster hears 3004 the
// same way. The reply to a
// payment command settles nothing but that command: a late reply to an earlier payment, once a later one
// is outstanding, leaves the later one as it is. So does a poll answer: a "00" or "03" to a "query" sent
// while another payment was outstanding (settled since by another poll) counts as "01" for the one
// outstanding now, and the poll goes on; one for a payment settled since (nothing outstanding) answers how
// that payment was settled (3004, or kBCFailurePayment without a message), whatever its own status says. Nor is one sent once the road is ending (BCDataContainer::roadEnding; the
// poster hears nothing). A payment whose
// own reply is lost (no reply, an HTTP error, a reply that cannot be read) may have reached the server:
// the poll starts as after a reply. A lost poll (the same, or a status that is absent, not a text or
// unknown, or an error answer other than 2002 and 2004) is asked again after kPollInterval seconds; after
// kMaxLostPolls lost polls in a row the poll stops with failure 2009 and text 12017 (the result is being
// confirmed), and `queryPaymentResult` starts it again.
//
// An instalment reply with neither "instalment" (a dictionary) nor "instalment_empty_info" (a text) gives
// 2006 and changes nothing; so does a user-information or rules-type reply whose forms hold a points
// element with values that are not plain numbers (BCReplyMapper::hasMalformedPoints).
//
// A service object that is destroyed cancels what it has in flight and its poll. A reply that arrives
// while its delegate is gone is dropped (nothing mapped) and the poll stops with it. `releaseCommon`
// ends the command core of the road: every service's requests and polls stop.
//
// Thread: main thread only.
#pragma once

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCJsonService.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class Timer;
}

namespace cardpay {

class BCMPServiceDelegate {
public:
    virtual ~BCMPServiceDelegate() = default;
    virtual void comunicateToBCMPDidSucceedWithEvent(int /*event*/) {}
    virtual void comunicateToBCMPDidSucceedWithEvent(int /*event*/, const platform::Value& /*data*/) {}
    virtual void comunicateToBCMPDidFailWithErrorType(int /*type*/, const std::optional<std::string>& /*error*/) {}
};

// Events of the service delegate.
enum BCEvent : int {
    kBCEventUpgradeOffered = 3000,
    kBCEventUpgradeRequired = 3001,
    kBCEventInitDone = 3002,
    kBCEventSmsSent = 3003,
    kBCEventPaySucceeded = 3004,
    kBCEventCardUnbound = 3005,
    kBCEventRules = 3006,
    kBCEventRulesWithEntrust = 3008,
    kBCEventFollowRules = 3009,
    kBCEventLuckyDraw = 3015,
    kBCEventUserInfo = 3016,
    kBCEventPoints = 3017,
    kBCEventCoupon = 3018,
    kBCEventInstalment = 3019,
    // A temporary command that moves no money (a server alert box's own command) was answered.
    kBCEventTempAnswered = 3020,
};

// Codes of `currentCMD`.
enum BCCommandCode : int {
    kBCCmdInit = 1000,
    kBCCmdSms = 1001,
    kBCCmdPre = 1003,
    kBCCmdPay = 1004,
    kBCCmdTemp = 1005,
    kBCCmdBingoPromotion = 1006,
    kBCCmdBindCardRules = 1008,
    kBCCmdPoints = 1009,
    kBCCmdCoupon = 1010,
    kBCCmdInstalment = 1011,
    kBCCmdRules = 1035,
    kBCCmdModifyPhone = 1036,
    kBCCmdFollowRules = 1037,
    kBCCmdUnbindCard = 1038,
    kBCCmdGetUserInfo = 1039,
};

// The device's description sent with the init command, under these names and in this order.
struct BCInitInfo {
    std::string tn;
    std::string uid;
    std::string locale;
    std::string terminalVersion;
    std::string terminalResolution;
    std::string osName;
    std::string osVersion;
    std::string deviceMode;
    std::string terminalType;
    std::string timeZone;
    std::string networkMode;

    // The values of this device and road (the transaction number from BCDataContainer).
    static BCInitInfo current();
    std::string parameterText() const;
};

class BCMPService : public std::enable_shared_from_this<BCMPService> {
public:
    static constexpr const char* kClientVersion = "3.3.0";
    static constexpr int kMaxPolls = 60;
    static constexpr int kMaxLostPolls = 3;
    static constexpr double kPollInterval = 1.0;

    static std::shared_ptr<BCMPService> create();
    virtual ~BCMPService();
    BCMPService(const BCMPService&) = delete;
    BCMPService& operator=(const BCMPService&) = delete;

    void setDelegate(std::weak_ptr<BCMPServiceDelegate> delegate) { m_delegate = std::move(delegate); }
    int currentCMD() const { return m_currentCMD; }
    // True while a command is in flight or the result poll waits for its next turn.
    bool isBusy() const { return !m_pending.empty() || m_polling; }
    // The "01" answers of the current result poll, and its lost polls in a row.
    int pollsAnswered() const { return m_polls; }
    int pollsLost() const { return m_lostPolls; }

    void postInitRequest(const BCInitInfo& info);
    // "sms" with the first-pay flag followed by the parameter text.
    void postSmsRequestWithFlag(const std::string& flag, const std::string& params);
    void postRequestWithCmd(const std::string& command, const std::string& elements);
    void postPreCmd(const std::string& command, const std::string& elements);
    // The temporary command (a server alert box's action): never a payment; one `moneyMovingCommand` knows
    // is not sent (kBCFailureSystem).
    void postTempRequestWithCmd(const std::string& command, const std::string& elements);
    // Asks for the result of the payment again: the poll starts afresh (nothing happens while it runs).
    void queryPaymentResult();
    // What a "00" for the command means when it moves money ("pay": the order paid; "prepay": the card
    // authorised); none for every other command.
    // A name is read as a server that ignores ASCII case and surrounding blanks may read it ("PAY", " pay").
    static std::optional<BCPayment::Meaning> moneyMovingCommand(std::string_view command);
    // Whether the command is the result poll's own ("query", read the same way): sent by the poll alone,
    // never as a payment or a plain command (the poster hears kBCFailureSystem).
    static bool isResultQuery(std::string_view command);
    // This object's number among the service objects of the process (never 0), the sender of its payments.
    std::uint64_t serial() const { return m_serial; }

    // The road's last question about the outstanding payment, outside any poll and any delegate: one
    // "query". `done` runs on a later turn with true ("00") or false ("03"), the payment then settled as
    // the poll settles it, or with none (still running, lost, unreadable; nothing settled). The function
    // answered cancels the query (`done` then never runs). Without an outstanding payment nothing is sent
    // and `done` hears none.
    static std::function<void()> askPaymentResultOnce(std::function<void(std::optional<bool>)> done);

    // The client's own reversible cipher: AES-256-GCM under a random key kept in the keychain, as Base64
    // text. Foreign or damaged text gives none.
    static std::optional<std::string> encryptString(const std::string& text);
    static std::optional<std::string> decryptString(const std::string& text);
    // "UserDefaultPayMode" of the settings list, enciphered; "1" when absent or undecipherable.
    static std::string userDefaultPayMode();
    static void storageUserDefaultPayMode(const std::string& mode);

    static void releaseCommon();
    // The road's transport; none (the default) is BCHttpsConnect's instance.
    static void setTransport(std::shared_ptr<BCCommandTransport> transport);

protected:
    BCMPService();

    enum class ReplyKind { Init, Sms, Payment, Query, UserInfo, Rules, FollowRules, UnbindCard, Instalment, LuckyDraw, Points, Coupon, Temp };
    void post(int code, ReplyKind kind, std::string_view command, const std::string& parameterText);
    void postPayment(int code, std::string_view command, const std::string& parameterText, BCPayment::Meaning meaning);
    static void registerService(const std::shared_ptr<BCMPService>& service);

private:
    // `payment`: the number of the payment command sent (0 for any other command).
    void send(ReplyKind kind, std::string_view command, const std::string& parameterText, std::uint64_t payment = 0);
    void received(BCCommandTransport::RequestID id, ReplyKind kind, std::uint64_t payment, BCTransportOutcome outcome);
    void failLater(int type);
    void answerPaidLater();
    // `payment`: as for `received` (for a "query", the payment outstanding when it was sent).
    void handle(BCMPServiceDelegate& delegate, ReplyKind kind, std::uint64_t payment, const BCReply& reply);
    void handleQuery(BCMPServiceDelegate& delegate, const BCReply& reply, std::uint64_t payment);
    // A poll answer "00" or "03": mapped, and the outstanding payment settled; answers whether it succeeded.
    static bool settle(const platform::Dictionary& params);
    void startPoll();
    void scheduleQuery();
    void pollLost(BCMPServiceDelegate& delegate);
    void sendQuery();
    void stopPoll();
    void abandon();

    std::weak_ptr<BCMPServiceDelegate> m_delegate;
    int m_currentCMD = 0;
    std::uint64_t m_serial;
    std::map<BCCommandTransport::RequestID, std::weak_ptr<BCCommandTransport>> m_pending;
    std::shared_ptr<platform::Timer> m_pollTimer;
    int m_polls = 0;
    int m_lostPolls = 0;
    bool m_polling = false;

    friend class BCMPServiceConsumption;
};

class BCMPServiceConsumption final : public BCMPService {
public:
    static std::shared_ptr<BCMPServiceConsumption> create();

    void postGetUserInfoRequestWithParams(const std::string& params);
    // The "card" form when the flag is "1", else the "pan" form.
    void postRulesRequestWithFlag(const std::string& flag, const std::string& card, const std::string& payType,
                                  const std::string& payMode);
    void postBindCardRulesRequestWithParams(const std::string& params);
    void postModifyPhoneRequestWithCard(const std::string& card);
    void postFollowRulesRequestWithParams(const std::string& params);
    void postUnBindCardRequestWithCardId(const std::string& cardId);
    void postGetInstalmentWithCmd(const std::string& command, const std::string& element);
    void postBingoPromotionRequest();
    void postPromotionScore(const std::string& command, const std::optional<std::string>& uuid);
    void postPromotionCoupon(const std::string& command, const std::string& element);

private:
    BCMPServiceConsumption() = default;
};

} // namespace cardpay
