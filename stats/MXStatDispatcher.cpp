#include "stats/MXStatDispatcher.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatLog.h"

#include "platform/text/Format.h"
#include "platform/formats/JSON.h"
#include "platform/text/TextEncoding.h"
#include "platform/net/URLError.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLRequest.h"

#include <algorithm>
#include <cctype>

namespace stats {

namespace {

bool containsRC4(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.find("rc4") != std::string::npos;
}

std::string textOf(const platform::Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// Whether a failed load still had an answer from the collector: a reply over its bound or one that is
// not HTTP. Anything else (no connection, a time-out, a connection lost) never reached it.
bool reachedCollector(const platform::Error& error) {
    return error.domain == platform::kURLErrorDomain
        && (error.code == platform::kURLErrorDataLengthExceedsMaximum || error.code == platform::kURLErrorBadServerResponse
            || error.code == platform::kURLErrorCannotDecodeContentData);
}

} // namespace

std::shared_ptr<MXStatDispatcher> MXStatDispatcher::getInstance() {
    // Never destroyed: the upload queue may still be working while the process ends.
    static const auto* instance = new std::shared_ptr<MXStatDispatcher>(create());
    return *instance;
}

std::shared_ptr<MXStatDispatcher> MXStatDispatcher::create(double timeoutSeconds) {
    return std::shared_ptr<MXStatDispatcher>(new MXStatDispatcher(timeoutSeconds));
}

MXStatDispatcher::MXStatDispatcher(double timeoutSeconds)
    : m_queue(platform::DispatchQueue::createSerial(kMXStatDispatcherQueueLabel)), m_timeoutSeconds(timeoutSeconds) {}

void MXStatDispatcher::sendEvent(std::shared_ptr<MXStatEvent> event, Completion completion) {
    if (!event)
        return;
    const std::string text = event->toJsonString();
    MXStatLog("Sending event %s", text.c_str());
    // Counted in UTF-16 units, as the store counts: the same event is never kept by one and dropped by
    // the other.
    const std::size_t length = platform::utf16Length(text);
    if (length > MXStatConfig::getInstance().maxReportEventLength() && event->getType() != MXStatEventTypeError) {
        MXStatLog("[ERROR]Too large event content length to report:%lu", static_cast<unsigned long>(length));
        if (completion)
            completion(true, nullptr);
        return;
    }
    send(std::move(event), std::move(completion));
}

void MXStatDispatcher::send(std::shared_ptr<MXStatEvent> event, Completion completion) {
    if (!event)
        return;
    m_queue->async([self = shared_from_this(), event = std::move(event), completion = std::move(completion)] {
        const bool success = self->upload(jsonArrayText({event->toJsonString()})) == MXStatUploadOutcome::Sent;
        if (completion)
            completion(success, event);
    });
}

void MXStatDispatcher::send(std::vector<MXStatStoreEvent> events, BatchCompletion completion) {
    m_queue->async([self = shared_from_this(), events = std::move(events), completion = std::move(completion)] {
        std::vector<std::string> texts;
        texts.reserve(events.size());
        for (const auto& event : events)
            texts.push_back(event.content);
        const MXStatUploadOutcome outcome = self->upload(jsonArrayText(texts));
        if (completion)
            completion(outcome, events);
    });
}

MXStatUploadOutcome MXStatDispatcher::upload(const std::string& text) {
    const platform::Bytes plain(text.begin(), text.end());
    platform::Bytes reply;
    const MXStatUploadOutcome outcome = sendRequest(plain, &reply);
    if (outcome != MXStatUploadOutcome::Sent)
        return outcome;
    MXStatDebugLog("Send stat request success");
    if (!reply.empty())
        applyReply(reply);
    return outcome;
}

void MXStatDispatcher::applyReply(const platform::Bytes& reply) {
    // The reply was judged a JSON object already; parsed again here as the upload task always did.
    auto parsed = platform::JSON::parse(std::string_view(reinterpret_cast<const char*>(reply.data()), reply.size()));
    if (!parsed) {
        MXStatLog("Decode JSON error :%s", parsed.error().localizedDescription().c_str());
        return;
    }
    const auto* dictionary = parsed->getDictionary();
    if (!dictionary)
        return;
    // The holder is set by the client's start; the completion has already run, so the holder applies
    // the configuration after the batch's rows are settled.
    if (auto holder = MXStatHelper::getInstance().configHolder())
        holder->updateOnlineConfig(*dictionary);
}

std::string MXStatDispatcher::jsonArrayText(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i)
            out += ',';
        out += texts[i];
    }
    out += ']';
    return out;
}

std::optional<platform::Bytes> MXStatDispatcher::frameBody(const platform::Bytes& plain) {
    if (plain.size() < kPlainBodyLimit)
        return plain;
    // The length prefix is 32 bits wide: a larger text cannot be framed.
    if (plain.size() > 0xFFFFFFFFu)
        return std::nullopt;
    platform::Bytes compressed;
    if (MXStatHelper::GZip(plain, &compressed) != 0)
        return std::nullopt;
    const auto length = static_cast<std::uint32_t>(plain.size());
    platform::Bytes body{static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                         static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    body.insert(body.end(), compressed.begin(), compressed.end());
    return body;
}

bool MXStatDispatcher::nsRequest(const platform::Bytes& plain, platform::Bytes* responseData) {
    return sendRequest(plain, responseData) == MXStatUploadOutcome::Sent;
}

MXStatUploadOutcome MXStatDispatcher::sendRequest(const platform::Bytes& plain, platform::Bytes* responseData) {
    MXStatDebugLog("Send stat events to access server.");
    if (responseData)
        responseData->clear();
    auto framed = frameBody(plain);
    if (!framed) {
        MXStatLog("Failed to gzip data.");
        return MXStatUploadOutcome::Refused;
    }
    MXStatHelper::ChiperRC4(*framed);

    const std::string url = MXStatConfig::getInstance().statReportURL().value_or(kMXStatDefaultReportURL);
    platform::URLRequest request(url);
    request.setHTTPMethod("POST");
    request.setTimeoutInterval(m_timeoutSeconds);
    request.setTimeoutBoundsWholeLoad(true);
    request.setTransportMayResend(false);
    (void)request.setValue("keep-alive", "Connection");
    (void)request.setValue("json", "Content-Type");
    (void)request.setValue(plain.size() < kPlainBodyLimit ? "rc4" : "rc4,gzip", "Content-Encoding");
    request.setHTTPBody(std::move(*framed));

    auto sent = platform::URLConnection::sendSynchronousRequest(request, kMaxReplyLength);
    if (!sent) {
        MXStatLog("Failed to send request for reason:%s", sent.error().localizedDescription().c_str());
        return reachedCollector(sent.error()) ? MXStatUploadOutcome::Refused : MXStatUploadOutcome::Unreached;
    }
    return judgeReply(sent->response.statusCode(), sent->response.allHeaderFields().value("Content-Encoding"),
                      std::move(sent->data), responseData)
        ? MXStatUploadOutcome::Sent
        : MXStatUploadOutcome::Refused;
}

bool MXStatDispatcher::judgeReply(int status, const std::optional<std::string>& contentEncoding, platform::Bytes body,
                                  platform::Bytes* responseData) {
    if (responseData)
        responseData->clear();
    if (status != 200) {
        if (!body.empty())
            MXStatLog("[ERROR]%s", textOf(body).c_str());
        return false;
    }
    if (body.empty())
        return false;
    if (contentEncoding && containsRC4(*contentEncoding))
        MXStatHelper::ChiperRC4(body);
    const std::string text = textOf(body);
    MXStatDebugLog("Report response content is %s with length:%lu", text.c_str(), static_cast<unsigned long>(body.size()));
    if (responseData)
        *responseData = body;

    auto parsed = platform::JSON::parse(text);
    if (!parsed) {
        MXStatLog("Decode JSON error :%s", parsed.error().localizedDescription().c_str());
        return false;
    }
    const auto* dictionary = parsed->getDictionary();
    if (!dictionary) {
        MXStatLog("Not NSDictionary for decoded object:%s", parsed->isArray() ? "NSArray" : "NSObject");
        return false;
    }
    MXStatDebugLog("resultJSON %s", parsed->description().c_str());
    const platform::Value* ret = dictionary->find("ret");
    // A missing "ret" formats as "(null)", as a nil object does.
    const std::string retText = ret ? platform::formatString("%@", {*ret}) : platform::formatString("%@", {std::nullopt});
    return retText == "0";
}

} // namespace stats
