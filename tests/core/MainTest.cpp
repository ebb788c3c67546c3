#include "core/Main.h"

#include <gtest/gtest.h>

#include "Loopback.h"
#include "WaitFor.h"
#include "base/Settings.h"
#include "core/SettingsCheck.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace kestrune;

namespace {

// Records what the core asks of its view.
class TRecorderView : public IMainView {
public:
    std::vector<std::string> Errors;
    std::vector<std::string> Questions;
    bool Answer = true;
    std::string StartCaption = "Start";
    std::map<int, std::string> Status;
    int TrayImage = 0;
    bool Timer = false;
    std::vector<std::string> Log;
    int MonitorChanges = 0;

    void ShowError(const std::string& text) override { Errors.push_back(text); }
    bool AskYesNo(const std::string& text) override {
        Questions.push_back(text);
        return Answer;
    }
    void SetStartCaption(const std::string& caption) override { StartCaption = caption; }
    void SetStatusText(int panel, const std::string& text) override { Status[panel] = text; }
    void SetTrayImage(int index) override { TrayImage = index; }
    void SetMonitorTimer(bool enabled) override { Timer = enabled; }
    void LogAppended(const std::string& line) override { Log.push_back(line); }
    void LogCleared() override { Log.clear(); }
    void MonitorChanged() override { ++MonitorChanges; }
    void ListsChanged() override { ++ListChanges; }
    int ListChanges = 0;

    // The log texts without their time stamps.
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& line : Log)
            out.push_back(line.substr(line.find("] ") + 2));
        return out;
    }
};

class MainTest : public ::testing::Test {
protected:
    TRecorderView View;
    TMainForm Core{View};
    int64_t Now = 1'700'000'000'000;

    void SetUp() override {
        Core.Clock = [this] { return Now; };
        Core.FormatSettings() = TFormatSettings{};
    }
    // Real services on loopback ports that the system chooses.
    void AddService(const std::string& name, bool enable, bool mapper = false) {
        if (mapper) {
            TPortMapperSettings s;
            s.mName = name;
            s.mOwnHost = "127.0.0.1";
            s.mOwnPort = 0;
            s.mMapHost = "127.0.0.1";
            s.mMapPort = 9;
            s.mEnable = enable;
            Core.AddPortMapper(s, PortMapperRow(s));
        } else {
            TProxyServerSettings s;
            s.mName = name;
            s.mHost = "127.0.0.1";
            s.mPort = 0;
            s.mEnable = enable;
            Core.AddProxyServer(s, ProxyServerRow(s));
        }
    }
    // Service lines only (start, stop), in order.
    std::vector<std::string> ServiceLines() const {
        std::vector<std::string> out;
        for (const auto& text : View.Texts())
            if (text.rfind("[", 0) == 0)
                out.push_back(text);
        return out;
    }
};

} // namespace

TEST_F(MainTest, NothingToStartOnceShownWithNoServices) {
    Core.FormCreate();
    Core.FormShow();
    EXPECT_FALSE(Core.mStart);
    Core.StartButtonClick();
    EXPECT_EQ(View.Errors, std::vector<std::string>{"Nothing to start."});
    EXPECT_FALSE(Core.Running());
    EXPECT_FALSE(View.Timer);
    EXPECT_EQ(View.StartCaption, "Start");
    EXPECT_EQ(Core.mTime, 0);
}

TEST_F(MainTest, RunOnStartEntersRunningWithNoServices) {
    Core.Options().Run = true;
    Core.FormCreate();
    EXPECT_TRUE(View.Errors.empty());
    EXPECT_TRUE(Core.Running());
    EXPECT_TRUE(View.Timer);
    EXPECT_EQ(View.StartCaption, "Stop");
    EXPECT_EQ(View.TrayImage, 1);
    EXPECT_EQ(Core.mTime, Now);
}

TEST_F(MainTest, StartAndStopVisitEnabledServicesInListOrder) {
    AddService("p1", true);
    AddService("p2", false);
    AddService("p3", true);
    AddService("m1", true, true);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    EXPECT_EQ(ServiceLines(),
              (std::vector<std::string>{"[p1] Started", "[p3] Started", "[m1] Started"}));
    View.Log.clear();
    Core.StartButtonClick();
    EXPECT_EQ(ServiceLines(),
              (std::vector<std::string>{"[p1] Stopped", "[p3] Stopped", "[m1] Stopped"}));
    EXPECT_EQ(View.StartCaption, "Start");
    EXPECT_EQ(View.TrayImage, 0);
}

TEST_F(MainTest, AllServicesDisabledStillEntersRunning) {
    AddService("p1", false);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    EXPECT_TRUE(View.Errors.empty());
    EXPECT_TRUE(Core.Running());
    EXPECT_TRUE(ServiceLines().empty());
}

TEST_F(MainTest, UptimeShowsDaysHoursMinutes) {
    Core.Options().Run = true;
    Core.FormCreate();
    Now += ((1 * 24 + 2) * 3600 + 3 * 60 + 59) * 1000LL + 999;
    EXPECT_EQ(Core.GetUptime(), "01:02:03");
    Core.MonitorTimerTimer();
    EXPECT_EQ(View.Status[0], "01:02:03");
    Now = Core.mTime + 100LL * 86400 * 1000;
    EXPECT_EQ(Core.GetUptime(), "100:00:00");
    Core.StartButtonClick(); // stop
    EXPECT_EQ(View.Status[0], "00:00:00");
    EXPECT_EQ(Core.mTime, 0);
}

TEST_F(MainTest, StopZeroesEveryMonitorRowTotalIncluded) {
    int64_t mono = 0;
    Core.MonotonicClock = [&mono] { return mono; };
    AddService("p1", true);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    Core.SetActivePage(TMainForm::MonitorPage);
    Core.ProxyServers[0]->mOnline = 2;
    Core.ProxyServers[0]->mTraf = 100;
    Core.ProxyServers[0]->mTrafTotal = 1536;
    mono += 1'000;
    Core.MonitorTimerTimer();
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("p1")].Columns[4], "1.5 KB");
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("p1")].Columns[3], "100 B/s");
    EXPECT_EQ(Core.ProxyServers[0]->mTraf, 0) << "the refresh takes the interval's bytes";
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("Total")].Columns[0], "2");
    Core.StartButtonClick();
    for (const auto& row : Core.MonitorRows())
        EXPECT_EQ(row.Columns, (std::array<std::string, 5>{"0", "0", "0", "0 B/s", "0 B"}))
            << row.Caption;
}

TEST_F(MainTest, CloseAsksOnlyWhenConfirmIsSet) {
    AddService("p1", true);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    View.Answer = false;
    EXPECT_FALSE(Core.FormClose());
    EXPECT_EQ(View.Questions, std::vector<std::string>{"Really exit?"});
    EXPECT_TRUE(Core.Running()) << "a refused close changes nothing";
    View.Answer = true;
    EXPECT_TRUE(Core.FormClose());
    EXPECT_FALSE(Core.Running());
    EXPECT_EQ(ServiceLines().back(), "[p1] Stopped");

    Core.Options().Confirm = false;
    View.Questions.clear();
    EXPECT_TRUE(Core.FormClose());
    EXPECT_TRUE(View.Questions.empty());
}

TEST_F(MainTest, LogLineOnTheMainThreadAppendsBeforeReturning) {
    Core.Options().Time = "hh:nn:ss.zzz";
    Core.LogLine("Settings loaded");
    ASSERT_EQ(View.Log.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(View.Log[0], std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] Settings loaded)")))
        << View.Log[0];
}

TEST_F(MainTest, TimeStampIsTakenWhenTheLineIsAppended) {
    Core.Options().Time = "'old'";
    std::thread([this] { Core.LogLine("queued"); }).join();
    EXPECT_TRUE(View.Log.empty());
    Core.Options().Time = "'new'"; // a change reaches lines queued before it
    Core.MainQueue().Drain();
    EXPECT_EQ(View.Log, std::vector<std::string>{"[new] queued"});
}

TEST_F(MainTest, LogLineFromManyThreadsKeepsEveryLineWholeAndInOrder) {
    constexpr int Threads = 8;
    constexpr int Lines = 10000;
    Core.Options().Time = "'t'";
    std::vector<std::thread> writers;
    std::atomic<int> done{0};
    for (int t = 0; t < Threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < Lines; ++i)
                Core.LogLine("writer " + std::to_string(t) + " line " + std::to_string(i));
            ++done;
        });
    // The test thread is the main thread: it drains while the writers write.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((done < Threads || !Core.MainQueue().Empty()) &&
           std::chrono::steady_clock::now() < deadline) {
        if (Core.MainQueue().Drain() == 0)
            std::this_thread::yield();
    }
    for (auto& w : writers)
        w.join();
    Core.MainQueue().Drain();
    ASSERT_EQ(View.Log.size(), static_cast<std::size_t>(Threads * Lines));
    std::vector<int> next(Threads, 0);
    const std::regex form(R"(\[t\] writer (\d) line (\d+))");
    for (const auto& line : View.Log) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        const int t = std::stoi(m[1]);
        ASSERT_EQ(std::stoi(m[2]), next[t]) << "out of order for writer " << t;
        ++next[t];
    }
}

TEST_F(MainTest, RefreshSkipsDisabledServicesAndOnlyRunsWithTheMonitorInFront) {
    AddService("on", true);
    AddService("off", false, true);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    Core.ProxyServers[0]->mOnTotal = 3;
    Core.PortMappers[0]->mOnTotal = 5;
    Core.SetActivePage(0);
    Core.MonitorTimerTimer();
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("on")].Columns[1], "0")
        << "the table keeps its figures while another page is in front";
    Core.SetActivePage(TMainForm::MonitorPage);
    Core.MonitorTimerTimer();
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("on")].Columns[1], "3");
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("off")].Columns[1], "0");
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("Total")].Columns[1], "3");
}

// The Traffic column is a rate: the interval's bytes over the time the
// interval really lasted, whatever the tick's spacing; the Total row is the
// sum of the rows; bytes from before the page went away are not counted.
TEST_F(MainTest, TrafficIsBytesPerSecondOverTheMeasuredInterval) {
    int64_t mono = 5'000;
    Core.MonotonicClock = [&mono] { return mono; };
    AddService("a", true);
    AddService("b", true, true);
    Core.FormCreate();
    Core.FormShow();
    Core.SetActivePage(TMainForm::MonitorPage);
    Core.StartButtonClick();
    auto traffic = [this](const std::string& row) {
        return Core.MonitorRows()[Core.FindMonitorRow(row)].Columns[3];
    };
    mono += 2'000;
    Core.ProxyServers[0]->mTraf = 40 * 1024 * 1024; // 20 MB/s for 2 s
    Core.PortMappers[0]->mTraf = 2'048;
    Core.MonitorTimerTimer();
    EXPECT_EQ(traffic("a"), "20 MB/s");
    EXPECT_EQ(traffic("b"), "1024 B/s");
    EXPECT_EQ(traffic("Total"), "20 MB/s");
    EXPECT_EQ(Core.ProxyServers[0]->mTraf.load(), 0);

    mono += 2'500; // a late tick
    Core.ProxyServers[0]->mTraf = 5'120;
    Core.PortMappers[0]->mTraf = 1'001;
    Core.MonitorTimerTimer();
    EXPECT_EQ(traffic("a"), "2 KB/s");
    EXPECT_EQ(traffic("b"), "400 B/s");       // 400.4 rounded
    EXPECT_EQ(traffic("Total"), "2.39 KB/s"); // 2448 B/s, the sum of the rows

    Core.ProxyServers[0]->mTraf = 9'999; // counted just before the page left
    Core.SetActivePage(0);
    mono += 60'000;
    Core.MonitorTimerTimer();
    Core.SetActivePage(TMainForm::MonitorPage);
    mono += 1'000;
    Core.ProxyServers[0]->mTraf = 700;
    Core.MonitorTimerTimer();
    EXPECT_EQ(traffic("a"), "700 B/s");
    EXPECT_EQ(traffic("b"), "0 B/s");
}

namespace {

// A loopback port that was free a moment ago (the file needs a real number).
std::string FreePort() {
    return std::to_string(test::FreePort());
}

// A settings file in a directory of its own.
class SettingsFileTest : public MainTest {
protected:
    std::string Dir;
    std::string Path;

    void SetUp() override {
        MainTest::SetUp();
        char tmp[] = "/tmp/kestrune-main-XXXXXX";
        ASSERT_NE(mkdtemp(tmp), nullptr);
        Dir = tmp;
        Path = Dir + "/Kestrune.ini";
        Core.mSettingsPath = Path;
    }
    void TearDown() override { std::system(("rm -rf '" + Dir + "'").c_str()); }

    void Write(const std::string& text) { std::ofstream(Path, std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(Path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

} // namespace

TEST_F(SettingsFileTest, MissingFileLogsNothingEmptyFileLogsLoaded) {
    Core.FormCreate();
    EXPECT_TRUE(View.Log.empty());
    Write("");
    Core.LoadSettings();
    EXPECT_EQ(View.Texts(), std::vector<std::string>{"Settings loaded"});
}

TEST_F(SettingsFileTest, ASectionSkippedForItsPortIsSilentInTheWindowAndLoggedByTheGateway) {
    Write("[Far]\nType=Mapper\nOwnHost=127.0.0.1\nOwnPort=70000\nMapHost=127.0.0.1\n"
          "MapPort=9\n");
    Core.LoadSettings();
    EXPECT_EQ(View.Texts(), std::vector<std::string>{"Settings loaded"});
    View.Log.clear();
    Core.mLogSilentSkips = true;
    Core.LoadSettings();
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{
                                "Section skipped for a missing or invalid address or port: Far",
                                "Settings loaded"}));
    EXPECT_TRUE(Core.PortMappers.empty());
}

TEST_F(SettingsFileTest, LoadBuildsServicesRowsAndRules) {
    Write("[Kestrune]\nRun=1\nPage=2\n"
          "[Office]\nType=Proxy\nHost=127.0.0.1\nPort=" +
          FreePort() +
          "\nFour=1\nFive=0\n"
          "[Mail]\nType=Mapper\nOwnHost=127.0.0.1\nOwnPort=9000\nMapHost=127.0.0.1\n"
          "MapPort=9001\nEnable=0\n"
          "[Clash]\nType=Mapper\nOwnHost=0.0.0.0\nOwnPort=9000\nMapHost=127.0.0.1\n"
          "MapPort=9001\n"
          "[Lan]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\nRemHost=10.0.0.7\n"
          "RemPort=0\nAction=Deny\n");
    Core.FormCreate();
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{
                                "Port mapper port conflict while loading port mappers: Clash",
                                "Settings loaded", "[Office] Started"}))
        << "Run=1 starts the enabled services after loading";
    ASSERT_EQ(Core.ProxyServers.size(), 1u);
    EXPECT_TRUE(Core.ProxyServers[0]->mFour);
    EXPECT_FALSE(Core.ProxyServers[0]->mFive);
    ASSERT_EQ(Core.PortMappers.size(), 1u);
    EXPECT_FALSE(Core.PortMappers[0]->mEnable);
    EXPECT_EQ(Core.MapperRows[0].Columns,
              (std::array<std::string, 5>{"Mail", "127.0.0.1", "9000", "TCP", "No"}));
    EXPECT_EQ(Core.Options().Page, 2);
    EXPECT_NE(Core.FindMonitorRow("Mail"), -1);
    EXPECT_EQ(Core.AccessRules.Count(), 1u);
    EXPECT_FALSE(Core.GetAccessRestriction("0.0.0.0", "10.0.0.7", 1080, 5555));
    EXPECT_TRUE(Core.GetAccessRestriction("0.0.0.0", "10.0.0.8", 1080, 5555));
}

// The window, a reload and `kestruned --check` see the same warning; the
// server still loads and --check still passes the file.
TEST_F(SettingsFileTest, AnOpenProxyIsNamedAtEveryLoadAndStillLoads) {
    const std::string port = FreePort();
    Write("[Open]\nType=Proxy\nHost=0.0.0.0\nPort=" + port + "\n");
    const std::string warning = "[Open] Open to everyone: listens on 0.0.0.0:" + port +
                                " without a login or an access rule";
    Core.FormCreate();
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{warning, "Settings loaded"}));
    EXPECT_EQ(Core.ProxyServers.size(), 1u);
    const TSettingsCheck check = CheckSettingsFile(Path, TOptions{});
    EXPECT_EQ(check.Lines, std::vector<std::string>{warning});
    EXPECT_EQ(check.Problem, "");
}

TEST_F(SettingsFileTest, ExitStopsThenSavesAndDropsUnknownSections) {
    const std::string port = FreePort();
    Write("[Office]\nType=Proxy\nHost=127.0.0.1\nPort=" + port +
          "\nColour=blue\n[Notes]\nText=hi\n");
    Core.Options().Confirm = true;
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    View.Log.clear();
    View.Answer = true;
    EXPECT_TRUE(Core.FormClose());
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{"[Office] Stopped", "Settings saved"}));
    const std::string saved = Read();
    EXPECT_EQ(saved.rfind("\xEF\xBB\xBF[Kestrune]\r\n", 0), 0u);
    EXPECT_NE(saved.find("[Office]\r\nType=Proxy\r\nHost=127.0.0.1\r\nPort=" + port + "\r\n"),
              std::string::npos);
    EXPECT_EQ(saved.find("Colour"), std::string::npos);
    EXPECT_EQ(saved.find("Notes"), std::string::npos);
}

TEST_F(SettingsFileTest, AnUnreadableFileIsKeptUntilTheOperatorChangesSomething) {
    // A directory where the file should be: it exists but cannot be read.
    ASSERT_EQ(mkdir(Path.c_str(), 0700), 0);
    Core.FormCreate();
    ASSERT_EQ(View.Texts().size(), 1u);
    EXPECT_EQ(View.Texts()[0].rfind("Settings not loaded: ", 0), 0u) << View.Texts()[0];
    View.Log.clear();
    Core.CloseWithoutAsking();
    ASSERT_EQ(View.Texts().size(), 1u);
    EXPECT_EQ(View.Texts()[0].rfind("Settings not saved: ", 0), 0u);
    struct stat st {};
    ASSERT_EQ(stat(Path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << "the unreadable file is left alone at exit";
}

TEST_F(SettingsFileTest, ASaveThatCannotWriteKeepsTheOldFileAndSaysSo) {
    Write("[Office]\nType=Proxy\nHost=127.0.0.1\nPort=0\n");
    Core.FormCreate();
    const std::string before = Read();
    Core.mSettingsPath = Dir + "/missing-dir/Kestrune.ini";
    View.Log.clear();
    Core.SaveSettings();
    ASSERT_EQ(View.Texts().size(), 1u);
    EXPECT_EQ(View.Texts()[0].rfind("Settings not saved: ", 0), 0u);
    EXPECT_EQ(Read(), before);
}

TEST_F(SettingsFileTest, DeleteStopsARunningServiceRemovesItsRowsAndSaves) {
    AddService("Keep", true);
    AddService("Gone", true);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    View.Log.clear();
    Core.DeleteProxyServer(std::string("Gone"));
    EXPECT_EQ(View.Texts(), (std::vector<std::string>{"[Gone] Stopped", "Settings saved"}));
    ASSERT_EQ(Core.ProxyServers.size(), 1u);
    EXPECT_EQ(Core.ProxyRows.size(), 1u);
    EXPECT_EQ(Core.FindMonitorRow("Gone"), -1);
    EXPECT_EQ(Read().find("[Gone]"), std::string::npos);
    EXPECT_NE(Read().find("[Keep]"), std::string::npos);

    Core.DeleteProxyServer(std::nullopt);
    Core.DeleteProxyServer(std::string("Nobody"));
    Core.DropPortMapper(std::nullopt);
    Core.DropPortMapper(std::string("Nobody"));
    EXPECT_EQ(View.Errors,
              (std::vector<std::string>{"No proxy server selected.", "Proxy server not found.",
                                        "No port mapper selected.", "Port mapper not found."}));
}

namespace {

// Whether the proxy server behind `fd` still serves it: a SOCKS5 greeting
// [ver=5, nmethods=1, method=0] is answered [ver=5, method=0].
bool Greets(int fd) {
    const unsigned char hello[] = {5, 1, 0};
    if (send(fd, hello, sizeof hello, MSG_NOSIGNAL) != 3)
        return false;
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    unsigned char reply[2] = {};
    return recv(fd, reply, 2, MSG_WAITALL) == 2 && reply[0] == 5 && reply[1] == 0;
}

std::string ProxySection(const std::string& name, uint16_t port, const std::string& extra = "") {
    return "[" + name + "]\nType=Proxy\nHost=127.0.0.1\nPort=" + std::to_string(port) + "\n" +
           extra;
}

std::vector<std::string> Without(std::vector<std::string> lines, const std::string& part) {
    std::erase_if(lines, [&](const std::string& l) { return l.find(part) != l.npos; });
    return lines;
}

} // namespace

TEST_F(SettingsFileTest, ReloadKeepsWhatDidNotChangeAndRestartsStopsOrStartsTheRest) {
    const uint16_t keep = test::FreePort(), move = test::FreePort(), gone = test::FreePort();
    Write(ProxySection("Keep", keep) + ProxySection("Move", move) + ProxySection("Gone", gone) +
          "[Lan]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\nRemHost=10.0.0.7\nRemPort=0\n"
          "Action=Deny\n");
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    TProxyServer* kept = Core.ProxyServers[0].get();
    test::TFd keepClient = test::Connect(keep);
    test::TFd moveClient = test::Connect(move);
    ASSERT_TRUE(
        test::WaitFor([&] { return kept->mOnline == 1 && Core.ProxyServers[1]->mOnline == 1; }));

    const uint16_t moved = test::FreePort(), added = test::FreePort();
    Write(ProxySection("Keep", keep) + ProxySection("Move", moved) + ProxySection("New", added) +
          "[Lan]\nType=Access\nOwnHost=0.0.0.0\nOwnPort=1080\nRemHost=10.0.0.8\nRemPort=0\n"
          "Action=Deny\n");
    View.Log.clear();
    ASSERT_TRUE(Core.ReloadSettings());
    Core.MainQueue().Drain();
    EXPECT_EQ(Without(Without(View.Texts(), "] Connected: "), "] Disconnected: "),
              (std::vector<std::string>{
                  "[Move] Stopped", "[Gone] Stopped", "[Move] Started", "[New] Started",
                  "[Move] Restarted",
                  "Settings reloaded: 1 unchanged, 1 restarted, 1 stopped, 1 started"}));
    ASSERT_EQ(Core.ProxyServers.size(), 3u);
    EXPECT_EQ(Core.ProxyServers[0].get(), kept);
    EXPECT_EQ(kept->mOnline, 1) << "the unchanged server keeps its connection and counters";
    EXPECT_TRUE(Greets(keepClient.Get()));
    EXPECT_FALSE(Greets(moveClient.Get())) << "a changed server's connections end";
    EXPECT_EQ(Core.ProxyServers[1]->BoundPort(), moved);
    EXPECT_EQ(Core.ProxyServers[2]->mName, "New");
    EXPECT_TRUE(Core.ProxyServers[2]->Listening());
    EXPECT_EQ(Core.ProxyRows[1].Columns[2], std::to_string(moved));
    EXPECT_EQ(Core.FindMonitorRow("Gone"), -1);
    EXPECT_NE(Core.FindMonitorRow("New"), -1);
    EXPECT_TRUE(Core.GetAccessRestriction("0.0.0.0", "10.0.0.7", 1080, 5555));
    EXPECT_FALSE(Core.GetAccessRestriction("0.0.0.0", "10.0.0.8", 1080, 5555));
}

TEST_F(SettingsFileTest, AReloadThatCannotUseTheFileChangesNothing) {
    const uint16_t port = test::FreePort();
    const std::string good =
        "[Kestrune]\nMetrics=127.0.0.1:9100\n" + ProxySection("Office", port, "User=u\nPass=p\n");
    Write(good);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    TProxyServer* office = Core.ProxyServers[0].get();
    const struct {
        std::function<void()> Make;
        std::string Why;
    } cases[] = {
        {[&] { unlink(Path.c_str()); }, "no file at " + Path},
        {[&] { Write(""); }, "the file holds no settings"},
        {[&] { Write("\n; only a comment\n"); }, "the file holds no settings"},
        {[&] { unlink(Path.c_str()), mkdir(Path.c_str(), 0700); }, ""},
        {[&] { rmdir(Path.c_str()), Write(good + "[Broken]\nType=Proxy\nHost=1.2.3.4\n"); },
         "1 section skipped"},
        {[&] { Write("[Kestrune]\nMetrics=localhost:9100\n" + ProxySection("Office", port)); },
         "Metrics=localhost:9100 is not HOST:PORT (IPv4 address, or IPv6 address in "
         "brackets)"},
    };
    for (const auto& c : cases) {
        c.Make();
        View.Log.clear();
        EXPECT_FALSE(Core.ReloadSettings()) << c.Why;
        ASSERT_FALSE(View.Texts().empty());
        const std::string last = View.Texts().back();
        EXPECT_EQ(last.rfind("Settings not reloaded: " + c.Why, 0), 0u) << last;
        ASSERT_EQ(Core.ProxyServers.size(), 1u);
        EXPECT_EQ(Core.ProxyServers[0].get(), office);
        EXPECT_TRUE(office->Listening());
        EXPECT_EQ(office->mUser, "u") << "never a weaker configuration";
        EXPECT_EQ(Core.Options().Metrics, "127.0.0.1:9100");
    }
}

TEST_F(MainTest, RepeatedRefusalsReachTheLogCollapsedAndStoppingWritesThemOut) {
    AddService("Map", true, true);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    Core.Options().Time = "'t'";
    View.Log.clear();
    std::thread([this] {
        for (int port = 1; port <= 4; ++port)
            Core.LogDenied("Map", "10.0.0.1", "10.0.0.1:" + std::to_string(port));
        Core.LogLine("[Map] Connected: 10.0.0.2:5");
    }).join();
    Core.MainQueue().Drain();
    EXPECT_EQ(View.Log, (std::vector<std::string>{"[t] [Map] Denied: 10.0.0.1:1",
                                                  "[t] [Map] Connected: 10.0.0.2:5"}));
    Core.StartButtonClick();
    EXPECT_EQ(View.Texts(),
              (std::vector<std::string>{"[Map] Denied: 10.0.0.1:1", "[Map] Connected: 10.0.0.2:5",
                                        "[Map] Stopped", "[Map] Denied: 10.0.0.1:2 (and 2 more)"}))
        << "the refusals of the second still open are written out when the services stop";
}

TEST(MetricsAddress, HostAndPortOfEitherFamily) {
    const auto four = ParseHostPort("127.0.0.1:9100");
    ASSERT_TRUE(four);
    EXPECT_EQ(std::tie(four->Host, four->Port, four->V6),
              std::make_tuple(std::string("127.0.0.1"), uint16_t{9100}, false));
    const auto six = ParseHostPort("[::1]:0");
    ASSERT_TRUE(six);
    EXPECT_EQ(std::tie(six->Host, six->Port, six->V6),
              std::make_tuple(std::string("::1"), uint16_t{0}, true));
    for (const char* wrong : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:+80", "127.0.0.1:65536",
                              "127.0.0.1:80x", "::1:80", "[127.0.0.1]:80", "localhost:80"})
        EXPECT_FALSE(ParseHostPort(wrong)) << wrong;
}
