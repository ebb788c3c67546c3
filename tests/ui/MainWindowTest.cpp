#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <thread>

using namespace kestrune;

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
        QCOMPARE(w.findChild<QLabel*>("ApplicationLabel")->text(), QString("Kestrune 0.0.4.2"));
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

    void HintsGoToTheStatusBar() {
        TMainWindow w;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* button = w.findChild<QPushButton*>("NewProxyButton");
        QStatusTipEvent tip(button->statusTip());
        QCoreApplication::sendEvent(button, &tip);
        QCOMPARE(w.findChild<QLabel*>("StatusPanel1")->text(), QString("New proxy server"));
        QStatusTipEvent empty(QString{});
        QCoreApplication::sendEvent(button, &empty);
        QCOMPARE(w.findChild<QLabel*>("StatusPanel1")->text(), QString());
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
