#include "cardpay/core/BCJsonService.h"

#include "platform/formats/JSON.h"

namespace cardpay {

namespace {

std::shared_ptr<BCJsonService>& shared() {
    static std::shared_ptr<BCJsonService> service;
    return service;
}

// The JSON string literal of a text, escaped only where JSON needs it: quotes, backslashes and control
// characters (the platform writer would also escape "/", changing ordinary values).
void appendLiteral(std::string& out, std::string_view text) {
    static const char* const kHex = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

} // namespace

std::shared_ptr<BCJsonService> BCJsonService::instance() {
    auto& service = shared();
    if (!service)
        service = std::make_shared<BCJsonService>();
    return service;
}

void BCJsonService::releaseInstance() { shared().reset(); }

std::string BCJsonService::member(std::string_view name, std::string_view value) {
    std::string out;
    appendLiteral(out, name);
    out += ':';
    appendLiteral(out, value);
    return out;
}

std::optional<std::string> BCJsonService::commandBody(std::string_view command, std::string_view parameterText) const {
    std::string body = "{\"v\":\"";
    body += kVersion;
    body += "\",\"cmd\":";
    appendLiteral(body, command);
    body += ",\"params\":{";
    body += parameterText;
    body += "}}";
    // The text must make one object whose "params" is an object: a parameter text like `"a":"b"},"x":{`
    // parses, but would smuggle members next to "params".
    auto parsed = platform::JSON::parse(body);
    if (!parsed.ok() || parsed->getDictionary()->size() != 3 || !(*parsed)["params"].isDictionary() ||
        (*parsed)["cmd"].stringOr("") != command)
        return std::nullopt;
    return body;
}

BCReply BCJsonService::parseReply(std::span<const std::uint8_t> body) const {
    BCReply reply;
    reply.failureType = kBCFailureBadReply;
    if (body.size() > kMaxReplyLength)
        return reply;
    auto parsed = platform::JSON::parse(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!parsed.ok() || !parsed->isDictionary())
        return reply;
    reply.whole = std::move(*parsed->getDictionary());
    const std::string* resp = reply.whole["resp"].getString();
    if (!resp)
        return reply;
    if (const std::string* msg = reply.whole["msg"].getString())
        reply.message = *msg;
    if (*resp == "00") {
        const platform::Dictionary* params = reply.whole["params"].getDictionary();
        if (!params)
            return reply;
        reply.params = *params;
        reply.failureType = 0;
        reply.message.reset();
    } else if (*resp == "98") {
        reply.failureType = kBCFailureSessionOver;
    } else if (*resp == "99") {
        reply.failureType = kBCFailureFatal;
    } else {
        reply.failureType = reply.message ? kBCFailureMessage : kBCFailureSystem;
    }
    return reply;
}

} // namespace cardpay
