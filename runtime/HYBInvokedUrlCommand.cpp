#include "runtime/HYBInvokedUrlCommand.h"

#include "runtime/HYBBase64.h"
#include "platform/formats/JSON.h"
#include "platform/core/Log.h"

namespace runtime {
namespace {

bool isOfClass(const platform::Value& value, HYBArgumentClass argumentClass) {
    switch (argumentClass) {
    case HYBArgumentClass::Any:
        return true;
    case HYBArgumentClass::Number:
        return value.isNumber() || value.isBool();
    case HYBArgumentClass::String:
        return value.isString();
    case HYBArgumentClass::Array:
        return value.isArray();
    case HYBArgumentClass::Dictionary:
        return value.isDictionary();
    case HYBArgumentClass::Data:
        return value.isBytes();
    case HYBArgumentClass::Date:
        return value.isDate();
    }
    return false;
}

// Why a batch entry is no command; nullptr when it is one.
const char* notACommand(const platform::Value& entry) {
    const platform::Array* fields = entry.getArray();
    if (!fields || fields->size() < 4)
        return "not an array of four elements";
    if (!(*fields)[0].isNull() && !(*fields)[0].isString())
        return "callback id is not a string";
    if (!(*fields)[1].isString() || !(*fields)[2].isString())
        return "service or action is not a string";
    if (!(*fields)[3].isArray())
        return "arguments are not an array";
    return nullptr;
}

} // namespace

std::optional<HYBInvokedUrlCommand> HYBInvokedUrlCommand::commandFromJson(platform::Value entry) {
    if (const char* reason = notACommand(entry)) {
        platform::Log::write("ERROR: Command entry dropped (" + std::string(reason) + "): " + entry.description());
        return std::nullopt;
    }
    return fromCommandEntry(std::move(entry));
}

platform::Result<HYBInvokedUrlCommand> HYBInvokedUrlCommand::readFromJson(platform::Value entry) {
    if (const char* reason = notACommand(entry))
        return platform::Error(platform::kCocoaErrorDomain, platform::JSON::kReadCorruptError, reason);
    return fromCommandEntry(std::move(entry));
}

HYBInvokedUrlCommand HYBInvokedUrlCommand::fromCommandEntry(platform::Value entry) {
    platform::Array& fields = *entry.getArray();
    // The entry is ours: its parts move straight into the command.
    HYBInvokedUrlCommand command(platform::Array(), std::nullopt, std::string(), std::string());
    if (std::string* text = fields[0].getString())
        command.m_callbackId.emplace(std::move(*text));
    command.m_className = std::move(*fields[1].getString());
    command.m_methodName = std::move(*fields[2].getString());
    command.m_arguments = std::move(*fields[3].getArray());
    command.massageArguments();
    return command;
}

HYBInvokedUrlCommand::HYBInvokedUrlCommand(platform::Array arguments, std::optional<std::string> callbackId,
                                           std::string className, std::string methodName)
    : m_callbackId(std::move(callbackId)), m_className(std::move(className)), m_methodName(std::move(methodName)),
      m_arguments(std::move(arguments)) {
    massageArguments();
}

void HYBInvokedUrlCommand::massageArguments() {
    for (platform::Value& argument : m_arguments) {
        const platform::Dictionary* dictionary = argument.getDictionary();
        if (!dictionary)
            continue;
        const std::string* type = (*dictionary)["HYBType"].getString();
        const platform::Value* data = dictionary->find("data");
        if (!type || *type != "ArrayBuffer" || !data)
            continue;
        // A "data" entry that is not text decodes as no bytes.
        const std::string* text = data->getString();
        argument = platform::Value(hybBase64Decode(text ? std::string_view(*text) : std::string_view()));
    }
}

platform::Value HYBInvokedUrlCommand::argumentAtIndex(std::size_t index, const platform::Value& defaultValue,
                                                      HYBArgumentClass argumentClass) const {
    if (index >= m_arguments.size())
        return defaultValue;
    const platform::Value& argument = m_arguments[index];
    if (argument.isNull() || !isOfClass(argument, argumentClass))
        return defaultValue;
    return argument;
}

platform::Value HYBInvokedUrlCommand::argumentAtIndex(std::size_t index, const platform::Value& defaultValue) const {
    return argumentAtIndex(index, defaultValue, HYBArgumentClass::Any);
}

platform::Value HYBInvokedUrlCommand::argumentAtIndex(std::size_t index) const {
    return argumentAtIndex(index, platform::Value());
}

} // namespace runtime
