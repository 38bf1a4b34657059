#include "runtime/HYBCommandBatch.h"

#include "platform/formats/JSON.h"
#include "platform/text/Text.h"

#include <algorithm>
#include <cstdint>

namespace runtime {
namespace {

bool isJSONSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skipSpace(std::string_view text, std::size_t at) {
    while (at < text.size() && isJSONSpace(text[at]))
        ++at;
    return at;
}

// The index of the quote that closes the string opening at `open`; text.size() when none does.
std::size_t closingQuote(std::string_view text, std::size_t open) {
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i;
    }
    return text.size();
}

// Just past the JSON value that begins at `begin`, found without reading it: strings are skipped with
// their escapes, brackets only counted (a mismatch is the reader's to find). text.size() when the value
// runs to the end of the text. A scalar (or stray bytes between entries: a NUL, a control character,
// invalid UTF-8) ends before a bracket or quote, so that the entry after it stands alone.
std::size_t valueEnd(std::string_view text, std::size_t begin) {
    std::size_t depth = 0;
    for (std::size_t i = begin; i < text.size(); ++i) {
        const char c = text[i];
        if (depth == 0 && i > begin && (c == '"' || c == '[' || c == '{'))
            return i;
        if (c == '"') {
            i = closingQuote(text, i);
            if (i < text.size() && depth == 0)
                return i + 1;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (depth == 0)
                return i; // the batch's own end: a scalar entry stops before it
            if (--depth == 0)
                return i + 1;
        } else if (depth == 0 && (c == ',' || isJSONSpace(c))) {
            return i;
        }
    }
    return text.size();
}

// The four hexadecimal digits at `at` as a number; -1 when they are not there.
long hexQuad(std::string_view text, std::size_t at) {
    if (at + 4 > text.size())
        return -1;
    long value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const int digit = platform::hexDigitValue(text[i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

bool isHighSurrogate(long unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(long unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The callback id of an entry the reader refused: its first element, when that is a string (stray bytes
// before it aside: control characters, DEL, bytes that are not ASCII and any other byte that neither
// begins a JSON value nor is a bracket, brace, comma or colon).
std::optional<std::string> leadingCallbackId(std::string_view entry) {
    std::size_t at = skipSpace(entry, 0);
    if (at >= entry.size() || entry[at] != '[')
        return std::nullopt;
    static constexpr std::string_view kNotStray = "\"[]{},:-0123456789tfn";
    auto stray = [](char c) { return kNotStray.find(c) == std::string_view::npos; };
    for (++at; at < entry.size() && stray(entry[at]);)
        ++at;
    if (at >= entry.size() || entry[at] != '"')
        return std::nullopt;
    const std::size_t close = closingQuote(entry, at);
    if (close >= entry.size())
        return std::nullopt;
    platform::Result<platform::Value> id = platform::JSON::parse(entry.substr(at, close + 1 - at), platform::JSON::ReadMode::Fragment);
    if (!id || !id->isString())
        return std::nullopt;
    return *id->getString();
}

HYBCommandBatchEntry readEntry(std::string_view entry) {
    const std::optional<std::string> mended = replaceLoneSurrogateEscapes(entry);
    const std::string_view text = mended ? std::string_view(*mended) : entry;
    platform::Result<platform::Value> value = platform::JSON::parse(text, platform::JSON::ReadMode::Fragment);
    if (value)
        return std::move(value).value();
    return HYBUnreadableCommand{leadingCallbackId(text), value.error().localizedDescription()};
}

platform::Error notABatch(std::string reason) {
    return platform::Error(platform::kCocoaErrorDomain, platform::JSON::kReadCorruptError, std::move(reason));
}

} // namespace

std::optional<std::string> replaceLoneSurrogateEscapes(std::string_view json) {
    std::optional<std::string> out;
    std::size_t copied = 0; // json[0, copied) is in `out` already
    bool inString = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            inString = !inString;
            continue;
        }
        if (!inString || c != '\\')
            continue;
        if (i + 1 >= json.size() || json[i + 1] != 'u') {
            ++i; // a one-character escape
            continue;
        }
        const long unit = hexQuad(json, i + 2);
        if (isHighSurrogate(unit) && i + 7 < json.size() && json[i + 6] == '\\' && json[i + 7] == 'u' &&
            isLowSurrogate(hexQuad(json, i + 8))) {
            i += 11; // a whole pair
            continue;
        }
        if (!isHighSurrogate(unit) && !isLowSurrogate(unit)) {
            i += 1; // an ordinary escape, or a malformed one the reader reports
            continue;
        }
        if (!out) {
            out.emplace();
            out->reserve(json.size());
        }
        out->append(json.substr(copied, i - copied));
        out->append("\\ufffd");
        copied = i + 6;
        i += 5;
    }
    if (out)
        out->append(json.substr(copied));
    return out;
}

std::optional<std::string> commandCallbackId(const platform::Value& entry) {
    const platform::Array* fields = entry.getArray();
    if (!fields || fields->empty() || !(*fields)[0].isString())
        return std::nullopt;
    return *(*fields)[0].getString();
}

std::vector<std::optional<std::string>> nestedCommandCallbackIds(const platform::Value& batch) {
    // Depth first without recursion: the value's nesting is bounded by the JSON reader, not by the stack.
    std::vector<std::optional<std::string>> ids;
    std::vector<std::pair<const platform::Array*, std::size_t>> open{{&batch.arrayOrEmpty(), 0}};
    while (!open.empty()) {
        auto& [array, next] = open.back();
        if (next >= array->size()) {
            open.pop_back();
            continue;
        }
        const platform::Value& element = (*array)[next++];
        const platform::Array* inner = element.getArray();
        if (inner && !inner->empty() && (*inner)[0].isArray())
            open.emplace_back(inner, 0);
        else
            ids.push_back(commandCallbackId(element));
    }
    return ids;
}

platform::Result<std::vector<HYBCommandBatchEntry>> readCommandBatch(std::string_view text) {
    std::vector<HYBCommandBatchEntry> entries;
    platform::Result<platform::Value> whole = platform::JSON::parse(text);
    if (whole) {
        platform::Array* items = whole->getArray();
        if (!items)
            return notABatch("it is not an array of commands");
        entries.reserve(items->size());
        for (platform::Value& item : *items)
            entries.emplace_back(std::move(item));
        return entries;
    }
    std::size_t at = skipSpace(text, 0);
    if (at >= text.size())
        return notABatch(whole.error().localizedDescription());

    // Entry by entry. Separators are taken loosely: what matters is that each entry stands alone.
    // What follows the batch's end (a stray "]" closed it early) is no part of it: each piece there is
    // an unreadable entry, answered when it names a callback id, never run. So is all of a text with
    // stray bytes before its first bracket (a NUL, say): it is a batch only when a command in it can be
    // answered.
    static constexpr const char* kPastTheEnd = "it follows the end of the batch (a stray closing bracket before it)";
    static constexpr const char* kOutside = "it is in a batch that does not begin with \"[\" (stray bytes before it)";
    const char* notRun = nullptr; // why the pieces from here on are not run
    const bool outside = text[at] != '[';
    if (outside) {
        at = text.find('[', at);
        if (at == std::string_view::npos)
            return notABatch(whole.error().localizedDescription());
        notRun = kOutside;
    }
    ++at;
    while (true) {
        at = skipSpace(text, at);
        if (at >= text.size())
            break;
        if (text[at] == ',' || (notRun && (text[at] == ']' || text[at] == '}'))) {
            ++at;
            continue;
        }
        if (text[at] == ']' || text[at] == '}') {
            notRun = kPastTheEnd;
            ++at;
            continue;
        }
        const std::size_t end = std::max(valueEnd(text, at), at + 1);
        HYBCommandBatchEntry entry = readEntry(text.substr(at, end - at));
        at = end;
        if (!notRun) {
            entries.push_back(std::move(entry));
            continue;
        }
        const platform::Value* read = std::get_if<platform::Value>(&entry);
        // A batch of commands there (`[[...]] [[...],[...]]`): each of its commands is answered.
        if (read && read->isArray() && !read->arrayOrEmpty().empty() && (*read)[0].isArray()) {
            for (std::optional<std::string>& callbackId : nestedCommandCallbackIds(*read))
                entries.push_back(HYBUnreadableCommand{std::move(callbackId), notRun});
            continue;
        }
        std::optional<std::string> callbackId = read ? commandCallbackId(*read) : std::get<HYBUnreadableCommand>(entry).callbackId;
        entries.push_back(HYBUnreadableCommand{std::move(callbackId), notRun});
    }
    if (outside && std::none_of(entries.begin(), entries.end(), [](const HYBCommandBatchEntry& entry) {
            const auto* unreadable = std::get_if<HYBUnreadableCommand>(&entry);
            return unreadable && unreadable->callbackId;
        }))
        return notABatch(whole.error().localizedDescription());
    return entries;
}

} // namespace runtime
