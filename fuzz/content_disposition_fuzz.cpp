// Reads arbitrary bytes as an answer's Content-Disposition header: any value is read to its end, and what
// follows the first ";" never changes the answer.
#include "webengine/ContentDisposition.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    const bool attachment = webengine::isAttachmentDisposition(value);
    const std::string_view type = value.substr(0, value.find(';'));
    if (webengine::isAttachmentDisposition(std::string(type) + "; filename=\"x.html\"") != attachment)
        std::abort();
    // A type that is no parameter and not "inline" saves; a parameter standing first shows.
    if (type.find('=') != std::string_view::npos && attachment)
        std::abort();
    return 0;
}
