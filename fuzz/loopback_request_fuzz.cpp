// Feeds arbitrary bytes, as any local process may send them, to the loopback route's reading of a request: its
// head gathered as it comes (whole, and a byte at a time, which a read that looked through the whole head again
// would make quadratic), the head's request line and fields, the body's length, and the mark under a fixed key.
// The head stays within its bound, and what the reader gives back is what came.
#include "webengine/LoopbackRequestHead.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kKey = "8d1f0c3b5a7e92461f0de8c3b7a65412f9e0d1c2b3a4958677e6d5c4b3a29180";

bool isSendableValue(std::string_view value)
{
    for (char c : value) {
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    }
    return value.empty() || (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' && value.back() != '\t');
}

void checkHead(std::string_view head)
{
    const std::optional<webengine::LoopbackRequestHead> read = webengine::readLoopbackRequestHead(head);
    if (!read)
        return;
    if (read->method.empty() || read->method.find_first_of(" :\r\n") != std::string::npos || read->target.empty() || read->target[0] != '/')
        std::abort();
    for (char c : read->target) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            std::abort();
    }
    for (const auto& [name, value] : read->fields) {
        if (name.empty() || name.find_first_of(" \t:\r\n") != std::string::npos || !isSendableValue(value))
            std::abort();
    }
    if (const auto length = webengine::loopbackBodyLength(read->fields)) {
        const auto named = webengine::loopbackFieldOf(read->fields, "Content-Length");
        if (named ? named->empty() || named->find_first_not_of("0123456789") != std::string::npos : *length != 0)
            std::abort();
    }
    if (const auto mark = webengine::loopbackFieldOf(read->fields, "Hyb-Load")) {
        if (const auto taken = webengine::readLoopbackMark(*mark, kKey)) {
            // Only the key's holder makes a mark: what it names, written again, reads the same.
            const auto again = webengine::readLoopbackMark(webengine::writeLoopbackMark(taken->view, taken->nonce, kKey), kKey);
            if (taken->nonce.size() != 32 || !again || again->view != taken->view || again->nonce != taken->nonce)
                std::abort();
            if (webengine::readLoopbackMark(*mark, "another key"))
                std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    using State = webengine::LoopbackHeadReader::State;

    webengine::LoopbackHeadReader whole;
    const State state = whole.take(bytes);
    webengine::LoopbackHeadReader piecewise;
    State last = State::Incomplete;
    for (std::size_t i = 0; i < size && last == State::Incomplete; ++i)
        last = piecewise.take(bytes.substr(i, 1));
    if (last != state || piecewise.head() != whole.head())
        std::abort();

    const std::size_t end = bytes.find("\r\n\r\n");
    switch (state) {
    case State::Incomplete:
        if (end != std::string_view::npos || size > webengine::kMaxLoopbackHeadBytes + 3)
            std::abort();
        break;
    case State::TooLarge:
        if (end != std::string_view::npos && end <= webengine::kMaxLoopbackHeadBytes)
            std::abort();
        break;
    case State::Complete: {
        const std::string_view head = whole.head();
        if (end == std::string_view::npos || head.size() != end + 2 || head.size() > webengine::kMaxLoopbackHeadBytes + 2
            || whole.takeRest() != bytes.substr(end + 4) || piecewise.takeRest().size() != 0)
            std::abort();
        checkHead(head);
        break;
    }
    }
    // The reading of a head stands on its own too (a head cut anywhere).
    checkHead(bytes.substr(0, std::min(size, webengine::kMaxLoopbackHeadBytes)));
    return 0;
}
