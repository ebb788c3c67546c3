#include "base/Validation.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace kestrune {
namespace {

// The entries that exist when the dialogs save, as their list rows show them.
class ValidationSave : public ::testing::Test {
protected:
    std::vector<TServiceEntry> mProxies{{"Office", "0.0.0.0", "1080"}, {"Lan", "10.0.0.1", "3128"}};
    // "Dns" is a UDP-only mapper; the protocol plays no part in the rules.
    std::vector<TServiceEntry> mMappers{{"Dns", "0.0.0.0", "53"}, {"Mail", "10.0.0.5", "9000"}};
    std::vector<TAccessRule> mRules{
        {"Lan only", "0.0.0.0", "1080", "192.168.1.7", "0", "Allow", "Yes"},
        {"Block", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny", "Yes"}};

    TEntryLists Existing() const { return {mProxies, mMappers, mRules}; }
};

void ExpectFailure(const TSaveCheck& check, const std::string& message, const std::string& focus) {
    EXPECT_FALSE(check.Passed());
    EXPECT_EQ(check.mMessage, message);
    EXPECT_EQ(check.mFocus, focus);
}

// Each step is reached by mending the field that failed the step before, so
// the order of the steps is checked along with their messages.
TEST_F(ValidationSave, ProxyServerStepsInOrder) {
    TProxyServerFields f{"   ", "1.2.3", "0", "user", "", -1};
    const auto check = [&] { return CheckProxyServerSave(f, Existing(), std::nullopt); };

    auto c = check();
    ExpectFailure(c, "Name not specified.", "NameLabeledEdit");
    EXPECT_EQ(c.mName, "");
    f.mName = " Total ";
    c = check();
    ExpectFailure(c, "Name is reserved.", "NameLabeledEdit");
    EXPECT_EQ(c.mName, "Total") << "the trimmed name is written back even on failure";
    f.mName = "office";
    ExpectFailure(check(), "Invalid IP address specified.", "HostComboBox");
    f.mHost = "0.0.0.0";
    ExpectFailure(check(), "Invalid port number specified.", "PortLabeledEdit");
    f.mPort = "1080";
    ExpectFailure(check(), "Password not specified.", "PasswordLabeledEdit");
    f.mUser = "";
    f.mPass = "secret";
    ExpectFailure(check(), "Username not specified.", "UsernameLabeledEdit");
    f.mPass = "";
    ExpectFailure(check(), "None of versions selected.", "VersionComboBox");
    f.mVersion = 2;
    // Letter case aside the names clash; the message names the entry as written.
    ExpectFailure(check(), "Specified name conflicts with existing proxy server: Office",
                  "NameLabeledEdit");
    f.mName = "DNS";
    ExpectFailure(check(), "Specified name conflicts with existing port mapper: Dns",
                  "NameLabeledEdit");
    f.mName = "BLOCK";
    ExpectFailure(check(), "Specified name conflicts with existing access restriction: Block",
                  "NameLabeledEdit");
    f.mName = "New";
    ExpectFailure(check(), "Specified port conflicts with existing proxy server: Office",
                  "PortLabeledEdit");
    f.mHost = "10.0.0.9";
    f.mPort = "53";
    ExpectFailure(check(), "Specified port conflicts with existing port mapper: Dns",
                  "PortLabeledEdit");
    f.mPort = "54";
    c = check();
    EXPECT_TRUE(c.Passed()) << c.mMessage;
    EXPECT_EQ(c.mFocus, "");
    EXPECT_EQ(c.mName, "New");

    // Both user name and password given is fine too.
    f.mUser = "u";
    f.mPass = "p";
    EXPECT_TRUE(check().Passed());
}

TEST_F(ValidationSave, ProxyServerListenOverlap) {
    auto save = [&](const char* host, const char* port) {
        return CheckProxyServerSave({"New", host, port, "", "", 0}, Existing(), std::nullopt);
    };
    // All addresses on 3128 against Lan on 10.0.0.1:3128.
    EXPECT_EQ(save("0.0.0.0", "3128").mMessage,
              "Specified port conflicts with existing proxy server: Lan");
    // One address on 1080 against Office on all addresses.
    EXPECT_EQ(save("10.0.0.1", "1080").mMessage,
              "Specified port conflicts with existing proxy server: Office");
    EXPECT_FALSE(save("10.0.0.1", "3128").Passed());
    EXPECT_TRUE(save("10.0.0.2", "3128").Passed());
    // A UDP-only mapper on 53 blocks a proxy server on the same address too.
    EXPECT_EQ(save("0.0.0.0", "53").mMessage,
              "Specified port conflicts with existing port mapper: Dns");
    // The mapper's remote side never counts.
    EXPECT_TRUE(save("10.0.0.5", "9001").Passed());

    // Two servers on different addresses of one port coexist.
    mProxies.push_back({"A", "10.0.0.1", "1081"});
    EXPECT_TRUE(save("10.0.0.2", "1081").Passed());
}

TEST_F(ValidationSave, ProxyServerEditLeavesItselfOut) {
    // Saving Office unchanged (row 0) and renaming it by letter case pass.
    EXPECT_TRUE(
        CheckProxyServerSave({"Office", "0.0.0.0", "1080", "", "", 0}, Existing(), 0).Passed());
    EXPECT_TRUE(
        CheckProxyServerSave({"OFFICE", "0.0.0.0", "1080", "", "", 0}, Existing(), 0).Passed());
    // Lan (row 1) is still compared with Office, by name and by port.
    EXPECT_EQ(
        CheckProxyServerSave({"Office", "10.0.0.1", "3128", "", "", 0}, Existing(), 1).mMessage,
        "Specified name conflicts with existing proxy server: Office");
    EXPECT_EQ(CheckProxyServerSave({"Lan", "10.0.0.1", "1080", "", "", 0}, Existing(), 1).mMessage,
              "Specified port conflicts with existing proxy server: Office");
    // The entries of other kinds are never left out.
    EXPECT_EQ(CheckProxyServerSave({"Mail", "10.0.0.1", "3128", "", "", 0}, Existing(), 1).mMessage,
              "Specified name conflicts with existing port mapper: Mail");

    // An edit whose row holds no configured server is refused last.
    for (std::size_t row : {std::size_t{2}, NoRow}) {
        ExpectFailure(
            CheckProxyServerSave({"Other", "10.0.0.7", "7000", "", "", 1}, Existing(), row),
            "Proxy server not found.", "");
    }
}

TEST_F(ValidationSave, PortMapperStepsInOrder) {
    TPortMapperFields f{"\t", "x", "1.2.3.4.5", "0", "0", -1};
    const auto check = [&] { return CheckPortMapperSave(f, Existing(), std::nullopt); };

    ExpectFailure(check(), "Name not specified.", "NameLabeledEdit");
    f.mName = "Total";
    ExpectFailure(check(), "Name is reserved.", "NameLabeledEdit");
    f.mName = "Kestrune";
    ExpectFailure(check(), "Name is reserved.", "NameLabeledEdit");
    f.mName = "MAIL";
    ExpectFailure(check(), "Invalid IP address specified.", "OwnHostComboBox");
    f.mOwnHost = "10.0.0.1";
    ExpectFailure(check(), "Invalid IP address specified.", "MapHostComboBox");
    f.mMapHost = "10.0.0.5";
    ExpectFailure(check(), "Invalid port number specified.", "OwnPortLabeledEdit");
    f.mOwnPort = "3128";
    ExpectFailure(check(), "Invalid port number specified.", "MapPortLabeledEdit");
    f.mMapPort = "3128";
    ExpectFailure(check(), "None of protocols selected.", "ProtocolComboBox");
    f.mProtocol = 1;
    f.mMapHost = "010.0.0.001";
    ExpectFailure(check(), "Specified remote address is the port mapper's own listening address.",
                  "MapHostComboBox");
    f.mMapHost = "10.0.0.5";
    f.mMapPort = "9000";
    ExpectFailure(check(), "Specified name conflicts with existing port mapper: Mail",
                  "NameLabeledEdit");
    f.mName = "lan";
    ExpectFailure(check(), "Specified name conflicts with existing proxy server: Lan",
                  "NameLabeledEdit");
    f.mName = "Lan Only";
    ExpectFailure(check(), "Specified name conflicts with existing access restriction: Lan only",
                  "NameLabeledEdit");
    f.mName = "New";
    f.mOwnHost = "10.0.0.5";
    f.mOwnPort = "53";
    ExpectFailure(check(), "Specified port conflicts with existing port mapper: Dns",
                  "OwnPortLabeledEdit");
    f.mOwnPort = "3128";
    f.mOwnHost = "0.0.0.0";
    ExpectFailure(check(), "Specified port conflicts with existing proxy server: Lan",
                  "OwnPortLabeledEdit");
    // Forwarding to the same remote endpoint as Mail is allowed.
    f.mOwnPort = "9002";
    EXPECT_TRUE(check().Passed());

    // Editing Dns (row 0) without changes passes; an edit of a missing row not.
    EXPECT_TRUE(CheckPortMapperSave({"Dns", "0.0.0.0", "53", "10.0.0.53", "53", 1}, Existing(), 0)
                    .Passed());
    ExpectFailure(
        CheckPortMapperSave({"Gone", "0.0.0.0", "5353", "10.0.0.53", "53", 1}, Existing(), 5),
        "Port mapper not found.", "");
}

TEST_F(ValidationSave, AccessRuleStepsInOrder) {
    TAccessRuleFields f{"", "0.0.0.0 ", "1.2.3", "0", "", -1};
    const auto check = [&] { return CheckAccessRuleSave(f, Existing(), std::nullopt); };

    ExpectFailure(check(), "Name not specified.", "NameLabeledEdit");
    f.mName = "Kestrune";
    ExpectFailure(check(), "Name is reserved.", "NameLabeledEdit");
    f.mName = "block";
    ExpectFailure(check(), "Invalid IP address specified.", "OwnHostComboBox");
    f.mOwnHost = "0.0.0.0";
    ExpectFailure(check(), "Invalid IP address specified.", "RemoteHostComboBox");
    f.mRemHost = "192.168.1.7";
    ExpectFailure(check(), "Invalid port number specified.", "OwnPortLabeledEdit");
    f.mOwnPort = "1080";
    ExpectFailure(check(), "Invalid port number specified.", "RemotePortLabeledEdit");
    f.mRemPort = "0";
    ExpectFailure(check(), "None of actions selected.", "ActionComboBox");
    f.mAction = 1;
    ExpectFailure(check(), "Specified name conflicts with existing access restriction: Block",
                  "NameLabeledEdit");
    f.mName = "office";
    ExpectFailure(check(), "Specified name conflicts with existing proxy server: Office",
                  "NameLabeledEdit");
    f.mName = "Mail";
    ExpectFailure(check(), "Specified name conflicts with existing port mapper: Mail",
                  "NameLabeledEdit");
    // Same four texts as "Lan only", opposite action: still a duplicate.
    f.mName = "New";
    ExpectFailure(check(), "Specified port conflicts with existing access restriction: Lan only",
                  "OwnPortLabeledEdit");
    f.mRemPort = "5000";
    EXPECT_TRUE(check().Passed());
}

TEST_F(ValidationSave, AccessRuleNamesAndEdits) {
    const TAccessRuleFields total{" Total ", "0.0.0.0", "1080", "10.0.0.1", "0", 0};
    const auto c = CheckAccessRuleSave(total, Existing(), std::nullopt);
    EXPECT_TRUE(c.Passed()) << c.mMessage;
    EXPECT_EQ(c.mName, "Total");
    EXPECT_EQ(
        CheckProxyServerSave({" Total ", "10.0.0.9", "7000", "", "", 0}, Existing(), std::nullopt)
            .mMessage,
        "Name is reserved.");
    EXPECT_EQ(CheckPortMapperSave({" Total ", "10.0.0.9", "7000", "10.0.0.1", "1", 0}, Existing(),
                                  std::nullopt)
                  .mMessage,
              "Name is reserved.");

    // Rewriting "Block" (row 1) in place with another action passes; renaming
    // it to a port mapper's name fails at the port mapper step.
    EXPECT_TRUE(CheckAccessRuleSave({"Block", "0.0.0.0", "1080", "0.0.0.0", "0", 0}, Existing(), 1)
                    .Passed());
    EXPECT_EQ(
        CheckAccessRuleSave({"dns", "0.0.0.0", "1080", "0.0.0.0", "0", 1}, Existing(), 1).mMessage,
        "Specified name conflicts with existing port mapper: Dns");
    // Row 1 is still a duplicate of row 0 when given row 0's four texts.
    EXPECT_EQ(
        CheckAccessRuleSave({"Block", "0.0.0.0", "1080", "192.168.1.7", "0", 1}, Existing(), 1)
            .mMessage,
        "Specified port conflicts with existing access restriction: Lan only");
    // Remote port 0 is the wild card; listen port 0 is refused.
    EXPECT_EQ(CheckAccessRuleSave({"Z", "0.0.0.0", "0", "0.0.0.0", "0", 0}, Existing(), 1).mFocus,
              "OwnPortLabeledEdit");
}

TEST_F(ValidationSave, LoadedProxyServerSections) {
    const auto load = [&](std::optional<std::string_view> host,
                          std::optional<std::string_view> port, std::string_view name = "New") {
        return CheckLoadedProxyServer(name, host, port, Existing());
    };
    EXPECT_TRUE(load("10.0.0.2", "3128").mLoad);
    // Silent skips: a key missing, a bad address, a port out of range.
    for (const TLoadCheck& c :
         {load(std::nullopt, "3128"), load("10.0.0.2", std::nullopt), load("10.0.0.2.1", "3128"),
          load("10.0.0.2", "0"), load("10.0.0.2", "x")}) {
        EXPECT_FALSE(c.mLoad);
        EXPECT_EQ(c.mLogLine, "");
    }
    EXPECT_EQ(load("10.0.0.2", "3128", "Lan").mLogLine,
              "Duplicate proxy server name while loading proxy servers: Lan");
    EXPECT_EQ(load("10.0.0.2", "3128", "Mail").mLogLine,
              "Duplicate port mapper name while loading proxy servers: Mail");
    EXPECT_EQ(load("10.0.0.2", "3128", "Block").mLogLine,
              "Duplicate access restriction name while loading proxy servers: Block");
    EXPECT_EQ(load("10.0.0.1", "1080").mLogLine,
              "Proxy server port conflict while loading proxy servers: New");
    EXPECT_EQ(load("10.0.0.1", "53").mLogLine,
              "Port mapper port conflict while loading proxy servers: New");
    // 01080 is port 1080 to the system: it clashes too.
    EXPECT_EQ(load("0.0.0.0", "01080").mLogLine,
              "Proxy server port conflict while loading proxy servers: New");
}

TEST_F(ValidationSave, LoadedPortMapperAndAccessSections) {
    mProxies = {{"Local", "127.0.0.1", "1080"}};
    const auto mapper = CheckLoadedPortMapper("M", "0.0.0.0", "1080", "10.0.0.5", "25", Existing());
    EXPECT_FALSE(mapper.mLoad);
    EXPECT_EQ(mapper.mLogLine, "Proxy server port conflict while loading port mappers: M");
    EXPECT_EQ(CheckLoadedPortMapper("M", "0.0.0.0", "9000", "10.0.0.5", "25", Existing()).mLogLine,
              "Port mapper port conflict while loading port mappers: M");
    EXPECT_EQ(
        CheckLoadedPortMapper("local", "10.0.0.9", "1", "10.0.0.5", "25", Existing()).mLogLine,
        "Duplicate proxy server name while loading port mappers: local");
    EXPECT_TRUE(CheckLoadedPortMapper("M", "10.0.0.9", "1", "10.0.0.5", "25", Existing()).mLoad);
    const auto noRemotePort =
        CheckLoadedPortMapper("M", "10.0.0.9", "1", "10.0.0.5", std::nullopt, Existing());
    EXPECT_FALSE(noRemotePort.mLoad);
    EXPECT_EQ(noRemotePort.mLogLine, "");
    EXPECT_FALSE(CheckLoadedPortMapper("M", "10.0.0.9", "1", "10.0.0.5", "0", Existing()).mLoad);
    EXPECT_EQ(CheckLoadedPortMapper("M", "0.0.0.0", "7", "127.0.0.1", "7", Existing()).mLogLine,
              "Port mapper forwards to itself while loading port mappers: M");

    const auto rule = [&](std::string_view name, std::string_view ownPort, std::string_view remPort,
                          std::optional<std::string_view> action) {
        return CheckLoadedAccessRule(name, "0.0.0.0", ownPort, "10.0.0.1", remPort, action,
                                     Existing());
    };
    EXPECT_TRUE(rule("R", "1080", "0", "Deny").mLoad);
    for (const TLoadCheck& c : {rule("R", "0", "0", "Deny"), rule("R", "1080", "", "Deny"),
                                rule("R", "1080", "0", std::nullopt)}) {
        EXPECT_FALSE(c.mLoad);
        EXPECT_EQ(c.mLogLine, "");
    }
    EXPECT_EQ(rule("lan ONLY", "1080", "0", "Allow").mLogLine,
              "Duplicate access restriction name while loading access restrictions: lan ONLY");
    EXPECT_EQ(rule("Local", "1080", "0", "Allow").mLogLine,
              "Duplicate proxy server name while loading access restrictions: Local");
    EXPECT_EQ(rule("Dns", "1080", "0", "Allow").mLogLine,
              "Duplicate port mapper name while loading access restrictions: Dns");
    EXPECT_EQ(
        CheckLoadedAccessRule("R", "0.0.0.0", "1080", "0.0.0.0", "0", "Allow", Existing()).mLogLine,
        "Access restriction port conflict while loading access restrictions: R");
}

TEST_F(ValidationSave, NewFieldsAreCheckedAfterTheSelections) {
    TProxyServerFields p{"New", "10.0.0.9", "7000", "", "", 0, "10.0.0", "socks5://h"};
    const auto proxy = [&] { return CheckProxyServerSave(p, Existing(), std::nullopt); };
    ExpectFailure(proxy(), "Invalid IP address specified.", "OutHostComboBox");
    p.mOutHost = "Same";
    ExpectFailure(proxy(), "Invalid upstream proxy specified.", "ViaLabeledEdit");
    p.mVia = "http://u:p@[::1]:3128";
    EXPECT_TRUE(proxy().Passed());

    TPortMapperFields m{"New", "10.0.0.9", "7000", "10.0.0.5", "25", 0, "same?", "direct"};
    const auto mapper = [&] { return CheckPortMapperSave(m, Existing(), std::nullopt); };
    ExpectFailure(mapper(), "Invalid IP address specified.", "OutHostComboBox");
    m.mOutHost = "::1";
    m.mVia = "socks4a://u:p@h:1";
    ExpectFailure(mapper(), "Invalid upstream proxy specified.", "ViaLabeledEdit");
    m.mVia = "";
    EXPECT_TRUE(mapper().Passed());

    TAccessRuleFields r{"New", "0.0.0.0", "1080", "0.0.0.0", "0", 1, "1.2.3", "99999", "x"};
    const auto rule = [&] { return CheckAccessRuleSave(r, Existing(), std::nullopt); };
    ExpectFailure(rule(), "Invalid target host specified.", "ToHostComboBox");
    r.mToHost = "";
    ExpectFailure(rule(), "Invalid port number specified.", "ToPortLabeledEdit");
    r.mToPort = "";
    ExpectFailure(rule(), "Invalid upstream proxy specified.", "ViaLabeledEdit");
    r.mVia = "direct";
    ExpectFailure(rule(), "Upstream proxy needs a target.", "ToHostComboBox");
    r.mToHost = "*.Example.com";
    ExpectFailure(rule(), "Upstream proxy needs the action Allow.", "ActionComboBox");
    r.mAction = 0;
    EXPECT_TRUE(rule().Passed());
    // Without the target, the same four values as "Block" are its duplicate.
    r.mToHost = "";
    r.mVia = "";
    ExpectFailure(rule(), "Specified port conflicts with existing access restriction: Block",
                  "OwnPortLabeledEdit");
}

// Office listens on every IPv4 address at 1080, Lan on 10.0.0.1:3128.
TEST_F(ValidationSave, ForwardingLoopsAreRefused) {
    const auto proxy = [&](const char* host, const char* port, const char* via,
                           std::optional<std::size_t> row = std::nullopt) {
        return CheckProxyServerSave({"New", host, port, "", "", 0, "", via}, Existing(), row);
    };
    ExpectFailure(proxy("127.0.0.1", "2000", "socks5://127.0.0.1:2000"),
                  "Specified proxy server forwards to itself.", "ViaLabeledEdit");
    ExpectFailure(proxy("0.0.0.0", "2000", "http://LOCALHOST:2000"),
                  "Specified proxy server forwards to itself.", "ViaLabeledEdit");
    // Through Office, which connects directly: no loop. Through Lan, which
    // sends everything back: a loop, however long.
    EXPECT_TRUE(proxy("127.0.0.1", "2000", "socks5://localhost:1080").Passed());
    mProxies[1].mVia = "socks5://127.0.0.1:1080";
    EXPECT_TRUE(proxy("127.0.0.1", "2000", "socks5://10.0.0.1:3128").Passed());
    mProxies[0].mVia = "socks4a://127.0.0.1:2000";
    EXPECT_FALSE(proxy("127.0.0.1", "2000", "socks5://10.0.0.1:3128").Passed());
    // Editing Office (row 0) replaces its Via: Office -> Lan -> Office.
    const TProxyServerFields office{"Office", "0.0.0.0", "1080", "",
                                    "",       0,         "",     "socks5://10.0.0.1:3128"};
    ExpectFailure(CheckProxyServerSave(office, Existing(), 0),
                  "Specified proxy server forwards to itself.", "ViaLabeledEdit");
    mProxies[1].mVia = "";
    EXPECT_TRUE(CheckProxyServerSave(office, Existing(), 0).Passed());
    // Moved onto the port that Lan's Via names, Office would take back what
    // it sends to Lan.
    mProxies[1].mVia = "socks5://127.0.0.1:2000";
    EXPECT_TRUE(CheckProxyServerSave(office, Existing(), 0).Passed());
    ExpectFailure(proxy("0.0.0.0", "2000", "socks5://10.0.0.1:3128", 0),
                  "Specified proxy server forwards to itself.", "ViaLabeledEdit");
    mProxies[1].mVia = "";

    // A rule's Via: only the targets the rule lets through take it, so two
    // rules that send disjoint names to each other's server make no loop.
    mProxies[0].mVia = "";
    const auto rule = [&](const char* name, const char* port, const char* toHost, const char* via) {
        return TAccessRule{name, "0.0.0.0", port, "0.0.0.0", "0", "Allow", "Yes", toHost, "", via};
    };
    mRules.push_back(rule("Home", "1080", "*.home", "socks5://10.0.0.1:3128"));
    const TAccessRuleFields corp{
        "Corp", "0.0.0.0", "3128", "0.0.0.0", "0", 0, "*.corp", "", "socks5://127.0.0.1:1080"};
    EXPECT_TRUE(CheckAccessRuleSave(corp, Existing(), std::nullopt).Passed());
    TAccessRuleFields any = corp;
    any.mToHost = "*.Home";
    ExpectFailure(CheckAccessRuleSave(any, Existing(), std::nullopt),
                  "Specified upstream proxy forwards back to proxy server: Lan", "ViaLabeledEdit");
    // A rule without a Via of its own sends its targets along the server's.
    mProxies[1].mVia = "socks5://127.0.0.1:1080";
    ExpectFailure(proxy("127.0.0.1", "2000", "socks5://127.0.0.1:1080"),
                  "Specified proxy server forwards to itself.", "ViaLabeledEdit");
    mProxies[1].mVia = "";

    // A port mapper's target is known: through Office it goes direct to Mail
    // (not ours), but to a listener that sends it back it loops.
    const auto mapper = [&](const char* mapHost, const char* mapPort, const char* via) {
        return CheckPortMapperSave({"New", "127.0.0.1", "9100", mapHost, mapPort, 0, "", via},
                                   Existing(), std::nullopt);
    };
    EXPECT_TRUE(mapper("10.0.0.5", "9000", "socks5://127.0.0.1:1080").Passed());
    mProxies[1].mVia = "socks5://127.0.0.1:9100";
    ExpectFailure(mapper("10.0.0.5", "9000", "socks5://10.0.0.1:3128"),
                  "Specified port mapper forwards to itself.", "ViaLabeledEdit");
    mProxies[1].mVia = "";
    mProxies[0].mVia = "http://127.0.0.1:9100";
    ExpectFailure(mapper("127.0.0.1", "1080", ""), "Specified port mapper forwards to itself.",
                  "MapHostComboBox");

    // The loader refuses the entry that closes a loop, with its own line.
    mProxies[0].mVia = "socks5://127.0.0.1:2000";
    EXPECT_EQ(CheckLoadedProxyServer("New", "127.0.0.1", "2000", Existing(), "",
                                     "socks5://127.0.0.1:1080")
                  .mLogLine,
              "Proxy server forwards to itself while loading proxy servers: New");
    EXPECT_EQ(CheckLoadedPortMapper("M", "127.0.0.1", "2000", "127.0.0.1", "2001", Existing(), "",
                                    "socks5://127.0.0.1:1080")
                  .mLogLine,
              "Port mapper forwards to itself while loading port mappers: M");
    EXPECT_EQ(CheckLoadedAccessRule("R", "0.0.0.0", "1080", "0.0.0.0", "0", "Allow", Existing(),
                                    "10.0.0.0", "", "socks5://[::ffff:127.0.0.1]:1080")
                  .mLogLine,
              "Access rule forwards to itself while loading access rules: R");
}

TEST_F(ValidationSave, LoadedNewKeys) {
    const auto proxy = [&](std::string_view outHost, std::string_view via) {
        return CheckLoadedProxyServer("New", "10.0.0.2", "3128", Existing(), outHost, via).mLogLine;
    };
    EXPECT_EQ(proxy("same", "http://h:1"), "");
    EXPECT_EQ(proxy("eth0", ""), "Invalid outgoing address while loading proxy servers: New");
    EXPECT_EQ(proxy("", "socks5://h"), "Invalid upstream proxy while loading proxy servers: New");
    EXPECT_EQ(CheckLoadedPortMapper("M", "10.0.0.9", "1", "10.0.0.5", "25", Existing(), "::2", "x")
                  .mLogLine,
              "Invalid upstream proxy while loading port mappers: M");
    const auto rule = [&](std::string_view action, std::string_view toHost, std::string_view toPort,
                          std::string_view via) {
        return CheckLoadedAccessRule("R", "0.0.0.0", "1080", "0.0.0.0", "0", action, Existing(),
                                     toHost, toPort, via)
            .mLogLine;
    };
    EXPECT_EQ(rule("Allow", "*.lan", "443", "direct"), "");
    EXPECT_EQ(rule("Allow", "a b", "", ""), "Invalid target while loading access restrictions: R");
    EXPECT_EQ(rule("Allow", "", "x", ""), "Invalid target while loading access restrictions: R");
    for (const auto& [action, toHost, via] :
         {std::tuple{"Allow", "", "direct"}, std::tuple{"Deny", "*.lan", "direct"},
          std::tuple{"Allow", "*.lan", "socks5://"}})
        EXPECT_EQ(rule(action, toHost, "", via),
                  "Invalid upstream proxy while loading access restrictions: R")
            << action << " " << toHost << " " << via;
}

} // namespace
} // namespace kestrune
