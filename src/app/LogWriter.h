// Writes kestruned's event log to a descriptor (standard output) on a
// thread of its own, so that a reader that stalls, such as a busy journal
// or a pipe that nobody reads, never holds up the main loop and its
// signals. Meanwhile the lines wait in the bounded log queue, where repeated
// refusals collapse and anything beyond its bound is counted, not kept.
//
// Each line is stamped with the moment of its event, which it carries
// through the queue. Under systemd, when the output is the journal, which
// stamps lines itself, a line goes without a stamp and with the journal's
// priority prefix instead ("<4>[name] Denied: ...").
//
// Start, SetTimeFormat and Finish are called on the main thread.
#pragma once

#include "base/LogQueue.h"
#include "base/TimeFormat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kestrune {

// The syslog priority of a log line: 4 (warning) for refusals and failed
// logins, 3 (error) for a service that could not listen and for a reload
// that was refused, 6 (info) for every other event.
int JournalPriority(std::string_view line);

class TLogWriter {
public:
    enum class TForm {
        Stamped, // "[time] text"
        Journal, // "<priority>text"
    };

    TLogWriter(TLogQueue& queue, int fd, TFormatSettings settings, TForm form = TForm::Stamped);
    ~TLogWriter();
    TLogWriter(const TLogWriter&) = delete;
    TLogWriter& operator=(const TLogWriter&) = delete;

    // True when JOURNAL_STREAM ("device:inode") names the file that `fd`
    // is open on: systemd connected it to the journal.
    static bool IsJournalStream(int fd);

    // The format of the time stamps (the `Time` option), taken by the
    // lines written after the call.
    void SetTimeFormat(std::string format);
    void Start();
    // Writes what waits, the refusals still being collapsed included, and
    // ends the thread. False when the output did not take it all within
    // `limit`: the thread is then still blocked in a write, and the caller
    // ends the process without waiting for it (or destroying this object).
    bool Finish(std::chrono::milliseconds limit);

private:
    void Run();
    void Write(const std::string& text);

    TLogQueue& mQueue;
    const int mFd;
    const TFormatSettings mSettings;
    const TForm mForm;
    int mWake = -1; // eventfd
    std::mutex mFormatLock;
    std::string mFormat = "hh:nn:ss.zzz";
    std::atomic<bool> mFinishing{false};
    bool mBroken = false; // the output failed for good: lines are taken, not written
    std::mutex mDoneLock;
    std::condition_variable mDoneSignal;
    bool mDone = false;
    std::thread mThread;
};

} // namespace kestrune
