#include "platform/web/ScriptDialog.h"

#include "platform/text/TextEncoding.h"
#include "platform/text/URL.h"

#include <cstdint>
#include <utility>

namespace platform {

namespace {

// At most `maxCharacters` characters of the text, invalid bytes as U+FFFD, a cut text ending in "…".
std::string boundedText(std::string_view text, std::size_t maxCharacters)
{
    std::string out;
    std::size_t characters = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        if (characters == maxCharacters)
            return out + "…";
        std::uint32_t codePoint = 0;
        const std::size_t length = utf8SequenceLength(bytes + i, text.size() - i, codePoint);
        if (length == 0) {
            appendUTF8(out, 0xFFFD);
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
        ++characters;
    }
    return out;
}

} // namespace

ScriptDialog::ScriptDialog(Kind kind, std::string_view message, std::string_view defaultText, std::string pageURL, Reply reply)
    : m_kind(kind)
    , m_message(boundedText(message, kMaxCharacters))
    , m_defaultText(boundedText(defaultText, kMaxCharacters))
    , m_pageURL(std::move(pageURL))
    , m_reply(std::move(reply))
{
}

ScriptDialog::~ScriptDialog() { cancel(); }

std::string ScriptDialog::title() const
{
    const auto url = URL::fromString(m_pageURL);
    if (!url)
        return {};
    if (url->isFileURL()) {
        std::string name = url->lastPathComponent();
        return name == "/" ? std::string() : boundedText(name, kMaxCharacters);
    }
    return url->host() ? boundedText(*url->host(), kMaxCharacters) : std::string();
}

void ScriptDialog::confirm(std::optional<std::string> text)
{
    // The default left as shown is the page's own, which was cut or mended for showing at most.
    if (m_kind != Kind::Prompt || (text && *text == m_defaultText))
        text.reset();
    answer(true, std::move(text));
}

void ScriptDialog::cancel() { answer(false, std::nullopt); }

void ScriptDialog::answer(bool confirmed, std::optional<std::string> text)
{
    // Both taken first: the dialog is answered from here on, and nothing below touches it (the reply or
    // the handler may drop the last reference to it).
    Reply reply = std::exchange(m_reply, nullptr);
    if (!reply)
        return;
    std::function<void()> handler = std::exchange(m_answeredHandler, nullptr);
    reply(confirmed, std::move(text));
    if (handler)
        handler();
}

} // namespace platform
