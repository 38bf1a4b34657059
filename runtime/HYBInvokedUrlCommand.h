// One call from the page's script to a plug-in: [callbackId, service, action, arguments].
//
// A command is an immutable value made on the main thread by the command queue; plug-ins that answer
// later copy it (or its callback id). ArrayBuffer arguments ({"HYBType":"ArrayBuffer","data":Base64})
// at the top level of the argument list arrive already decoded as bytes.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstddef>
#include <optional>
#include <string>

namespace runtime {

// The kind of value a plug-in expects at an argument index. `Number` takes integers, doubles and
// booleans alike, as the page's numbers and booleans are one kind of object on the platform.
enum class HYBArgumentClass { Any, Number, String, Array, Dictionary, Data, Date };

class HYBInvokedUrlCommand {
public:
    // Makes a command from one batch entry. An entry that is not an array of at least four elements,
    // whose callback id is neither a string nor null, whose service or action is not a string, or whose
    // arguments are not an array is dropped with a log line.
    // The entry is taken by value so that a caller done with it can move it in without copying arguments.
    static std::optional<HYBInvokedUrlCommand> commandFromJson(platform::Value entry);
    // The same without the log line: an entry that is no command gives an Error telling why.
    static platform::Result<HYBInvokedUrlCommand> readFromJson(platform::Value entry);

    HYBInvokedUrlCommand(platform::Array arguments, std::optional<std::string> callbackId, std::string className,
                         std::string methodName);

    // The page's callback id; none when the page sent null.
    const std::optional<std::string>& callbackId() const { return m_callbackId; }
    // The service name as the page wrote it (not lower-cased).
    const std::string& className() const { return m_className; }
    // The action name.
    const std::string& methodName() const { return m_methodName; }
    const platform::Array& arguments() const { return m_arguments; }

    // The argument at `index`, or `defaultValue` when the index is past the end, the argument is null,
    // or it is not of `argumentClass`.
    platform::Value argumentAtIndex(std::size_t index, const platform::Value& defaultValue,
                                    HYBArgumentClass argumentClass) const;
    platform::Value argumentAtIndex(std::size_t index, const platform::Value& defaultValue) const;
    platform::Value argumentAtIndex(std::size_t index) const;

private:
    // A command from an entry known to be of the command's form.
    static HYBInvokedUrlCommand fromCommandEntry(platform::Value entry);
    // Replaces top-level ArrayBuffer dictionaries by their decoded bytes.
    void massageArguments();

    std::optional<std::string> m_callbackId;
    std::string m_className;
    std::string m_methodName;
    platform::Array m_arguments;
};

} // namespace runtime
