// The lines of the event log, newest last, held on the main thread.
//
// Only the main thread touches an EventLog; other threads reach it through
// the log queue (TLogQueue, see TMainForm::LogLine). The log keeps the newest
// MaxLines lines so that a flood of events cannot grow memory without bound,
// and appending costs the same however long the log is.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace kestrune {

class TEventLog {
public:
    static constexpr std::size_t MaxLines = 100000;

    // Told about every change so that a view can follow it.
    std::function<void(const std::string& line)> OnAppend;
    std::function<void()> OnClear;

    void Append(std::string line);
    void Clear();

    const std::deque<std::string>& Lines() const { return mLines; }
    std::size_t Count() const { return mLines.size(); }
    // All lines joined by CR LF, with no line break after the last one.
    std::string Text() const;

private:
    std::deque<std::string> mLines;
};

} // namespace kestrune
