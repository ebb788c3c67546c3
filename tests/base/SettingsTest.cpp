#include "base/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

using namespace kestrune;

namespace {

struct Loaded {
    TLoadedSettings Data;
    std::vector<std::string> Log;
};

Loaded Read(const std::string& text, const TOptions& defaults = {}) {
    Loaded out;
    out.Data = ReadSettings(TIniFile::Parse(text), defaults,
                            [&](const std::string& line) { out.Log.push_back(line); });
    return out;
}

std::string Proxy(const std::string& name, const std::string& host, const std::string& port,
                  const std::string& extra = "") {
    return "[" + name + "]\nType=Proxy\nHost=" + host + "\nPort=" + port + "\n" + extra;
}

std::string Mapper(const std::string& name, const std::string& host, const std::string& port,
                   const std::string& extra = "") {
    return "[" + name + "]\nType=Mapper\nOwnHost=" + host + "\nOwnPort=" + port +
           "\nMapHost=127.0.0.1\nMapPort=9001\n" + extra;
}

// The example file of one entry of each kind, as the program writes it.
const std::string Example = "\xEF\xBB\xBF"
                            "[Kestrune]\r\nTop=120\r\nLeft=300\r\nTime=hh:nn:ss.zzz\r\nRun=0\r\n"
                            "Hide=0\r\nTray=1\r\nConfirm=1\r\nMinimize=0\r\nPage=0\r\n\r\n"
                            "[Office]\r\nType=Proxy\r\nHost=0.0.0.0\r\nPort=1080\r\nUser=\r\n"
                            "Pass=\r\nQueue=15\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nFive=1\r\n"
                            "Four=0\r\nUDP=0\r\nEnable=1\r\n\r\n"
                            "[Mail]\r\nType=Mapper\r\nOwnHost=0.0.0.0\r\nOwnPort=9000\r\n"
                            "MapHost=10.0.0.5\r\nMapPort=9001\r\nQueue=15\r\nLimit=0\r\n"
                            "Buffer=64\r\nWait=5\r\nTCP=1\r\nUDP=0\r\nTwoWay=0\r\nEnable=1\r\n\r\n"
                            "[Lan only]\r\nType=Access\r\nOwnHost=0.0.0.0\r\nOwnPort=1080\r\n"
                            "RemHost=192.168.1.7\r\nRemPort=0\r\nAction=Allow\r\nEnable=1\r\n\r\n";

std::vector<TProxyServerSettings> Proxies(const TLoadedSettings& d) {
    std::vector<TProxyServerSettings> out;
    for (const auto& p : d.ProxyServers)
        out.push_back(p.Settings);
    return out;
}

std::vector<TPortMapperSettings> Mappers(const TLoadedSettings& d) {
    std::vector<TPortMapperSettings> out;
    for (const auto& m : d.PortMappers)
        out.push_back(m.Settings);
    return out;
}

} // namespace

TEST(Settings, ExampleFileRoundTripsByteForByte) {
    const Loaded in = Read(Example);
    EXPECT_TRUE(in.Log.empty());
    ASSERT_EQ(in.Data.ProxyServers.size(), 1u);
    ASSERT_EQ(in.Data.PortMappers.size(), 1u);
    ASSERT_EQ(in.Data.AccessRules.size(), 1u);
    EXPECT_EQ(in.Data.Options.Top, 120);
    EXPECT_EQ(in.Data.Options.Left, 300);
    EXPECT_TRUE(in.Data.Options.Placed);
    const TIniFile out =
        WriteSettings(in.Data.Options, Proxies(in.Data), Mappers(in.Data), in.Data.AccessRules);
    EXPECT_EQ(out.ToBytes(), Example);
}

TEST(Settings, EveryFieldSurvivesSaveAndLoad) {
    TOptions o;
    o.Placed = true;
    o.Top = 7;
    o.Left = 9;
    o.Time = "yyyy hh:nn";
    o.Run = o.Hide = o.Minimize = true;
    o.Tray = o.Confirm = false;
    o.Page = 3;
    TProxyServerSettings p;
    p.mName = "Proxy one";
    p.mHost = "127.0.0.1";
    p.mPort = 1081;
    p.mUser = "user";
    p.mPass = "p=ss;word";
    p.mQueue = 100;
    p.mLimit = 20;
    p.mBuffer = 128;
    p.mWait = 60;
    p.mEnable = false;
    p.mFive = p.mFour = p.mUDP = true;
    TPortMapperSettings m;
    m.mName = "Mapper one";
    m.mOwnHost = "0.0.0.0";
    m.mOwnPort = 5353;
    m.mMapHost = "10.1.2.3";
    m.mMapPort = 53;
    m.mTCP = false;
    m.mUDP = m.mTwoWay = true;
    m.mBuffer = 4;
    TAccessRule r{"Rule", "0.0.0.0", "5353", "10.0.0.9", "0", "Deny", "No"};
    const std::string bytes = WriteSettings(o, {p}, {m}, {r}).ToBytes();
    const Loaded in = Read(bytes);
    EXPECT_TRUE(in.Log.empty());
    const TOptions& b = in.Data.Options;
    EXPECT_EQ(
        std::tie(b.Top, b.Left, b.Time, b.Run, b.Hide, b.Minimize, b.Tray, b.Confirm, b.Page),
        std::tie(o.Top, o.Left, o.Time, o.Run, o.Hide, o.Minimize, o.Tray, o.Confirm, o.Page));
    ASSERT_EQ(in.Data.ProxyServers.size(), 1u);
    const auto& q = in.Data.ProxyServers[0].Settings;
    EXPECT_EQ(std::tie(q.mName, q.mHost, q.mPort, q.mUser, q.mPass, q.mQueue, q.mLimit, q.mBuffer,
                       q.mWait, q.mEnable, q.mFive, q.mFour, q.mUDP),
              std::tie(p.mName, p.mHost, p.mPort, p.mUser, p.mPass, p.mQueue, p.mLimit, p.mBuffer,
                       p.mWait, p.mEnable, p.mFive, p.mFour, p.mUDP));
    EXPECT_EQ(in.Data.ProxyServers[0].Row.Columns,
              (std::array<std::string, 5>{"Proxy one", "127.0.0.1", "1081", "Both", "No"}));
    ASSERT_EQ(in.Data.PortMappers.size(), 1u);
    const auto& n = in.Data.PortMappers[0].Settings;
    EXPECT_EQ(std::tie(n.mName, n.mOwnHost, n.mOwnPort, n.mMapHost, n.mMapPort, n.mTCP, n.mUDP,
                       n.mTwoWay, n.mBuffer),
              std::tie(m.mName, m.mOwnHost, m.mOwnPort, m.mMapHost, m.mMapPort, m.mTCP, m.mUDP,
                       m.mTwoWay, m.mBuffer));
    EXPECT_EQ(in.Data.PortMappers[0].Row.Columns[3], "UDP");
    ASSERT_EQ(in.Data.AccessRules.size(), 1u);
    EXPECT_EQ(in.Data.AccessRules[0], r);
}

TEST(Settings, UdpSwitchesAreOffUnlessTheyAreOne) {
    // A file from before the switches: off, and written as "0" next time.
    const Loaded old =
        Read(Proxy("P", "127.0.0.1", "1") + Mapper("M", "127.0.0.1", "2", "UDP=1\n"));
    EXPECT_FALSE(old.Data.ProxyServers[0].Settings.mUDP);
    EXPECT_FALSE(old.Data.PortMappers[0].Settings.mTwoWay);
    const std::string saved =
        WriteSettings(old.Data.Options, Proxies(old.Data), Mappers(old.Data), {}).ToBytes();
    EXPECT_NE(saved.find("Four=0\r\nUDP=0\r\nEnable=1"), std::string::npos);
    EXPECT_NE(saved.find("UDP=1\r\nTwoWay=0\r\nEnable=1"), std::string::npos);
    const Loaded odd =
        Read(Proxy("P", "127.0.0.1", "1", "UDP=yes\n") +
             Mapper("M", "127.0.0.1", "2", "TwoWay=2\n") + Proxy("Q", "127.0.0.1", "3", "UDP=1\n"));
    EXPECT_FALSE(odd.Data.ProxyServers[0].Settings.mUDP);
    EXPECT_FALSE(odd.Data.PortMappers[0].Settings.mTwoWay);
    EXPECT_TRUE(odd.Data.ProxyServers[1].Settings.mUDP);
}

TEST(Settings, SectionsJoinedByCaseLoadOneEntryFromTheFirstLines) {
    const Loaded in = Read(Proxy("Office", "127.0.0.1", "1080") +
                           "[OFFICE]\nType=Proxy\nHost=10.0.0.1\n" + "Port=2000\nUser=late\n");
    EXPECT_TRUE(in.Log.empty());
    ASSERT_EQ(in.Data.ProxyServers.size(), 1u);
    const auto& s = in.Data.ProxyServers[0].Settings;
    EXPECT_EQ(s.mName, "Office");
    EXPECT_EQ(s.mHost, "127.0.0.1");
    EXPECT_EQ(s.mPort, 1080);
    EXPECT_EQ(s.mUser, "late") << "a key that only the later spelling has still counts";
}

TEST(Settings, LoggedChecksAgainstEarlierEntries) {
    const std::string login = "User=u\nPass=p\n"; // not open to everyone
    const Loaded in = Read(Proxy("P", "127.0.0.1", "1080") + Mapper("M", "0.0.0.0", "1080") +
                           Proxy("A", "10.0.0.1", "2000", login) +
                           Proxy("B", "10.0.0.2", "2000", login) + Proxy("C", "0.0.0.0", "2000"));
    // (Names cannot clash here: the file layer has joined equal section names.)
    EXPECT_EQ(in.Log, (std::vector<std::string>{
                          "Proxy server port conflict while loading port mappers: M",
                          "Proxy server port conflict while loading proxy servers: C"}));
    ASSERT_EQ(in.Data.ProxyServers.size(), 3u);
    EXPECT_EQ(in.Data.ProxyServers[1].Settings.mName, "A");
    EXPECT_EQ(in.Data.ProxyServers[2].Settings.mName, "B");
    EXPECT_TRUE(in.Data.PortMappers.empty());
}

TEST(Settings, PortsCompareAsNumbersAndRowsShowThemAsRead) {
    // Both on port 80: the second would fail to listen, and after a save
    // (which writes "80") one of them would be dropped at the next start.
    const Loaded in = Read(Proxy("A", "127.0.0.1", "80") + Proxy("B", "127.0.0.1", "080") +
                           Proxy("C", "127.0.0.2", "081"));
    EXPECT_EQ(in.Log, std::vector<std::string>{
                          "Proxy server port conflict while loading proxy servers: B"});
    ASSERT_EQ(in.Data.ProxyServers.size(), 2u);
    EXPECT_EQ(in.Data.ProxyServers[1].Row.Columns[2], "081");
    EXPECT_EQ(in.Data.ProxyServers[1].Settings.mPort, 81);
}

TEST(Settings, RulePortsAreReadAsPlainDecimal) {
    const Loaded in = Read("[R]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=01080\nRemHost=1.2.3.4\n"
                           "RemPort=+00\nAction=Deny\n");
    ASSERT_EQ(in.Data.AccessRules.size(), 1u);
    EXPECT_EQ(in.Data.AccessRules[0].mOwnPort, "1080");
    EXPECT_EQ(in.Data.AccessRules[0].mRemPort, "0");

    // The same rule with its ports written differently is a duplicate at
    // once, not only after a save has rewritten them.
    const Loaded twice = Read(
        "[R]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1\nRemHost=2.2.3.4\nRemPort=5400\nAction=Deny\n"
        "[S]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=01\nRemHost=2.2.3.4\nRemPort=05400\n"
        "Action=Allow\n");
    EXPECT_EQ(twice.Log,
              std::vector<std::string>{
                  "Access restriction port conflict while loading access restrictions: S"});
    ASSERT_EQ(twice.Data.AccessRules.size(), 1u);
    EXPECT_EQ(twice.Data.AccessRules[0].mName, "R");
}

TEST(Settings, VersionProtocolAndEnableReadRules) {
    const Loaded in = Read(Proxy("A", "127.0.0.1", "1", "Five=0\n") +
                           Proxy("B", "127.0.0.1", "2", "Five=0\nFour=1\n") +
                           Proxy("C", "127.0.0.1", "3", "Four=yes\nEnable=no\n") +
                           Mapper("D", "127.0.0.1", "4", "TCP=0\n") +
                           Mapper("E", "127.0.0.1", "5", "TCP=0\nUDP=1\nEnable=0\n"));
    ASSERT_EQ(in.Data.ProxyServers.size(), 3u);
    ASSERT_EQ(in.Data.PortMappers.size(), 2u);
    const auto& a = in.Data.ProxyServers[0].Settings;
    EXPECT_TRUE(a.mFive && !a.mFour) << "Five=0 alone leaves SOCKS5 on";
    const auto& b = in.Data.ProxyServers[1].Settings;
    EXPECT_TRUE(!b.mFive && b.mFour);
    EXPECT_EQ(in.Data.ProxyServers[1].Row.Columns[3], "4");
    const auto& c = in.Data.ProxyServers[2].Settings;
    EXPECT_TRUE(c.mFive && !c.mFour && c.mEnable);
    const auto& d = in.Data.PortMappers[0].Settings;
    EXPECT_TRUE(d.mTCP && !d.mUDP) << "TCP=0 alone leaves TCP on";
    const auto& e = in.Data.PortMappers[1].Settings;
    EXPECT_TRUE(!e.mTCP && e.mUDP && !e.mEnable);
    EXPECT_EQ(in.Data.PortMappers[1].Row.Columns[4], "No");
}

TEST(Settings, NumbersDefaultWhenMissingOrNotWhole) {
    const Loaded in = Read(Proxy("A", "127.0.0.1", "1", "Queue=x\nLimit=1.5\nBuffer=0x10\n"));
    ASSERT_EQ(in.Data.ProxyServers.size(), 1u);
    const auto& s = in.Data.ProxyServers[0].Settings;
    EXPECT_EQ(std::tie(s.mQueue, s.mLimit, s.mBuffer, s.mWait), std::make_tuple(15, 0, 64, 5));
}

TEST(Settings, ValuesOutOfTheDialogsRangesAreHeldToThemAndLogged) {
    const Loaded in =
        Read(Proxy("A", "127.0.0.1", "1", "Queue=0\nLimit=-5\nBuffer=2000000\nWait=4294968\n") +
             Mapper("M", "127.0.0.1", "2", "Queue=1001\nLimit=5001\nBuffer=3\nWait=0\n") +
             Mapper("N", "127.0.0.1", "3", "Queue=1000\nLimit=0\nBuffer=4\nWait=3600\n"));
    ASSERT_EQ(in.Data.ProxyServers.size(), 1u);
    ASSERT_EQ(in.Data.PortMappers.size(), 2u);
    const auto& a = in.Data.ProxyServers[0].Settings;
    EXPECT_EQ(std::tie(a.mQueue, a.mLimit, a.mBuffer, a.mWait), std::make_tuple(1, 0, 4096, 3600));
    const auto& m = in.Data.PortMappers[0].Settings;
    EXPECT_EQ(std::tie(m.mQueue, m.mLimit, m.mBuffer, m.mWait), std::make_tuple(1000, 5000, 4, 1));
    EXPECT_EQ(in.Log, (std::vector<std::string>{
                          "Value out of range while loading proxy servers: A Queue=0, using 1",
                          "Value out of range while loading proxy servers: A Limit=-5, using 0",
                          "Value out of range while loading proxy servers: A Buffer=2000000, "
                          "using 4096",
                          "Value out of range while loading proxy servers: A Wait=4294968, "
                          "using 3600",
                          "Value out of range while loading port mappers: M Queue=1001, using 1000",
                          "Value out of range while loading port mappers: M Limit=5001, using 5000",
                          "Value out of range while loading port mappers: M Buffer=3, using 4",
                          "Value out of range while loading port mappers: M Wait=0, using 1",
                      }));
}

TEST(Settings, AccessRuleChecksAndValues) {
    const std::string rule = "[R1]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\n"
                             "RemHost=10.0.0.1\nRemPort=0\nAction=deny\nEnable=maybe\n"
                             "[R2]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=0\n"
                             "RemHost=10.0.0.1\nRemPort=5\nAction=Deny\n"
                             "[R3]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\n"
                             "RemHost=10.0.0.1\nRemPort=0\nAction=Deny\n"
                             "[R4]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\n"
                             "RemHost=10.0.0.1\nRemPort=7\n";
    const Loaded in = Read(rule);
    EXPECT_EQ(in.Log,
              std::vector<std::string>{
                  "Access restriction port conflict while loading access restrictions: R3"});
    ASSERT_EQ(in.Data.AccessRules.size(), 1u) << "OwnPort=0 and a missing Action skip silently";
    EXPECT_EQ(in.Data.AccessRules[0].mAction, "Allow") << "only \"Deny\" denies";
    EXPECT_EQ(in.Data.AccessRules[0].mEnable, "Yes");
}

TEST(Settings, OnlyTheExactOptionsNameIsTheOptionsSection) {
    TOptions defaults;
    const Loaded none = Read(Proxy("A", "127.0.0.1", "1"), defaults);
    EXPECT_FALSE(none.Data.Options.Placed) << "no options section: the window stays centred";
    EXPECT_TRUE(none.Data.Options.Tray);
    EXPECT_TRUE(none.Data.Options.Confirm);

    const Loaded lower = Read("[kestrune]\nTop=50\nTray=0\n");
    EXPECT_FALSE(lower.Data.Options.Placed);
    EXPECT_TRUE(lower.Data.Options.Tray);

    // An entry spelt like the options section would merge into it when saved.
    const Loaded entry = Read("[KESTRUNE]\nType=Proxy\nHost=127.0.0.1\nPort=1\n");
    EXPECT_TRUE(entry.Data.ProxyServers.empty());
}

TEST(Settings, OptionsWithoutPositionPlaceTheWindowTopLeft) {
    TOptions defaults;
    defaults.Time = "current";
    const Loaded in = Read("[Kestrune]\nRun=0x1\nPage=0x3\nTray=0\nTray=1\n", defaults);
    const TOptions& o = in.Data.Options;
    EXPECT_TRUE(o.Placed);
    EXPECT_EQ(o.Top, 0);
    EXPECT_EQ(o.Left, 0);
    EXPECT_TRUE(o.Run);
    EXPECT_EQ(o.Page, 3);
    EXPECT_TRUE(o.Tray) << "the options section takes a key's last line";
    EXPECT_EQ(o.Time, "current") << "a missing Time keeps the field's text";
}

// The window's size sits right after its position; a file without one (or
// with a size no window can have) gives the default size and is written back
// without one.
TEST(Settings, WindowSizeFollowsThePositionAndIsOptional) {
    TOptions o;
    o.Placed = true;
    o.Top = 10;
    o.Left = 20;
    o.Width = 900;
    o.Height = 640;
    const std::string bytes = WriteSettings(o, {}, {}, {}).ToBytes();
    EXPECT_NE(bytes.find("Top=10\r\nLeft=20\r\nWidth=900\r\nHeight=640\r\nTime="),
              std::string::npos)
        << bytes;
    const TOptions back = Read(bytes).Data.Options;
    EXPECT_EQ(std::tie(back.Width, back.Height), std::tie(o.Width, o.Height));

    for (const char* text : {"[Kestrune]\nTop=1\n", "[Kestrune]\nWidth=-5\nHeight=x\n"}) {
        const TOptions none = Read(text).Data.Options;
        EXPECT_EQ(none.Width, 0) << text;
        EXPECT_EQ(none.Height, 0) << text;
        EXPECT_EQ(WriteSettings(none, {}, {}, {}).ToBytes().find("Width"), std::string::npos);
    }
}

TEST(Settings, DesktopPathBesideAWritableExecutableElseInTheConfigDirectory) {
    char tmp[] = "/tmp/kestrune-path-XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    const std::string dir = tmp;
    EXPECT_EQ(DesktopSettingsPath(dir, nullptr, "/nonexistent"), dir + "/Kestrune.ini");

    // A directory the program cannot write to (here: one that is not there).
    const std::string installed = dir + "/not-there/bin";
    const std::string xdg = dir + "/xdg";
    EXPECT_EQ(DesktopSettingsPath(installed, xdg.c_str(), "/nonexistent"),
              xdg + "/kestrune/Kestrune.ini");
    struct stat st {};
    EXPECT_EQ(stat((xdg + "/kestrune").c_str(), &st), 0) << "the directory is made";
    // A relative XDG_CONFIG_HOME is not valid: fall back to ~/.config.
    EXPECT_EQ(DesktopSettingsPath(installed, "relative", dir.c_str()),
              dir + "/.config/kestrune/Kestrune.ini");
    std::system(("rm -rf " + dir).c_str());
}

TEST(Settings, TheMetricsAddressIsKeptAndSkippedSectionsAreNoted) {
    const Loaded loaded = Read("[Kestrune]\nMetrics=[::1]:9100\n" + Proxy("A", "127.0.0.1", "80") +
                               Proxy("B", "1.2.3", "81") + Proxy("A2", "127.0.0.1", "80"));
    EXPECT_EQ(loaded.Data.Options.Metrics, "[::1]:9100");
    ASSERT_EQ(loaded.Data.Skipped.size(), 2u);
    EXPECT_EQ(loaded.Data.Skipped[0].Name, "B");
    EXPECT_FALSE(loaded.Data.Skipped[0].Logged) << "a bad address is skipped silently";
    EXPECT_EQ(loaded.Data.Skipped[1].Name, "A2");
    EXPECT_TRUE(loaded.Data.Skipped[1].Logged);
    EXPECT_NE(WriteSettings(loaded.Data.Options, {}, {}, {})
                  .ToBytes()
                  .find("Page=0\r\nMetrics=[::1]:9100\r\n"),
              std::string::npos)
        << "the desktop program writes the key back";
    EXPECT_EQ(WriteSettings(TOptions{}, {}, {}, {}).ToBytes().find("Metrics"), std::string::npos)
        << "and writes no key where the file had none";
}

TEST(Settings, RouteKeysFollowEnableOnlyWhenSetAndReadBack) {
    const std::string text =
        Proxy("P", "127.0.0.1", "1080",
              "Enable=1\nOutHost=Same\nVia=socks5://u:p%20w@[::1]:1081\nHTTP=1\n") +
        Mapper("M", "127.0.0.1", "2", "OutHost=::1\nVia=DIRECT\n") +
        "[R]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\nRemHost=0.0.0.0\nRemPort=0\n"
        "Action=Allow\nToHost=*.Lan\nToPort=0443\nVia=http://10.0.0.9:3128\n"
        "[S]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\nRemHost=0.0.0.0\nRemPort=0\n"
        "Action=Deny\nToPort=0\n";
    const Loaded in = Read(text);
    EXPECT_TRUE(in.Log.empty()) << in.Log.front();
    ASSERT_EQ(in.Data.ProxyServers.size(), 1u);
    const auto& p = in.Data.ProxyServers[0].Settings;
    EXPECT_EQ(
        std::tie(p.mOutHost, p.mVia, p.mHTTP),
        std::make_tuple(std::string("same"), std::string("socks5://u:p%20w@[::1]:1081"), true));
    EXPECT_EQ(in.Data.ProxyServers[0].Row.Columns[3], "5+HTTP");
    const auto& m = in.Data.PortMappers[0].Settings;
    EXPECT_EQ(std::tie(m.mOutHost, m.mVia), std::tie("::1", "DIRECT"));
    ASSERT_EQ(in.Data.AccessRules.size(), 2u);
    const TAccessRule& r = in.Data.AccessRules[0];
    EXPECT_EQ(std::tie(r.mToHost, r.mToPort, r.mVia),
              std::tie("*.Lan", "443", "http://10.0.0.9:3128"));
    EXPECT_TRUE(in.Data.AccessRules[1].NamesTarget()) << "ToPort=0 names any target";

    const std::string written =
        WriteSettings(in.Data.Options, Proxies(in.Data), Mappers(in.Data), in.Data.AccessRules)
            .ToBytes();
    for (const char* keys :
         {"UDP=0\r\nEnable=1\r\nOutHost=same\r\nVia=socks5://u:p%20w@[::1]:1081\r\nHTTP=1\r\n\r\n",
          "TwoWay=0\r\nEnable=1\r\nOutHost=::1\r\nVia=DIRECT\r\n\r\n",
          "Enable=1\r\nToHost=*.Lan\r\nToPort=443\r\nVia=http://10.0.0.9:3128\r\n\r\n",
          "Action=Deny\r\nEnable=1\r\nToPort=0\r\n\r\n"})
        EXPECT_NE(written.find(keys), std::string::npos) << keys << "\nin:\n" << written;
    const Loaded again = Read(written);
    EXPECT_EQ(Proxies(again.Data), Proxies(in.Data));
    EXPECT_EQ(Mappers(again.Data), Mappers(in.Data));
    EXPECT_EQ(again.Data.AccessRules, in.Data.AccessRules);

    // Off and empty are not written, so the file of an older version stays
    // as it was (the example above round-trips byte for byte); anything but
    // "1" leaves HTTP off.
    const Loaded off = Read(Proxy("P", "127.0.0.1", "1", "HTTP=yes\nOutHost=\nVia=\n"));
    EXPECT_FALSE(off.Data.ProxyServers[0].Settings.mHTTP);
    const std::string plain = WriteSettings(off.Data.Options, Proxies(off.Data), {}, {}).ToBytes();
    for (const char* key : {"HTTP", "OutHost", "Via"})
        EXPECT_EQ(plain.find(key), std::string::npos) << key;
}

TEST(Settings, MalformedRouteKeysSkipTheSectionWithALine) {
    const Loaded in =
        Read(Proxy("P", "127.0.0.1", "1", "OutHost=eth0\n") +
             Proxy("Q", "127.0.0.1", "2", "Via=socks5://u:p@h\n") +
             Mapper("M", "127.0.0.1", "3", "Via=socks4a://u:p@h:1\n") +
             "[R]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1\nRemHost=0.0.0.0\nRemPort=0\n"
             "Action=Allow\nToHost=a b\n"
             "[S]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1\nRemHost=0.0.0.0\nRemPort=0\n"
             "Action=Allow\nVia=direct\n");
    EXPECT_EQ(in.Log, (std::vector<std::string>{
                          "Invalid outgoing address while loading proxy servers: P",
                          "Invalid upstream proxy while loading proxy servers: Q",
                          "Invalid upstream proxy while loading port mappers: M",
                          "Invalid target while loading access restrictions: R",
                          "Invalid upstream proxy while loading access restrictions: S"}));
    EXPECT_TRUE(in.Data.ProxyServers.empty());
    EXPECT_TRUE(in.Data.PortMappers.empty());
    EXPECT_TRUE(in.Data.AccessRules.empty());
}

TEST(Settings, TheEntryThatClosesAForwardingLoopIsRefused) {
    // A forwards to B's address before B is known; B, forwarding back,
    // closes the loop. The rule that would send Office's web traffic to
    // Office itself closes another.
    const Loaded in = Read(Proxy("A", "127.0.0.1", "2001", "Via=socks5://127.0.0.1:2002\n") +
                           Proxy("B", "127.0.0.1", "2002", "Via=http://localhost:2001\n") +
                           Proxy("Office", "127.0.0.1", "1080") +
                           "[Web]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\nRemHost=0.0.0.0\n"
                           "RemPort=0\nAction=Allow\nToPort=80\nVia=socks5://localhost:1080\n");
    EXPECT_EQ(in.Log, (std::vector<std::string>{
                          "Proxy server forwards to itself while loading proxy servers: B",
                          "Access rule forwards to itself while loading access rules: Web"}));
    ASSERT_EQ(in.Data.ProxyServers.size(), 2u);
    EXPECT_EQ(in.Data.ProxyServers[1].Settings.mName, "Office");
}

TEST(Settings, ProxiesOpenToEveryoneAreNamedAfterTheSections) {
    const std::string rule = "[R]\nType=Access\nOwnHost=10.0.0.2\nOwnPort=9\nRemHost=0.0.0.0\n"
                             "RemPort=0\nAction=Deny\n"
                             "[Off]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1085\nRemHost=0.0.0.0\n"
                             "RemPort=0\nAction=Deny\nEnable=0\n"
                             "[Port]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1083\n"
                             "RemHost=10.0.0.9\nRemPort=0\nAction=Allow\n";
    const Loaded in = Read(
        Proxy("Open", "0.0.0.0", "1080") + Proxy("Loop", "127.0.0.2", "1081") +
        Proxy("Six loop", "::1", "1081") + Proxy("Login", "10.0.0.1", "1082", "User=u\nPass=p\n") +
        Proxy("Ruled", "0.0.0.0", "1083") + Proxy("Addressed", "10.0.0.2", "1084") +
        Proxy("Off rule", "10.0.0.3", "1085") + Proxy("Six", "::", "1086") +
        Proxy("Stopped", "0.0.0.0", "1087", "Enable=0\n") + rule);
    EXPECT_EQ(in.Log,
              (std::vector<std::string>{
                  "[Open] Open to everyone: listens on 0.0.0.0:1080 without a login or an "
                  "access rule",
                  "[Off rule] Open to everyone: listens on 10.0.0.3:1085 without a login or an "
                  "access rule",
                  "[Six] Open to everyone: listens on [::]:1086 without a login or an access "
                  "rule"}));
    EXPECT_EQ(in.Data.ProxyServers.size(), 9u) << "a warning refuses nothing";
}
