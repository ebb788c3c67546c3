#include "core/Main.h"

#include "core/base/ByteSize.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kestrune {

namespace {

int64_t SystemMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

TMainForm::TMainForm(IMainView& view)
    : Clock(SystemMilliseconds), mView(view), mFormatSettings(TFormatSettings::FromLocale()) {
    mLog.OnAppend = [this](const std::string& line) { mView.LogAppended(line); };
    mLog.OnClear = [this] { mView.LogCleared(); };
    TMonitorRow total;
    total.Caption = "Total";
    total.Group = TMonitorRow::Total;
    mMonitorRows.push_back(total);
}

TMainForm::~TMainForm() {
    // The services stop (and wait for their threads) before the queue and
    // the log they report to go away.
    for (auto& service : ProxyServers)
        service->Stop();
    for (auto& service : PortMappers)
        service->Stop();
    ProxyServers.clear();
    PortMappers.clear();
    mLog.OnAppend = nullptr;
    mLog.OnClear = nullptr;
}

void TMainForm::FormCreate() {
    mStart = true;
    mTime = 0;
    mView.SetStatusText(0, "00:00:00");
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
    if (mTime > 0)
        mView.SetStatusText(0, GetUptime());
    if (IsMonitorInFront())
        mQueue.Queue([this] { RefreshMonitor(); });
}

void TMainForm::RefreshMonitor() {
    std::array<int64_t, 5> sums{};
    auto write = [this](TMonitorRow& row, const std::array<int64_t, 5>& v) {
        row.Columns[0] = std::to_string(v[0]);
        row.Columns[1] = std::to_string(v[1]);
        row.Columns[2] = std::to_string(v[2]);
        row.Columns[3] = ByteToSize(v[3], true);
        row.Columns[4] = ByteToSize(v[4], false);
    };
    auto visit = [&](std::vector<std::unique_ptr<TService>>& services) {
        for (auto& service : services) {
            if (!service->ServiceEnabled())
                continue;
            const int index = FindMonitorRow(service->ServiceName());
            if (index < 0)
                continue;
            const std::array<int64_t, 5> v{service->mOnline.load(), service->mOnTotal.load(),
                                           service->mDrop.load(), service->mTraf.exchange(0),
                                           service->mTrafTotal.load()};
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
    mQueue.Queue([this, line = mLine] { AppendLogLine(line); });
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
