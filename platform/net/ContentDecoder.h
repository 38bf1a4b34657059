// Undoes the content codings of a reply body ("Content-Encoding": gzip, x-gzip, deflate, br, identity, in
// any list of them) as the body arrives, giving out no more decoded bytes than the reader asks for: a small
// body that decodes to gigabytes is read in steps of the reader's size, never held whole.
//
// Guarantees: one thread at a time. What is held at any time is the input given and not yet decoded (the
// reader gives more only once `needsInput()`), the decoders' own windows (32 KiB for zlib, 16 MiB at most for
// brotli) and one step's buffer per coding after the first. Every br decoder's memory together is at most
// kBrotliBytesInAll: a br body whose decoder would take more fails (so many loads at once cannot take 16 MiB
// each); the transport offers no br, so only a server that sends it unasked meets that. A body that is not what its coding says fails
// with a message; a body that ends inside its coding ends there, as a browser takes it.
#pragma once

#include "platform/core/Error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

class ContentDecoder {
public:
    // A decoder for a "Content-Encoding" value: nullopt when a coding of the list is none of those above (the
    // body is then for its reader to undo), or when the list names none but identity (nothing to undo).
    static std::optional<ContentDecoder> forEncoding(std::string_view contentEncoding);
    // Whether the value names a coding this decoder undoes (every coding of the list is known and one is not
    // identity).
    static bool decodes(std::string_view contentEncoding);
    // What the transport offers a server ("Accept-Encoding"): no br, whose window may be 500 times zlib's.
    static constexpr const char* kOffered = "gzip, deflate";
    static constexpr std::size_t kBrotliBytesInAll = 40u << 20; // two 16 MiB windows and their tables
    // What br decoders hold now, all of them together (for tests).
    static std::size_t brotliBytesHeld();

    ContentDecoder(ContentDecoder&&) noexcept;
    ContentDecoder& operator=(ContentDecoder&&) noexcept;
    ~ContentDecoder();

    // Whether the input given so far is decoded as far as it goes (a read gave nothing): `give` takes more.
    // Once the coded stream ended, what is given is dropped.
    bool needsInput() const;
    // Hands over the next piece of the coded body (copied). Only when needsInput().
    void give(const std::uint8_t* data, std::size_t size);
    // Decodes into `buffer`, at most `capacity` bytes: the count (0 when it needs input or the coding ended).
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity);

    class Stage;

private:
    explicit ContentDecoder(std::vector<std::unique_ptr<Stage>> stages);
    Result<std::size_t> readStage(std::size_t index, std::uint8_t* buffer, std::size_t capacity);

    // Stages in the order they undo the codings: the first takes the body, the last gives the reader's bytes.
    std::vector<std::unique_ptr<Stage>> m_stages;
    // The last read gave nothing for want of input (so far: none was given).
    bool m_starved = true;
};

} // namespace platform
