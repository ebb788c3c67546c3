#include "app/LogWriter.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrune {

namespace {

// How long the lines of a burst are gathered before they are written.
constexpr int GatherMilliseconds = 10;

// A decimal number that makes up the whole of `text`.
bool WholeNumber(std::string_view text, unsigned long long& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && at == end;
}

} // namespace

int JournalPriority(std::string_view line) {
    if (line.starts_with("Settings not reloaded: "))
        return 3;
    // A service's line: "[" name "] " event. The first "] " ends the name:
    // what follows may hold text from a peer (a user name), which must not
    // choose the priority.
    const auto close = line.find("] ");
    if (!line.starts_with('[') || close == std::string_view::npos)
        return 6;
    const std::string_view event = line.substr(close + 2);
    if (event.starts_with("Listen failed: "))
        return 3;
    for (const std::string_view refusal :
         {"Denied: ", "Authentication failed: ", "Too many senders: ", "Out of resources: "})
        if (event.starts_with(refusal))
            return 4;
    return 6;
}

bool TLogWriter::IsJournalStream(int fd) {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (!value)
        return false;
    const std::string_view text(value);
    const auto colon = text.find(':');
    unsigned long long device = 0, inode = 0;
    if (colon == std::string_view::npos || !WholeNumber(text.substr(0, colon), device) ||
        !WholeNumber(text.substr(colon + 1), inode))
        return false;
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

TLogWriter::TLogWriter(TLogQueue& queue, int fd, TFormatSettings settings, TForm form)
    : mQueue(queue), mFd(fd), mSettings(std::move(settings)), mForm(form),
      mWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TLogWriter::~TLogWriter() {
    if (mThread.joinable())
        Finish(std::chrono::milliseconds(1000));
    if (mThread.joinable())
        mThread.detach(); // only reached when the owner ignored Finish's verdict
    mQueue.SetWaker(nullptr);
    close(mWake);
}

void TLogWriter::SetTimeFormat(std::string format) {
    std::lock_guard lock(mFormatLock);
    mFormat = std::move(format);
}

void TLogWriter::Start() {
    const int wake = mWake;
    mQueue.SetWaker([wake] {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    });
    mThread = std::thread([this] { Run(); });
}

bool TLogWriter::Finish(std::chrono::milliseconds limit) {
    if (!mThread.joinable())
        return true;
    mFinishing = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(mWake, &one, sizeof one);
    std::unique_lock lock(mDoneLock);
    if (!mDoneSignal.wait_for(lock, limit, [this] { return mDone; }))
        return false;
    lock.unlock();
    mThread.join();
    return true;
}

void TLogWriter::Run() {
    std::vector<TLogLine> lines;
    std::string text;
    // Lines of one moment share their stamp: a busy second formats it once
    // per millisecond, not once per line.
    std::string stampFormat;
    std::chrono::system_clock::time_point stampTime{};
    std::string stamp;
    for (;;) {
        const bool finishing = mFinishing;
        lines.clear();
        mQueue.Take(lines, finishing);
        if (!lines.empty()) {
            std::string format;
            {
                std::lock_guard lock(mFormatLock);
                format = mFormat;
            }
            text.clear();
            for (const TLogLine& line : lines) {
                if (mForm == TForm::Journal) {
                    text += '<';
                    text += static_cast<char>('0' + JournalPriority(line.Text));
                    text += '>';
                } else {
                    const auto when = std::chrono::floor<std::chrono::milliseconds>(line.Time);
                    if (stamp.empty() || when != stampTime || format != stampFormat) {
                        stamp = FormatDateTime(format, TDateTimeParts::At(when), mSettings);
                        stampTime = when;
                        stampFormat = format;
                    }
                    text += '[';
                    text += stamp;
                    text += "] ";
                }
                text += line.Text;
                text += '\n';
            }
            Write(text);
        }
        if (finishing)
            break;
        // Sleep until a line comes, or until a collapsed refusal falls due.
        int timeout = -1;
        if (const auto due = mQueue.NextDue()) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(*due - TLogQueue::TClock::now());
            timeout = static_cast<int>(std::max<int64_t>(wait.count(), 0));
        }
        pollfd wake{mWake, POLLIN, 0};
        if (poll(&wake, 1, timeout) > 0) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(mWake, &count, sizeof count);
            // Lines come in bursts (two per connection): the rest of the
            // burst is gathered for a moment, so that a busy gateway wakes
            // this thread a few times a second rather than once a line. A
            // line keeps the moment of its event; only Finish cuts it short.
            if (!mFinishing) {
                pollfd gather{mWake, POLLIN, 0};
                poll(&gather, 1, GatherMilliseconds);
            }
        }
    }
    std::lock_guard lock(mDoneLock);
    mDone = true;
    mDoneSignal.notify_all();
}

void TLogWriter::Write(const std::string& text) {
    std::size_t done = 0;
    while (!mBroken && done < text.size()) {
        const ssize_t n = write(mFd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            // An output handed over non-blocking: wait for room instead.
            pollfd out{mFd, POLLOUT, 0};
            poll(&out, 1, -1);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            mBroken = true; // the reader is gone; the log has nowhere to go
        }
    }
}

} // namespace kestrune
