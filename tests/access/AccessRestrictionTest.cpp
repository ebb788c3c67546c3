#include "access/AccessRestriction.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrune {
namespace {

TAccessRule Rule(std::string name, std::string ownHost, std::string ownPort, std::string remHost,
                 std::string remPort, std::string action, std::string enable = "Yes") {
    return {std::move(name),    std::move(ownHost), std::move(ownPort), std::move(remHost),
            std::move(remPort), std::move(action),  std::move(enable)};
}

bool Allowed(const std::vector<TAccessRule>& rules, const std::string& ownHost,
             const std::string& remHost, int ownPort, int remPort) {
    return GetAccessRestriction(rules, ownHost, remHost, ownPort, remPort);
}

TEST(AccessRestriction, EmptyListAllowsEveryone) {
    const std::vector<TAccessRule> none;
    EXPECT_TRUE(Allowed(none, "0.0.0.0", "10.0.0.7", 1080, 40000));
    EXPECT_TRUE(Allowed(none, "192.168.1.5", "8.8.8.8", 1, 0));
}

TEST(AccessRestriction, FirstMatchingRuleWins) {
    const TAccessRule denyAll = Rule("A", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny");
    const TAccessRule allowOne = Rule("B", "0.0.0.0", "1080", "10.0.0.7", "0", "Allow");

    const std::vector<TAccessRule> denyFirst{denyAll, allowOne};
    EXPECT_FALSE(Allowed(denyFirst, "0.0.0.0", "10.0.0.7", 1080, 40000));
    EXPECT_FALSE(Allowed(denyFirst, "0.0.0.0", "10.0.0.8", 1080, 40000));

    const std::vector<TAccessRule> allowFirst{allowOne, denyAll};
    EXPECT_TRUE(Allowed(allowFirst, "0.0.0.0", "10.0.0.7", 1080, 40000));
    EXPECT_FALSE(Allowed(allowFirst, "0.0.0.0", "10.0.0.8", 1080, 40000));
    // Neither rule concerns another listen port.
    EXPECT_TRUE(Allowed(allowFirst, "0.0.0.0", "10.0.0.8", 1081, 40000));
}

TEST(AccessRestriction, OnlyEnabledRulesTakePart) {
    const std::vector<TAccessRule> disabled{
        Rule("off", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny", "No")};
    EXPECT_TRUE(Allowed(disabled, "0.0.0.0", "10.0.0.7", 1080, 1234));

    // A disabled Allow does not shield the peer from the Deny below it, and
    // the enabled text is compared exactly.
    const std::vector<TAccessRule> shadowed{
        Rule("off", "0.0.0.0", "1080", "10.0.0.7", "0", "Allow", "No"),
        Rule("lower", "0.0.0.0", "1080", "10.0.0.7", "0", "Allow", "yes"),
        Rule("deny", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny")};
    EXPECT_FALSE(Allowed(shadowed, "0.0.0.0", "10.0.0.7", 1080, 1234));
}

TEST(AccessRestriction, OwnAddressShortCutBeatsDeny) {
    const std::vector<TAccessRule> rules{Rule("deny", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny")};
    EXPECT_TRUE(Allowed(rules, "127.0.0.1", "127.0.0.1", 1080, 50000));
    // The same rule does deny other peers of that service.
    EXPECT_FALSE(Allowed(rules, "127.0.0.1", "127.0.0.2", 1080, 50000));
}

TEST(AccessRestriction, ListenSideComparesConfiguredAddresses) {
    const std::vector<TAccessRule> rules{
        Rule("lan", "192.168.1.5", "1080", "0.0.0.0", "0", "Deny")};
    // A service configured on all addresses is not matched by a rule for one
    // of them, whatever address the connection arrived on.
    EXPECT_TRUE(Allowed(rules, "0.0.0.0", "10.0.0.9", 1080, 1234));
    EXPECT_FALSE(Allowed(rules, "192.168.1.5", "10.0.0.9", 1080, 1234));
    // There is no wild card for the listen port.
    EXPECT_TRUE(Allowed(rules, "192.168.1.5", "10.0.0.9", 1081, 1234));
}

TEST(AccessRestriction, AddressesAndPortsCompareAsNumbers) {
    // However a rule was written, it means the numbers it names.
    const std::vector<TAccessRule> padded{
        Rule("pad", "010.000.000.001", "01080", "192.168.001.007", "+0080", "Deny"),
        Rule("six", "::", "1080", "2001:DB8:0::1", "0", "Deny")};
    EXPECT_FALSE(Allowed(padded, "10.0.0.1", "192.168.1.7", 1080, 80));
    EXPECT_TRUE(Allowed(padded, "10.0.0.1", "192.168.1.7", 1080, 81));
    EXPECT_FALSE(Allowed(padded, "::", "2001:db8::1", 1080, 5));
    EXPECT_TRUE(Allowed(padded, "::", "2001:db8::2", 1080, 5));
    // The own-address short cut also compares numbers.
    EXPECT_TRUE(Allowed(padded, "192.168.001.007", "192.168.1.7", 1080, 80));
}

TEST(AccessRestriction, WildcardsAndMappedPeers) {
    // "0.0.0.0" is everyone, IPv6 peers included; "::" is every IPv6 peer.
    const std::vector<TAccessRule> all{Rule("all", "0.0.0.0", "80", "0.0.0.0", "0", "Deny")};
    const std::vector<TAccessRule> six{Rule("six", "0.0.0.0", "80", "::", "0", "Deny")};
    for (const char* peer : {"10.0.0.7", "2001:db8::7", "::ffff:10.0.0.7"})
        EXPECT_FALSE(Allowed(all, "0.0.0.0", peer, 80, 1)) << peer;
    EXPECT_FALSE(Allowed(six, "::", "2001:db8::7", 80, 1));
    EXPECT_TRUE(Allowed(six, "0.0.0.0", "10.0.0.7", 80, 1));
    // A mapped peer is its IPv4 address, for a rule and for the short cut.
    EXPECT_TRUE(Allowed(six, "0.0.0.0", "::ffff:10.0.0.7", 80, 1));
    const std::vector<TAccessRule> one{Rule("one", "0.0.0.0", "80", "10.0.0.7", "0", "Deny")};
    EXPECT_FALSE(Allowed(one, "::", "::ffff:10.0.0.7", 80, 1));
    EXPECT_TRUE(Allowed(one, "10.0.0.7", "::ffff:10.0.0.7", 80, 1));
    // A listen IP "::" is every service on an IPv6 address, none on IPv4.
    const std::vector<TAccessRule> listen{Rule("l", "::", "80", "0.0.0.0", "0", "Deny")};
    EXPECT_FALSE(Allowed(listen, "2001:db8::1", "2001:db8::7", 80, 1));
    EXPECT_TRUE(Allowed(listen, "10.0.0.1", "10.0.0.7", 80, 1));
}

TEST(AccessRestriction, RemotePortZeroMatchesEveryPort) {
    const std::vector<TAccessRule> any{Rule("any", "0.0.0.0", "53", "10.0.0.7", "0", "Deny")};
    for (int port : {0, 1, 5000, 65535})
        EXPECT_FALSE(Allowed(any, "0.0.0.0", "10.0.0.7", 53, port)) << port;
    EXPECT_TRUE(Allowed(any, "0.0.0.0", "10.0.0.70", 53, 5000));

    const std::vector<TAccessRule> one{Rule("one", "0.0.0.0", "53", "10.0.0.7", "5000", "Deny")};
    EXPECT_FALSE(Allowed(one, "0.0.0.0", "10.0.0.7", 53, 5000));
    EXPECT_TRUE(Allowed(one, "0.0.0.0", "10.0.0.7", 53, 5001));
    EXPECT_TRUE(Allowed(one, "0.0.0.0", "10.0.0.7", 53, 500));
}

TEST(AccessRestriction, AnyActionButAllowDenies) {
    const std::vector<TAccessRule> rules{Rule("odd", "0.0.0.0", "80", "0.0.0.0", "0", "allow"),
                                         Rule("allow", "0.0.0.0", "80", "0.0.0.0", "0", "Allow")};
    EXPECT_FALSE(Allowed(rules, "0.0.0.0", "10.0.0.1", 80, 1));
}

// A rule for the targets of clients of the service on 0.0.0.0:1080.
TAccessRule Target(std::string name, std::string toHost, std::string toPort, std::string action,
                   std::string via = "", std::string remHost = "0.0.0.0") {
    TAccessRule rule =
        Rule(std::move(name), "0.0.0.0", "1080", std::move(remHost), "0", std::move(action));
    rule.mToHost = std::move(toHost);
    rule.mToPort = std::move(toPort);
    rule.mVia = std::move(via);
    return rule;
}

TDestinationVerdict Judge(const std::vector<TAccessRule>& rules, const TDestination& target,
                          bool skipAddressRules = false, const std::string& client = "10.0.0.7") {
    return GetDestinationRestriction(rules, "0.0.0.0", client, 1080, 40000, target,
                                     skipAddressRules);
}

TEST(AccessRestriction, TargetRulesJudgeRequestsNotClients) {
    const std::vector<TAccessRule> rules{Target("no lan", "10.0.0.0", "", "Deny"),
                                         Target("no ssh", "", "22", "Deny")};
    EXPECT_TRUE(Allowed(rules, "0.0.0.0", "10.0.0.7", 1080, 40000));
    // ...and client rules never judge a target.
    const std::vector<TAccessRule> clients{Rule("all", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny")};
    EXPECT_EQ(Judge(clients, {"", "10.0.0.1", 80}).Decision, TDestinationDecision::Allow);
}

TEST(AccessRestriction, DestinationNamesAddressesAndPorts) {
    std::vector<TAccessRule> rules{
        Target("corp", "*.Corp.example", "443", "Allow", "socks5://10.0.0.9:1080"),
        Target("no corp", "*.corp.example", "", "Deny"),
        Target("no lan host", "192.168.1.10", "0", "Deny"),
        Target("no six", "::", "", "Deny"),
        Target("no smtp", "", "25", "Deny"),
        Target("off", "*", "", "Deny")};
    rules.back().mEnable = "No";
    auto decision = [&](const TDestination& target) { return Judge(rules, target).Decision; };
    using D = TDestinationDecision;

    // The first matching rule decides, and an Allow carries its Via.
    const TDestinationVerdict corp = Judge(rules, {"WWW.corp.EXAMPLE", "", 443});
    EXPECT_EQ(corp.Decision, D::Allow);
    EXPECT_EQ(corp.Via, "socks5://10.0.0.9:1080");
    EXPECT_EQ(corp.RuleName, "corp");
    EXPECT_EQ(Judge(rules, {"www.corp.example.", "", 80}).RuleName, "no corp");
    EXPECT_EQ(decision({"corp.example", "", 80}), D::NeedsAddress)
        << "no name rule matches, so the address rule below must see the address";

    // An address rule needs the address: asked for it, or passed over.
    EXPECT_EQ(decision({"printer.lan", "", 631}), D::NeedsAddress);
    EXPECT_EQ(Judge(rules, {"printer.lan", "", 631}).RuleName, "");
    EXPECT_EQ(Judge(rules, {"printer.lan", "", 25}, true).RuleName, "no smtp");
    EXPECT_EQ(Judge(rules, {"printer.lan", "", 631}, true).Decision, D::Allow);
    const TDestinationVerdict resolved = Judge(rules, {"printer.lan", "192.168.001.010", 631});
    EXPECT_EQ(resolved.Decision, D::Deny);
    EXPECT_EQ(resolved.RuleName, "no lan host");
    EXPECT_EQ(resolved.Via, "");
    // An address the client gave has no name: name rules pass it by.
    EXPECT_EQ(decision({"", "::ffff:192.168.1.10", 80}), D::Deny);
    EXPECT_EQ(Judge(rules, {"", "2001:db8::1", 80}).RuleName, "no six");
    EXPECT_EQ(Judge(rules, {"", "10.1.1.1", 25}).RuleName, "no smtp");
    EXPECT_EQ(decision({"", "10.1.1.1", 80}), D::Allow);
    // A disabled rule takes no part.
    EXPECT_EQ(Judge(rules, {"anything", "10.1.1.1", 80}).RuleName, "");
}

TEST(AccessRestriction, DestinationRulesMatchTheServiceAndClientExactly) {
    std::vector<TAccessRule> rules{
        Target("lab only", "*.lab", "", "Deny", "", "10.0.0.8"),
        Target("lab", "*.lab", "", "Allow", "http://10.0.0.9:3128", "10.0.0.0"),
        Target("all", "*.lab", "", "Deny")};
    rules.back().mOwnPort = "1081";
    EXPECT_EQ(Judge(rules, {"a.lab", "", 80}, false, "10.0.0.8").RuleName, "lab only");
    EXPECT_EQ(Judge(rules, {"a.lab", "", 80}, false, "10.0.0.0").RuleName, "lab");
    // Another listen port, and a client on the service's own address: no
    // short cut lets the latter through.
    EXPECT_EQ(Judge(rules, {"a.lab", "", 80}).Decision, TDestinationDecision::Allow);
    rules[0].mRemHost = "127.0.0.1";
    EXPECT_EQ(
        GetDestinationRestriction(rules, "127.0.0.1", "127.0.0.1", 1080, 5, {"a.lab", "", 1}, false)
            .Decision,
        TDestinationDecision::Deny);
    rules[0].mEnable = "No";
    EXPECT_EQ(Judge(rules, {"a.lab", "", 80}, false, "10.0.0.8").Decision,
              TDestinationDecision::Allow);
}

} // namespace
} // namespace kestrune
