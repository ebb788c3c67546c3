#include "base/Text.h"

namespace kestrune {

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

} // namespace

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int DigitValue(char c, int base) {
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    return d < base ? d : -1;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

std::optional<int32_t> ParseWholeNumber(std::string_view text, TRadix radix) {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (radix == TRadix::DecimalOrHex && text.size() - i >= 2 && text[i] == '0' &&
        (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size())
        return std::nullopt;
    const int64_t limit = negative ? int64_t{INT32_MAX} + 1 : int64_t{INT32_MAX};
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const int d = DigitValue(text[i], base);
        if (d < 0)
            return std::nullopt;
        value = value * base + d;
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

namespace {

// The length of the valid UTF-8 sequence at the start of `text` and its code
// point, or 0 when the first byte does not begin one (overlong forms,
// surrogates and values past U+10FFFF are not valid).
size_t Utf8Sequence(std::string_view text, char32_t& point) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    size_t length = 0;
    char32_t min = 0;
    if (first < 0x80) {
        point = first;
        return 1;
    } else if (first >= 0xC2 && first <= 0xDF) {
        length = 2, point = first & 0x1F, min = 0x80;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3, point = first & 0x0F, min = 0x800;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4, point = first & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        point = point << 6 | (byte(i) & 0x3F);
    }
    if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0;
    return length;
}

bool Escaped(char32_t point) {
    return point < 0x20 || point == '\\' || (point >= 0x7F && point <= 0x9F) || point == 0x2028 ||
           point == 0x2029 || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

} // namespace

std::string EscapePeerText(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t point = 0;
        size_t length = Utf8Sequence(text, point);
        if (length > 0 && !Escaped(point)) {
            out.append(text.substr(0, length));
        } else {
            length = length > 0 ? length : 1;
            for (size_t i = 0; i < length; ++i) {
                const auto b = static_cast<unsigned char>(text[i]);
                out += "\\x";
                out += digits[b >> 4];
                out += digits[b & 15];
            }
        }
        text.remove_prefix(length);
    }
    return out;
}

} // namespace kestrune
