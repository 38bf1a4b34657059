#include "runtime/HYBDictionaryExtensions.h"

#include "runtime/TextCase.h"

namespace runtime {
namespace {

// The page's numbers and booleans are one kind of object on the platform.
bool isNumberValue(const platform::Value& value) { return value.isNumber() || value.isBool(); }

} // namespace

bool existsValue(const platform::Dictionary& dictionary, std::string_view expected, std::string_view key) {
    const platform::Value* value = dictionary.find(key);
    if (!value || value->isNull())
        return false;
    const std::string* text = value->getString();
    return lowercased(text ? *text : value->description()) == lowercased(expected);
}

std::int64_t integerValueForKey(const platform::Dictionary& dictionary, std::string_view key, std::int64_t defaultValue) {
    const platform::Value* value = dictionary.find(key);
    if (!value || value->isNull())
        return defaultValue;
    return value->integerValue();
}

std::int64_t integerValueForKey(const platform::Dictionary& dictionary, std::string_view key, std::int64_t defaultValue,
                                HYBIntegerRange range) {
    const std::uint64_t value = static_cast<std::uint64_t>(integerValueForKey(dictionary, key, defaultValue));
    if (value < range.location)
        return static_cast<std::int64_t>(range.location);
    if (value > range.length)
        return static_cast<std::int64_t>(range.length);
    return static_cast<std::int64_t>(value);
}

bool typeValueForKey(const platform::Dictionary& dictionary, std::string_view key, bool* isArray, bool* isNull,
                     bool* isNumber, bool* isString) {
    const platform::Value* value = dictionary.find(key);
    if (!value)
        return true;
    if (isArray)
        *isArray = value->isArray();
    if (isNull)
        *isNull = value->isNull();
    if (isNumber)
        *isNumber = isNumberValue(*value);
    if (isString)
        *isString = value->isString();
    return true;
}

bool valueForKeyIsArray(const platform::Dictionary& dictionary, std::string_view key) {
    const platform::Value* value = dictionary.find(key);
    return value && value->isArray();
}

bool valueForKeyIsNull(const platform::Dictionary& dictionary, std::string_view key) {
    const platform::Value* value = dictionary.find(key);
    return value && value->isNull();
}

bool valueForKeyIsString(const platform::Dictionary& dictionary, std::string_view key) {
    const platform::Value* value = dictionary.find(key);
    return value && value->isString();
}

bool valueForKeyIsNumber(const platform::Dictionary& dictionary, std::string_view key) {
    const platform::Value* value = dictionary.find(key);
    return value && isNumberValue(*value);
}

platform::Dictionary dictionaryWithLowercaseKeys(const platform::Dictionary& dictionary) {
    platform::Dictionary result;
    for (const auto& entry : dictionary)
        result.set(lowercased(entry.key), entry.value);
    return result;
}

} // namespace runtime
