// What the application core asks of whatever shows it: the Qt window, the
// headless gateway's console, or a recorder in tests. Main thread only.
#pragma once

#include <string>

namespace kestrune {

class IMainView {
public:
    virtual ~IMainView() = default;

    // A message box with the caption "Kestrune", the error icon and OK.
    virtual void ShowError(const std::string& text) = 0;
    // A message box with the caption "Kestrune", the question icon, Yes and No.
    virtual bool AskYesNo(const std::string& text) = 0;

    // The state the core shows: the Start/Stop caption, a status bar panel,
    // the tray image (0 stopped, 1 running), and the 2000 ms monitor timer
    // that calls TMainForm::MonitorTimerTimer while enabled.
    virtual void SetStartCaption(const std::string& caption) = 0;
    virtual void SetStatusText(int panel, const std::string& text) = 0;
    virtual void SetTrayImage(int index) = 0;
    virtual void SetMonitorTimer(bool enabled) = 0;

    // A line was appended to the event log, or the log was cleared.
    virtual void LogAppended(const std::string& line) = 0;
    virtual void LogCleared() = 0;

    // The monitor rows changed (values, captions, rows added or removed).
    virtual void MonitorChanged() = 0;
    // The rows of the three definition lists changed.
    virtual void ListsChanged() = 0;
};

} // namespace kestrune
