#include "core/Main.h"

#include "base/ByteSize.h"
#include "base/Settings.h"
#include "core/SettingsCheck.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kestrune {

namespace {

int64_t SystemMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

TMainForm::TMainForm(IMainView& view)
    : Clock(SystemMilliseconds), MonotonicClock(SteadyMilliseconds), mView(view),
      mFormatSettings(TFormatSettings::FromLocale()) {
    mLog.OnAppend = [this](const std::string& line) { mView.LogAppended(line); };
    mLog.OnClear = [this] { mView.LogCleared(); };
    // One hand-over per batch of lines, not one per line.
    mLogQueue.SetWaker([this] { mQueue.Queue([this] { DrainLog(); }); });
    AccessRules.OnChanged = [this] {
        for (auto& mapper : PortMappers)
            mapper->AccessRulesChanged();
        for (auto& server : ProxyServers)
            server->AccessRulesChanged();
    };
    TMonitorRow total;
    total.Caption = "Total";
    total.Group = TMonitorRow::Total;
    mMonitorRows.push_back(total);
}

TMainForm::~TMainForm() {
    // The view may be half gone already; the services stop (and wait for
    // their threads) before the queue and the log they report to go away.
    mLog.OnAppend = nullptr;
    mLog.OnClear = nullptr;
    ProxyServers.clear();
    PortMappers.clear();
}

void TMainForm::FormCreate() {
    mStart = true;
    mTime = 0;
    mView.SetStatusText(0, "00:00:00");
    LoadSettings();
    if (mOptions.Run)
        StartButtonClick();
}

void TMainForm::FormShow() {
    if (mStart)
        mStart = false;
}

bool TMainForm::FormClose() {
    if (mOptions.Confirm && !mView.AskYesNo("Really exit?"))
        return false;
    CloseWithoutAsking();
    return true;
}

void TMainForm::CloseWithoutAsking() {
    if (mRunning)
        StartButtonClick();
    if (mSaveOnExit)
        SaveSettings(false);
}

void TMainForm::StartButtonClick() {
    if (mRunning) {
        mRunning = false;
        mView.SetMonitorTimer(false);
        mTime = 0;
        mView.SetStatusText(0, "00:00:00");
        for (auto& service : ProxyServers)
            if (service->ServiceEnabled())
                service->Stop();
        for (auto& service : PortMappers)
            if (service->ServiceEnabled())
                service->Stop();
        DrainLog(true);
        ZeroMonitorRows();
        mView.SetStartCaption("Start");
        mView.SetTrayImage(0);
        return;
    }
    if (ProxyServers.empty() && PortMappers.empty() && !mStart) {
        mView.ShowError("Nothing to start.");
        return;
    }
    for (auto& service : ProxyServers)
        if (service->ServiceEnabled())
            service->Start();
    for (auto& service : PortMappers)
        if (service->ServiceEnabled())
            service->Start();
    mView.SetStartCaption("Stop");
    mView.SetTrayImage(1);
    mRunning = true;
    mView.SetMonitorTimer(true);
    mTime = Clock();
    mTrafSince = MonotonicClock();
}

std::string TMainForm::GetUptime() const {
    const int64_t s = std::llabs(Clock() - mTime) / 1000;
    const int64_t days = s / 86400;
    int64_t rest = s - days * 86400;
    const int64_t hours = rest / 3600;
    rest -= hours * 3600;
    const int64_t minutes = rest / 60;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2lld:%.2lld:%.2lld", static_cast<long long>(days),
                  static_cast<long long>(hours), static_cast<long long>(minutes));
    return buf;
}

void TMainForm::MonitorTimerTimer() {
    // Collapsed refusals fall due a second after their first line; the
    // tick writes them out when no other line has.
    DrainLog();
    if (mTime > 0)
        mView.SetStatusText(0, GetUptime());
    if (IsMonitorInFront())
        mQueue.Queue([this] { RefreshMonitor(); });
}

void TMainForm::SetActivePage(int page) {
    const bool returning = page == MonitorPage && mActivePage.load() != MonitorPage;
    mActivePage = page;
    if (!returning)
        return;
    // Bytes left over from before the page went away belong to no interval
    // that the next refresh measures.
    mTrafSince = MonotonicClock();
    for (auto& service : ProxyServers)
        service->mTraf.exchange(0);
    for (auto& service : PortMappers)
        service->mTraf.exchange(0);
}

void TMainForm::RefreshMonitor() {
    // The interval's bytes over the time it really lasted: a tick comes
    // about every 2000 ms, but late ticks and a page that just returned make
    // intervals of any length. Each row is rounded on its own and the Total
    // row sums the rows, so that it equals what the rows show.
    const int64_t now = MonotonicClock();
    const int64_t elapsed = std::max<int64_t>(now - mTrafSince, 1);
    mTrafSince = now;
    auto perSecond = [elapsed](int64_t bytes) {
        return static_cast<int64_t>(
            std::llround(static_cast<double>(bytes) * 1000.0 / static_cast<double>(elapsed)));
    };
    std::array<int64_t, 5> sums{};
    auto write = [this](TMonitorRow& row, const std::array<int64_t, 5>& v) {
        row.Columns[0] = std::to_string(v[0]);
        row.Columns[1] = std::to_string(v[1]);
        row.Columns[2] = std::to_string(v[2]);
        row.Columns[3] = ByteToSize(v[3], true);
        row.Columns[4] = ByteToSize(v[4], false);
    };
    auto visit = [&](auto& services) {
        for (auto& service : services) {
            if (!service->ServiceEnabled())
                continue;
            const int index = FindMonitorRow(service->ServiceName());
            if (index < 0)
                continue;
            const std::array<int64_t, 5> v{
                service->mOnline.load(), service->mOnTotal.load(), service->mDrop.load(),
                perSecond(service->mTraf.exchange(0)), service->mTrafTotal.load()};
            write(mMonitorRows[static_cast<std::size_t>(index)], v);
            for (std::size_t i = 0; i < v.size(); ++i)
                sums[i] += v[i];
        }
    };
    visit(ProxyServers);
    visit(PortMappers);
    const int total = FindMonitorRow("Total");
    if (total >= 0)
        write(mMonitorRows[static_cast<std::size_t>(total)], sums);
    mView.MonitorChanged();
}

void TMainForm::LogLine(const std::string& mLine) {
    mLogQueue.Push(mLine);
    // On the main thread the line is appended before the call returns,
    // after the lines that other threads handed over before it.
    if (mQueue.OnMainThread())
        DrainLog();
}

void TMainForm::LogDenied(const std::string& name, const std::string& address,
                          const std::string& peer) {
    LogRefused(name, "Denied", address, peer);
}

void TMainForm::LogRefused(const std::string& name, const std::string& reason,
                           const std::string& address, const std::string& peer) {
    mLogQueue.PushDenied(name, address, peer, reason);
    if (mQueue.OnMainThread())
        DrainLog();
}

void TMainForm::DrainLog(bool all) {
    if (mLogOutside)
        return;
    // The window stamps a line when it appends it, not when it happened.
    std::vector<TLogLine> lines;
    mLogQueue.Take(lines, all);
    for (const auto& line : lines)
        AppendLogLine(line.Text);
}

TLogQueue& TMainForm::HandOverLog() {
    mLogOutside = true;
    mLogQueue.SetWaker(nullptr);
    return mLogQueue;
}

void TMainForm::ClearButtonClick() {
    mQueue.Queue([this] { mLog.Clear(); });
}

std::string TMainForm::FormatNow() const {
    return FormatDateTime(mOptions.Time, TDateTimeParts::Now(), mFormatSettings);
}

void TMainForm::AppendLogLine(const std::string& line) {
    mLog.Append("[" + FormatNow() + "] " + line);
}

bool TMainForm::GetAccessRestriction(const std::string& mOwnHost, const std::string& mRemHost,
                                     int mOwnPort, int mRemPort) {
    return AccessRules.GetAccessRestriction(mOwnHost, mRemHost, mOwnPort, mRemPort);
}

TDestinationVerdict TMainForm::GetDestinationRestriction(const std::string& mOwnHost,
                                                         const std::string& mRemHost, int mOwnPort,
                                                         int mRemPort, const TDestination& ATarget,
                                                         bool ASkipAddressRules) {
    return AccessRules.GetDestinationRestriction(mOwnHost, mRemHost, mOwnPort, mRemPort, ATarget,
                                                 ASkipAddressRules);
}

void TMainForm::LoadSettings() {
    if (mSettingsPath.empty())
        return;
    TIniLoadResult file = TIniFile::Load(mSettingsPath);
    if (file.Status == TIniLoadStatus::Missing)
        return;
    if (file.Status == TIniLoadStatus::Failed) {
        // Keep the file as it is: a permission problem must not turn into an
        // empty file at the next save.
        mSaveBlocked = true;
        LogLine("Settings not loaded: " + file.Reason);
        return;
    }
    TLoadedSettings data =
        ReadSettings(file.File, mOptions, [this](const std::string& line) { LogLine(line); });
    if (mLogSilentSkips)
        for (const std::string& line : SilentlySkippedLines(data))
            LogLine(line);
    mOptions = data.Options;
    for (auto& proxy : data.ProxyServers)
        AddProxyServer(proxy.Settings, std::move(proxy.Row));
    for (auto& mapper : data.PortMappers)
        AddPortMapper(mapper.Settings, std::move(mapper.Row));
    AccessRules.Assign(std::move(data.AccessRules));
    mView.ListsChanged();
    LogLine("Settings loaded");
}

void TMainForm::SaveSettings(bool operatorChange) {
    if (mSettingsPath.empty())
        return;
    if (operatorChange)
        mSaveBlocked = false;
    if (mSaveBlocked) {
        LogLine("Settings not saved: the settings file could not be read at start-up");
        return;
    }
    std::vector<TProxyServerSettings> proxies;
    for (const auto& p : ProxyServers)
        proxies.push_back(*p);
    std::vector<TPortMapperSettings> mappers;
    for (const auto& m : PortMappers)
        mappers.push_back(*m);
    const TAccessRules::TSnapshot rules = AccessRules.Snapshot();
    const TIniFile file = WriteSettings(mOptions, proxies, mappers, *rules);
    if (const auto failure = file.Save(mSettingsPath))
        LogLine("Settings not saved: " + *failure);
    else
        LogLine("Settings saved");
}

TProxyServer& TMainForm::AddProxyServer(const TProxyServerSettings& settings, TListRow row) {
    auto service = std::make_unique<TProxyServer>(*this);
    static_cast<TProxyServerSettings&>(*service) = settings;
    ProxyServers.push_back(std::move(service));
    ProxyRows.push_back(std::move(row));
    AddMonitorRow(settings.mName, TMonitorRow::ProxyServer);
    mView.ListsChanged();
    return *ProxyServers.back();
}

TPortMapper& TMainForm::AddPortMapper(const TPortMapperSettings& settings, TListRow row) {
    auto service = std::make_unique<TPortMapper>(*this);
    static_cast<TPortMapperSettings&>(*service) = settings;
    PortMappers.push_back(std::move(service));
    MapperRows.push_back(std::move(row));
    AddMonitorRow(settings.mName, TMonitorRow::PortMapper);
    mView.ListsChanged();
    return *PortMappers.back();
}

void TMainForm::ClearEntries() {
    ProxyServers.clear();
    PortMappers.clear();
    ProxyRows.clear();
    MapperRows.clear();
    AccessRules.Clear();
    std::erase_if(mMonitorRows,
                  [](const TMonitorRow& row) { return row.Group != TMonitorRow::Total; });
    mView.MonitorChanged();
    mView.ListsChanged();
}

template <typename TService, typename TLoaded>
void TMainForm::Reconcile(std::vector<std::unique_ptr<TService>>& services,
                          std::vector<TListRow>& rows, std::vector<TLoaded>& loaded,
                          std::vector<TService*>& toStart, std::vector<TService*>& restarted,
                          TReloadCount& count) {
    using TSettings = std::remove_reference_t<decltype(loaded.front().Settings)>;
    std::vector<std::unique_ptr<TService>> next;
    for (TLoaded& entry : loaded) {
        auto old = std::find_if(services.begin(), services.end(), [&](const auto& service) {
            return service && service->mName == entry.Settings.mName;
        });
        if (old == services.end()) {
            auto service = std::make_unique<TService>(*this);
            static_cast<TSettings&>(*service) = entry.Settings;
            toStart.push_back(service.get());
            next.push_back(std::move(service));
            ++count.Started;
            continue;
        }
        std::unique_ptr<TService> service = std::move(*old);
        if (static_cast<const TSettings&>(*service) == entry.Settings) {
            // A service that could not listen before gets another try.
            if (!service->Listening())
                toStart.push_back(service.get());
            ++count.Unchanged;
        } else {
            service->Stop();
            static_cast<TSettings&>(*service) = entry.Settings;
            if (service->ServiceEnabled()) {
                toStart.push_back(service.get());
                restarted.push_back(service.get());
                ++count.Restarted;
            } else {
                ++count.Stopped;
            }
        }
        next.push_back(std::move(service));
    }
    // What is left has no section any more.
    for (auto& service : services)
        if (service) {
            service->Stop();
            ++count.Stopped;
        }
    services = std::move(next);
    rows.clear();
    for (TLoaded& entry : loaded)
        rows.push_back(std::move(entry.Row));
}

bool TMainForm::ReloadSettings() {
    // A file without an options section keeps the window's options, but
    // the metrics address is the file's to give: without it, none.
    TOptions options = mOptions;
    options.Metrics.clear();
    TSettingsCheck check = CheckSettingsFile(mSettingsPath, options);
    for (const std::string& line : check.Lines)
        LogLine(line);
    if (!check.Problem.empty()) {
        LogLine("Settings not reloaded: " + check.Problem);
        return false;
    }
    mOptions = check.Data.Options;
    // New services are guarded by the new rules from their first client;
    // connections already admitted stay.
    AccessRules.Assign(std::move(check.Data.AccessRules));
    // Everything that goes away or changes stops before anything starts, so
    // that a port handed from one service to another is free.
    TReloadCount count;
    std::vector<TProxyServer*> proxiesToStart, proxiesRestarted;
    std::vector<TPortMapper*> mappersToStart, mappersRestarted;
    Reconcile(ProxyServers, ProxyRows, check.Data.ProxyServers, proxiesToStart, proxiesRestarted,
              count);
    Reconcile(PortMappers, MapperRows, check.Data.PortMappers, mappersToStart, mappersRestarted,
              count);
    auto start = [this](const auto& services) {
        for (auto* service : services)
            if (mRunning && service->ServiceEnabled())
                service->Start();
    };
    start(proxiesToStart);
    start(mappersToStart);
    for (auto* service : proxiesRestarted)
        LogLine("[" + service->mName + "] Restarted");
    for (auto* service : mappersRestarted)
        LogLine("[" + service->mName + "] Restarted");

    std::erase_if(mMonitorRows,
                  [](const TMonitorRow& row) { return row.Group != TMonitorRow::Total; });
    for (const auto& service : ProxyServers)
        AddMonitorRow(service->mName, TMonitorRow::ProxyServer);
    for (const auto& service : PortMappers)
        AddMonitorRow(service->mName, TMonitorRow::PortMapper);
    mView.ListsChanged();
    LogLine("Settings reloaded: " + std::to_string(count.Unchanged) + " unchanged, " +
            std::to_string(count.Restarted) + " restarted, " + std::to_string(count.Stopped) +
            " stopped, " + std::to_string(count.Started) + " started");
    return true;
}

TMainForm::TEntrySnapshot TMainForm::Entries() const {
    TEntrySnapshot out;
    // Rows and services are kept in the same order under the same names.
    for (std::size_t i = 0; i < ProxyRows.size(); ++i) {
        const auto& row = ProxyRows[i];
        out.Proxies.push_back({row.Columns[0], row.Columns[1], row.Columns[2]});
        if (i < ProxyServers.size() && ProxyServers[i]->mName == row.Caption())
            out.Proxies.back().mVia = ProxyServers[i]->mVia;
    }
    for (std::size_t i = 0; i < MapperRows.size(); ++i) {
        const auto& row = MapperRows[i];
        out.Mappers.push_back({row.Columns[0], row.Columns[1], row.Columns[2]});
        if (i < PortMappers.size() && PortMappers[i]->mName == row.Caption()) {
            const TPortMapper& mapper = *PortMappers[i];
            out.Mappers.back().mVia = mapper.mVia;
            out.Mappers.back().mMapHost = mapper.mMapHost;
            out.Mappers.back().mMapPort = std::to_string(mapper.mMapPort);
        }
    }
    out.Rules = AccessRules.Snapshot();
    return out;
}

template <typename TList>
void TMainForm::DeleteService(TList& services, std::vector<TListRow>& rows,
                              const std::optional<std::string>& selected, const char* noneSelected,
                              const char* notFound) {
    if (!selected) {
        mView.ShowError(noneSelected);
        return;
    }
    auto it = std::find_if(services.begin(), services.end(),
                           [&](const auto& s) { return s->mName == *selected; });
    if (it == services.end()) {
        mView.ShowError(notFound);
        return;
    }
    services.erase(it); // the destructor stops a listening service first
    RemoveMonitorRow(*selected);
    auto row = std::find_if(rows.begin(), rows.end(),
                            [&](const TListRow& r) { return r.Caption() == *selected; });
    if (row != rows.end())
        rows.erase(row);
    mView.ListsChanged();
    SaveSettings();
}

template <typename TList>
void TMainForm::DropService(TList& services, const std::optional<std::string>& selected,
                            const char* noneSelected, const char* notFound) {
    if (!selected) {
        mView.ShowError(noneSelected);
        return;
    }
    for (auto& service : services)
        if (service->mName == *selected) {
            service->Drop();
            return;
        }
    mView.ShowError(notFound);
}

void TMainForm::DeleteProxyServer(const std::optional<std::string>& selected) {
    DeleteService(ProxyServers, ProxyRows, selected, "No proxy server selected.",
                  "Proxy server not found.");
}

void TMainForm::DeletePortMapper(const std::optional<std::string>& selected) {
    DeleteService(PortMappers, MapperRows, selected, "No port mapper selected.",
                  "Port mapper not found.");
}

void TMainForm::DropProxyServer(const std::optional<std::string>& selected) {
    DropService(ProxyServers, selected, "No proxy server selected.", "Proxy server not found.");
}

void TMainForm::DropPortMapper(const std::optional<std::string>& selected) {
    DropService(PortMappers, selected, "No port mapper selected.", "Port mapper not found.");
}

int TMainForm::FindMonitorRow(const std::string& caption) const {
    for (std::size_t i = 0; i < mMonitorRows.size(); ++i)
        if (mMonitorRows[i].Caption == caption)
            return static_cast<int>(i);
    return -1;
}

void TMainForm::AddMonitorRow(const std::string& caption, TMonitorRow::TGroup group) {
    TMonitorRow row;
    row.Caption = caption;
    row.Group = group;
    mMonitorRows.push_back(row);
    mView.MonitorChanged();
}

void TMainForm::RemoveMonitorRow(const std::string& caption) {
    const int index = FindMonitorRow(caption);
    if (index < 0)
        return;
    mMonitorRows.erase(mMonitorRows.begin() + index);
    mView.MonitorChanged();
}

void TMainForm::RenameMonitorRow(const std::string& from, const std::string& to) {
    const int index = FindMonitorRow(from);
    if (index < 0)
        return;
    mMonitorRows[static_cast<std::size_t>(index)].Caption = to;
    mView.MonitorChanged();
}

void TMainForm::RenameAndZeroMonitorRow(const std::string& from, const std::string& to) {
    const int index = FindMonitorRow(from);
    if (index < 0)
        return;
    TMonitorRow& row = mMonitorRows[static_cast<std::size_t>(index)];
    row.Caption = to;
    row.Columns = TMonitorRow{}.Columns;
    mView.MonitorChanged();
}

void TMainForm::ZeroMonitorRows() {
    for (auto& row : mMonitorRows)
        row.Columns = {"0", "0", "0", "0 B/s", "0 B"};
    mView.MonitorChanged();
}

int TMainForm::GetProxyServer(const std::string& mName) const {
    for (std::size_t i = 0; i < ProxyServers.size(); ++i)
        if (ProxyServers[i]->ServiceName() == mName)
            return static_cast<int>(i);
    return -1;
}

int TMainForm::GetPortMapper(const std::string& mName) const {
    for (std::size_t i = 0; i < PortMappers.size(); ++i)
        if (PortMappers[i]->ServiceName() == mName)
            return static_cast<int>(i);
    return -1;
}

std::string TMainForm::ByteToSize(int64_t mByte, bool mSec) const {
    return kestrune::ByteToSize(mByte, mSec, mFormatSettings.DecimalSeparator);
}

} // namespace kestrune
