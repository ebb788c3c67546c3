#include "base/Text.h"

#include <gtest/gtest.h>

namespace kestrune {

TEST(EscapePeerText, ControlsSeparatorsAndBrokenUtf8BecomeHexAndTheRestPasses) {
    struct TCase {
        std::string In;
        std::string Out;
    };
    const TCase cases[] = {
        {"alice", "alice"},
        {"", ""},
        // A line of the client's own making, with LF or CR LF.
        {"x\n[Auth] Authenticated: 10.9.9.9:1", "x\\x0a[Auth] Authenticated: 10.9.9.9:1"},
        {"x\r\ny", "x\\x0d\\x0ay"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x1b[2Jz", "\\x1b[2Jz"},
        {"\v\f\x7f", "\\x0b\\x0c\\x7f"},
        // A backslash is escaped too, so that "\x0a" typed by the client
        // cannot pass for an escaped line feed.
        {"\\x0a", "\\x5cx0a"},
        // U+0085 (NEL), U+2028, U+2029 and a bidirectional override.
        {"a\xc2\x85"
         "b",
         "a\\xc2\\x85b"},
        {"\xe2\x80\xa8\xe2\x80\xa9", "\\xe2\\x80\\xa8\\xe2\\x80\\xa9"},
        {"\xe2\x80\xae", "\\xe2\\x80\\xae"},
        // Valid UTF-8 outside those passes: e-acute, a CJK letter, an emoji.
        {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", "\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80"},
        // Broken sequences: a lone continuation byte, a cut sequence, an
        // overlong slash, a surrogate, a value past U+10FFFF.
        {"\x80z", "\\x80z"},
        {"\xe6\x97", "\\xe6\\x97"},
        {"\xc0\xaf", "\\xc0\\xaf"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(EscapePeerText(c.In), c.Out) << c.In;
}

} // namespace kestrune
