#include "plugins/Preference.h"

#include "runtime/TextCase.h"

namespace plugins {

void Preference::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<Preference>("Preference");
    (void)registered;
}

const runtime::HYBActionTable& Preference::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<Preference>({{"get", &Preference::get}});
    return table;
}

void Preference::get(const runtime::HYBInvokedUrlCommand& command) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    platform::Value message;
    const platform::Value argument = command.argumentAtIndex(0);
    if (const std::string* name = argument.getString()) {
        const platform::Dictionary settings = delegate->settings();
        if (const platform::Value* value = settings.find(runtime::lowercased(*name)); value && !value->isNull())
            message = value->isString() ? *value : platform::Value(value->description());
    }
    delegate->sendPluginResult(runtime::HYBPluginResult(runtime::HYBCommandStatus::Ok, std::move(message)), command.callbackId());
}

} // namespace plugins
