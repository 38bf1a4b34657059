#include "support/PushReportServer.h"

#include "platform/core/Crypto.h"
#include "platform/formats/JSON.h"

#include <zlib.h>

#include <cctype>
#include <optional>

namespace testsupport {

namespace {

std::optional<std::string> gunzip(const std::string& compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK)
        return std::nullopt;
    std::string out;
    char chunk[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
        if (out.size() > (64u << 20))
            status = Z_DATA_ERROR;
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END || stream.avail_in != 0)
        return std::nullopt;
    return out;
}

std::string md5(const std::string& text) {
    return platform::Crypto::md5Hex(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace

PushReportServer::PushReportServer() {
    m_http.route("/v2/report", [this](const RecordedRequest& request) { return answer(request); });
    m_http.route("/v1/user/", [this](const RecordedRequest& request) { return answerUser(request); });
}

void PushReportServer::expectDevice(std::string deviceID) {
    std::lock_guard lock(m_mutex);
    m_deviceID = std::move(deviceID);
}

void PushReportServer::scriptUserStatuses(std::vector<int> statuses) {
    std::lock_guard lock(m_mutex);
    m_userStatuses.assign(statuses.begin(), statuses.end());
}

std::vector<platform::Value> PushReportServer::itemsOfType(const std::string& type) const {
    std::lock_guard lock(m_mutex);
    std::vector<platform::Value> found;
    for (const auto& item : m_parsedItems)
        if (item["type"].stringOr("") == type)
            found.push_back(item);
    return found;
}

std::vector<std::int64_t> PushReportServer::badges() const {
    std::lock_guard lock(m_mutex);
    return m_badges;
}

void PushReportServer::expect(std::uint64_t uid, std::string password, std::string appKey) {
    std::lock_guard lock(m_mutex);
    m_uid = uid;
    m_password = std::move(password);
    m_appKey = std::move(appKey);
}

void PushReportServer::scriptStatuses(std::vector<int> statuses) {
    std::lock_guard lock(m_mutex);
    m_statuses.assign(statuses.begin(), statuses.end());
}

std::vector<std::string> PushReportServer::items() const {
    std::lock_guard lock(m_mutex);
    return m_items;
}

std::size_t PushReportServer::requestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<std::string> PushReportServer::faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void PushReportServer::fault(const std::string& line) { m_faults.push_back(line); }

Reply PushReportServer::answer(const RecordedRequest& request) {
    std::lock_guard lock(m_mutex);
    ++m_requests;
    checkHeaders(request,
                 {{"content-type", "application/json"},
                  {"accept-encoding", "gzip"},
                  {"content-encoding", "gzip"},
                  {"x-app-key", m_appKey}},
                 request.body);

    const auto plain = gunzip(request.body);
    auto parsed = plain ? platform::JSON::parse(*plain) : platform::JSON::parse("");
    const platform::Dictionary* body = plain && parsed.ok() ? parsed.value().getDictionary() : nullptr;
    if (!body) {
        fault("body is not a gzip stream of a JSON object");
    } else {
        const platform::Value* uidValue = body->find("uid");
        if (body->size() != 5 || !body->find("platform") || body->find("platform")->stringOr("") != "i" || !uidValue ||
            !uidValue->getInteger() || static_cast<std::uint64_t>(*uidValue->getInteger()) != m_uid ||
            !body->find("sdk_ver") || body->find("sdk_ver")->stringOr("") != "2.1.0" || !body->find("app_key") ||
            body->find("app_key")->stringOr("") != m_appKey)
            fault("body members are not platform, uid, sdk_ver, app_key and content as expected: " + *plain);
        const platform::Value* content = body->find("content");
        if (!content || !content->getArray() || content->getArray()->empty()) {
            fault("\"content\" is not a non-empty array");
        } else {
            for (const auto& item : *content->getArray()) {
                const auto* object = item.getDictionary();
                if (!object || !object->find("type") || !object->find("type")->getString() || !object->find("itime") ||
                    !object->find("itime")->isInteger())
                    fault("content item without a \"type\" text and an integer \"itime\"");
                auto text = platform::JSON::writeCompact(item);
                m_items.push_back(text.ok() ? text.value() : std::string());
                m_parsedItems.push_back(item);
                checkItem(item);
            }
        }
    }
    return nextReply(m_statuses);
}

Reply PushReportServer::nextReply(std::deque<int>& statuses) {
    const int status = statuses.empty() ? 200 : statuses.front();
    if (!statuses.empty())
        statuses.pop_front();
    if (status == kDropConnection) {
        Reply cut = Reply::text(200, "{\"cut\":true}", "application/json");
        cut.dropAfterBodyBytes = 1;
        return cut;
    }
    if (status == kCloseWithoutReply)
        return Reply::closedWithoutReply();
    return Reply::text(status, "{}", "application/json");
}

void PushReportServer::checkHeaders(const RecordedRequest& request,
                                    const std::vector<std::pair<std::string, std::string>>& expected,
                                    const std::string& signedBody) {
    if (request.method != "POST")
        fault("method " + request.method + ", expected POST");
    std::size_t next = 0;
    std::string authorization;
    for (const auto& [name, value] : request.headers) {
        std::string lower;
        for (char c : name)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (next < expected.size() && lower == expected[next].first) {
            if (value != expected[next].second)
                fault("header " + name + ": " + value + ", expected " + expected[next].second);
            ++next;
        } else if (lower == "authorization") {
            if (next != expected.size())
                fault("Authorization comes before the other header fields");
            authorization = value;
        }
    }
    if (next != expected.size())
        fault("header fields missing or out of order");
    const std::string uid = std::to_string(m_uid);
    const std::string token = uid + ":" + md5(uid + md5(m_password) + md5(signedBody));
    const auto expectedToken = platform::Crypto::base64Encode(
        platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(token.data()), token.size()));
    if (authorization != "Basic " + expectedToken)
        fault("Authorization " + authorization + ", expected Basic " + expectedToken);
}

void PushReportServer::checkItem(const platform::Value& item) {
    const std::string type = item["type"].stringOr("");
    auto text = platform::JSON::writeCompact(item);
    const std::string shown = text.ok() ? text.value() : type;
    auto digitsLike = [](const std::string& value, const std::string& shape) {
        if (value.size() != shape.size())
            return false;
        for (std::size_t i = 0; i < shape.size(); ++i)
            if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(value[i])) : value[i] != shape[i])
                return false;
        return true;
    };
    if (type == "active_launch" || type == "active_terminate") {
        const auto itime = item["itime"].integerValue();
        if (!m_deviceID.empty() && item["session_id"].stringOr("") != md5(m_appKey + m_deviceID + std::to_string(itime)))
            fault("session_id is not md5(app key, device id, itime): " + shown);
        if (!digitsLike(item["date"].stringOr(""), "dddd-dd-dd") || !digitsLike(item["time"].stringOr(""), "dd:dd:dd") ||
            !item["timezone"].isString())
            fault("date, time or timezone malformed: " + shown);
        if (type == "active_terminate" && (!item["duration"].isInteger() || !(item["activities"].isArray() || item["activities"] == platform::Value(""))))
            fault("session end without an integer duration and activities (array or \"\"): " + shown);
    } else if (type == "device_info") {
        for (const char* key : {"os_version", "sdk_version", "timezone", "app_versioncode", "app_versionname", "language",
                                "resolution", "Channel", "model"})
            if (!item[key].isString())
                fault(std::string("device_info without the text \"") + key + "\": " + shown);
        if (!item.getDictionary() || item.getDictionary()->size() != 11)
            fault("device_info does not hold eleven members: " + shown);
    } else if (type == "loc_info") {
        for (const char* key : {"wifi", "cell", "gps"})
            if (!item[key].isArray() && item[key] != platform::Value(""))
                fault(std::string("loc_info \"") + key + "\" is neither an array nor \"\": " + shown);
    } else if (type == "crash_log") {
        if (!item["crashlogs"].isArray() || item["crashlogs"].getArray()->empty())
            fault("crash_log without crash logs: " + shown);
    }
}

Reply PushReportServer::answerUser(const RecordedRequest& request) {
    std::lock_guard lock(m_mutex);
    ++m_requests;
    checkHeaders(request, {{"content-type", "text/plain"}, {"accept", "application/json"}}, request.body);
    auto parsed = platform::JSON::parse(request.body);
    const platform::Dictionary* body = parsed.ok() ? parsed.value().getDictionary() : nullptr;
    if (!body) {
        fault("badge body is not a JSON object: " + request.body);
        return nextReply(m_userStatuses);
    }
    const platform::Value& badge = (*body)["content"]["badge"];
    if (body->size() != 5 || (*body)["platform"].stringOr("") != "i" || (*body)["app_key"].stringOr("") != m_appKey ||
        !(*body)["uid"].isInteger() || static_cast<std::uint64_t>((*body)["uid"].integerValue()) != m_uid ||
        !(*body)["itime"].isInteger() || !(*body)["content"].getDictionary() || (*body)["content"].getDictionary()->size() != 1 ||
        !badge.isInteger() || badge.integerValue() < 0)
        fault("badge body is not {uid, platform, app_key, itime, content:{badge}}: " + request.body);
    m_badges.push_back(badge.integerValue());
    return nextReply(m_userStatuses);
}

} // namespace testsupport
