// The desktop program: the gateway with its window.
#include "app/SignalPipe.h"
#include "base/Process.h"
#include "base/Settings.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QSocketNotifier>

int main(int argc, char* argv[]) {
    kestrune::ConfigureProcess();
    const int signalFd = kestrune::TSignalPipe::Install();
    QApplication app(argc, argv);
    kestrune::TMainWindow::ConfigureApplication();

    kestrune::TMainWindow window;
    window.Core().mSettingsPath = kestrune::DesktopSettingsPath();

    // SIGINT, SIGTERM and SIGHUP end the program as the close command does,
    // without the question, so that a logout or a service manager does not
    // lose the settings.
    if (signalFd >= 0) {
        auto* notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
            if (kestrune::TSignalPipe::Take().Any())
                window.CloseWithoutAsking();
        });
    }

    window.FormCreate();
    window.show();
    return app.exec();
}
