// The small text helpers that the settings file, the validation rules and
// the rest share: one trim, one letter-case fold and one whole-number reader.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

// Without leading and trailing blanks and control characters (code 32 and
// below).
std::string_view TrimBlanks(std::string_view text);

// ASCII letters folded to lower case; every other byte as it is.
std::string LowerAscii(std::string_view text);
// Equal apart from the case of ASCII letters.
bool SameIgnoringCase(std::string_view a, std::string_view b);

// Whether a whole number may also be written as "0x" hexadecimal.
enum class TRadix { Decimal, DecimalOrHex };

// A whole number: an optional '+' or '-', then decimal digits, or (with
// DecimalOrHex) "0x" and hexadecimal digits; nothing else, no blanks, and
// within the signed 32-bit range. Anything else has no value.
std::optional<int32_t> ParseWholeNumber(std::string_view text, TRadix radix = TRadix::Decimal);

} // namespace kestrune
