// Addresses read as numbers: what parses, the canonical text, mapped peers.
#include "base/IpAddress.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

std::string Canonical(const char* AText) {
    const auto address = TIpAddress::Parse(AText);
    return address ? address->Text() : "-";
}

TEST(IpAddress, ParsesFieldTextsAndWritesTheCanonicalForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"10.0.0.1", "10.0.0.1"},
        {"010.000.000.001", "10.0.0.1"},
        {"999.1.1.1", "999.1.1.1"}, // the field's pattern admits it; no peer has it
        {"1.2.3", "-"},
        {"1.2.3.4.", "-"},
        {"1.2.3.4.5", "-"},
        {"1.2.3.0004", "-"},
        {" 1.2.3.4", "-"},
        {"2001:DB8:0:0::1", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},    // the first of equal runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"}, // one zero group stays
        {"0:0:0:0:0:0:0:0", "::"},
        {"::ffff:10.0.0.7", "::ffff:10.0.0.7"},
        {"[::1]", "-"},
        {"fe80::1%eth0", "-"},
        {"1:2:3:4:5:6:7:8:9", "-"},
        {"", "-"},
    };
    for (const auto& [text, canonical] : cases)
        EXPECT_EQ(Canonical(text), canonical) << text;
    EXPECT_EQ(CanonicalAddressText("not an address"), "not an address");
}

TEST(IpAddress, AnyLoopbackLinkLocalAndMappedPeers) {
    for (const char* any : {"0.0.0.0", "000.0.0.00", "::"})
        EXPECT_TRUE(TIpAddress::Parse(any)->IsAny()) << any;
    for (const char* loop : {"127.0.0.1", "127.9.9.9", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(TIpAddress::Parse(loop)->IsLoopback()) << loop;
    EXPECT_FALSE(TIpAddress::Parse("128.0.0.1")->IsLoopback());
    for (const char* local : {"fe80::1", "FEBF::2"})
        EXPECT_TRUE(TIpAddress::Parse(local)->IsLinkLocal()) << local;
    for (const char* other : {"fec0::1", "fe7f::1", "254.128.0.1", "::1"})
        EXPECT_FALSE(TIpAddress::Parse(other)->IsLinkLocal()) << other;
    EXPECT_EQ(TIpAddress::Parse("::ffff:10.0.0.7")->Unmapped(), *TIpAddress::Parse("10.0.0.7"));
    EXPECT_EQ(TIpAddress::Parse("::10.0.0.7")->Unmapped().Family(), TIpAddress::V6);
    EXPECT_TRUE(SameAddress("2001:DB8::1", "2001:db8:0::1"));
    EXPECT_FALSE(SameAddress("0.0.0.0", "::"));
}

} // namespace
} // namespace kestrune
