#include "support/CardPayTestServer.h"

#include "platform/formats/JSON.h"
#include "support/SourceTree.h"

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <set>
#include <sstream>

namespace testsupport {

namespace {

constexpr std::size_t kMaxScenarioLength = 1 << 20;

// The members each command must carry as texts.
const std::map<std::string, std::vector<std::string>>& requiredMembers() {
    static const std::map<std::string, std::vector<std::string>> members{
        {"init", {"tn", "uid", "locale", "terminalVersion", "terminalResolution", "osName", "osVersion", "deviceMode",
                  "terminalType", "timeZone", "networkMode"}},
        {"sms", {"first_pay_flag"}},
        {"rules", {"first_pay_flag", "pay_type", "pay_mode"}},
        {"modifyphone", {"card"}},
        {"unbindcard", {"card"}},
        {"query", {"tn"}},
        {"getuserinfo", {}},
        {"bindcardrules", {}},
        {"followrules", {}},
        {"instalment", {}},
        {"bingopromotion", {}},
        {"pay", {}},
        {"prepay", {}},
        {"point", {}},
        {"coupon", {}},
    };
    return members;
}

std::string envelopeText(const platform::Dictionary& envelope) {
    return platform::JSON::writeCompact(envelope).valueOr("{}");
}

Reply jsonReply(std::string text) { return Reply::text(200, std::move(text), "application/json"); }

// Every member replaced by one of another type.
platform::Dictionary wrongTypes(const platform::Dictionary& params) {
    platform::Dictionary out;
    for (const auto& [key, value] : params) {
        if (value.isString())
            out.set(key, 7);
        else if (value.isArray())
            out.set(key, "text");
        else if (value.isDictionary())
            out.set(key, platform::Array{1, 2});
        else
            out.set(key, platform::Dictionary{{"x", "y"}});
    }
    return out;
}

} // namespace

CardPayTestServer::CardPayTestServer() : CardPayTestServer(platform::Dictionary{}) {}

CardPayTestServer::CardPayTestServer(platform::Dictionary scenario, std::uint16_t port) : m_http(port) {
    setScenario(std::move(scenario));
    m_http.route("/gateway", [this](const RecordedRequest& request) { return answer(request.body); });
}

platform::Result<platform::Dictionary> CardPayTestServer::loadScenario(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return platform::Error("CardPayTestServer", 1, "cannot open " + path);
    std::string text;
    text.resize(kMaxScenarioLength + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxScenarioLength)
        return platform::Error("CardPayTestServer", 2, path + " is larger than 1 MiB");
    auto parsed = platform::JSON::parse(text);
    if (!parsed.ok())
        return parsed.error();
    if (!parsed->isDictionary() || !(*parsed)["replies"].isDictionary())
        return platform::Error("CardPayTestServer", 3, path + ": a scenario is an object with a \"replies\" object");
    return std::move(*parsed->getDictionary());
}

std::string CardPayTestServer::sampleScenarioPath() { return hybtest::sourcePath("tests/support/cardpay/sample-order.json"); }

void CardPayTestServer::setScenario(platform::Dictionary scenario) {
    std::vector<std::string> paths;
    {
        std::lock_guard lock(m_mutex);
        m_replies = scenario["replies"].dictionaryOrEmpty();
        m_login = scenario["login"].getDictionary() ? std::optional(*scenario["login"].getDictionary()) : std::nullopt;
        m_pages = scenario["pages"].dictionaryOrEmpty();
        m_sequencePositions.clear();
        paths = m_pages.keys();
    }
    for (const auto& path : paths) {
        if (path.empty() || path.front() != '/')
            continue;
        m_http.route(path, [this, path](const RecordedRequest&) {
            if (const auto html = page(path))
                return Reply::text(200, *html, "text/html; charset=utf-8");
            return Reply::text(404, "not found");
        });
    }
}

std::string CardPayTestServer::withServerAddress(std::string text) const {
    static constexpr std::string_view kPlaceholder = "{server}";
    const std::string address = m_http.url("");
    for (std::size_t at = text.find(kPlaceholder); at != std::string::npos; at = text.find(kPlaceholder, at + address.size()))
        text.replace(at, kPlaceholder.size(), address);
    return text;
}

platform::Value CardPayTestServer::withServerAddress(const platform::Value& value) const {
    if (const std::string* text = value.getString())
        return withServerAddress(*text);
    if (const platform::Array* items = value.getArray()) {
        platform::Array out;
        for (const auto& item : *items)
            out.push_back(withServerAddress(item));
        return out;
    }
    if (const platform::Dictionary* members = value.getDictionary()) {
        platform::Dictionary out;
        for (const auto& [key, member] : *members)
            out.set(key, withServerAddress(member));
        return out;
    }
    return value;
}

std::optional<std::string> CardPayTestServer::page(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    const platform::Dictionary* page = m_pages[path].getDictionary();
    if (!page)
        return std::nullopt;
    // Texts go into the page escaped: a scenario's words, not markup.
    const auto escaped = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
            }
        }
        return out;
    };
    const std::string title = escaped((*page)["title"].stringOr(""));
    const std::string text = escaped((*page)["text"].stringOr(""));
    return withServerAddress("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                             "<meta name=\"viewport\" content=\"width=device-width\"><title>" + title +
                             "</title></head><body style=\"font-family: sans-serif; margin: 16px\"><h2>" + title + "</h2><p>" + text +
                             "</p></body></html>");
}

void CardPayTestServer::setReply(const std::string& cmd, platform::Value params) {
    std::lock_guard lock(m_mutex);
    m_replies.set(cmd, std::move(params));
    m_sequencePositions.erase(cmd);
}

void CardPayTestServer::setEnvelope(const std::string& cmd, platform::Dictionary envelope) {
    std::lock_guard lock(m_mutex);
    m_envelopes[cmd] = std::move(envelope);
}

void CardPayTestServer::setFault(const std::string& cmd, Fault fault) {
    std::lock_guard lock(m_mutex);
    m_faults[cmd] = fault;
}

void CardPayTestServer::setPollFault(PollFault fault) {
    std::lock_guard lock(m_mutex);
    m_pollFault = std::move(fault);
    m_pollFaultActive = false;
    m_pollFaultStarted = false;
    m_faultyPolls = 0;
}

std::vector<CardPayTestServer::Command> CardPayTestServer::commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<CardPayTestServer::Command> CardPayTestServer::commands(const std::string& cmd) const {
    std::vector<Command> out;
    for (auto& c : commands())
        if (c.cmd == cmd)
            out.push_back(std::move(c));
    return out;
}

std::vector<std::string> CardPayTestServer::malformed() const {
    std::lock_guard lock(m_mutex);
    return m_malformed;
}

bool CardPayTestServer::loginAccepted(const platform::Dictionary& params) const {
    if (!m_login || !params.contains("user_name"))
        return true;
    return params["user_name"] == (*m_login)["user_name"] && params["password"] == (*m_login)["password"];
}

bool CardPayTestServer::knowsCommand(const std::string& cmd) const {
    std::lock_guard lock(m_mutex);
    return requiredMembers().contains(cmd) || m_replies.contains(cmd);
}

std::optional<std::string> CardPayTestServer::validate(const platform::Dictionary& request, const std::string& cmd) const {
    if (request["v"].stringOr("") != "1.4")
        return "\"v\" is not \"1.4\"";
    if (!request["params"].isDictionary())
        return "\"params\" is not an object";
    const auto& required = requiredMembers();
    const auto known = required.find(cmd);
    if (known == required.end() && !m_replies.contains(cmd))
        return "unknown command \"" + cmd + "\"";
    const platform::Dictionary& params = *request["params"].getDictionary();
    if (known != required.end()) {
        for (const auto& name : known->second)
            if (!params[name].isString())
                return "\"" + cmd + "\" needs the text \"" + name + "\"";
    }
    if (cmd == "rules" && params["card"].isString() == params["pan"].isString())
        return "\"rules\" needs one of \"card\" and \"pan\"";
    if (cmd == "bingopromotion" && !params.empty())
        return "\"bingopromotion\" takes empty params";
    return std::nullopt;
}

Reply CardPayTestServer::answer(const std::string& body) {
    auto parsed = platform::JSON::parse(body);
    std::lock_guard lock(m_mutex);
    const platform::Dictionary* request = parsed.ok() ? parsed->getDictionary() : nullptr;
    const std::string* cmd = request ? (*request)["cmd"].getString() : nullptr;
    std::optional<std::string> problem;
    if (!request)
        problem = "the body is not a JSON object";
    else if (!cmd)
        problem = "\"cmd\" is not a text";
    else
        problem = validate(*request, *cmd);
    if (problem) {
        m_malformed.push_back(*problem);
        return jsonReply(envelopeText({{"resp", "E1"}, {"msg", "malformed request: " + *problem}}));
    }
    m_commands.push_back({*cmd, (*request)["params"].dictionaryOrEmpty(), body});

    platform::Value params = platform::Dictionary{};
    if (const platform::Value* reply = m_replies.find(*cmd)) {
        if (const platform::Array* sequence = reply->getArray(); sequence && !sequence->empty()) {
            std::size_t& position = m_sequencePositions[*cmd];
            params = (*sequence)[std::min(position, sequence->size() - 1)];
            ++position;
        } else if (reply->isDictionary()) {
            params = *reply;
        }
    }
    platform::Dictionary envelope{{"resp", "00"}, {"msg", ""}, {"params", params}};
    if (auto custom = m_envelopes.find(*cmd); custom != m_envelopes.end())
        envelope = custom->second;
    else if (*cmd == "getuserinfo" && !loginAccepted((*request)["params"].dictionaryOrEmpty()))
        envelope = {{"resp", "01"}, {"msg", kWrongLogin}};

    const auto faultEntry = m_faults.find(*cmd);
    Fault fault = faultEntry == m_faults.end() ? Fault::None : faultEntry->second;
    if (m_pollFault) {
        // "query" itself named as the start: the first poll starts the fault (and is faulty itself); later
        // polls do not start it again, or it would never heal after its count.
        const bool starts = *cmd == m_pollFault->after && !(*cmd == "query" && m_pollFaultStarted);
        if (starts) {
            m_pollFaultActive = true;
            m_pollFaultStarted = true;
            m_faultyPolls = 0;
        } else if (*cmd == m_pollFault->healOn) {
            m_pollFaultActive = false;
        }
        if (*cmd == "query" && m_pollFaultActive) {
            fault = m_pollFault->fault;
            m_pollFaultActive = m_pollFault->healAfter <= 0 || ++m_faultyPolls < m_pollFault->healAfter;
        }
    }
    switch (fault) {
    case Fault::None:
        break;
    case Fault::NotJSON:
        return jsonReply("<html>gateway error</html>");
    case Fault::NotObject:
        return jsonReply(R"(["resp","00"])");
    case Fault::ParamsMissing:
        envelope.remove("params");
        break;
    case Fault::ParamsWrongType:
        envelope.set("params", "params");
        break;
    case Fault::FieldsWrongType:
        envelope.set("params", wrongTypes(params.dictionaryOrEmpty()));
        break;
    case Fault::HTTP500:
        return Reply::text(500, "internal error");
    case Fault::Drop: {
        Reply reply = jsonReply(withServerAddress(envelopeText(envelope)));
        reply.dropAfterBodyBytes = 0;
        return reply;
    }
    case Fault::Hold: {
        Reply reply = jsonReply(withServerAddress(envelopeText(envelope)));
        reply.hold = true;
        return reply;
    }
    case Fault::NoReply:
        return Reply::closedWithoutReply();
    case Fault::Redirect:
        return Reply::text(307, "").withHeader("Location", "/gateway");
    }
    return jsonReply(withServerAddress(envelopeText(envelope)));
}

} // namespace testsupport
