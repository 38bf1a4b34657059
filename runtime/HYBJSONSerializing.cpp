#include "runtime/HYBJSONSerializing.h"

#include "platform/core/Log.h"
#include "platform/formats/JSON.h"

namespace runtime {
namespace {

template <class T>
std::optional<T> valueOrLog(platform::Result<T> result, std::string_view prefix) {
    if (result)
        return std::move(result).value();
    platform::Log::write(std::string(prefix) + result.error().localizedDescription());
    return std::nullopt;
}

} // namespace

std::optional<std::string> hyb_JSONString(const platform::Array& array) {
    return valueOrLog(platform::JSON::writeCompact(platform::Value(array)), "NSArray JSONString error: ");
}

std::optional<std::string> hyb_JSONString(const platform::Dictionary& dictionary) {
    return valueOrLog(platform::JSON::writePretty(platform::Value(dictionary)), "NSDictionary JSONString error: ");
}

std::optional<platform::Value> hyb_JSONObject(std::string_view text) {
    return valueOrLog(platform::JSON::parse(text, platform::JSON::ReadMode::Container), "NSString JSONObject error: ");
}

std::optional<platform::Value> hyb_JSONFragment(std::string_view text) {
    return valueOrLog(platform::JSON::parse(text, platform::JSON::ReadMode::Fragment), "NSString JSONObject error: ");
}

} // namespace runtime
