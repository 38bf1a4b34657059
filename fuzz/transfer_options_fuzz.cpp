// The file-transfer plug-in's upload arguments as a page passes them (a JSON array: source, server, file
// key, file name, MIME type, parameters, -, chunked mode, headers, -, method), read into the upload
// request. Whatever the arguments, the request is either refused with one error answer, or built with
// sendable headers and a "Content-Length" that is the length of its body.
#include "fuzz/FuzzCommandDelegate.h"
#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "transfer/HYBFileTransfer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::Log::setCaptureHook([](std::string_view) {}); // refused headers and URLs are logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = platform::JSON::parse(text);
    if (!parsed.ok() || !parsed.value().isArray())
        return 0;
    platform::Array arguments = *parsed.value().getArray();
    // The streamed (chunked, the default) body is written from another queue; the whole body is what is
    // checked here.
    if (arguments.size() < 8)
        arguments.resize(8);
    arguments[7] = platform::Value(false);

    static const auto delegate = std::make_shared<fuzzing::FuzzCommandDelegate>();
    static const auto plugin = [] {
        auto made = std::make_shared<transfer::HYBFileTransfer>(nullptr);
        made->setCommandDelegate(delegate);
        return made;
    }();
    const runtime::HYBInvokedUrlCommand command(std::move(arguments), "FileTransfer1", "FileTransfer", "upload");
    const platform::Bytes file{'f', 'i', 'l', 'e'};
    const std::size_t before = delegate->answers();
    const std::optional<platform::URLRequest> request = plugin->requestForUploadCommand(command, file);
    if (!request) {
        if (delegate->answers() != before + 1)
            std::abort();
        return 0;
    }
    if (delegate->answers() != before)
        std::abort();
    for (const auto& [name, value] : request->allHTTPHeaderFields().fields())
        if (!platform::HTTPHeaderFields::isValidName(name) || !platform::HTTPHeaderFields::isValidValue(value))
            std::abort();
    const std::optional<platform::Bytes>& body = request->httpBody();
    if (!body || request->valueForHTTPHeaderField("Content-Length") != std::to_string(body->size()))
        std::abort();

    (void)transfer::HYBFileTransfer::escapePathComponentForUrlString(command.argumentAtIndex(1).stringOr(""));
    return 0;
}
