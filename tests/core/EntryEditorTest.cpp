// The dialogs' Save and the access page's list commands over the real core:
// real services on loopback, a real settings file in a directory of its own.
#include "core/EntryEditor.h"

#include <gtest/gtest.h>

#include "WaitFor.h"
#include "base/Settings.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrune;
using kestrune::test::WaitFor;

namespace {

class TRecorderView : public IMainView {
public:
    std::vector<std::string> Errors;
    std::vector<std::string> Log;
    int ListChanges = 0;

    void ShowError(const std::string& text) override { Errors.push_back(text); }
    bool AskYesNo(const std::string&) override { return true; }
    void SetStartCaption(const std::string&) override {}
    void SetStatusText(int, const std::string&) override {}
    void SetTrayImage(int) override {}
    void SetMonitorTimer(bool) override {}
    void LogAppended(const std::string& line) override { Log.push_back(line); }
    void LogCleared() override { Log.clear(); }
    void MonitorChanged() override {}
    void ListsChanged() override { ++ListChanges; }

    // The log texts without their time stamps.
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& line : Log)
            out.push_back(line.substr(line.find("] ") + 2));
        return out;
    }
};

// A socket descriptor closed on scope exit.
struct TSocket {
    int fd = -1;
    explicit TSocket(int f = -1) : fd(f) {}
    TSocket(TSocket&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    ~TSocket() {
        if (fd >= 0)
            close(fd);
    }
};

sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

TSocket Listener(const char* ip) {
    TSocket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Address(ip, 0);
    if (bind(s.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(s.fd, 16) != 0)
        ADD_FAILURE() << "cannot listen on " << ip;
    return s;
}

// A port the system has just handed out on `ip`: the dialogs only take
// ports 1 to 65535, so a service saved through them cannot ask for port 0.
std::string FreePort(const char* ip = "127.0.0.1") {
    TSocket s = Listener(ip);
    return std::to_string(LocalPort(s.fd));
}

// Connects from 127.0.0.1 to ip:port.
TSocket Connect(const char* ip, uint16_t port) {
    TSocket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in from = Address("127.0.0.1", 0);
    const sockaddr_in to = Address(ip, port);
    if (bind(s.fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        connect(s.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        ADD_FAILURE() << "cannot connect to " << ip << ":" << port;
    return s;
}

// True when the peer closes `fd` (end of stream or reset) within 5 s.
bool PeerCloses(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
        return false;
    char c;
    return recv(fd, &c, 1, 0) <= 0;
}

bool Accepts(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
        return false;
    TSocket accepted(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    return accepted.fd >= 0;
}

TProxyServerInput Proxy(const std::string& name, const std::string& port, bool enable = true) {
    TProxyServerInput in;
    in.Fields.mName = name;
    in.Fields.mHost = "127.0.0.1";
    in.Fields.mPort = port;
    in.mEnable = enable;
    return in;
}

TPortMapperInput Mapper(const std::string& name, const std::string& host, const std::string& port,
                        uint16_t target, bool enable = true) {
    TPortMapperInput in;
    in.Fields.mName = name;
    in.Fields.mOwnHost = host;
    in.Fields.mOwnPort = port;
    in.Fields.mMapHost = "127.0.0.1";
    in.Fields.mMapPort = std::to_string(target);
    in.mEnable = enable;
    return in;
}

TAccessRuleInput Rule(const std::string& name, const std::string& remHost, int action = 0) {
    TAccessRuleInput in;
    in.Fields.mName = name;
    in.Fields.mOwnHost = "0.0.0.0";
    in.Fields.mOwnPort = "1080";
    in.Fields.mRemHost = remHost;
    in.Fields.mRemPort = "0";
    in.Fields.mAction = action;
    return in;
}

class EntryEditorTest : public ::testing::Test {
protected:
    TRecorderView View;
    TMainForm Core{View};
    TEntryEditor Editor{Core, View};
    std::string Dir;

    void SetUp() override {
        char tmp[] = "/tmp/kestrune-editor-XXXXXX";
        ASSERT_NE(mkdtemp(tmp), nullptr);
        Dir = tmp;
        Core.mSettingsPath = Dir + "/Kestrune.ini";
        Core.FormCreate();
        Core.FormShow();
    }
    void TearDown() override { std::system(("rm -rf '" + Dir + "'").c_str()); }

    std::string File() const {
        std::ifstream in(Core.mSettingsPath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The section names of the file in file order, the options section left out.
    std::vector<std::string> Sections() const {
        std::vector<std::string> out;
        const std::string text = File();
        for (std::size_t at = text.find('['); at != std::string::npos;
             at = text.find('[', at + 1)) {
            if (at > 0 && text[at - 1] != '\n' && at != 3) // 3: after the byte order mark
                continue;
            const std::string name = text.substr(at + 1, text.find(']', at) - at - 1);
            if (name != "Kestrune")
                out.push_back(name);
        }
        return out;
    }
    const TMonitorRow& MonitorRow(const std::string& caption) {
        const int index = Core.FindMonitorRow(caption);
        EXPECT_GE(index, 0) << caption;
        return Core.MonitorRows()[static_cast<std::size_t>(std::max(index, 0))];
    }
    // Rules that differ in their remote address only.
    void AddRules(std::initializer_list<const char*> names) {
        int host = 1;
        for (const char* name : names) {
            const TAccessRuleInput in = Rule(name, "10.0.0." + std::to_string(host++));
            ASSERT_TRUE(Editor.SaveAccessRule(in, TEditMode::New, std::nullopt).Passed()) << name;
        }
    }
    // Waits until a line holding `text` has reached the log, then clears it,
    // so that what follows starts from an empty log.
    void ClearLogAfter(const std::string& text) {
        ASSERT_TRUE(WaitFor([&] {
            Core.MainQueue().Drain();
            return std::any_of(View.Log.begin(), View.Log.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
            });
        })) << text;
        View.Log.clear();
    }
    void Start() {
        Core.StartButtonClick();
        ASSERT_TRUE(Core.Running());
    }
};

using Columns = std::array<std::string, 5>;

TEST_F(EntryEditorTest, NewProxyServerAddsRowsServiceAndStartsOnlyWhenRunningAndEnabled) {
    const std::string port = FreePort();
    TProxyServerInput in = Proxy("  Office  ", port);
    in.Fields.mVersion = 2;
    in.Fields.mUser = "ann";
    in.Fields.mPass = "secret";
    in.mQueue = 20;
    in.mLimit = 30;
    in.mBuffer = 8;
    in.mWait = 60;
    EXPECT_TRUE(Editor.SaveProxyServer(in, TEditMode::New, std::nullopt).Passed());
    ASSERT_EQ(Core.ProxyServers.size(), 1u);
    const TProxyServer& office = *Core.ProxyServers[0];
    EXPECT_EQ(office.mName, "Office") << "the trimmed name is stored";
    EXPECT_TRUE(office.mFive && office.mFour);
    EXPECT_EQ(office.mPort, std::stoi(port));
    EXPECT_EQ(std::tie(office.mUser, office.mPass), std::tie("ann", "secret"));
    EXPECT_EQ((std::array{office.mQueue, office.mLimit, office.mBuffer, office.mWait}),
              (std::array{20, 30, 8, 60}));
    EXPECT_EQ(Core.ProxyRows[0].Columns, (Columns{"Office", "127.0.0.1", port, "Both", "Yes"}));
    EXPECT_EQ(MonitorRow("Office").Group, TMonitorRow::ProxyServer);
    EXPECT_FALSE(office.Listening()) << "stopped program: nothing starts";
    EXPECT_EQ(Sections(), std::vector<std::string>{"Office"});

    Start();
    EXPECT_TRUE(
        Editor.SaveProxyServer(Proxy("Lab", FreePort()), TEditMode::New, std::nullopt).Passed());
    EXPECT_TRUE(
        Editor.SaveProxyServer(Proxy("Off", FreePort(), false), TEditMode::New, std::nullopt)
            .Passed());
    EXPECT_TRUE(Core.ProxyServers[1]->Listening()) << "new and enabled while running: started";
    EXPECT_FALSE(Core.ProxyServers[2]->Listening());
    EXPECT_EQ(Core.ProxyRows[2].Columns[4], "No");
    EXPECT_EQ(Sections(), (std::vector<std::string>{"Office", "Lab", "Off"}));
}

TEST_F(EntryEditorTest, EditingARunningProxyServerRestartsItAndRenamesItsMonitorRowWithZeros) {
    ASSERT_TRUE(
        Editor.SaveProxyServer(Proxy("Office", FreePort()), TEditMode::New, std::nullopt).Passed());
    Start();
    TProxyServer* office = Core.ProxyServers[0].get();
    TSocket client = Connect("127.0.0.1", office->BoundPort());
    ASSERT_TRUE(WaitFor([&] { return office->mOnline == 1; }));
    Core.RefreshMonitor();
    ASSERT_EQ(MonitorRow("Office").Columns[0], "1");
    ClearLogAfter("[Office] Connected: ");

    const std::string port = FreePort();
    TProxyServerInput in = Proxy("Branch", port);
    in.Fields.mVersion = 1;
    EXPECT_TRUE(Editor.SaveProxyServer(in, TEditMode::Edit, std::string("Office")).Passed());
    // Stop waits for the connection's thread, whose last line is handed
    // over before the stopped line.
    const std::string peer = "127.0.0.1:" + std::to_string(LocalPort(client.fd));
    EXPECT_EQ(View.Texts(),
              (std::vector<std::string>{"[Office] Disconnected: " + peer, "[Office] Stopped",
                                        "[Branch] Started", "Settings saved"}));
    ASSERT_EQ(Core.ProxyServers.size(), 1u);
    EXPECT_EQ(Core.ProxyServers[0].get(), office) << "the object keeps its place";
    EXPECT_EQ(office->BoundPort(), std::stoi(port));
    EXPECT_TRUE(office->mFour && !office->mFive);
    EXPECT_TRUE(PeerCloses(client.fd)) << "the stop closed the open connection";
    EXPECT_EQ(Core.FindMonitorRow("Office"), -1);
    EXPECT_EQ(MonitorRow("Branch").Columns, (Columns{"0", "0", "0", "0 B/s", "0 B"}));
    EXPECT_EQ(Core.ProxyRows[0].Columns, (Columns{"Branch", "127.0.0.1", port, "4", "Yes"}));
    EXPECT_EQ(Sections(), std::vector<std::string>{"Branch"});
}

TEST_F(EntryEditorTest, EditingTheEnabledFlagWhileRunningStopsOrStartsOnlyAsTheFlagSays) {
    const std::string port = FreePort();
    ASSERT_TRUE(
        Editor.SaveProxyServer(Proxy("Office", port), TEditMode::New, std::nullopt).Passed());
    Start();
    TProxyServer& office = *Core.ProxyServers[0];
    View.Log.clear();
    EXPECT_TRUE(
        Editor.SaveProxyServer(Proxy("Office", port, false), TEditMode::Edit, std::string("Office"))
            .Passed());
    EXPECT_FALSE(office.Listening());
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{"[Office] Stopped", "Settings saved"}));

    View.Log.clear();
    EXPECT_TRUE(
        Editor.SaveProxyServer(Proxy("Office", port, false), TEditMode::Edit, std::string("Office"))
            .Passed());
    EXPECT_EQ(View.Texts(), std::vector<std::string>{"Settings saved"})
        << "a disabled server edited and left disabled is neither stopped nor started";

    Core.StartButtonClick(); // stop the program
    View.Log.clear();
    EXPECT_TRUE(
        Editor.SaveProxyServer(Proxy("Office", port), TEditMode::Edit, std::string("Office"))
            .Passed());
    EXPECT_FALSE(office.Listening()) << "a stopped program starts nothing";
    EXPECT_TRUE(office.mEnable);
}

TEST_F(EntryEditorTest, AFailedSaveChangesNothing) {
    const std::string port = FreePort();
    ASSERT_TRUE(
        Editor.SaveProxyServer(Proxy("Office", port), TEditMode::New, std::nullopt).Passed());
    ASSERT_TRUE(
        Editor.SaveAccessRule(Rule("Lan", "10.0.0.7"), TEditMode::New, std::nullopt).Passed());
    const std::string before = File();
    View.Log.clear();

    // A clash with a rule's name, a missing selection, a name no longer listed.
    TSaveCheck check = Editor.SaveProxyServer(Proxy(" Lan ", FreePort()), TEditMode::New, {});
    EXPECT_EQ(check.mMessage, "Specified name conflicts with existing access restriction: Lan");
    EXPECT_EQ(check.mName, "Lan");
    EXPECT_EQ(check.mFocus, "NameLabeledEdit");
    check = Editor.SaveProxyServer(Proxy("Other", FreePort()), TEditMode::Edit, std::nullopt);
    EXPECT_EQ(check.mMessage, "Proxy server not found.");
    check = Editor.SavePortMapper(Mapper("Map", "0.0.0.0", port, 9), TEditMode::New, {});
    EXPECT_EQ(check.mMessage, "Specified port conflicts with existing proxy server: Office");
    check = Editor.SaveAccessRule(Rule("Wan", "10.0.0.7", 1), TEditMode::New, std::nullopt);
    EXPECT_EQ(check.mMessage, "Specified port conflicts with existing access restriction: Lan");
    check = Editor.SaveAccessRule(Rule("Wan", "10.0.0.8"), TEditMode::Edit, std::nullopt);
    EXPECT_EQ(check.mMessage, "No access restriction selected.");

    EXPECT_EQ(Core.ProxyServers.size(), 1u);
    EXPECT_TRUE(Core.PortMappers.empty());
    EXPECT_EQ(Core.AccessRules.Count(), 1u);
    EXPECT_EQ(File(), before);
    EXPECT_TRUE(View.Log.empty()) << "nothing saved, nothing started";
}

TEST_F(EntryEditorTest, PortMapperSaveStartsANewMapperAndRestartsAnEditedOne) {
    TSocket target = Listener("127.0.0.1");
    const uint16_t targetPort = LocalPort(target.fd);
    // Something must be defined for the program to start.
    ASSERT_TRUE(
        Editor.SaveProxyServer(Proxy("Idle", FreePort(), false), TEditMode::New, {}).Passed());
    Start();
    TPortMapperInput in = Mapper("Mail", "127.0.0.1", FreePort(), targetPort);
    in.Fields.mProtocol = 2;
    in.mBuffer = 4;
    View.Log.clear();
    EXPECT_TRUE(Editor.SavePortMapper(in, TEditMode::New, std::nullopt).Passed());
    ASSERT_EQ(Core.PortMappers.size(), 1u);
    TPortMapper& mail = *Core.PortMappers[0];
    EXPECT_TRUE(mail.Listening());
    EXPECT_TRUE(mail.mTCP && mail.mUDP);
    EXPECT_EQ(mail.mBuffer, 4);
    EXPECT_EQ(mail.mMapPort, targetPort);
    EXPECT_EQ(Core.MapperRows[0].Columns[3], "Both");
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{"[Mail] Started", "Settings saved"}));

    in.Fields.mName = "Post";
    in.Fields.mProtocol = 1;
    View.Log.clear();
    EXPECT_TRUE(Editor.SavePortMapper(in, TEditMode::Edit, std::string("Mail")).Passed())
        << "the mapper is not compared with itself";
    EXPECT_EQ(View.Texts(),
              (std::vector<std::string>{"[Mail] Stopped", "[Post] Started", "Settings saved"}));
    EXPECT_TRUE(!mail.mTCP && mail.mUDP);
    EXPECT_EQ(Core.MapperRows[0].Columns[0], "Post");
    EXPECT_EQ(Core.MapperRows[0].Columns[3], "UDP");
    EXPECT_NE(Core.FindMonitorRow("Post"), -1);
}

TEST_F(EntryEditorTest, AccessRulesAreAppendedAndRewrittenInPlace) {
    AddRules({"A", "B", "C", "D", "E"});
    TAccessRuleInput in = Rule("Total", "10.0.0.99", 1);
    in.mEnable = false;
    EXPECT_TRUE(Editor.SaveAccessRule(in, TEditMode::Edit, 2).Passed());
    const TAccessRules::TSnapshot rules = Core.AccessRules.Snapshot();
    ASSERT_EQ(rules->size(), 5u);
    EXPECT_EQ((*rules)[2],
              (TAccessRule{"Total", "0.0.0.0", "1080", "10.0.0.99", "0", "Deny", "No"}))
        << "the edited rule keeps its place";
    EXPECT_EQ(Sections(), (std::vector<std::string>{"A", "B", "Total", "D", "E"}));
}

TEST_F(EntryEditorTest, SavesStoreAddressesAndPortsInTheirPlainForm) {
    TProxyServerInput proxy = Proxy("Office", "0" + FreePort());
    proxy.Fields.mHost = "127.000.000.001";
    ASSERT_TRUE(Editor.SaveProxyServer(proxy, TEditMode::New, std::nullopt).Passed());
    EXPECT_EQ(Core.ProxyServers[0]->mHost, "127.0.0.1");
    EXPECT_EQ(Core.ProxyRows[0].Columns[1], "127.0.0.1");
    EXPECT_EQ(Core.ProxyRows[0].Columns[2], std::to_string(Core.ProxyServers[0]->mPort));

    TPortMapperInput mapper = Mapper("Six", "0:0:0:0:0:0:0:1", FreePort(), 9);
    mapper.Fields.mMapHost = "2001:DB8:0:0::1";
    ASSERT_TRUE(Editor.SavePortMapper(mapper, TEditMode::New, std::nullopt).Passed());
    EXPECT_EQ(Core.PortMappers[0]->mOwnHost, "::1");
    EXPECT_EQ(Core.PortMappers[0]->mMapHost, "2001:db8::1");

    TAccessRuleInput rule = Rule("Lab", "010.000.000.007");
    rule.Fields.mOwnPort = "01080";
    rule.Fields.mRemPort = "+0080";
    ASSERT_TRUE(Editor.SaveAccessRule(rule, TEditMode::New, std::nullopt).Passed());
    EXPECT_EQ((*Core.AccessRules.Snapshot())[0],
              (TAccessRule{"Lab", "0.0.0.0", "1080", "10.0.0.7", "80", "Allow", "Yes"}));
}

TEST_F(EntryEditorTest, MoveUpTwiceCarriesTheThirdRuleToTheTopSavingEachTime) {
    AddRules({"A", "B", "C"});
    std::optional<std::size_t> selected = 2;
    selected = Editor.MoveAccessRuleUp(selected);
    EXPECT_EQ(selected, 1u) << "the selection follows the moved rule";
    EXPECT_EQ(Sections(), (std::vector<std::string>{"A", "C", "B"}));
    selected = Editor.MoveAccessRuleUp(selected);
    EXPECT_EQ(selected, 0u);
    EXPECT_EQ(Sections(), (std::vector<std::string>{"C", "A", "B"}));
    EXPECT_TRUE(View.Errors.empty());

    EXPECT_EQ(Editor.MoveAccessRuleUp(0), std::nullopt);
    EXPECT_EQ(Editor.MoveAccessRuleDown(2), std::nullopt);
    EXPECT_EQ(Editor.MoveAccessRuleDown(std::nullopt), std::nullopt);
    Editor.DeleteAccessRule(std::nullopt);
    EXPECT_EQ(View.Errors, (std::vector<std::string>{"No place to move access restriction.",
                                                     "No place to move access restriction.",
                                                     "No access restriction selected.",
                                                     "No access restriction selected."}));
    EXPECT_EQ(Sections(), (std::vector<std::string>{"C", "A", "B"}));

    EXPECT_EQ(Editor.MoveAccessRuleDown(0), 1u);
    EXPECT_EQ(Sections(), (std::vector<std::string>{"A", "C", "B"}));
    View.Log.clear();
    Editor.DeleteAccessRule(1);
    EXPECT_EQ(Sections(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(View.Texts(), std::vector<std::string>{"Settings saved"})
        << "no question, no service touched";
}

TEST_F(EntryEditorTest, ARuleEditedWhileAPortMapperRunsDeniesTheNextRealConnection) {
    // The mapper listens on 127.0.0.2 and the client comes from 127.0.0.1:
    // a peer on the service's own configured address is always let in.
    TSocket target = Listener("127.0.0.1");
    const std::string port = FreePort("127.0.0.2");
    ASSERT_TRUE(Editor
                    .SavePortMapper(Mapper("Mail", "127.0.0.2", port, LocalPort(target.fd)),
                                    TEditMode::New, std::nullopt)
                    .Passed());
    TAccessRuleInput rule = Rule("Local", "127.0.0.1");
    rule.Fields.mOwnHost = "127.0.0.2";
    rule.Fields.mOwnPort = port;
    ASSERT_TRUE(Editor.SaveAccessRule(rule, TEditMode::New, std::nullopt).Passed());
    Start();
    TPortMapper& mail = *Core.PortMappers[0];
    ASSERT_TRUE(mail.Listening());

    TSocket first = Connect("127.0.0.2", mail.TCPPort());
    EXPECT_TRUE(Accepts(target.fd)) << "allowed: the mapper connects to its target";
    EXPECT_EQ(mail.mDrop, 0);

    rule.Fields.mAction = 1;
    ClearLogAfter("[Mail] Connected: ");
    ASSERT_TRUE(Editor.SaveAccessRule(rule, TEditMode::Edit, 0).Passed());
    EXPECT_EQ(View.Texts(), std::vector<std::string>{"Settings saved"}) << "no restart";
    TSocket second = Connect("127.0.0.2", mail.TCPPort());
    EXPECT_TRUE(PeerCloses(second.fd));
    EXPECT_TRUE(WaitFor([&] { return mail.mDrop == 1; }));
    EXPECT_TRUE(mail.Listening());
}

} // namespace

TEST_F(EntryEditorTest, RouteFieldsAreStoredInTheirFormAndTheRulesJudgeTargets) {
    const std::string first = FreePort(), second = FreePort();
    TProxyServerInput proxy = Proxy("Office", first);
    proxy.Fields.mOutHost = "SAME";
    proxy.Fields.mVia = "socks5://u:p@127.0.0.1:" + second;
    proxy.mHTTP = true;
    ASSERT_TRUE(Editor.SaveProxyServer(proxy, TEditMode::New, std::nullopt).Passed());
    const TProxyServer& office = *Core.ProxyServers[0];
    EXPECT_EQ(std::tie(office.mOutHost, office.mVia, office.mHTTP),
              std::make_tuple(std::string("same"), proxy.Fields.mVia, true));
    EXPECT_EQ(Core.ProxyRows[0].Columns[3], "5+HTTP");
    EXPECT_NE(File().find("OutHost=same\r\nVia=socks5://u:p@127.0.0.1:" + second + "\r\nHTTP=1"),
              std::string::npos);

    // The configured services' upstreams take part in the check: a server
    // on the port Office forwards to, forwarding back, closes a loop.
    TProxyServerInput back = Proxy("Back", second);
    back.Fields.mVia = "http://127.0.0.1:" + first;
    const TSaveCheck loop = Editor.SaveProxyServer(back, TEditMode::New, std::nullopt);
    EXPECT_EQ(loop.mMessage, "Specified proxy server forwards to itself.");
    EXPECT_EQ(Core.ProxyServers.size(), 1u);

    TPortMapperInput mapper = Mapper("Web", "127.0.0.1", FreePort(), 80);
    mapper.Fields.mOutHost = "127.000.000.002";
    ASSERT_TRUE(Editor.SavePortMapper(mapper, TEditMode::New, std::nullopt).Passed());
    EXPECT_EQ(Core.PortMappers[0]->mOutHost, "127.0.0.2");

    TAccessRuleInput rule = Rule("Lan", "0.0.0.0");
    rule.Fields.mToHost = "010.0.0.001";
    rule.Fields.mToPort = "0443";
    rule.Fields.mVia = "direct";
    ASSERT_TRUE(Editor.SaveAccessRule(rule, TEditMode::New, std::nullopt).Passed());
    const TAccessRule stored = (*Core.AccessRules.Snapshot())[0];
    EXPECT_EQ(std::tie(stored.mToHost, stored.mToPort, stored.mVia),
              std::tie("10.0.0.1", "443", "direct"));
    const TDestination target{"", "10.0.0.1", 443};
    TDestinationVerdict verdict =
        Core.GetDestinationRestriction("0.0.0.0", "10.0.0.7", 1080, 5000, target, false);
    EXPECT_EQ(
        std::tie(verdict.Decision, verdict.Via, verdict.RuleName),
        std::make_tuple(TDestinationDecision::Allow, std::string("direct"), std::string("Lan")));
    // The next request is judged by the edited rule.
    rule.Fields.mAction = 1;
    rule.Fields.mVia = "";
    ASSERT_TRUE(Editor.SaveAccessRule(rule, TEditMode::Edit, 0).Passed());
    verdict = Core.GetDestinationRestriction("0.0.0.0", "10.0.0.7", 1080, 5000, target, false);
    EXPECT_EQ(verdict.Decision, TDestinationDecision::Deny);
    // A client rule admits as before: the target rule is not one.
    EXPECT_TRUE(Core.GetAccessRestriction("0.0.0.0", "10.0.0.7", 1080, 5000));
}
