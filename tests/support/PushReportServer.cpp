#include "support/PushReportServer.h"

#include "platform/Crypto.h"
#include "platform/JSON.h"

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
    if (request.method != "POST")
        fault("method " + request.method + ", expected POST");
    // The five fields in this order among the others.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"content-type", "application/json"},
        {"accept-encoding", "gzip"},
        {"content-encoding", "gzip"},
        {"x-app-key", m_appKey},
    };
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
                fault("Authorization comes before the other report header fields");
            authorization = value;
        }
    }
    if (next != expected.size())
        fault("report header fields missing or out of order");
    const std::string uid = std::to_string(m_uid);
    const std::string token = uid + ":" + md5(uid + md5(m_password) + md5(request.body));
    const auto expectedToken = platform::Crypto::base64Encode(
        platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(token.data()), token.size()));
    if (authorization != "Basic " + expectedToken)
        fault("Authorization " + authorization + ", expected Basic " + expectedToken);

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
            }
        }
    }
    const int status = m_statuses.empty() ? 200 : m_statuses.front();
    if (!m_statuses.empty())
        m_statuses.pop_front();
    if (status == kDropConnection) {
        Reply cut = Reply::text(200, "{\"cut\":true}", "application/json");
        cut.dropAfterBodyBytes = 1;
        return cut;
    }
    return Reply::text(status, "{}", "application/json");
}

} // namespace testsupport
