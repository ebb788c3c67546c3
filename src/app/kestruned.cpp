// kestruned: the gateway without a window. It loads a settings file, starts
// every enabled service, prints the event log to standard output (in the
// journal's form when that is where it goes), reloads on SIGHUP by applying
// only what changed, serves its counters to Prometheus when asked to, tells
// systemd how it is doing, and stops cleanly on SIGINT or SIGTERM. It never
// rewrites the file.
#include "app/LogWriter.h"
#include "app/MetricsServer.h"
#include "app/SignalPipe.h"
#include "base/Process.h"
#include "base/Settings.h"
#include "base/Version.h"
#include "core/Main.h"
#include "core/SettingsCheck.h"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace kestrune;

// The questions the window would ask have their safe answers; the event log
// does not pass through here (the log writer prints it).
class TConsoleView : public IMainView {
public:
    void ShowError(const std::string& text) override {
        std::fprintf(stderr, "kestruned: %s\n", text.c_str());
    }
    bool AskYesNo(const std::string&) override { return true; }
    void SetStartCaption(const std::string&) override {}
    void SetStatusText(int, const std::string&) override {}
    void SetTrayImage(int) override {}
    void SetMonitorTimer(bool) override {}
    void LogAppended(const std::string&) override {}
    void LogCleared() override {}
    void MonitorChanged() override {}
    void ListsChanged() override {}
};

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void Usage(FILE* out) {
    std::fputs("Usage: kestruned [SETTINGS_FILE]\n"
               "       kestruned --check SETTINGS_FILE\n"
               "       kestruned --version\n"
               "\n"
               "Runs the Kestrune gateway without a window: loads SETTINGS_FILE (by default\n"
               "Kestrune.ini beside this program), starts every enabled proxy server and port\n"
               "mapper, and prints the event log to standard output.\n"
               "With no settings file at all it serves one SOCKS5 proxy server, \"Default\",\n"
               "on 127.0.0.1 port 1080.\n"
               "\n"
               "SIGHUP reloads the file: services whose section did not change keep running\n"
               "with their connections, changed ones restart, removed ones stop, new ones\n"
               "start. A file that cannot be read, is empty or has a section that its checks\n"
               "refuse changes nothing. SIGINT or SIGTERM stops every service and exits with\n"
               "status 0. The file is never rewritten.\n"
               "\n"
               "--check reads SETTINGS_FILE, prints what loading it would log and a summary,\n"
               "and exits 0 when a reload would take it, 1 when not.\n"
               "\n"
               "Metrics=HOST:PORT in the [Kestrune] section serves the counters at\n"
               "http://HOST:PORT/metrics (Prometheus text format) to anyone who can reach\n"
               "that address: use a loopback or management address.\n",
               out);
}

int Check(const std::string& path) {
    const TSettingsCheck check = CheckSettingsFile(path, TOptions{});
    for (const std::string& line : check.Lines)
        std::printf("%s\n", line.c_str());
    if (!check.Problem.empty()) {
        std::printf("Not OK: %s\n", check.Problem.c_str());
        return 1;
    }
    std::printf("OK: %zu proxy servers, %zu port mappers, %zu access rules\n",
                check.Data.ProxyServers.size(), check.Data.PortMappers.size(),
                check.Data.AccessRules.size());
    return 0;
}

// Starts what the settings define (the default server when there is no file).
void Load(TMainForm& core) {
    if (!Exists(core.mSettingsPath)) {
        core.LogLine("No settings file at " + core.mSettingsPath +
                     ": serving the SOCKS5 proxy server \"Default\" on 127.0.0.1 port 1080");
        TProxyServerSettings settings;
        settings.mName = "Default";
        settings.mHost = "127.0.0.1";
        settings.mPort = 1080;
        core.AddProxyServer(settings, ProxyServerRow(settings));
    }
    core.FormCreate();
    if (!core.Running())
        core.StartButtonClick();
    core.FormShow();
}

// What systemd shows as the service's status line.
std::string Status(const TMainForm& core) {
    int running = 0;
    int64_t open = 0;
    auto count = [&](const auto& services) {
        for (const auto& service : services) {
            running += service->Listening() ? 1 : 0;
            open += service->mOnline;
        }
    };
    count(core.ProxyServers);
    count(core.PortMappers);
    return "STATUS=" + std::to_string(running) + (running == 1 ? " service" : " services") +
           " running, " + std::to_string(open) + (open == 1 ? " connection" : " connections") +
           " open";
}

void Notify(const std::string& state) {
    sd_notify(0, state.c_str());
}

// systemd 253 and later expect the moment a reload began.
void NotifyReloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

// Serves the metrics where the options say, when that changed or could
// not be opened before.
void OpenMetrics(TMainForm& core, TMetricsServer& metrics, std::string& servedAt) {
    const std::string& wanted = core.Options().Metrics;
    if (wanted == servedAt && (wanted.empty() || metrics.IsOpen()))
        return;
    metrics.Close();
    servedAt = wanted;
    if (wanted.empty())
        return;
    const auto address = ParseHostPort(wanted);
    if (!address) {
        core.LogLine("Metrics not served: " + wanted + " is not HOST:PORT");
        return;
    }
    const std::string why = metrics.Open(*address);
    if (!why.empty())
        core.LogLine("Metrics not served: " + wanted + ": " + why);
    else
        core.LogLine("Metrics served at http://" + metrics.BoundAddress() + "/metrics");
}

// A refreshed status line at most this often.
constexpr auto StatusInterval = std::chrono::seconds(10);
// How long the last lines may take to reach a slow output at exit.
constexpr auto FlushLimit = std::chrono::milliseconds(1000);

} // namespace

int main(int argc, char** argv) {
    ConfigureProcess();
    const int signalFd = TSignalPipe::InstallBlocked();
    std::setlocale(LC_ALL, "");
    const std::string first = argc >= 2 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        Usage(stdout);
        return 0;
    }
    if (first == "--version" && argc == 2) {
        std::printf("kestruned %s\n", KestruneVersion);
        return 0;
    }
    if (first == "--check" && argc == 3)
        return Check(argv[2]);
    if (argc > 2 || first.rfind("-", 0) == 0) {
        Usage(stderr);
        return 2;
    }

    TConsoleView view;
    TMainForm core(view);
    core.mSaveOnExit = false;
    core.mLogSilentSkips = true;
    core.mSettingsPath = argc == 2 ? argv[1] : SettingsPathBesideExecutable();
    TLogWriter writer(core.HandOverLog(), STDOUT_FILENO, core.FormatSettings(),
                      TLogWriter::IsJournalStream(STDOUT_FILENO) ? TLogWriter::TForm::Journal
                                                                 : TLogWriter::TForm::Stamped);

    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    core.MainQueue().SetWaker([wake] {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    });

    // The lines of the load wait in the queue and are stamped in the
    // format the file gives.
    Load(core);
    writer.SetTimeFormat(core.Options().Time);
    writer.Start();
    TMetricsServer metrics([&core] { return RenderMetrics(core); });
    std::string metricsAt;
    OpenMetrics(core, metrics, metricsAt);
    std::string status = Status(core);
    Notify("READY=1\n" + status);
    auto statusDue = std::chrono::steady_clock::now() + StatusInterval;

    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{wake, POLLIN, 0}, {signalFd, POLLIN, 0}});
        int timeout = metrics.Prepare(fds);
        const auto untilStatus = std::chrono::ceil<std::chrono::milliseconds>(
                                     statusDue - std::chrono::steady_clock::now())
                                     .count();
        const int statusMs = static_cast<int>(std::max<int64_t>(untilStatus, 0));
        if (timeout < 0 || statusMs < timeout)
            timeout = statusMs;
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wake, &count, sizeof count);
            core.MainQueue().Drain();
        }
        metrics.Handle(fds.data() + 2);
        if (std::chrono::steady_clock::now() >= statusDue) {
            statusDue = std::chrono::steady_clock::now() + StatusInterval;
            if (const std::string now = Status(core); now != status) {
                status = now;
                Notify(status);
            }
        }
        if (fds[1].revents) {
            // A stop wins over a reload that came with it, before or after.
            const TSignalPipe::TRequests requests = TSignalPipe::Take();
            if (requests.Stop)
                break;
            if (requests.Reload) {
                NotifyReloading();
                core.ReloadSettings();
                writer.SetTimeFormat(core.Options().Time);
                OpenMetrics(core, metrics, metricsAt);
                status = Status(core);
                Notify("READY=1\n" + status);
            }
        }
    }
    Notify("STOPPING=1");
    metrics.Close();
    // Services stop first; then the log gets a moment to reach the output.
    core.CloseWithoutAsking();
    while (core.MainQueue().Drain() > 0) {
    }
    if (!writer.Finish(FlushLimit)) {
        // The output does not take the last lines: they are given up rather
        // than holding the exit (the writer is still blocked in a write).
        _exit(0);
    }
    return 0;
}
