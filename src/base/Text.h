// The small text helpers that the settings file, the validation rules and
// the rest share: one trim, one letter-case fold, one whole-number reader and
// the one escape of text that a peer chose. Pure functions; any thread.
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
char LowerAscii(char c);
// The value of a digit in the given base (up to 16, letters of either
// case), or -1.
int DigitValue(char c, int base);
// Equal apart from the case of ASCII letters.
bool SameIgnoringCase(std::string_view a, std::string_view b);

// Whether a whole number may also be written as "0x" hexadecimal.
enum class TRadix { Decimal, DecimalOrHex };

// A whole number: an optional '+' or '-', then decimal digits, or (with
// DecimalOrHex) "0x" and hexadecimal digits; nothing else, no blanks, and
// within the signed 32-bit range. Anything else has no value.
std::optional<int32_t> ParseWholeNumber(std::string_view text, TRadix radix = TRadix::Decimal);

// Text that came from a peer (a user name, a user id, a header field) as
// the event log may show it: every control character (C0, DEL, C1), the
// line and paragraph separators, the bidirectional overrides, the backslash
// and every byte that is not part of valid UTF-8 become "\xNN", one per
// byte, so that a peer can neither start a line of its own nor make its text
// look like someone else's. Other text passes unchanged.
std::string EscapePeerText(std::string_view text);

} // namespace kestrune
