#include "platform/net/ContentDecoder.h"

#include "platform/net/HTTPSyntax.h"
#include "platform/net/URLError.h"

#include <brotli/decode.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

// What a coding after the first takes from the one before it in one step.
constexpr std::size_t kStepBytes = 16 * 1024;

enum class Coding { Identity, Gzip, Deflate, Brotli, Unknown };

Coding codingNamed(std::string_view token) {
    if (token.empty() || http::equalsIgnoringCase(token, "identity"))
        return Coding::Identity;
    if (http::equalsIgnoringCase(token, "gzip") || http::equalsIgnoringCase(token, "x-gzip"))
        return Coding::Gzip;
    if (http::equalsIgnoringCase(token, "deflate"))
        return Coding::Deflate;
    if (http::equalsIgnoringCase(token, "br"))
        return Coding::Brotli;
    return Coding::Unknown;
}

// The codings of a list in the order they were applied; nullopt when one is unknown.
std::optional<std::vector<Coding>> codingsOf(std::string_view list) {
    std::vector<Coding> codings;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const Coding coding = codingNamed(http::trimmed(list.substr(0, comma)));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (coding == Coding::Unknown)
            return std::nullopt;
        if (coding != Coding::Identity)
            codings.push_back(coding);
    }
    return codings;
}

Error malformed(const char* coding) {
    return makeURLError(kURLErrorCannotDecodeContentData, std::string("cannot decode raw data: the body is not valid ") + coding + " data");
}

Error outOfMemory() {
    return makeURLError(kURLErrorCannotDecodeContentData, "cannot decode raw data: out of memory");
}

// What every br decoder holds together (their windows, up to 16 MiB each, and their tables).
std::atomic<std::size_t> g_brotliBytes{0};

// Each block the br decoder takes starts with its size, so that freeing it gives it back to the count.
constexpr std::size_t kBlockHeader = alignof(std::max_align_t) > sizeof(std::size_t) ? alignof(std::max_align_t) : sizeof(std::size_t);

} // namespace

// One coding undone: input given in pieces, decoded into the reader's buffer as far as it reaches.
class ContentDecoder::Stage {
public:
    virtual ~Stage() = default;
    bool hasInput() const { return m_offset < m_input.size(); }
    bool hasEnded() const { return m_ended; }
    void give(const std::uint8_t* data, std::size_t size) {
        if (m_ended)
            return; // after the end of the coded stream: nothing follows that a reader sees
        if (m_offset == m_input.size()) {
            m_input.clear();
            m_offset = 0;
        }
        m_input.insert(m_input.end(), data, data + size);
    }
    // Bytes decoded into `buffer` (0: the input given is used up, or the coded stream ended).
    virtual Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) = 0;

protected:
    std::vector<std::uint8_t> m_input;
    std::size_t m_offset = 0;
    bool m_ended = false;
};

namespace {

class ZlibStage final : public ContentDecoder::Stage {
public:
    explicit ZlibStage(bool gzip) : m_gzip(gzip) {}
    ~ZlibStage() override {
        if (m_started)
            inflateEnd(&m_stream);
    }

    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
        if (m_ended || capacity == 0)
            return std::size_t{0};
        if (!m_started) {
            int windowBits = MAX_WBITS + 32; // gzip or zlib, told by the header
            if (!m_gzip) {
                // "deflate" is zlib data, but some servers send the bare deflate stream: told by the header.
                if (m_input.size() - m_offset < 2)
                    return std::size_t{0};
                const unsigned header = (unsigned{m_input[m_offset]} << 8) | m_input[m_offset + 1];
                windowBits = (m_input[m_offset] & 0x0f) == Z_DEFLATED && header % 31 == 0 ? MAX_WBITS : -MAX_WBITS;
            }
            if (inflateInit2(&m_stream, windowBits) != Z_OK)
                return outOfMemory();
            m_started = true;
        }
        m_stream.next_in = m_input.data() + m_offset;
        m_stream.avail_in = static_cast<uInt>(m_input.size() - m_offset);
        m_stream.next_out = buffer;
        m_stream.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, 1u << 30));
        const int status = inflate(&m_stream, Z_NO_FLUSH);
        m_offset = m_input.size() - m_stream.avail_in;
        const std::size_t produced = static_cast<std::size_t>(m_stream.next_out - buffer);
        switch (status) {
        case Z_STREAM_END:
            m_ended = true;
            m_input.clear();
            m_offset = 0;
            return produced;
        case Z_OK:
        case Z_BUF_ERROR: // no progress possible: it needs input (or room, which it had)
            return produced;
        default:
            return malformed(m_gzip ? "gzip" : "deflate");
        }
    }

private:
    bool m_gzip;
    bool m_started = false;
    z_stream m_stream{};
};

class BrotliStage final : public ContentDecoder::Stage {
public:
    BrotliStage() : m_state(BrotliDecoderCreateInstance(&allocate, &release, this)) {}
    ~BrotliStage() override { BrotliDecoderDestroyInstance(m_state); }

    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity) override {
        if (m_ended || capacity == 0)
            return std::size_t{0};
        if (!m_state)
            return m_refused ? tooMany() : outOfMemory();
        std::size_t availableIn = m_input.size() - m_offset;
        const std::uint8_t* nextIn = m_input.data() + m_offset;
        std::size_t availableOut = capacity;
        std::uint8_t* nextOut = buffer;
        const BrotliDecoderResult result = BrotliDecoderDecompressStream(m_state, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        m_offset = m_input.size() - availableIn;
        if (result == BROTLI_DECODER_RESULT_ERROR)
            return m_refused ? tooMany() : malformed("br");
        if (result == BROTLI_DECODER_RESULT_SUCCESS) {
            m_ended = true;
            m_input.clear();
            m_offset = 0;
        }
        return capacity - availableOut;
    }

private:
    static Error tooMany() {
        return makeURLError(kURLErrorCannotDecodeContentData, "cannot decode raw data: br bodies being decoded hold " +
                                                                  std::to_string(ContentDecoder::kBrotliBytesInAll) + " bytes already");
    }

    // The decoder's memory, counted against kBrotliBytesInAll: a block past it is refused (the body fails).
    static void* allocate(void* opaque, std::size_t size) {
        const std::size_t charged = size + kBlockHeader;
        if (g_brotliBytes.fetch_add(charged) + charged > ContentDecoder::kBrotliBytesInAll) {
            g_brotliBytes -= charged;
            static_cast<BrotliStage*>(opaque)->m_refused = true;
            return nullptr;
        }
        auto* block = static_cast<unsigned char*>(std::malloc(charged));
        if (!block) {
            g_brotliBytes -= charged;
            return nullptr;
        }
        std::memcpy(block, &charged, sizeof charged);
        return block + kBlockHeader;
    }
    static void release(void*, void* address) {
        if (!address)
            return;
        unsigned char* block = static_cast<unsigned char*>(address) - kBlockHeader;
        std::size_t charged = 0;
        std::memcpy(&charged, block, sizeof charged);
        g_brotliBytes -= charged;
        std::free(block);
    }

    bool m_refused = false;
    BrotliDecoderState* m_state;
};

} // namespace

std::optional<ContentDecoder> ContentDecoder::forEncoding(std::string_view contentEncoding) {
    std::optional<std::vector<Coding>> codings = codingsOf(contentEncoding);
    if (!codings || codings->empty())
        return std::nullopt;
    std::vector<std::unique_ptr<Stage>> stages;
    // The last coding applied is the first undone.
    for (auto coding = codings->rbegin(); coding != codings->rend(); ++coding) {
        if (*coding == Coding::Brotli)
            stages.push_back(std::make_unique<BrotliStage>());
        else
            stages.push_back(std::make_unique<ZlibStage>(*coding == Coding::Gzip));
    }
    return ContentDecoder(std::move(stages));
}

bool ContentDecoder::decodes(std::string_view contentEncoding) {
    std::optional<std::vector<Coding>> codings = codingsOf(contentEncoding);
    return codings && !codings->empty();
}

ContentDecoder::ContentDecoder(std::vector<std::unique_ptr<Stage>> stages) : m_stages(std::move(stages)) {}
ContentDecoder::ContentDecoder(ContentDecoder&&) noexcept = default;
ContentDecoder& ContentDecoder::operator=(ContentDecoder&&) noexcept = default;
ContentDecoder::~ContentDecoder() = default;

std::size_t ContentDecoder::brotliBytesHeld() {
    return g_brotliBytes;
}

bool ContentDecoder::needsInput() const {
    return m_starved;
}

void ContentDecoder::give(const std::uint8_t* data, std::size_t size) {
    m_stages.front()->give(data, size);
    if (size > 0)
        m_starved = false;
}

Result<std::size_t> ContentDecoder::read(std::uint8_t* buffer, std::size_t capacity) {
    Result<std::size_t> read = readStage(m_stages.size() - 1, buffer, capacity);
    if (read && *read == 0)
        m_starved = true;
    return read;
}

Result<std::size_t> ContentDecoder::readStage(std::size_t index, std::uint8_t* buffer, std::size_t capacity) {
    Stage& stage = *m_stages[index];
    for (;;) {
        Result<std::size_t> read = stage.read(buffer, capacity);
        if (!read || *read > 0 || stage.hasEnded() || index == 0)
            return read;
        std::uint8_t step[kStepBytes];
        Result<std::size_t> before = readStage(index - 1, step, sizeof step);
        if (!before || *before == 0)
            return before;
        stage.give(step, *before);
    }
}

} // namespace platform
