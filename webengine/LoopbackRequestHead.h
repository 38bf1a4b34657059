// What the loopback route (LoopbackRoute.h) reads of a connection before it makes a load: the request's head,
// gathered as it comes and bounded, its request line and fields, its body's length, and the mark that vouches
// for it. Pure: bytes in, a head or a refusal out (any local process may connect and send anything).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace webengine {

// The most a head may hold (its request line and fields, before the empty line).
constexpr std::size_t kMaxLoopbackHeadBytes = 64 * 1024;

// Gathers a connection's bytes until its head ends ("\r\n\r\n"), looking through each byte a bounded number of
// times; what follows the head is the body's start.
class LoopbackHeadReader {
public:
    enum class State { Incomplete, Complete, TooLarge };

    // Takes the next bytes read (none once Complete or TooLarge).
    State take(std::string_view bytes);
    State state() const { return m_state; }
    // Once Complete: the head, its last line's "\r\n" kept and the empty line not, and the bytes after it.
    std::string_view head() const { return m_state == State::Complete ? std::string_view(m_bytes).substr(0, m_headBytes) : std::string_view(); }
    std::string takeRest();

private:
    std::string m_bytes;
    std::size_t m_headBytes = 0;
    State m_state = State::Incomplete;
};

using LoopbackFields = std::vector<std::pair<std::string, std::string>>;

// The values of every field named `name` (in any case), joined with ", "; nullopt when there is none.
std::optional<std::string> loopbackFieldOf(const LoopbackFields& fields, std::string_view name);

struct LoopbackRequestLine {
    std::string_view method;
    std::string_view target;
    std::string_view version;
};

// The request line's three parts, split at its first and last space (nullopt without two such spaces).
std::optional<LoopbackRequestLine> splitLoopbackRequestLine(std::string_view head);

struct LoopbackRequestHead {
    std::string method;
    std::string target; // in origin form: "/" and what follows, as sent
    LoopbackFields fields; // names as sent, values without their surrounding spaces
};

// A head as LoopbackHeadReader gives it: "<method> <target> HTTP/1.x", the target in origin form without spaces or
// controls, and "<token>: <value>" fields, no value holding a lone CR or LF or a NUL; nullopt for anything else
// (answered 400).
std::optional<LoopbackRequestHead> readLoopbackRequestHead(std::string_view head);

// The request body's length its "Content-Length" names (0 without one); nullopt when that is no decimal count.
std::optional<std::uint64_t> loopbackBodyLength(const LoopbackFields& fields);

// A mark, "<view>.<nonce>.<HMAC-SHA256 of "<view>.<nonce>" under the key>", of `key`'s making.
struct LoopbackMark {
    std::uint64_t view = 0; // 0 when the view is no decimal number
    std::string nonce;
};
std::string writeLoopbackMark(std::uint64_t view, std::string_view nonce, std::string_view key);
// The mark's view and nonce when `key` made it (whether the nonce was taken before is the route's to know).
std::optional<LoopbackMark> readLoopbackMark(std::string_view mark, std::string_view key);

} // namespace webengine
