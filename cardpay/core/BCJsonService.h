// The command body the core sends and the reply envelope it reads.
//
// Body: {"v":"1.4","cmd":<name>,"params":{<parameter text>}}, the parameter text as given (members
// separated by ","). A body that is not valid JSON (a parameter text that does not make an object) is
// refused before anything is sent.
//
// Reply envelope: a JSON object {"resp": code, "msg": text, "params": {...}}, at most kMaxReplyLength
// bytes. Outcome, as a failure type of the service delegate:
//   - not a JSON object, "resp" absent or not a text, "params" absent or not an object when "resp" is
//     "00": 2006;
//   - "resp" "00": success, with "params";
//   - "resp" "98": 2002 (the session is over), with "msg" when it is a text;
//   - "resp" "99": 2004 (a fatal error), with "msg" when it is a text;
//   - any other "resp": 2001 with "msg" when it is a text, else 2000.
// The init reply's choice of event rests on "update_info" (a dictionary with "url" and "desc"): absent,
// 3002; present, 3000; present with "force" "1", 3001 (BCMPService).
//
// Thread: main thread only; the parsing itself is pure.
#pragma once

#include "platform/core/Value.h"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cardpay {

// The failure types of the service delegate.
enum BCFailureType : int {
    kBCFailureSystem = 2000,
    kBCFailureMessage = 2001,
    kBCFailureSessionOver = 2002,
    kBCFailureNetwork = 2003,
    kBCFailureFatal = 2004,
    kBCFailureSilent = 2005,
    kBCFailureBadReply = 2006,
    kBCFailurePayment = 2007,
    kBCFailurePollTimeout = 2008,
    kBCFailureResultUnknown = 2009,  // the payment's result could not be had: it is being confirmed
    kBCFailureReopen = 2011,
};

struct BCReply {
    int failureType = 0; // 0 for success
    std::optional<std::string> message;
    platform::Dictionary params; // on success
    platform::Dictionary whole;  // the whole reply object, when it was one
    bool ok() const { return failureType == 0; }
};

class BCJsonService {
public:
    static constexpr std::size_t kMaxReplyLength = 1 << 20;
    static constexpr const char* kVersion = "1.4";

    static std::shared_ptr<BCJsonService> instance();
    static void releaseInstance();

    // The body for a command, or none when the parameter text does not make a JSON object.
    std::optional<std::string> commandBody(std::string_view command, std::string_view parameterText) const;
    BCReply parseReply(std::span<const std::uint8_t> body) const;

    // A parameter member "name":"value", the value JSON-escaped (a quote or backslash cannot leave the
    // string); ordinary texts come out unchanged.
    static std::string member(std::string_view name, std::string_view value);
};

} // namespace cardpay
