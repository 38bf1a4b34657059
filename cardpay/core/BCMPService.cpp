#include "cardpay/core/BCMPService.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCPReachability.h"
#include "cardpay/core/BCReplyMapper.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "platform/core/Crypto.h"
#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/system/Device.h"
#include "platform/system/Keychain.h"
#include "platform/system/TimeZone.h"
#include "platform/system/UserDefaults.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace cardpay {

namespace {

constexpr const char* kCipherKeyService = "BCMPService";
constexpr const char* kCipherKeyAccount = "StringCipherKey";
constexpr const char* kPayModeKey = "UserDefaultPayMode";

// The command core of the road: the service objects made since the road opened, and the transport.
struct Common {
    std::vector<std::weak_ptr<BCMPService>> services;
};

Common& common() {
    static Common c;
    return c;
}

std::shared_ptr<BCCommandTransport>& transportOverride() {
    static std::shared_ptr<BCCommandTransport> transport;
    return transport;
}

std::shared_ptr<BCCommandTransport> currentTransport() {
    if (auto& t = transportOverride())
        return t;
    return BCHttpsConnect::instance();
}

// The key of the string cipher; made and kept on first use when `create` is set.
std::optional<platform::Crypto::AES256Key> cipherKey(bool create) {
    auto& keychain = platform::Keychain::shared();
    const platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword},
                                     {platform::kSecAttrService, kCipherKeyService},
                                     {platform::kSecAttrAccount, kCipherKeyAccount}};
    platform::Dictionary lookup = query;
    lookup.set(platform::kSecReturnData, true);
    platform::Value found;
    platform::Crypto::AES256Key key{};
    const platform::OSStatus status = keychain.copyMatching(lookup, &found);
    if (status == platform::errSecSuccess) {
        const platform::Bytes* bytes = found.getBytes();
        if (!bytes || bytes->size() != key.size())
            return std::nullopt;
        std::copy(bytes->begin(), bytes->end(), key.begin());
        return key;
    }
    if (status != platform::errSecItemNotFound || !create || !platform::Crypto::randomBytes(key))
        return std::nullopt;
    platform::Dictionary item = query;
    item.set(platform::kSecValueData, platform::Bytes(key.begin(), key.end()));
    item.set(platform::kSecAttrAccessible, platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    if (keychain.add(item) != platform::errSecSuccess)
        return std::nullopt;
    return key;
}

std::string join(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a + "," + b;
}

} // namespace

// MARK: - Init values

BCInitInfo BCInitInfo::current() {
    BCInitInfo info;
    info.tn = BCDataContainer::instance()->mTN().value_or("");
    info.uid = BCUtils::currentUID().value_or(BCUtils::readUserIdFromFile("UserId").value_or(""));
    info.locale = BCUtils::currentLang().value_or("");
    info.terminalVersion = BCMPService::kClientVersion;
    info.terminalResolution = BCUtils::currentScreen();
    info.osName = platform::Device::current().systemName();
    info.osVersion = platform::Device::current().systemVersion();
    info.deviceMode = platform::Device::current().localizedModel();
    info.terminalType = platform::UserDefaults::standard().string("BCPayPluginClient").value_or("") == "YES" ? "1" : "2";
    info.timeZone = platform::TimeZone::description();
    switch (BCPReachability::reachabilityForInternetConnection()->currentReachabilityStatus()) {
    case BCPReachability::ReachableViaWWAN:
        info.networkMode = "mobile";
        break;
    case BCPReachability::ReachableViaWiFi:
        info.networkMode = "wifi";
        break;
    default:
        info.networkMode = "noNet";
        break;
    }
    return info;
}

std::string BCInitInfo::parameterText() const {
    const std::pair<const char*, const std::string*> members[] = {
        {"tn", &tn}, {"uid", &uid}, {"locale", &locale}, {"terminalVersion", &terminalVersion},
        {"terminalResolution", &terminalResolution}, {"osName", &osName}, {"osVersion", &osVersion},
        {"deviceMode", &deviceMode}, {"terminalType", &terminalType}, {"timeZone", &timeZone},
        {"networkMode", &networkMode}};
    std::string text;
    for (const auto& [name, value] : members)
        text = join(text, BCJsonService::member(name, *value));
    return text;
}

// MARK: - Service objects

std::shared_ptr<BCMPService> BCMPService::create() {
    std::shared_ptr<BCMPService> service(new BCMPService());
    registerService(service);
    return service;
}

void BCMPService::registerService(const std::shared_ptr<BCMPService>& service) {
    auto& services = common().services;
    std::erase_if(services, [](const std::weak_ptr<BCMPService>& s) { return s.expired(); });
    services.push_back(service);
}

BCMPService::~BCMPService() { abandon(); }

void BCMPService::abandon() {
    stopPoll();
    for (const auto& [id, transport] : m_pending)
        if (auto t = transport.lock())
            t->cancel(id);
    m_pending.clear();
}

void BCMPService::releaseCommon() {
    auto services = std::move(common().services);
    common().services.clear();
    for (const auto& weak : services)
        if (auto service = weak.lock())
            service->abandon();
}

void BCMPService::setTransport(std::shared_ptr<BCCommandTransport> transport) { transportOverride() = std::move(transport); }

BCMPService::BCMPService() {
    static std::uint64_t lastSerial = 0;
    m_serial = ++lastSerial;
}

namespace {

// A command's name as a server that reads names without regard to ASCII case or surrounding blanks
// would take it.
std::string readAsServer(std::string_view command) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!command.empty() && blank(command.front()))
        command.remove_prefix(1);
    while (!command.empty() && blank(command.back()))
        command.remove_suffix(1);
    std::string name(command);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

} // namespace

std::optional<BCPayment::Meaning> BCMPService::moneyMovingCommand(std::string_view command) {
    const std::string name = readAsServer(command);
    if (name == "pay")
        return BCPayment::Meaning::Paid;
    if (name == "prepay")
        return BCPayment::Meaning::Authorised;
    return std::nullopt;
}

bool BCMPService::isResultQuery(std::string_view command) { return readAsServer(command) == "query"; }

void BCMPService::post(int code, ReplyKind kind, std::string_view command, const std::string& parameterText) {
    m_currentCMD = code;
    stopPoll();
    if (moneyMovingCommand(command) || isResultQuery(command)) {
        // A server-named command (points, coupon, a box's action) that would move money, or the result
        // poll's own: never sent outside the payment's guard or the poll.
        platform::Log::write("BCMPService: \"" + std::string(command) + "\" is not sent as a plain command");
        failLater(kBCFailureSystem);
        return;
    }
    send(kind, command, parameterText);
}

void BCMPService::failLater(int type) {
    platform::DispatchQueue::main()->async([weak = weak_from_this(), type] {
        auto self = weak.lock();
        auto delegate = self ? self->m_delegate.lock() : nullptr;
        if (delegate)
            delegate->comunicateToBCMPDidFailWithErrorType(type, std::nullopt);
    });
}

void BCMPService::answerPaidLater() {
    platform::DispatchQueue::main()->async([weak = weak_from_this()] {
        auto self = weak.lock();
        auto delegate = self ? self->m_delegate.lock() : nullptr;
        if (delegate)
            delegate->comunicateToBCMPDidSucceedWithEvent(kBCEventPaySucceeded);
    });
}

void BCMPService::postPayment(int code, std::string_view command, const std::string& parameterText, BCPayment::Meaning meaning) {
    m_currentCMD = code;
    if (isResultQuery(command)) {
        // A "00" to it would stand for a payment never sent.
        platform::Log::write("BCMPService: \"" + std::string(command) + "\" asks for a result and is not sent as a payment");
        failLater(kBCFailureSystem);
        return;
    }
    meaning = moneyMovingCommand(command).value_or(meaning);  // "pay" pays, wherever it is sent from
    const auto container = BCDataContainer::instance();
    if (container->roadEnding()) {
        platform::Log::write("BCMPService: \"" + std::string(command) + "\" is not sent: the road is ending");
        return;
    }
    if (container->orderPaid()) {
        platform::Log::write("BCMPService: \"" + std::string(command) + "\" is not sent: the order is paid");
        answerPaidLater();
        return;
    }
    if (container->paymentOutstanding()) {
        platform::Log::write("BCMPService: \"" + std::string(command) + "\" is not sent: a payment's result is still awaited");
        queryPaymentResult();
        return;
    }
    if (meaning == BCPayment::Meaning::Authorised && container->orderAuthorised()) {
        platform::Log::write("BCMPService: \"" + std::string(command) + "\" is not sent: the order is authorised");
        answerPaidLater();
        return;
    }
    static std::uint64_t lastNumber = 0;
    const std::uint64_t number = ++lastNumber;
    container->setOutstandingPayment(
        BCPayment{std::string(command), code, container->mTN().value_or(""), meaning, m_serial, number, container->authorisationCard().value_or("")});
    stopPoll();
    send(ReplyKind::Payment, command, parameterText, number);
}

void BCMPService::send(ReplyKind kind, std::string_view command, const std::string& parameterText, std::uint64_t payment) {
    const auto body = BCJsonService::instance()->commandBody(command, parameterText);
    if (!body) {
        platform::Log::write("BCMPService: the parameters of \"" + std::string(command) + "\" do not make a command");
        if (payment != 0)
            BCDataContainer::instance()->setOutstandingPayment(std::nullopt);  // nothing went out
        failLater(kBCFailureSystem);
        return;
    }
    auto transport = currentTransport();
    // The id is known only once `send` returns; the completion never runs before that.
    auto id = std::make_shared<BCCommandTransport::RequestID>(0);
    *id = transport->send(*body, [weak = weak_from_this(), id, kind, payment](BCTransportOutcome outcome) {
        if (auto self = weak.lock())
            self->received(*id, kind, payment, std::move(outcome));
    });
    m_pending.emplace(*id, transport);
}

void BCMPService::received(BCCommandTransport::RequestID id, ReplyKind kind, std::uint64_t payment, BCTransportOutcome outcome) {
    if (m_pending.erase(id) == 0)
        return;
    const auto keepAlive = shared_from_this(); // a delegate may let go of its service while it is told
    auto delegate = m_delegate.lock();
    if (!delegate) {
        stopPoll();
        return;
    }
    BCReply reply;
    switch (outcome.kind) {
    case BCTransportOutcome::Kind::Body:
        reply = BCJsonService::instance()->parseReply(outcome.body);
        break;
    case BCTransportOutcome::Kind::TooLarge:
        reply.failureType = kBCFailureBadReply;
        break;
    case BCTransportOutcome::Kind::NetworkFailure:
        reply.failureType = kBCFailureNetwork;
        break;
    }
    if (!reply.ok()) {
        const bool endsTheRoad = reply.failureType == kBCFailureSessionOver || reply.failureType == kBCFailureFatal;
        if (kind == ReplyKind::Query && !endsTheRoad) {
            pollLost(*delegate);
            return;
        }
        if (kind == ReplyKind::Payment) {
            if (reply.failureType == kBCFailureNetwork || reply.failureType == kBCFailureBadReply) {
                // The command may have reached the server: its result is asked for, never the command again.
                startPoll();
                return;
            }
            // The server answered: not taken. Only this command is given up, not a later one outstanding.
            const auto container = BCDataContainer::instance();
            if (const auto& outstanding = container->outstandingPayment(); outstanding && outstanding->number == payment)
                container->setOutstandingPayment(std::nullopt);
        }
        stopPoll();
        delegate->comunicateToBCMPDidFailWithErrorType(reply.failureType, reply.message);
        return;
    }
    handle(*delegate, kind, payment, reply);
}

void BCMPService::handle(BCMPServiceDelegate& delegate, ReplyKind kind, std::uint64_t payment, const BCReply& reply) {
    auto container = BCDataContainer::instance();
    const platform::Dictionary& params = reply.params;
    const bool carriesForms = kind == ReplyKind::UserInfo || kind == ReplyKind::Rules || kind == ReplyKind::FollowRules;
    if (carriesForms && BCReplyMapper::hasMalformedPoints(params)) {
        delegate.comunicateToBCMPDidFailWithErrorType(kBCFailureBadReply, std::nullopt);
        return;
    }
    switch (kind) {
    case ReplyKind::Init: {
        container->apply(BCReplyMapper::initReply(params));
        const platform::Dictionary* update = params["update_info"].getDictionary();
        if (!update)
            delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventInitDone);
        else
            delegate.comunicateToBCMPDidSucceedWithEvent((*update)["force"].stringOr("") == "1" ? kBCEventUpgradeRequired
                                                                                                : kBCEventUpgradeOffered);
        return;
    }
    case ReplyKind::Sms:
        container->apply(BCReplyMapper::common(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventSmsSent);
        return;
    case ReplyKind::Payment:
        container->apply(BCReplyMapper::paymentReply(params));
        startPoll();
        return;
    case ReplyKind::Query:
        handleQuery(delegate, reply, payment);
        return;
    case ReplyKind::UserInfo:
        container->apply(BCReplyMapper::userInfoReply(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventUserInfo);
        return;
    case ReplyKind::Rules:
        container->apply(BCReplyMapper::rulesReply(params));
        if (BCReplyMapper::hasEntrustStep(params)) {
            BCTrackerManager::trackEvent("entrust_phoneNO_change");
            container->setBcPayPrefix("entrust_phoneNO_change_");
            delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventRulesWithEntrust);
        } else {
            delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventRules);
        }
        return;
    case ReplyKind::FollowRules:
        container->apply(BCReplyMapper::rulesReply(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventFollowRules);
        return;
    case ReplyKind::UnbindCard:
        container->apply(BCReplyMapper::common(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventCardUnbound);
        return;
    case ReplyKind::Instalment:
        // A reply with neither new plans nor the text saying there are none answers nothing.
        if (!params["instalment"].isDictionary() && !params["instalment_empty_info"].isString()) {
            delegate.comunicateToBCMPDidFailWithErrorType(kBCFailureBadReply, std::nullopt);
            return;
        }
        container->apply(BCReplyMapper::instalmentReply(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventInstalment);
        return;
    case ReplyKind::LuckyDraw:
        container->apply(BCReplyMapper::bingoPromotionReply(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventLuckyDraw);
        return;
    case ReplyKind::Points:
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventPoints, reply.whole);
        return;
    case ReplyKind::Coupon:
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventCoupon, reply.whole);
        return;
    case ReplyKind::Temp:
        container->apply(BCReplyMapper::common(params));
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventTempAnswered);
        return;
    }
}

void BCMPService::handleQuery(BCMPServiceDelegate& delegate, const BCReply& reply, std::uint64_t payment) {
    auto container = BCDataContainer::instance();
    const platform::Dictionary& params = reply.params;
    const std::string* status = params["status"].getString();
    const std::string* failMessage = params["fail_msg"].getString();
    const auto message = failMessage ? std::optional<std::string>(*failMessage) : std::nullopt;
    // An answer to a "query" sent while another payment was outstanding (settled elsewhere since, and a
    // later one sent) says nothing about the payment outstanding now: as "not known yet" for it.
    const auto& outstanding = container->outstandingPayment();
    const bool aboutAnother = outstanding && outstanding->number != payment;
    if (status && (*status == "01" || (aboutAnother && (*status == "00" || *status == "03")))) {
        m_lostPolls = 0;
        if (++m_polls < kMaxPolls) {
            scheduleQuery();
            return;
        }
        stopPoll();
        const auto text = container->queryTimeoutMessage().value_or(BCLocale::instance()->getStringById(12013));
        delegate.comunicateToBCMPDidFailWithErrorType(kBCFailurePollTimeout, text);
        return;
    }
    if (!status || (*status != "00" && *status != "03")) {
        pollLost(delegate);
        return;
    }
    stopPoll();
    if (const auto& settled = container->lastSettledPayment(); payment != 0 && !outstanding && settled && settled->number == payment) {
        // The payment asked about was settled by another poll meanwhile: the asker hears how, whatever
        // this later answer says.
        if (container->lastSettlementSucceeded())
            delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventPaySucceeded);
        else
            delegate.comunicateToBCMPDidFailWithErrorType(kBCFailurePayment, std::nullopt);
        return;
    }
    if (settle(params)) {
        delegate.comunicateToBCMPDidSucceedWithEvent(kBCEventPaySucceeded);
    } else {
        const bool reopen = params["reopen_flag"].stringOr("") == "0";
        delegate.comunicateToBCMPDidFailWithErrorType(reopen ? kBCFailureReopen : kBCFailurePayment, message);
    }
}

bool BCMPService::settle(const platform::Dictionary& params) {
    auto container = BCDataContainer::instance();
    const bool succeeded = params["status"].stringOr("") == "00";
    container->apply(succeeded ? BCReplyMapper::queryReply(params) : BCReplyMapper::common(params));
    container->settleOutstandingPayment(succeeded);
    return succeeded;
}

std::function<void()> BCMPService::askPaymentResultOnce(std::function<void(std::optional<bool>)> done) {
    const auto container = BCDataContainer::instance();
    const auto body = BCJsonService::instance()->commandBody("query", BCJsonService::member("tn", container->mTN().value_or("")));
    if (!container->paymentOutstanding() || !body) {
        auto cancelled = std::make_shared<bool>(false);
        platform::DispatchQueue::main()->async([cancelled, done = std::move(done)] {
            if (!*cancelled)
                done(std::nullopt);
        });
        return [cancelled] { *cancelled = true; };
    }
    const auto transport = currentTransport();
    const std::uint64_t payment = container->outstandingPayment()->number;
    const auto id = transport->send(*body, [done = std::move(done), payment](BCTransportOutcome outcome) {
        std::optional<bool> answer;
        const auto& outstanding = BCDataContainer::instance()->outstandingPayment();
        if (outcome.kind == BCTransportOutcome::Kind::Body && outstanding && outstanding->number == payment) {
            const BCReply reply = BCJsonService::instance()->parseReply(outcome.body);
            const std::string status = reply.ok() ? reply.params["status"].stringOr("") : "";
            if (status == "00" || status == "03")
                answer = settle(reply.params);
        }
        done(answer);
    });
    return [weak = std::weak_ptr<BCCommandTransport>(transport), id] {
        if (const auto t = weak.lock())
            t->cancel(id);
    };
}

void BCMPService::startPoll() {
    m_polls = 0;
    m_lostPolls = 0;
    m_polling = true;
    sendQuery();
}

void BCMPService::scheduleQuery() {
    m_pollTimer = platform::RunLoop::main().scheduleTimer(platform::seconds(kPollInterval), [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->sendQuery();
    });
}

void BCMPService::pollLost(BCMPServiceDelegate& delegate) {
    if (++m_lostPolls < kMaxLostPolls) {
        scheduleQuery();
        return;
    }
    stopPoll();
    delegate.comunicateToBCMPDidFailWithErrorType(kBCFailureResultUnknown, BCLocale::instance()->getStringById(12017));
}

void BCMPService::queryPaymentResult() {
    if (m_polling)
        return;
    startPoll();
}

void BCMPService::sendQuery() {
    if (!m_polling)
        return;
    m_pollTimer.reset();
    // The answer is about the payment outstanding now (its number; 0 when none is).
    const auto container = BCDataContainer::instance();
    const auto& outstanding = container->outstandingPayment();
    send(ReplyKind::Query, "query", BCJsonService::member("tn", container->mTN().value_or("")), outstanding ? outstanding->number : 0);
}

void BCMPService::stopPoll() {
    m_polling = false;
    if (m_pollTimer) {
        m_pollTimer->invalidate();
        m_pollTimer.reset();
    }
}

void BCMPService::postInitRequest(const BCInitInfo& info) { post(kBCCmdInit, ReplyKind::Init, "init", info.parameterText()); }

void BCMPService::postSmsRequestWithFlag(const std::string& flag, const std::string& params) {
    post(kBCCmdSms, ReplyKind::Sms, "sms", join(BCJsonService::member("first_pay_flag", flag), params));
}

void BCMPService::postRequestWithCmd(const std::string& command, const std::string& elements) {
    postPayment(kBCCmdPay, command, elements, BCPayment::Meaning::Paid);
}

void BCMPService::postPreCmd(const std::string& command, const std::string& elements) {
    postPayment(kBCCmdPre, command, elements, BCPayment::Meaning::Authorised);
}

void BCMPService::postTempRequestWithCmd(const std::string& command, const std::string& elements) {
    // A box carries none of what a payment needs (card, PIN, agreement): `post` sends no payment command.
    post(kBCCmdTemp, ReplyKind::Temp, command, elements);
}

// MARK: - Cipher and pay mode

std::optional<std::string> BCMPService::encryptString(const std::string& text) {
    const auto key = cipherKey(true);
    if (!key)
        return std::nullopt;
    auto sealed = platform::Crypto::aes256GCMSeal(*key, platform::bytesOf(text));
    if (!sealed.ok())
        return std::nullopt;
    return platform::Crypto::base64Encode(*sealed);
}

std::optional<std::string> BCMPService::decryptString(const std::string& text) {
    const auto sealed = platform::Crypto::base64Decode(text);
    if (!sealed)
        return std::nullopt;
    const auto key = cipherKey(false);
    if (!key)
        return std::nullopt;
    auto plain = platform::Crypto::aes256GCMOpen(*key, *sealed);
    if (!plain.ok())
        return std::nullopt;
    return std::string(plain->begin(), plain->end());
}

std::string BCMPService::userDefaultPayMode() {
    const auto stored = BCUtils::readUserIdFromFile(kPayModeKey);
    if (!stored)
        return "1";
    return decryptString(*stored).value_or("1");
}

void BCMPService::storageUserDefaultPayMode(const std::string& mode) {
    if (const auto sealed = encryptString(mode))
        (void)BCUtils::writeUserIdToFile(*sealed, kPayModeKey);
}

// MARK: - Consumption

std::shared_ptr<BCMPServiceConsumption> BCMPServiceConsumption::create() {
    std::shared_ptr<BCMPServiceConsumption> service(new BCMPServiceConsumption());
    registerService(service);
    return service;
}

void BCMPServiceConsumption::postGetUserInfoRequestWithParams(const std::string& params) {
    post(kBCCmdGetUserInfo, ReplyKind::UserInfo, "getuserinfo", params);
}

void BCMPServiceConsumption::postRulesRequestWithFlag(const std::string& flag, const std::string& card,
                                                      const std::string& payType, const std::string& payMode) {
    std::string text = BCJsonService::member("first_pay_flag", flag);
    text = join(text, BCJsonService::member(flag == "1" ? "card" : "pan", card));
    text = join(text, BCJsonService::member("pay_type", payType));
    text = join(text, BCJsonService::member("pay_mode", payMode));
    BCDataContainer::instance()->setAuthorisationCard(card);
    post(kBCCmdRules, ReplyKind::Rules, "rules", text);
}

void BCMPServiceConsumption::postBindCardRulesRequestWithParams(const std::string& params) {
    const auto container = BCDataContainer::instance();
    container->setAuthorisationCard(container->mEntrustedCard().value_or(params));  // the card typed for it
    post(kBCCmdBindCardRules, ReplyKind::Rules, "bindcardrules", params);
}

void BCMPServiceConsumption::postModifyPhoneRequestWithCard(const std::string& card) {
    BCDataContainer::instance()->setAuthorisationCard(card);
    post(kBCCmdModifyPhone, ReplyKind::Rules, "modifyphone", BCJsonService::member("card", card));
}

void BCMPServiceConsumption::postFollowRulesRequestWithParams(const std::string& params) {
    post(kBCCmdFollowRules, ReplyKind::FollowRules, "followrules", params);
}

void BCMPServiceConsumption::postUnBindCardRequestWithCardId(const std::string& cardId) {
    post(kBCCmdUnbindCard, ReplyKind::UnbindCard, "unbindcard", BCJsonService::member("card", cardId));
}

void BCMPServiceConsumption::postGetInstalmentWithCmd(const std::string& command, const std::string& element) {
    post(kBCCmdInstalment, ReplyKind::Instalment, command, element);
}

void BCMPServiceConsumption::postBingoPromotionRequest() {
    post(kBCCmdBingoPromotion, ReplyKind::LuckyDraw, "bingopromotion", "");
}

void BCMPServiceConsumption::postPromotionScore(const std::string& command, const std::optional<std::string>& uuid) {
    post(kBCCmdPoints, ReplyKind::Points, command, uuid ? BCJsonService::member("uuid", *uuid) : std::string());
}

void BCMPServiceConsumption::postPromotionCoupon(const std::string& command, const std::string& element) {
    post(kBCCmdCoupon, ReplyKind::Coupon, command, element);
}

} // namespace cardpay
