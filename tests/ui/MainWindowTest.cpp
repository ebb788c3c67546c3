#include "ui/AccessDialog.h"
#include "ui/MainWindow.h"
#include "ui/MapperDialog.h"
#include "ui/ProxyDialog.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QEnterEvent>
#include <QMap>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <thread>

using namespace kestrune;

namespace {

// A window on a desktop that has a tray.
class TTrayWindow : public TMainWindow {
protected:
    bool SystemTrayAvailable() const override { return true; }
};

// Every control with a hint in AWindow, by object name.
QMap<QString, QString> Hints(QWidget* AWindow) {
    QMap<QString, QString> hints;
    for (QWidget* child : AWindow->findChildren<QWidget*>()) {
        if (!child->statusTip().isEmpty() && !child->objectName().isEmpty())
            hints[child->objectName()] = child->statusTip();
    }
    return hints;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QStringList Messages;
    int Answer = 0;

    void Hook(TMainWindow& w) {
        w.MessageHook = [this](const QString& text, bool question) {
            Messages << text;
            return question ? Answer : 0;
        };
    }

private slots:
    void init() { Messages.clear(); }

    void WindowFrameAndCaptions() {
        TMainWindow w;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.size(), QSize(681, 496));
        QVERIFY(w.windowTitle().startsWith("Kestrune - "));
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        QVERIFY(pages);
        QStringList captions;
        for (int i = 0; i < pages->count(); ++i)
            captions << pages->tabText(i);
        QCOMPARE(captions, (QStringList{"Proxy server", "Port mapper", "Access restriction",
                                        "Traffic monitor", "Settings manager", "About Kestrune"}));
        QCOMPARE(pages->geometry(), QRect(8, 8, 667, 433));
        auto* start = w.findChild<QPushButton*>("StartButton");
        QCOMPARE(start->text(), QString("Start"));
        QCOMPARE(start->geometry(), QRect(7, 447, 667, 23));
        QCOMPARE(w.findChild<QLabel*>("StatusPanel0")->text(), QString("00:00:00"));
        QCOMPARE(w.findChild<QLabel*>("ApplicationLabel")->text(),
                 QString("Kestrune ") + KestruneVersion);
        QVERIFY(w.findChild<QLabel*>("CopyrightLabel")
                    ->text()
                    .contains(QString::number(QDate::currentDate().year())));
        auto* memo = w.findChild<QPlainTextEdit*>("LogMemo");
        QVERIFY(memo->isReadOnly());
        QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::NoWrap);
        auto* clear = w.findChild<QToolButton*>("ClearButton");
        QCOMPARE(clear->text(), QString("<"));
        QCOMPARE(clear->statusTip(), QString("Clear log"));
        QVERIFY(clear->toolTip().isEmpty());
    }

    void StartWithNothingDefinedShowsTheMessage() {
        TMainWindow w;
        Hook(w);
        w.Core().Options().Run = false;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* start = w.findChild<QPushButton*>("StartButton");
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(Messages, QStringList{"Nothing to start."});
        QCOMPARE(start->text(), QString("Start"));
    }

    void RunOnStartShowsStopAndCountsUptime() {
        TMainWindow w;
        Hook(w);
        w.Core().Options().Run = true;
        w.FormCreate();
        w.show();
        auto* start = w.findChild<QPushButton*>("StartButton");
        QCOMPARE(start->text(), QString("Stop"));
        QVERIFY(Messages.isEmpty());
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(start->text(), QString("Start"));
        QCOMPARE(w.findChild<QLabel*>("StatusPanel0")->text(), QString("00:00:00"));
    }

    void LogLinesFromAWorkerReachTheMemo() {
        TMainWindow w;
        w.FormCreate();
        w.show();
        std::thread([&w] { w.Core().LogLine("from a worker"); }).join();
        auto* memo = w.findChild<QPlainTextEdit*>("LogMemo");
        QTRY_VERIFY(memo->toPlainText().endsWith("] from a worker"));
        QTest::mouseClick(w.findChild<QToolButton*>("ClearButton"), Qt::LeftButton);
        QVERIFY(memo->toPlainText().isEmpty());
    }

    void CloseAsksWhenConfirmIsChecked() {
        TMainWindow w;
        Hook(w);
        w.FormCreate();
        w.show();
        QVERIFY(w.findChild<QCheckBox*>("ConfirmCheckBox")->isChecked());
        Answer = QMessageBox::No;
        QVERIFY(!w.close());
        QCOMPARE(Messages, QStringList{"Really exit?"});
        QVERIFY(w.isVisible());
        Answer = QMessageBox::Yes;
        QVERIFY(w.close());
        QVERIFY(!w.isVisible());
    }

    void CloseWithoutConfirmDoesNotAsk() {
        TMainWindow w;
        Hook(w);
        w.FormCreate();
        w.show();
        w.findChild<QCheckBox*>("ConfirmCheckBox")->setChecked(false);
        QVERIFY(w.close());
        QVERIFY(Messages.isEmpty());
    }

    // Every hint of every window, exactly as written; each reaches status bar
    // panel 1 when the mouse enters its control and leaves it empty when the
    // mouse leaves; no control has a tool-tip.
    void EveryHintOfEveryWindowGoesToTheStatusBarOnly() {
        TMainWindow w;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString dropAll = "Drop all connections";
        const QMap<QString, QString> mainHints = {
            {"NewProxyButton", "New proxy server"},
            {"EditProxyButton", "Edit proxy server"},
            {"DeleteProxyButton", "Delete proxy server"},
            {"DropProxyButton", dropAll},
            {"NewMapperButton", "New port mapper"},
            {"EditMapperButton", "Edit port mapper"},
            {"DeleteMapperButton", "Delete port mapper"},
            {"DropMapperButton", dropAll},
            {"NewAccessButton", "New access restriction"},
            {"EditAccessButton", "Edit access restriction"},
            {"DeleteAccessButton", "Delete access restriction"},
            {"UpAccessButton", "Move up rule"},
            {"DownAccessButton", "Move down rule"},
            {"ClearButton", "Clear log"},
            {"WebsiteButton", "Visit website"},
        };
        QCOMPARE(Hints(&w), mainHints);

        const QMap<QString, QString> spinnerHints = {
            {"QueueLabeledEdit", "Listening queue limit"},
            {"WaitLabeledEdit", "Timeout time in seconds"},
            {"BufferLabeledEdit", "Buffer size in KB"},
            {"LimitLabeledEdit", "Maximum number of connections"},
        };
        QMap<QString, QString> proxyHints = spinnerHints;
        proxyHints["UsernameLabeledEdit"] = "Authorization username or empty for none";
        proxyHints["PasswordLabeledEdit"] = "Authorization password or empty for none";
        // Labels and spinners of a field carry its hint too, so that it shows
        // wherever on the field the mouse is.
        auto fieldsOnly = [](QWidget* AWindow) {
            QMap<QString, QString> hints = Hints(AWindow);
            for (auto it = hints.begin(); it != hints.end();) {
                if (it.key().endsWith("LabeledEdit"))
                    ++it;
                else
                    it = hints.erase(it);
            }
            return hints;
        };
        QCOMPARE(fieldsOnly(&w.ProxyForm()), proxyHints);
        QCOMPARE(fieldsOnly(&w.MapperForm()), spinnerHints);
        QVERIFY(Hints(&w.AccessForm()).isEmpty());

        auto* panel = w.findChild<QLabel*>("StatusPanel1");
        for (QWidget* window : {static_cast<QWidget*>(&w), static_cast<QWidget*>(&w.ProxyForm()),
                                static_cast<QWidget*>(&w.MapperForm()),
                                static_cast<QWidget*>(&w.AccessForm())}) {
            for (QWidget* child : window->findChildren<QWidget*>()) {
                QVERIFY2(child->toolTip().isEmpty(), qPrintable(child->objectName()));
                if (child->statusTip().isEmpty())
                    continue;
                QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
                QCoreApplication::sendEvent(child, &enter);
                QCOMPARE(panel->text(), child->statusTip());
                QEvent leave(QEvent::Leave);
                QCoreApplication::sendEvent(child, &leave);
                QCOMPARE(panel->text(), QString());
            }
        }
    }

    // Without a tray the icon never shows and hiding on minimise is not
    // offered: a hidden window could not be brought back.
    void WithoutATrayMinimiseNeverHides() {
        TMainWindow w;
        w.Core().Options().Hide = true;
        w.Core().Options().Tray = true;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        if (QSystemTrayIcon::isSystemTrayAvailable())
            QSKIP("this desktop has a tray");
        auto* hide = w.findChild<QCheckBox*>("HideCheckBox");
        QVERIFY(!hide->isEnabled());
        QVERIFY(hide->isChecked()); // the stored option is kept
        QVERIFY(!w.TrayVisible());
        w.setWindowState(Qt::WindowMinimized);
        QCoreApplication::processEvents(); // runs the deferred hide, if one was queued
        QVERIFY(w.isVisible());
    }

    // With a tray: the icon follows "Show tray icon", minimise hides the
    // window only while the icon shows, and a click brings it back.
    void TrayIconShowsHidesAndRestoresTheWindow() {
        TTrayWindow w;
        w.Core().Options().Hide = true;
        w.Core().Options().Tray = true;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.findChild<QCheckBox*>("HideCheckBox")->isEnabled());
        QVERIFY(w.TrayVisible());
        auto* tray = w.findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QCOMPARE(tray->toolTip(), w.windowTitle());

        w.setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(!w.isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(w.isVisible());
        QVERIFY(!(w.windowState() & Qt::WindowMinimized));

        // Icon off: minimising leaves the window where the taskbar finds it.
        QTest::mouseClick(w.findChild<QCheckBox*>("TrayCheckBox"), Qt::LeftButton);
        QVERIFY(!w.Core().Options().Tray);
        QVERIFY(!w.TrayVisible());
        w.setWindowState(Qt::WindowMinimized);
        QCoreApplication::processEvents(); // runs the deferred hide, if one was queued
        QVERIFY(w.isVisible());
    }

    // Renders every page to PNG files so that a person can look at them.
    void RenderPages() {
        const QString dir = qEnvironmentVariable("KESTRUNE_RENDER_DIR");
        if (dir.isEmpty())
            QSKIP("KESTRUNE_RENDER_DIR not set");
        QDir().mkpath(dir);
        TMainWindow w;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.Core().LogLine("[Office] Started");
        w.Core().LogLine("[Office] Connected: 127.0.0.1:50312");
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            const QString file = QString("%1/main-page-%2.png").arg(dir).arg(i);
            QVERIFY(w.grab().save(file));
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
