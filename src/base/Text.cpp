#include "base/Text.h"

namespace kestrune {

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

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

} // namespace

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

} // namespace kestrune
