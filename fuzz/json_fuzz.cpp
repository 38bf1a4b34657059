// Reads arbitrary bytes as JSON in both modes; whatever reads must write and read back to the same value.
#include "platform/formats/JSON.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (auto mode : {platform::JSON::ReadMode::Container, platform::JSON::ReadMode::Fragment}) {
        auto value = platform::JSON::parse(text, mode);
        if (!value.ok())
            continue;
        for (auto style : {platform::JSON::WriteStyle::Compact, platform::JSON::WriteStyle::Pretty}) {
            auto written = platform::JSON::write(value.value(), style);
            if (!written.ok())
                std::abort();
            auto again = platform::JSON::parse(written.value(), platform::JSON::ReadMode::Fragment);
            if (!again.ok())
                std::abort();
            auto rewritten = platform::JSON::write(again.value(), style);
            if (!rewritten.ok() || rewritten.value() != written.value())
                std::abort();
        }
    }
    // Any bytes as a string value must write as valid JSON that reads back.
    auto quoted = platform::JSON::writeCompact(platform::Value(std::string(text)));
    if (!quoted.ok() || !platform::JSON::parse(quoted.value(), platform::JSON::ReadMode::Fragment).ok())
        std::abort();
    return 0;
}
