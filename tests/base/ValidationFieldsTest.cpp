#include "base/IpAddress.h"
#include "base/Validation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {
namespace {

TEST(ValidationFields, NameIsTrimmedOfBlanksAndControls) {
    EXPECT_EQ(TrimName(" \t Total \r\n"), "Total");
    EXPECT_EQ(TrimName("   "), "");
    EXPECT_EQ(TrimName("\x01Office Lan\x1f"), "Office Lan");
    // Bytes of multi-byte characters are above the blank and stay.
    EXPECT_EQ(TrimName(" B\xC3\xBCro "), "B\xC3\xBCro");
}

TEST(ValidationFields, NameIsLimitedToFiftyCharacters) {
    EXPECT_EQ(LimitNameLength(std::string(60, 'a')), std::string(50, 'a'));
    EXPECT_EQ(LimitNameLength(std::string(50, 'a')), std::string(50, 'a'));
    // Counted in characters, and a two-byte character is never cut in half.
    std::string umlauts;
    for (int i = 0; i < 60; ++i)
        umlauts += "\xC3\xBC";
    EXPECT_EQ(LimitNameLength(umlauts), umlauts.substr(0, 100));
}

TEST(ValidationFields, ReservedNames) {
    for (auto kind : {TEntryKind::ProxyServer, TEntryKind::PortMapper, TEntryKind::AccessRule}) {
        EXPECT_TRUE(IsReservedName(kind, "Kestrune"));
        // The settings file would join "kestrune" with its options section.
        EXPECT_TRUE(IsReservedName(kind, "KESTRUNE"));
        EXPECT_FALSE(IsReservedName(kind, "total"));
        EXPECT_FALSE(IsReservedName(kind, "Kestrune2"));
    }
    EXPECT_TRUE(IsReservedName(TEntryKind::ProxyServer, "Total"));
    EXPECT_TRUE(IsReservedName(TEntryKind::PortMapper, "Total"));
    EXPECT_FALSE(IsReservedName(TEntryKind::AccessRule, "Total"));
}

TEST(ValidationFields, IpPatternChecksOnlyTheShape) {
    for (const char* ip : {"256.300.1.1", "999.1.1.1", "010.000.000.001", "0.0.0.0", "127.0.0.1"})
        EXPECT_TRUE(MatchesIpPattern(ip)) << ip;
    const std::string withNul("1.2.3.4\0", 8);
    for (const std::string& ip :
         std::vector<std::string>{"1.2.3", "1.2.3.4.5", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4\n",
                                  "1..2.3", "1234.1.1.1", "", "a.b.c.d", "1.2.3.-4", withNul,
                                  // Arabic-Indic digits one to four.
                                  "\xD9\xA1.\xD9\xA2.\xD9\xA3.\xD9\xA4",
                                  // Fullwidth digit one in the first group.
                                  "\xEF\xBC\x91.2.3.4"})
        EXPECT_FALSE(MatchesIpPattern(ip)) << ip;
}

TEST(ValidationFields, IpPatternIsSafeFromManyThreads) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (!MatchesIpPattern("10.0.0." + std::to_string(i % 1000)) ||
                    MatchesIpPattern("10.0.0." + std::to_string(1000 + i)))
                    ++wrong;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ValidationFields, PortRanges) {
    for (const char* port : {"1", "1080", "65535", "080", "+80"})
        EXPECT_TRUE(IsValidPort(port)) << port;
    for (const char* port : {"0", "65536", "", "abc", "-1", "80 ", "99999999999", "0x50"})
        EXPECT_FALSE(IsValidPort(port)) << port;

    // The remote port of a rule accepts 0, but not text that is no number.
    for (const char* port : {"0", "5000", "65535"})
        EXPECT_TRUE(IsValidRulePort(port)) << port;
    for (const char* port : {"", "x", "-1", "65536"})
        EXPECT_FALSE(IsValidRulePort(port)) << port;

    EXPECT_EQ(ReadPortText("oops", -1), -1);
    EXPECT_EQ(ReadPortText("2147483648", 7), 7);
    EXPECT_EQ(PlainPortText("080"), "80");
    EXPECT_EQ(PlainPortText("+1080"), "1080");
    EXPECT_EQ(PlainPortText("x1"), "x1");
}

TEST(ValidationFields, NamesClashIgnoringCaseOnly) {
    EXPECT_TRUE(SameName("Alpha", "alpha"));
    EXPECT_TRUE(SameName("LAN only", "lan ONLY"));
    EXPECT_FALSE(SameName("Alpha", "Alpha "));
    EXPECT_FALSE(SameName("Alpha", "Alpho"));
}

TEST(ValidationFields, ListenOverlap) {
    EXPECT_TRUE(ListenOverlaps("0.0.0.0", "1080", "10.0.0.1", "1080"));
    EXPECT_TRUE(ListenOverlaps("10.0.0.1", "1080", "0.0.0.0", "1080"));
    EXPECT_TRUE(ListenOverlaps("10.0.0.1", "1080", "10.0.0.1", "1080"));
    EXPECT_FALSE(ListenOverlaps("10.0.0.1", "1080", "10.0.0.2", "1080"));
    EXPECT_FALSE(ListenOverlaps("0.0.0.0", "1080", "0.0.0.0", "1081"));
    // "080" and "80" are the same port to the system (and in the saved file).
    EXPECT_TRUE(ListenOverlaps("0.0.0.0", "080", "0.0.0.0", "80"));
    EXPECT_FALSE(ListenOverlaps("0.0.0.0", "x", "0.0.0.0", "y"));
    // So are two spellings of one address, and of "any".
    EXPECT_TRUE(ListenOverlaps("010.000.000.001", "80", "10.0.0.1", "80"));
    EXPECT_TRUE(ListenOverlaps("000.0.0.000", "80", "10.0.0.1", "80"));
}

TEST(ValidationFields, AddressFieldsTakeIPv4PatternsAndIPv6Texts) {
    for (const char* good : {"10.0.0.1", "999.1.1.1", "::", "::1", "2001:DB8::7",
                             "2001:db8:0:0:0:0:0:7", "::ffff:10.0.0.1", "fe80::1"})
        EXPECT_TRUE(IsAddressText(good)) << good;
    for (const char* bad : {"[::1]", "fe80::1%eth0", "1:2:3:4:5:6:7:8:9", "2001:db8:::1",
                            "10.0.0.1.", "10.0.0", ":::", "1::2::3", "::g", " ::1", ""})
        EXPECT_FALSE(IsAddressText(bad)) << bad;
}

TEST(ValidationFields, ListenOverlapAcrossFamilies) {
    // "::" covers every IPv6 address only; an IPv4 listener never meets an
    // IPv6 one (each listens on its own family alone).
    EXPECT_TRUE(ListenOverlaps("::", "80", "2001:db8::1", "80"));
    EXPECT_TRUE(ListenOverlaps("2001:DB8::1", "80", "2001:db8:0::1", "80"));
    EXPECT_FALSE(ListenOverlaps("2001:db8::1", "80", "2001:db8::2", "80"));
    EXPECT_FALSE(ListenOverlaps("0.0.0.0", "80", "::", "80"));
    EXPECT_FALSE(ListenOverlaps("::", "80", "10.0.0.1", "80"));
    EXPECT_FALSE(ListenOverlaps("::", "80", "::", "81"));
}

TEST(ValidationFields, MapperForwardingToItself) {
    // Same port, and the remote reaches the listener.
    EXPECT_TRUE(ForwardsToItself("10.0.0.1", "80", "10.0.0.1", "080"));
    EXPECT_TRUE(ForwardsToItself("0.0.0.0", "80", "127.0.0.2", "80"));
    EXPECT_TRUE(ForwardsToItself("0.0.0.0", "80", "0.0.0.0", "80"));
    EXPECT_TRUE(ForwardsToItself("127.0.0.1", "80", "0.0.0.0", "80"));
    for (const TIpAddress& local : LocalAddresses()) {
        if (local.Family() == TIpAddress::V4) {
            EXPECT_TRUE(ForwardsToItself("0.0.0.0", "80", local.Text(), "80")) << local.Text();
        }
    }
    // Another port, another listener, or another family: no loop.
    EXPECT_FALSE(ForwardsToItself("0.0.0.0", "80", "127.0.0.1", "81"));
    EXPECT_FALSE(ForwardsToItself("10.0.0.1", "80", "10.0.0.2", "80"));
    EXPECT_FALSE(ForwardsToItself("127.0.0.1", "80", "127.0.0.2", "80"));
    EXPECT_FALSE(ForwardsToItself("192.0.2.1", "80", "0.0.0.0", "80"));
    EXPECT_FALSE(ForwardsToItself("0.0.0.0", "80", "::1", "80"));
}

TEST(ValidationFields, DuplicateRulesCompareNumbersAndTargets) {
    auto rule = [](std::string own, std::string ownPort, std::string rem, std::string remPort,
                   std::string toHost = "", std::string toPort = "", std::string via = "") {
        return TAccessRule{"X", own, ownPort, rem, remPort, "Deny", "Yes", toHost, toPort, via};
    };
    const std::vector<TAccessRule> rules{
        rule("10.0.0.1", "1080", "192.168.1.7", "0"),
        rule("0.0.0.0", "1080", "0.0.0.0", "0", "*.Example.com", "", "socks5://10.0.0.9:1080"),
        rule("0.0.0.0", "1080", "0.0.0.0", "0", "10.0.0.1", "22")};
    EXPECT_EQ(FindDuplicateRule(rules, rule("010.000.000.001", "01080", "192.168.001.007", "00")),
              &rules[0]);
    EXPECT_EQ(FindDuplicateRule(rules, rule("10.0.0.1", "1080", "192.168.1.7", "80")), nullptr);
    EXPECT_EQ(FindDuplicateRule(rules, rule("10.0.0.1", "1080", "192.168.1.70", "0")), nullptr);
    // Naming any target makes another rule of the same four values.
    EXPECT_EQ(FindDuplicateRule(rules, rule("10.0.0.1", "1080", "192.168.1.7", "0", "", "0")),
              nullptr);
    // Patterns compare case aside; a named target's empty port is 0; the
    // Via, like the action, does not tell two rules apart.
    EXPECT_EQ(
        FindDuplicateRule(rules, rule("0.0.0.0", "1080", "0.0.0.0", "0", "*.example.COM.", "0")),
        &rules[1]);
    EXPECT_EQ(
        FindDuplicateRule(rules, rule("0.0.0.0", "1080", "0.0.0.0", "0", "*.example.com", "443")),
        nullptr);
    EXPECT_EQ(FindDuplicateRule(rules, rule("0.0.0.0", "1080", "0.0.0.0", "0", "www.example.com")),
              nullptr);
    EXPECT_EQ(
        FindDuplicateRule(rules, rule("0.0.0.0", "1080", "0.0.0.0", "0", "010.0.0.001", "022")),
        &rules[2]);
}

TEST(ValidationFields, TargetOutgoingAndViaFields) {
    for (const char* host : {"", "10.0.0.1", "::1", "0.0.0.0", "*", "*.example.com",
                             "Intranet-1.LAN", "10.0.*", "a*b*c"})
        EXPECT_TRUE(IsTargetHostText(host)) << host;
    // Digits and dots alone are a mistyped address, not a pattern.
    for (const char* host : {"1.2.3", "10.0.0.1.", "::g", "exa mple.com", "host_1", "a?b", "[::1]",
                             "*.example.com:80"})
        EXPECT_FALSE(IsTargetHostText(host)) << host;
    EXPECT_FALSE(IsTargetHostText(std::string(254, 'a')));

    for (const char* port : {"", "0", "443", "65535"})
        EXPECT_TRUE(IsValidTargetPort(port)) << port;
    for (const char* port : {"-1", "65536", "x"})
        EXPECT_FALSE(IsValidTargetPort(port)) << port;

    for (const char* out : {"", "same", "SAME", "10.0.0.1", "::1"})
        EXPECT_TRUE(IsOutHostText(out)) << out;
    for (const char* out : {"samE ", "10.0.0", "localhost", "any"})
        EXPECT_FALSE(IsOutHostText(out)) << out;

    EXPECT_TRUE(IsViaText("direct"));
    EXPECT_TRUE(IsViaText("socks5://u:p@localhost:1080"));
    EXPECT_FALSE(IsViaText("socks5://localhost"));
}

TEST(ValidationFields, HostNamePatterns) {
    EXPECT_TRUE(MatchesHostNamePattern("*.example.com", "www.EXAMPLE.com"));
    EXPECT_TRUE(MatchesHostNamePattern("*.example.com", "a.b.example.com"));
    EXPECT_TRUE(MatchesHostNamePattern("*", "anything.at.all"));
    EXPECT_TRUE(MatchesHostNamePattern("LocalHost", "localhost"));
    EXPECT_TRUE(MatchesHostNamePattern("w*w*.example.com", "www1.example.com"));
    // A final dot names the same host, so it cannot lead around a rule.
    EXPECT_TRUE(MatchesHostNamePattern("www.example.com", "www.example.com."));
    EXPECT_TRUE(MatchesHostNamePattern("www.example.com.", "www.example.com"));
    EXPECT_FALSE(MatchesHostNamePattern("*.example.com", "example.com"));
    EXPECT_FALSE(MatchesHostNamePattern("*.example.com", "www.example.com.evil"));
    EXPECT_FALSE(MatchesHostNamePattern("www.example.com", "wwwXexample.com"));
    EXPECT_FALSE(MatchesHostNamePattern("a*b", "ab-c"));
    // A long name against many stars stays quick: each star takes one more
    // character on a mismatch, with no backtracking over earlier stars.
    EXPECT_FALSE(MatchesHostNamePattern("*a*a*a*a*a*a*a*b", std::string(250, 'a')));

    EXPECT_TRUE(HostNamePatternsOverlap("*.example.com", "www.*"));
    EXPECT_TRUE(HostNamePatternsOverlap("*", "x"));
    EXPECT_TRUE(HostNamePatternsOverlap("A*", "*b"));
    EXPECT_TRUE(HostNamePatternsOverlap("host.lan", "HOST.LAN."));
    EXPECT_FALSE(HostNamePatternsOverlap("*.corp", "*.home"));
    EXPECT_FALSE(HostNamePatternsOverlap("a*", "b*"));
    EXPECT_FALSE(HostNamePatternsOverlap("www.example.com", "mail.example.com"));
}

TEST(ValidationFields, RuleAddressesCoverAsWildCards) {
    const auto at = [](const char* text) { return *TIpAddress::Parse(text); };
    EXPECT_TRUE(RuleAddressCovers("0.0.0.0", at("10.0.0.1")));
    EXPECT_TRUE(RuleAddressCovers("0.0.0.0", at("2001:db8::1")));
    EXPECT_TRUE(RuleAddressCovers("::", at("2001:db8::1")));
    EXPECT_FALSE(RuleAddressCovers("::", at("10.0.0.1")));
    EXPECT_TRUE(RuleAddressCovers("10.0.0.1", at("::ffff:10.0.0.1")));
    EXPECT_TRUE(RuleAddressCovers("::ffff:10.0.0.1", at("010.0.0.1")));
    EXPECT_FALSE(RuleAddressCovers("10.0.0.1", at("10.0.0.2")));
    EXPECT_FALSE(RuleAddressCovers("*.example.com", at("10.0.0.1")));
}

} // namespace
} // namespace kestrune
