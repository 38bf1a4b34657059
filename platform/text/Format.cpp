#include "platform/text/Format.h"

#include "platform/text/TextEncoding.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr int kMaxWidth = 1 << 16;

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    std::string_view length; // one of the literals below, or empty
    char conversion = 0;
    bool leftAlign() const { return flags.find('-') != std::string::npos; }
};

// Text cut to the precision and padded to the width, both in code points.
void appendText(std::string& out, std::string_view text, const Spec& spec) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t count = 0;
    std::size_t end = 0;
    while (end < text.size() && (spec.precision < 0 || count < static_cast<std::size_t>(spec.precision))) {
        std::uint32_t cp = 0;
        std::size_t len = utf8SequenceLength(p + end, text.size() - end, cp);
        end += len == 0 ? 1 : len;
        ++count;
    }
    std::size_t pad = spec.width > 0 && static_cast<std::size_t>(spec.width) > count
                          ? static_cast<std::size_t>(spec.width) - count
                          : 0;
    if (!spec.leftAlign())
        out.append(pad, ' ');
    out.append(text.substr(0, end));
    if (spec.leftAlign())
        out.append(pad, ' ');
}

std::string printfSpec(const Spec& spec, const char* lengthAndConversion) {
    std::string s(1, '%');
    s += spec.flags;
    if (spec.width >= 0)
        s += std::to_string(spec.width);
    if (spec.precision >= 0) {
        s += '.';
        s += std::to_string(spec.precision);
    }
    s += lengthAndConversion;
    return s;
}

template <class T>
void appendPrintf(std::string& out, const std::string& format, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, format.c_str(), value);
    if (n < 0)
        return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), format.c_str(), value);
    out.append(big.data(), static_cast<std::size_t>(n));
}

bool isLong(std::string_view length) {
    return length == "l" || length == "ll" || length == "q" || length == "z" || length == "t" || length == "j"
           || length == "L";
}

} // namespace

std::string formatString(std::string_view format, std::initializer_list<FormatArgument> arguments) {
    std::string out;
    out.reserve(format.size() + 16 * arguments.size());
    const FormatArgument* next = arguments.begin();
    const FormatArgument* last = arguments.end();
    static const FormatArgument& kMissing = *new FormatArgument(std::nullopt); // never destroyed: see Value::null
    auto take = [&]() -> const FormatArgument& { return next < last ? *next++ : kMissing; };

    std::size_t i = 0;
    while (i < format.size()) {
        std::size_t percent = format.find('%', i);
        if (percent == std::string_view::npos) {
            out.append(format.substr(i));
            break;
        }
        out.append(format.substr(i, percent - i));
        std::size_t j = percent + 1;
        Spec spec;
        while (j < format.size() && std::strchr("-+ #0'", format[j]) && format[j] != '\0')
            spec.flags += format[j++];
        if (j < format.size() && format[j] == '*') {
            std::int64_t w = take().value().integerValue();
            if (w < 0) {
                spec.flags += '-';
                w = -w;
            }
            spec.width = static_cast<int>(std::min<std::int64_t>(w, kMaxWidth));
            ++j;
        } else {
            while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
                spec.width = std::min(kMaxWidth, std::max(spec.width, 0) * 10 + (format[j] - '0'));
                ++j;
            }
        }
        if (j < format.size() && format[j] == '.') {
            ++j;
            spec.precision = 0;
            if (j < format.size() && format[j] == '*') {
                std::int64_t p = take().value().integerValue();
                spec.precision = p < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(p, kMaxWidth));
                ++j;
            } else {
                while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
                    spec.precision = std::min(kMaxWidth, spec.precision * 10 + (format[j] - '0'));
                    ++j;
                }
            }
        }
        for (std::string_view l : {"hh", "ll", "h", "l", "q", "L", "z", "t", "j"}) {
            if (format.substr(j).starts_with(l)) {
                spec.length = l;
                j += l.size();
                break;
            }
        }
        if (j >= format.size()) {
            out.append(format.substr(percent));
            break;
        }
        spec.conversion = format[j++];
        switch (spec.conversion) {
        case '%': out += '%'; break;
        case 'd':
        case 'i': {
            std::int64_t v = take().value().integerValue();
            if (spec.length == "hh")
                v = static_cast<std::int8_t>(v);
            else if (spec.length == "h")
                v = static_cast<std::int16_t>(v);
            else if (!isLong(spec.length))
                v = static_cast<std::int32_t>(v);
            appendPrintf(out, printfSpec(spec, "lld"), static_cast<long long>(v));
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            auto v = static_cast<std::uint64_t>(take().value().integerValue());
            if (spec.length == "hh")
                v = static_cast<std::uint8_t>(v);
            else if (spec.length == "h")
                v = static_cast<std::uint16_t>(v);
            else if (!isLong(spec.length))
                v = static_cast<std::uint32_t>(v);
            const char conv[] = {'l', 'l', spec.conversion, '\0'};
            appendPrintf(out, printfSpec(spec, conv), static_cast<unsigned long long>(v));
            break;
        }
        case 'c':
        case 'C': {
            std::string ch;
            appendUTF8(ch, static_cast<std::uint32_t>(take().value().integerValue() & 0x1FFFFF));
            Spec text = spec;
            text.precision = -1;
            appendText(out, ch, text);
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            const char conv[] = {spec.conversion, '\0'};
            appendPrintf(out, printfSpec(spec, conv), take().value().doubleValue());
            break;
        }
        case 'p': {
            auto v = static_cast<unsigned long long>(take().value().integerValue());
            Spec hex = spec;
            hex.flags += '#';
            appendPrintf(out, printfSpec(hex, "llx"), v);
            break;
        }
        case 's':
        case 'S':
        case '@': {
            const FormatArgument& arg = take();
            if (arg.isNil()) {
                appendText(out, "(null)", spec);
            } else if (const std::string* s = arg.value().getString()) {
                appendText(out, *s, spec);
            } else {
                appendText(out, arg.value().description(), spec);
            }
            break;
        }
        default: out.append(format.substr(percent, j - percent)); break;
        }
        i = j;
    }
    return out;
}

} // namespace platform
