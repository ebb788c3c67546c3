#include "core/Main.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <thread>

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
};

// A service that only records the commands it gets.
class TFakeService : public TService {
public:
    TFakeService(std::string name, bool enable, std::vector<std::string>& journal)
        : TService(TKind::ProxyServer), mJournal(journal) {
        mName = std::move(name);
        mEnable = enable;
    }
    void Start() override {
        mJournal.push_back("start " + mName);
        mListening = true;
    }
    void Stop() override {
        if (!mListening)
            return;
        mJournal.push_back("stop " + mName);
        mListening = false;
        ResetCounters();
    }
    void Drop() override {}
    const std::string& ServiceName() const override { return mName; }
    bool ServiceEnabled() const override { return mEnable; }
    std::string mName;
    bool mEnable = true;
    bool Listening() const override { return mListening; }

private:
    std::vector<std::string>& mJournal;
    bool mListening = false;
};

class MainTest : public ::testing::Test {
protected:
    TRecorderView View;
    TMainForm Core{View};
    std::vector<std::string> Journal;
    int64_t Now = 1'700'000'000'000;

    void SetUp() override {
        Core.Clock = [this] { return Now; };
        Core.FormatSettings() = TFormatSettings{};
    }
    void AddService(const std::string& name, bool enable, bool mapper = false) {
        auto& list = mapper ? Core.PortMappers : Core.ProxyServers;
        list.push_back(std::make_unique<TFakeService>(name, enable, Journal));
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
    EXPECT_EQ(Journal, (std::vector<std::string>{"start p1", "start p3", "start m1"}));
    Journal.clear();
    Core.StartButtonClick();
    EXPECT_EQ(Journal, (std::vector<std::string>{"stop p1", "stop p3", "stop m1"}));
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
    EXPECT_TRUE(Journal.empty());
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
    AddService("p1", true);
    Core.AddMonitorRow("p1", TMonitorRow::ProxyServer);
    Core.FormCreate();
    Core.FormShow();
    Core.StartButtonClick();
    Core.ProxyServers[0]->mOnline = 2;
    Core.ProxyServers[0]->mTrafTotal = 1536;
    Core.SetActivePage(TMainForm::MonitorPage);
    Core.MonitorTimerTimer();
    EXPECT_EQ(Core.MonitorRows()[Core.FindMonitorRow("p1")].Columns[4], "1.5 KB");
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
    EXPECT_EQ(Journal.back(), "stop p1");

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
    Core.Queue().Drain();
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
    while ((done < Threads || !Core.Queue().Empty()) &&
           std::chrono::steady_clock::now() < deadline) {
        if (Core.Queue().Drain() == 0)
            std::this_thread::yield();
    }
    for (auto& w : writers)
        w.join();
    Core.Queue().Drain();
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
