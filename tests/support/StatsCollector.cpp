#include "support/StatsCollector.h"

#include "platform/formats/JSON.h"

#include <zlib.h>

#include <array>
#include <utility>

namespace testsupport {

std::string rc4(std::string_view key, std::string_view data) {
    std::array<std::uint8_t, 256> s{};
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + static_cast<std::uint8_t>(key[i % key.size()]));
        std::swap(s[i], s[j]);
    }
    std::string out(data);
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    for (char& c : out) {
        a = static_cast<std::uint8_t>(a + 1);
        b = static_cast<std::uint8_t>(b + s[a]);
        std::swap(s[a], s[b]);
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^ s[static_cast<std::uint8_t>(s[a] + s[b])]);
    }
    return out;
}

namespace {

// Inflates a gzip stream (window bits 31: a zlib or raw stream is refused) that must end cleanly.
std::optional<std::string> gunzip(std::string_view data) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK)
        return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    int status = Z_OK;
    std::array<char, 16384> chunk{};
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk.data());
        stream.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk.data(), chunk.size() - stream.avail_out);
    }
    const bool clean = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return clean ? std::optional<std::string>(std::move(out)) : std::nullopt;
}

bool isText(const platform::Value& v) { return v.isString(); }
bool isInteger(const platform::Value& v) { return v.isInteger(); }
bool isObject(const platform::Value& v) { return v.isDictionary(); }

struct KeyRule {
    const char* key;
    bool (*check)(const platform::Value&);
    const char* kind;
};

} // namespace

StatsCollector::StatsCollector() {
    m_reply = jsonReply(platform::Dictionary{{"ret", 0}});
    m_server.route(kPath, [this](const RecordedRequest& request) { return handle(request); });
}

void StatsCollector::setReply(ScriptedReply reply) {
    std::lock_guard lock(m_mutex);
    m_reply = std::move(reply);
}

StatsCollector::ScriptedReply StatsCollector::jsonReply(const platform::Value& object, bool rc4) {
    ScriptedReply reply;
    reply.body = platform::JSON::writeCompact(object).value();
    reply.rc4 = rc4;
    return reply;
}

std::vector<StatsCollector::Upload> StatsCollector::uploads() const {
    std::lock_guard lock(m_mutex);
    return m_uploads;
}

std::vector<platform::Value> StatsCollector::events() const {
    std::lock_guard lock(m_mutex);
    std::vector<platform::Value> all;
    for (const auto& upload : m_uploads)
        for (const auto& event : upload.events)
            all.push_back(event);
    return all;
}

std::vector<std::string> StatsCollector::problems() const {
    std::lock_guard lock(m_mutex);
    return m_problems;
}

void StatsCollector::checkEvent(const platform::Value& event, std::vector<std::string>& problems) {
    const auto* object = event.getDictionary();
    if (!object) {
        problems.push_back("event is not an object: " + event.description());
        return;
    }
    static constexpr KeyRule always[] = {
        {"idx", isInteger, "integer"}, {"ts", isInteger, "integer"}, {"si", isInteger, "integer"},
        {"mid", isText, "string"},     {"et", isInteger, "integer"},
    };
    static constexpr KeyRule optional[] = {
        {"sv", isText, "string"},  {"ut", isInteger, "integer"}, {"ch", isText, "string"}, {"av", isText, "string"},
        {"mc", isText, "string"},  {"cui", isText, "string"},    {"cav", isText, "string"}, {"ui", isText, "string"},
        {"ifa", isText, "string"}, {"ifv", isText, "string"},    {"ky", isText, "string"},
    };
    for (const auto& rule : always) {
        const auto* value = object->find(rule.key);
        if (!value || !rule.check(*value))
            problems.push_back(std::string("\"") + rule.key + "\" missing or not a " + rule.kind + " in " + event.description());
    }
    for (const auto& rule : optional) {
        const auto* value = object->find(rule.key);
        if (value && !rule.check(*value))
            problems.push_back(std::string("\"") + rule.key + "\" not a " + rule.kind + " in " + event.description());
    }
    const auto require = [&](std::initializer_list<KeyRule> rules, bool mandatory) {
        for (const auto& rule : rules) {
            const auto* value = object->find(rule.key);
            if ((!value && mandatory) || (value && !rule.check(*value)))
                problems.push_back(std::string("type key \"") + rule.key + "\" missing or not a " + rule.kind);
        }
    };
    switch (event["et"].integerValue()) {
    case 1:
        require({{"pi", isText, "string"}, {"du", isInteger, "integer"}}, true);
        require({{"rf", isText, "string"}}, false);
        break;
    case 2:
        require({{"ev", isObject, "object"}, {"ut", isInteger, "integer"}, {"cfg", isObject, "object"}}, true);
        break;
    case 3:
        require({{"er", isText, "string"}, {"ut", isInteger, "integer"}, {"errkv", isText, "string"}}, true);
        break;
    case 1000:
        require({{"ei", isText, "string"}}, true);
        require({{"kv", isObject, "object"}, {"du", isInteger, "integer"}}, false);
        break;
    case 1004:
        require({{"sp", isText, "string"}, {"op", isText, "string"}, {"cn", isText, "string"}}, false);
        break;
    default:
        break;
    }
}

Reply StatsCollector::handle(const RecordedRequest& request) {
    std::vector<std::string> problems;
    Upload upload;
    if (request.method != "POST")
        problems.push_back("method " + request.method);
    if (request.header("Content-Type") != "json")
        problems.push_back("Content-Type " + request.header("Content-Type").value_or("(none)"));
    if (request.header("Connection") != "keep-alive")
        problems.push_back("Connection " + request.header("Connection").value_or("(none)"));
    upload.contentEncoding = request.header("Content-Encoding").value_or("");
    upload.sent = request.body;
    upload.framed = rc4(kKey, request.body);
    if (upload.contentEncoding == "rc4") {
        if (upload.framed.size() >= 256)
            problems.push_back("a plain body of " + std::to_string(upload.framed.size()) + " bytes");
        upload.json = upload.framed;
    } else if (upload.contentEncoding == "rc4,gzip") {
        const auto& f = upload.framed;
        std::optional<std::string> inflated;
        std::uint32_t length = 0;
        if (f.size() > 4) {
            length = (std::uint32_t(std::uint8_t(f[0])) << 24) | (std::uint32_t(std::uint8_t(f[1])) << 16) |
                     (std::uint32_t(std::uint8_t(f[2])) << 8) | std::uint32_t(std::uint8_t(f[3]));
            inflated = gunzip(std::string_view(f).substr(4));
        }
        if (!inflated)
            problems.push_back("the body after the length is not one whole gzip stream");
        else if (inflated->size() != length)
            problems.push_back("length prefix " + std::to_string(length) + " but " + std::to_string(inflated->size()) +
                               " bytes inflated");
        else if (inflated->size() < 256)
            problems.push_back("a text below 256 bytes was compressed");
        upload.json = inflated.value_or("");
    } else {
        problems.push_back("Content-Encoding \"" + upload.contentEncoding + "\"");
    }
    auto parsed = platform::JSON::parse(upload.json);
    if (!parsed || !parsed->isArray()) {
        problems.push_back("the body is not a JSON array: " + upload.json);
    } else {
        upload.events = *parsed->getArray();
        for (const auto& event : upload.events)
            checkEvent(event, problems);
    }

    std::lock_guard lock(m_mutex);
    m_uploads.push_back(std::move(upload));
    m_problems.insert(m_problems.end(), problems.begin(), problems.end());
    Reply reply = Reply::text(m_reply.status, m_reply.rc4 ? rc4(kKey, m_reply.body) : m_reply.body, "application/json");
    if (m_reply.contentEncoding)
        reply.withHeader("Content-Encoding", *m_reply.contentEncoding);
    else if (m_reply.rc4)
        reply.withHeader("Content-Encoding", "rc4");
    return reply;
}

} // namespace testsupport
