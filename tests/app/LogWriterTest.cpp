#include "app/LogWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kestrune;
using namespace std::chrono_literals;

namespace {

class LogWriterTest : public ::testing::Test {
protected:
    TLogQueue Queue;
    TLogQueue::TWallClock::time_point Wall;
    int Out = -1;

    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        Out = memfd_create("log", MFD_CLOEXEC);
        ASSERT_GE(Out, 0);
        Queue.WallClock = [this] { return Wall; };
    }
    void TearDown() override {
        unsetenv("JOURNAL_STREAM");
        close(Out);
    }
    // Writes what the queue holds and returns the output.
    std::string Written(TLogWriter::TForm form) {
        TLogWriter writer(Queue, Out, TFormatSettings{}, form);
        writer.SetTimeFormat("hh:nn:ss.zzz");
        writer.Start();
        EXPECT_TRUE(writer.Finish(5s));
        std::string text(4096, '\0');
        const ssize_t n = pread(Out, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return text;
    }
};

} // namespace

TEST_F(LogWriterTest, ALineIsStampedWithTheMomentOfItsEventNotOfItsWriting) {
    // 12:34:56.789 and 0.5 s later; the writer only starts after both.
    Wall = TLogQueue::TWallClock::time_point{45296789ms};
    Queue.Push("[Map] Started");
    Wall += 500ms;
    Queue.Push("[Map] Connected: 127.0.0.1:4000");
    EXPECT_EQ(Written(TLogWriter::TForm::Stamped),
              "[12:34:56.789] [Map] Started\n"
              "[12:34:57.289] [Map] Connected: 127.0.0.1:4000\n");
}

TEST_F(LogWriterTest, TheJournalGetsEachLineWithItsPriorityAndNoStamp) {
    for (const char* line : {
             "[Map] Started",
             "[Map] Denied: 10.0.0.1:1",
             "[P] Authentication failed: 10.0.0.1:2 @ user/pass",
             "[Map] Too many senders: 10.0.0.1:3",
             "[P] Out of resources: refusing new clients (descriptors)",
             "[Map] Listen failed: 127.0.0.1:80",
             "Settings not reloaded: no file at /x.ini",
             "Settings loaded",
             "[Denied: x] Started", // the name is not the event
             "[P] Disconnected: 10.0.0.1:2 Denied: ",
         })
        Queue.Push(line);
    Queue.PushDenied("Map", "10.0.0.9", "10.0.0.9:1");
    EXPECT_EQ(Written(TLogWriter::TForm::Journal),
              "<6>[Map] Started\n"
              "<4>[Map] Denied: 10.0.0.1:1\n"
              "<4>[P] Authentication failed: 10.0.0.1:2 @ user/pass\n"
              "<4>[Map] Too many senders: 10.0.0.1:3\n"
              "<4>[P] Out of resources: refusing new clients (descriptors)\n"
              "<3>[Map] Listen failed: 127.0.0.1:80\n"
              "<3>Settings not reloaded: no file at /x.ini\n"
              "<6>Settings loaded\n"
              "<6>[Denied: x] Started\n"
              "<6>[P] Disconnected: 10.0.0.1:2 Denied: \n"
              "<4>[Map] Denied: 10.0.0.9:1\n");
}

TEST_F(LogWriterTest, OnlyAJournalStreamThatNamesTheOutputCountsAsTheJournal) {
    struct stat st {};
    ASSERT_EQ(fstat(Out, &st), 0);
    const std::string own = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    EXPECT_FALSE(TLogWriter::IsJournalStream(Out)) << "not set";
    setenv("JOURNAL_STREAM", own.c_str(), 1);
    EXPECT_TRUE(TLogWriter::IsJournalStream(Out));
    const int other = memfd_create("other", MFD_CLOEXEC);
    EXPECT_FALSE(TLogWriter::IsJournalStream(other)) << "another file (the output was redirected)";
    close(other);
    for (const std::string& bad :
         std::vector<std::string>{own + "x", ":" + std::to_string(st.st_ino), own + ":1", ""}) {
        setenv("JOURNAL_STREAM", bad.c_str(), 1);
        EXPECT_FALSE(TLogWriter::IsJournalStream(Out)) << bad;
    }
}
