#include "push/PULSEUtilities.h"

#include "push/PULSEClientController.h"
#include "push/PULSELogging.h"

#include "platform/formats/JSON.h"
#include "platform/net/NetworkInfo.h"
#include "platform/runloop/Clock.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "platform/ui/Screen.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <vector>

namespace push {

namespace {

constexpr std::size_t kGzipStep = 16384;

std::string orUnknown(const std::optional<std::string>& fact) {
    return fact ? *fact : kPULSEUnknown;
}

std::optional<std::string> carrierFact(std::optional<std::string> platform::NetworkInfo::Carrier::*fact) {
    auto carrier = platform::NetworkInfo::current().carrier();
    return carrier ? (*carrier).*fact : std::nullopt;
}

std::string wifiFact(std::optional<std::string> platform::NetworkInfo::WiFiNetwork::*fact) {
    auto network = platform::NetworkInfo::current().currentWiFiNetwork();
    if (!network || !((*network).*fact))
        return kPULSENotFound;
    return *((*network).*fact);
}

// Whether a value is something JSON holds: strings, numbers (bools among them), null, and arrays and
// dictionaries of those. Bytes and dates are not.
bool isJSONValue(const platform::Value& value) {
    switch (value.type()) {
    case platform::Value::Type::Bytes:
    case platform::Value::Type::Date:
        return false;
    case platform::Value::Type::Double:
        return std::isfinite(*value.getDouble());
    case platform::Value::Type::Array:
        for (const auto& element : *value.getArray()) {
            if (!isJSONValue(element))
                return false;
        }
        return true;
    case platform::Value::Type::Dictionary:
        for (const auto& entry : *value.getDictionary()) {
            if (!isJSONValue(entry.value))
                return false;
        }
        return true;
    default:
        return true;
    }
}

} // namespace

// ---- network facts ----

std::string PULSECarrierName() {
    return orUnknown(carrierFact(&platform::NetworkInfo::Carrier::carrierName));
}

std::string PULSEMobileNetworkCode() {
    return orUnknown(carrierFact(&platform::NetworkInfo::Carrier::mobileNetworkCode));
}

std::string PULSEMobileCountryCode() {
    return orUnknown(carrierFact(&platform::NetworkInfo::Carrier::mobileCountryCode));
}

std::string PULSEWiFiBSSID() {
    return wifiFact(&platform::NetworkInfo::WiFiNetwork::bssid);
}

std::string PULSEWiFiSSID() {
    return wifiFact(&platform::NetworkInfo::WiFiNetwork::ssid);
}

int PULSECarrierCode(std::string_view carrierName) {
    if (carrierName == "中国移动")
        return 1;
    if (carrierName == "中国联通")
        return 2;
    if (carrierName == "中国电信")
        return 3;
    return 0;
}

int PULSENetworkType(std::string_view carrierName) {
    switch (PULSEClientController::sharedClient().currentNetworkStatus()) {
    case kPULSEReachableViaWiFi:
        return 4;
    case kPULSEReachableViaWWAN:
        return PULSECarrierCode(carrierName);
    default:
        return 0;
    }
}

std::string PULSENetworkStatusName(int status) {
    switch (status) {
    case -1:
        return "NetworkUnknown";
    case kPULSENotReachable:
        return "NotReachable";
    case kPULSEReachableViaWiFi:
        return "ReachableViaWiFi";
    case kPULSEReachableViaWWAN:
        return "ReachableViaWWAN";
    default:
        return {};
    }
}

// ---- time ----

double PULSECurrentTime() {
    // The wall clock already counts whole microseconds.
    return platform::Clock::current().wallNow().secondsSince1970;
}

double PULSECorrectedTime() {
    return PULSECurrentTime() + PULSEClientController::sharedClient().proofTimeInterval();
}

void PULSEDateAndTimeStrings(std::int64_t secondsSince1970, std::string& date, std::string& time) {
    const auto t = static_cast<std::time_t>(secondsSince1970);
    std::tm local{};
    if (!localtime_r(&t, &local)) {
        date.clear();
        time.clear();
        return;
    }
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    date = buffer;
    std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    time = buffer;
}

std::string PULSETimeZoneOffset() {
    const std::time_t now = static_cast<std::time_t>(platform::Clock::current().wallNow().secondsSince1970);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return kPULSEUnknown;
    return PULSETimeZoneOffsetText(local.tm_gmtoff);
}

std::string PULSETimeZoneOffsetText(long secondsEastOfGMT) {
    const long hours = secondsEastOfGMT / 3600;
    if (secondsEastOfGMT < 3600)
        return std::to_string(hours);
    return std::string(1, '+').append(std::to_string(hours));
}

// ---- device and application ----

std::string PULSEDeviceModel() {
    std::string machine = platform::Device::current().machine();
    if (machine.size() > 127)
        machine.resize(127);
    return machine;
}

std::string PULSEScreenResolution() {
    if (platform::Device::current().userInterfaceIdiom() != platform::UserInterfaceIdiom::Phone)
        return "2048x1536";
    const auto& screen = platform::Screen::main();
    const double pixels = screen.bounds().size.height * screen.scale();
    if (pixels <= 480)
        return "320x480";
    if (pixels <= 960)
        return "640x960";
    return "640x1136";
}

std::string PULSESystemVersion() {
    std::string version = platform::Device::current().systemVersion();
    return version.empty() ? kPULSEUnknown : version;
}

std::string PULSELanguage() {
    platform::Value languages = platform::UserDefaults::standard().object("AppleLanguages");
    const platform::Array* list = languages.getArray();
    if (!list || list->empty())
        return kPULSEUnknown;
    const std::string* first = list->front().getString();
    return first ? *first : kPULSEUnknown;
}

std::string PULSEAppVersion() {
    platform::Value version = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    const std::string* text = version.getString();
    return text ? *text : std::string();
}

std::string PULSESDKVersion() {
    // Built once from the version code: even positions are followed by a dot (but the last), odd ones
    // are kept only when not zero. "20100" gives "2.1.0".
    // Never destroyed: any thread may ask while the process ends.
    static const auto* version = new std::string([] {
        const std::string_view code = kPULSESDKVersionCode;
        std::string text;
        for (std::size_t i = 0; i < code.size(); ++i) {
            if (i % 2 == 0) {
                text.push_back(code[i]);
                if (i + 1 < code.size())
                    text.push_back('.');
            } else if (code[i] != '0') {
                text.push_back(code[i]);
            }
        }
        return text;
    }());
    return *version;
}

std::uint32_t PULSESDKVersionNumber() {
    return PULSEHexStringToInt(kPULSESDKVersionCode);
}

std::uint32_t PULSEHexStringToInt(std::string_view text) {
    std::uint32_t value = 0;
    for (char c : text) {
        const std::uint32_t code = static_cast<unsigned char>(c);
        const std::uint32_t digit = code <= 64 ? code - 48 : code - 55;
        value = value * 16 + digit;
    }
    return value;
}

platform::Dictionary PULSEDeviceInfo() {
    const std::string appVersion = PULSEAppVersion();
    return platform::Dictionary{
        {"itime", static_cast<std::int64_t>(PULSECorrectedTime())},
        {"type", "device_info"},
        {"os_version", PULSESystemVersion()},
        {"sdk_version", PULSESDKVersion()},
        {"timezone", PULSETimeZoneOffset()},
        {"app_versioncode", appVersion},
        {"app_versionname", appVersion},
        {"language", PULSELanguage()},
        {"resolution", PULSEScreenResolution()},
        {"Channel", PULSEClientController::sharedClient().pushChannel()},
        {"model", PULSEDeviceModel()},
    };
}

// ---- identifiers ----

std::string PULSERandomDeviceID() {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> digit(0, 15);
    std::string pairs;
    char buffer[3];
    for (int i = 0; i < 18; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", digit(generator));
        pairs += buffer;
    }
    return "iPhone" + pairs.substr(0, 18);
}

// ---- digests, encodings, JSON, gzip ----

std::string md5HexString(std::string_view text) {
    if (const auto zero = text.find('\0'); zero != std::string_view::npos)
        text = text.substr(0, zero);
    return platform::Crypto::md5Hex(platform::bytesOf(text));
}

std::string PULSEMD5Data(platform::ByteSpan bytes) {
    return platform::Crypto::md5Hex(bytes);
}

std::string PULSEBase64String(platform::ByteSpan bytes) {
    return platform::Crypto::base64Encode(bytes);
}

std::optional<platform::Bytes> gzipCompressData(platform::ByteSpan bytes) {
    if (bytes.empty())
        return platform::Bytes();
    if (bytes.size() > UINT_MAX)
        return std::nullopt; // zlib counts input in 32 bits
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());

    platform::Bytes out(kGzipStep);
    int status = Z_OK;
    do {
        if (stream.total_out >= out.size())
            out.resize(out.size() + kGzipStep);
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
    } while (stream.avail_out == 0 && status != Z_STREAM_ERROR);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    // Room left means deflate finished, unless it failed: a cut-off stream is no result.
    if (status != Z_STREAM_END)
        return std::nullopt;
    return out;
}

std::optional<platform::Value> PULSEJSONObject(platform::ByteSpan bytes) {
    if (bytes.empty())
        return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    auto parsed = platform::JSON::parse(text, platform::JSON::ReadMode::Container);
    if (!parsed) {
        PULSE_LOG_ERROR("trans data to obj with error:%ld", static_cast<long>(parsed.error().code));
        return std::nullopt;
    }
    return std::move(parsed).value();
}

std::optional<platform::Bytes> PULSEJSONData(const platform::Value& object) {
    if ((object.isArray() || object.isDictionary()) && isJSONValue(object)) {
        if (auto text = platform::JSON::writeCompact(object))
            return platform::Bytes(text->begin(), text->end());
    }
    PULSE_LOG_ERROR("serialization unknown type");
    return std::nullopt;
}

// ---- notifications ----

namespace {

// Blocks on their way to the main queue, oldest first. A drain block is queued on the main queue
// whenever the list turns non-empty; it takes the whole list. The blocks it ran come back as spent and
// are destroyed by the next thread that hands blocks over: what the client thread allocated (pushed
// messages' dictionaries) is freed there too, so that the main thread and the client thread do not
// contend for the allocator's lock of the client's memory.
struct MainQueueChannel {
    std::mutex mutex;
    std::vector<std::function<void()>> waiting;
    std::vector<std::function<void()>> spent;
};
// Spent blocks the main thread lets go of itself rather than keep for a thread that may not come back.
constexpr std::size_t kMaxSpentBlocks = 4096;

MainQueueChannel& mainQueueChannel() {
    // Never destroyed: the client thread may still hand blocks over while the process ends.
    static auto* channel = new MainQueueChannel();
    return *channel;
}

// The calling thread's batch: how deep its scopes are nested, and the blocks they hold.
struct ThreadBatch {
    int depth = 0;
    std::vector<std::function<void()>> held;
};
thread_local ThreadBatch t_batch;

void drainMainQueueChannel();

// Appends the blocks, in order, and queues a drain when the channel was empty.
void handOver(std::vector<std::function<void()>>& blocks) {
    auto& channel = mainQueueChannel();
    bool first;
    std::vector<std::function<void()>> spent;
    {
        std::lock_guard lock(channel.mutex);
        first = channel.waiting.empty();
        for (auto& block : blocks)
            channel.waiting.push_back(std::move(block));
        spent.swap(channel.spent);
    }
    blocks.clear();
    spent.clear(); // outside the lock
    if (first)
        platform::DispatchQueue::main()->async(drainMainQueueChannel); // else the queued drain takes them too
}

// The function named in the debug line of a posted notification.
constexpr const char* kPostNotificationFunction = "PULSEPostNotificationWithUserInfo";

} // namespace

PULSEMainQueueBatch::PULSEMainQueueBatch() { ++t_batch.depth; }

PULSEMainQueueBatch::~PULSEMainQueueBatch() {
    if (--t_batch.depth == 0 && !t_batch.held.empty())
        handOver(t_batch.held);
}

void PULSEPerformOnMainQueue(std::function<void()> block) {
    if (t_batch.depth > 0) {
        t_batch.held.push_back(std::move(block));
        return;
    }
    std::vector<std::function<void()>> one;
    one.push_back(std::move(block));
    handOver(one);
}

namespace {

// On the main queue: runs every block waiting, oldest first.
void drainMainQueueChannel() {
    auto& channel = mainQueueChannel();
    std::vector<std::function<void()>> blocks;
    {
        std::lock_guard lock(channel.mutex);
        blocks.swap(channel.waiting);
    }
    for (auto& waiting : blocks)
        waiting();
    std::lock_guard lock(channel.mutex);
    if (channel.spent.size() + blocks.size() > kMaxSpentBlocks)
        return; // let go of here, when the lock is released
    if (channel.spent.empty()) {
        channel.spent.swap(blocks);
    } else {
        for (auto& block : blocks)
            channel.spent.push_back(std::move(block));
    }
}

} // namespace

void PULSEPostNotificationWithUserInfo(const std::string& name, std::optional<platform::Dictionary> userInfo) {
    // Made here, read by the main thread (posted by reference) and, for the debug line, by the logger that
    // describes it; the client thread lets it go when the block comes back.
    const bool hasInfo = userInfo.has_value();
    auto note = std::make_shared<const platform::Notification>(
        platform::Notification{name, nullptr, hasInfo ? std::move(*userInfo) : platform::Dictionary()});
    PULSE_LOG_DEBUG_LATER([note, hasInfo] {
        return std::string(kPostNotificationFunction) + " " + note->name + " " +
               (hasInfo ? platform::Value(note->userInfo).description() : std::string("(null)"));
    });
    PULSEPerformOnMainQueue([note] { platform::NotificationCenter::defaultCenter().post(*note); });
}

void PULSEPostNotification(const std::string& name) {
    PULSEPostNotificationWithUserInfo(name, std::nullopt);
}

// ---- socket address ----

std::optional<PULSESockAddr> PULSESocketAddress(std::string_view host, std::uint32_t port) {
    if (host.empty() || host.find('\0') != std::string_view::npos)
        return std::nullopt;
    in_addr_t address;
    if (host == "localhost" || host == "loopback") {
        address = htonl(INADDR_LOOPBACK);
    } else {
        address = inet_addr(std::string(host).c_str());
        if (address == INADDR_NONE)
            return std::nullopt;
    }
    PULSESockAddr bytes{};
    bytes[0] = 16;
    bytes[1] = AF_INET;
    bytes[2] = static_cast<std::uint8_t>((port >> 8) & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(port & 0xFF);
    std::memcpy(bytes.data() + 4, &address, 4);
    return bytes;
}

} // namespace push
