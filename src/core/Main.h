// TMainForm: the owner of all application state, without any drawing.
//
// The Qt window and the headless gateway are views over it. Everything here
// runs on the main thread, except LogLine and the IServiceHost methods,
// which connection threads call and which never wait for the main thread.
#pragma once

#include "access/AccessRules.h"
#include "base/EventLog.h"
#include "base/LogQueue.h"
#include "base/MainThreadQueue.h"
#include "base/Options.h"
#include "base/ServiceHost.h"
#include "base/TimeFormat.h"
#include "base/Validation.h"
#include "core/MainView.h"
#include "mapper/PortMapper.h"
#include "proxy/ProxyServer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

// One row of the traffic monitor table: caption and the five figures.
struct TMonitorRow {
    enum TGroup { ProxyServer = 0, PortMapper = 1, Total = 2 };
    std::string Caption;
    TGroup Group = Total;
    std::array<std::string, 5> Columns{"0", "0", "0", "0 B/s", "0 B"};
};

class TMainForm : public IServiceHost {
public:
    static constexpr int MonitorPage = 3;
    static constexpr int MonitorInterval = 2000; // ms

    explicit TMainForm(IMainView& view);
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Start-up: mStart true, mTime 0, the settings loaded, Start/Stop when
    // "Run on start" is set. The view applies the window options after it.
    void FormCreate();
    void FormShow();
    // True when the window may close: asks "Really exit?" when "Confirm on
    // exit" is set, then stops what runs and saves the settings.
    bool FormClose();
    // The same without the question (a signal from the session or a service
    // manager asked the program to end).
    void CloseWithoutAsking();

    void StartButtonClick();
    bool Running() const { return mRunning; }
    std::string GetUptime() const;
    void MonitorTimerTimer();
    void RefreshMonitor();

    // Callable from any thread; the window's time stamp is taken when the
    // main thread appends the line (a log handed over keeps the moment of
    // each call). Lines reach the main thread through a bounded queue in
    // which a peer's repeated refusals collapse (LogDenied).
    void LogLine(const std::string& mLine) override;
    void LogDenied(const std::string& name, const std::string& address,
                   const std::string& peer) override;
    void LogRefused(const std::string& name, const std::string& reason, const std::string& address,
                    const std::string& peer) override;
    // Appends what the log queue holds that is due (with `all`, the
    // refusals still being collapsed too). Main thread.
    void DrainLog(bool all = false);
    // For a program that writes the log out itself, on a thread of its own
    // (kestruned): the lines then stay in the returned queue for that
    // thread to take, and the event log keeps no copy of them.
    TLogQueue& HandOverLog();
    bool GetAccessRestriction(const std::string& mOwnHost, const std::string& mRemHost,
                              int mOwnPort, int mRemPort) override;
    // From the snapshot of the rules at the call; any thread.
    TDestinationVerdict GetDestinationRestriction(const std::string& mOwnHost,
                                                  const std::string& mRemHost, int mOwnPort,
                                                  int mRemPort, const TDestination& ATarget,
                                                  bool ASkipAddressRules) override;
    void Queue(std::function<void()> work) override { mQueue.Queue(std::move(work)); }
    void ClearButtonClick();
    std::string FormatNow() const;

    // Bringing the monitor page to the front starts a new traffic interval:
    // the services counted nothing while it was away.
    void SetActivePage(int page);
    int ActivePage() const { return mActivePage; }
    bool IsMonitorInFront() const override { return mActivePage.load() == MonitorPage; }

    // The monitor rows, Total included, in row order.
    const std::vector<TMonitorRow>& MonitorRows() const { return mMonitorRows; }
    int FindMonitorRow(const std::string& caption) const;
    void AddMonitorRow(const std::string& caption, TMonitorRow::TGroup group);
    void RemoveMonitorRow(const std::string& caption);
    void RenameMonitorRow(const std::string& from, const std::string& to);
    void ZeroMonitorRows();
    // Gives the first row of that caption a new caption and zero figures.
    void RenameAndZeroMonitorRow(const std::string& from, const std::string& to);

    // The settings file: read once at start-up, rewritten after every change.
    // A file that exists but cannot be read is not overwritten by a save
    // until the operator has changed something (operatorChange).
    void LoadSettings();
    void SaveSettings(bool operatorChange = true);
    std::string mSettingsPath;
    bool mSaveOnExit = true; // the headless gateway never rewrites its file
    // The window skips a section with a bad address or port silently; the
    // headless gateway, whose operator sees nothing but the log, says so.
    bool mLogSilentSkips = false;

    // Delete and Drop of the service pages; `selected` is the caption of the
    // selected row, none when no row is selected.
    void DeleteProxyServer(const std::optional<std::string>& selected);
    void DeletePortMapper(const std::optional<std::string>& selected);
    void DropProxyServer(const std::optional<std::string>& selected);
    void DropPortMapper(const std::optional<std::string>& selected);

    // Removes every service (stopping it), list row, monitor row but Total,
    // and access rule: the state before loading.
    void ClearEntries();

    // Reads the settings file again while the services run and applies only
    // the difference: an unchanged service keeps running with its
    // connections, a changed one is stopped and started with its new
    // settings, a removed one stops, a new one starts, and the access rules
    // are replaced in one step. A file that is missing, unreadable, empty or
    // has a section that its checks refuse changes nothing; the log says
    // why. Returns whether the file was applied.
    bool ReloadSettings();

    // Adds a service with its list row and monitor row.
    TProxyServer& AddProxyServer(const TProxyServerSettings& settings, TListRow row);
    TPortMapper& AddPortMapper(const TPortMapperSettings& settings, TListRow row);

    // The entries as the conflict rules see them (list rows and rules, with
    // the services' upstreams for the forwarding check).
    struct TEntrySnapshot {
        std::vector<TServiceEntry> Proxies;
        std::vector<TServiceEntry> Mappers;
        TAccessRules::TSnapshot Rules;
        TEntryLists View() const { return {Proxies, Mappers, *Rules}; }
    };
    TEntrySnapshot Entries() const;

    int GetProxyServer(const std::string& mName) const;
    int GetPortMapper(const std::string& mName) const;
    std::string ByteToSize(int64_t mByte, bool mSec) const;

    MainThreadQueue& MainQueue() { return mQueue; }
    TEventLog& Log() { return mLog; }
    TOptions& Options() { return mOptions; }
    TFormatSettings& FormatSettings() { return mFormatSettings; }

    // Milliseconds since the epoch; replaceable so that tests can move time.
    std::function<int64_t()> Clock;
    // Milliseconds of a clock that never jumps, for the traffic rate (the
    // wall clock may be set back or forward between two refreshes).
    std::function<int64_t()> MonotonicClock;

    bool mStart = true;
    int64_t mTime = 0; // ms since the epoch of the last start, 0 while stopped

    std::vector<std::unique_ptr<TProxyServer>> ProxyServers;
    std::vector<std::unique_ptr<TPortMapper>> PortMappers;
    // The rows of the proxy server and port mapper lists, in list order.
    std::vector<TListRow> ProxyRows;
    std::vector<TListRow> MapperRows;
    // The access list is the store of the rules.
    TAccessRules AccessRules;

private:
    void AppendLogLine(const std::string& line);
    template <typename TList>
    void DeleteService(TList& services, std::vector<TListRow>& rows,
                       const std::optional<std::string>& selected, const char* noneSelected,
                       const char* notFound);
    struct TReloadCount {
        int Unchanged = 0, Restarted = 0, Stopped = 0, Started = 0;
    };
    template <typename TService, typename TLoaded>
    void Reconcile(std::vector<std::unique_ptr<TService>>& services, std::vector<TListRow>& rows,
                   std::vector<TLoaded>& loaded, std::vector<TService*>& toStart,
                   std::vector<TService*>& restarted, TReloadCount& count);
    template <typename TList>
    void DropService(TList& services, const std::optional<std::string>& selected,
                     const char* noneSelected, const char* notFound);

    bool mSaveBlocked = false;

    IMainView& mView;
    MainThreadQueue mQueue;
    TLogQueue mLogQueue;
    bool mLogOutside = false;
    TEventLog mLog;
    TOptions mOptions;
    TFormatSettings mFormatSettings;
    std::vector<TMonitorRow> mMonitorRows;
    bool mRunning = false; // the monitor timer's enabled state
    // MonotonicClock at the start of the current traffic interval: the
    // start, the previous refresh, or the monitor page's return to the front.
    int64_t mTrafSince = 0;
    std::atomic<int> mActivePage{0};
};

} // namespace kestrune
