#include "app/LogWriter.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace kestrune {

TLogWriter::TLogWriter(TLogQueue& queue, int fd, TFormatSettings settings)
    : mQueue(queue), mFd(fd), mSettings(std::move(settings)),
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
    std::vector<std::string> lines;
    std::string text;
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
            for (const std::string& line : lines) {
                text += '[';
                text += FormatDateTime(format, TDateTimeParts::Now(), mSettings);
                text += "] ";
                text += line;
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
