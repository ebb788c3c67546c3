// kestruned: the gateway without a window. It loads a settings file, starts
// every enabled service, prints the event log to standard output, reloads on
// SIGHUP and stops cleanly on SIGINT or SIGTERM. It never rewrites the file.
#include "app/SignalPipe.h"
#include "base/Process.h"
#include "base/Settings.h"
#include "core/Main.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace kestrune;

// The event log goes to standard output, one line per event, flushed after
// each batch of lines the main loop takes from the queue; the questions the
// window would ask have their safe answers.
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
    void LogAppended(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
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
               "\n"
               "Runs the Kestrune gateway without a window: loads SETTINGS_FILE (by default\n"
               "Kestrune.ini beside this program), starts every enabled proxy server and port\n"
               "mapper, and prints the event log to standard output.\n"
               "With no settings file at all it serves one SOCKS5 proxy server, \"Default\",\n"
               "on 127.0.0.1 port 1080.\n"
               "\n"
               "SIGHUP reloads the file (stop all, load, start all); SIGINT or SIGTERM stops\n"
               "every service and exits with status 0. The file is never rewritten: edit it\n"
               "with the desktop program kestrune or by hand.\n",
               out);
}

// Starts what the settings define (the default server when there is no file).
void Load(TMainForm& core, TConsoleView& view) {
    if (!Exists(core.mSettingsPath)) {
        view.LogAppended("No settings file at " + core.mSettingsPath +
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
    std::fflush(stdout);
}

// The longest a log line waits in the queue while lines keep coming.
constexpr int LogBatchMilliseconds = 5;

} // namespace

int main(int argc, char** argv) {
    ConfigureProcess();
    const int signalFd = TSignalPipe::Install();
    std::setlocale(LC_ALL, "");
    if (argc > 2 ||
        (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
        Usage(argc > 2 ? stderr : stdout);
        return argc > 2 ? 2 : 0;
    }

    TConsoleView view;
    TMainForm core(view);
    core.mSaveOnExit = false;
    core.mSettingsPath = argc == 2 ? argv[1] : SettingsPathBesideExecutable();

    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    core.MainQueue().SetWaker([wake] {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    });

    Load(core, view);
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (poll(fds, signalFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(wake, &count, sizeof count);
            const bool busy = core.MainQueue().Drain() > 0;
            std::fflush(stdout);
            // Under load, lines arrive in a stream: gather them for a few
            // milliseconds instead of being woken for each one (a signal
            // still ends the pause at once). Idle, the loop blocks as before.
            if (busy) {
                pollfd pause{signalFd, POLLIN, 0};
                poll(&pause, signalFd >= 0 ? 1 : 0, LogBatchMilliseconds);
            }
        }
        if (signalFd >= 0 && fds[1].revents) {
            const int sig = TSignalPipe::Take();
            if (sig == SIGHUP) {
                if (core.Running())
                    core.StartButtonClick();
                core.ClearEntries();
                Load(core, view);
            } else if (sig != 0) {
                break;
            }
        }
    }
    core.CloseWithoutAsking();
    // Lines that connection threads handed over before they ended.
    while (core.MainQueue().Drain() > 0) {
    }
    std::fflush(stdout);
    return 0;
}
