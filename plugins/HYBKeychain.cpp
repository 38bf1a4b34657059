#include "plugins/HYBKeychain.h"

#include "platform/core/Log.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Bundle.h"
#include "platform/text/Format.h"
#include "plugins/HYBKeychainUtils.h"

#include <filesystem>
#include <system_error>

namespace plugins {

namespace {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

HYBPluginResult errorResult(std::string message) { return HYBPluginResult::messageAsString(HYBCommandStatus::Error, std::move(message)); }

HYBPluginResult okOrError(const platform::Status& status) {
    return status ? HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok) : errorResult(status.error().localizedDescription());
}

// A page argument as a key or value: only a string counts.
std::optional<std::string> textAt(const runtime::HYBInvokedUrlCommand& command, std::size_t index) {
    const platform::Value argument = command.argumentAtIndex(index);
    if (const std::string* text = argument.getString())
        return *text;
    return std::nullopt;
}

} // namespace

void HYBKeychain::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBKeychain>("HYBKeychain");
    (void)registered;
}

const runtime::HYBActionTable& HYBKeychain::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBKeychain>({
        {"getForKey", &HYBKeychain::getForKey},
        {"setForKey", &HYBKeychain::setForKey},
        {"removeForKey", &HYBKeychain::removeForKey},
    });
    return table;
}

std::optional<std::string> HYBKeychain::serviceName() {
    const std::string path = platform::Bundle::main().pathForResource("config", "plist");
    if (path.empty())
        return std::nullopt;
    std::error_code failure;
    const std::uintmax_t size = std::filesystem::file_size(path, failure);
    if (failure || size > kMaxConfigBytes) {
        platform::Log::write("The bundle's config.plist cannot be read or is too large: no keychain service name.");
        return std::nullopt;
    }
    auto config = platform::PropertyList::readFile(path);
    if (!config) {
        platform::Log::write("The bundle's config.plist is not a property list: " + config.error().localizedDescription());
        return std::nullopt;
    }
    if (const std::string* name = config->dictionaryOrEmpty()["SERVICE_NAME"].getString())
        return *name;
    return std::nullopt;
}

void HYBKeychain::inBackground(
    const runtime::HYBInvokedUrlCommand& command,
    std::function<HYBPluginResult(const runtime::HYBInvokedUrlCommand&, const std::optional<std::string>&)> work) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    // One serial queue: calls that wait on the keychain's lock would each hold a thread of the global
    // queues, which grow while every worker is busy.
    static const std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("HYBKeychain");
    queue->async([delegate = std::weak_ptr<runtime::HYBCommandDelegate>(delegate), command, service = serviceName(),
                  work = std::move(work)] {
        HYBPluginResult result = work(command, service);
        if (std::shared_ptr<runtime::HYBCommandDelegate> target = delegate.lock())
            target->sendPluginResult(std::move(result), command.callbackId());
    });
}

void HYBKeychain::getForKey(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [](const runtime::HYBInvokedUrlCommand& command, const std::optional<std::string>& service) {
        if (command.arguments().empty())
            return errorResult("incorrect number of arguments for getForkey");
        auto value = HYBKeychainUtils::getPasswordForUsername(textAt(command, 0), service);
        if (value && *value)
            return HYBPluginResult::messageAsString(HYBCommandStatus::Ok, **value);
        const platform::FormatArgument reason =
            value ? platform::FormatArgument(std::nullopt) : platform::FormatArgument(value.error().localizedDescription());
        return errorResult(platform::formatString(std::string_view("error retrieving value for key '%@' : %@"), {command.argumentAtIndex(0), reason}));
    });
}

void HYBKeychain::setForKey(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [](const runtime::HYBInvokedUrlCommand& command, const std::optional<std::string>& service) {
        if (command.arguments().size() < 2)
            return errorResult("incorrect number of arguments for setForKey");
        return okOrError(HYBKeychainUtils::storeUsername(textAt(command, 0), textAt(command, 1), service, true));
    });
}

void HYBKeychain::removeForKey(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [](const runtime::HYBInvokedUrlCommand& command, const std::optional<std::string>& service) {
        if (command.arguments().empty())
            return errorResult("incorrect number of arguments for removeForKey");
        return okOrError(HYBKeychainUtils::deleteItemForUsername(textAt(command, 0), service));
    });
}

} // namespace plugins
