// The main window over real services: the lists, Delete and Drop, the
// monitor page and the tray image.
#include "base/Settings.h"
#include "ui/MainWindow.h"

#include "Loopback.h"
#include "TreeRow.h"
#include "WaitFor.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <cstdlib>
#include <fstream>

using namespace kestrune;
using kestrune::test::WaitFor;

namespace {} // namespace

class MainWindowServicesTest : public QObject {
    Q_OBJECT

    QString Dir;
    QStringList Messages;

    void Prepare(TMainWindow& w) {
        w.Core().mSettingsPath = (Dir + "/Kestrune.ini").toStdString();
        w.MessageHook = [this](const QString& text, bool) {
            Messages << text;
            return 0;
        };
    }
    TPortMapper& AddMapper(TMainWindow& w, const std::string& name, uint16_t target) {
        TPortMapperSettings s;
        s.mName = name;
        s.mOwnHost = "127.0.0.1";
        s.mOwnPort = 0;
        s.mMapHost = "127.0.0.1";
        s.mMapPort = target;
        return w.Core().AddPortMapper(s, PortMapperRow(s));
    }
    QString Log(TMainWindow& w) {
        QString text;
        for (const auto& line : w.Core().Log().Lines())
            text += QString::fromStdString(line) + "\n";
        return text;
    }

private slots:
    void init() {
        char tmp[] = "/tmp/kestrune-ui-XXXXXX";
        QVERIFY(mkdtemp(tmp));
        Dir = tmp;
        Messages.clear();
    }
    void cleanup() { QDir(Dir).removeRecursively(); }

    void SelectionEnablesTheCommandsOfItsPage() {
        TMainWindow w;
        Prepare(w);
        AddMapper(w, "One", 9);
        w.FormCreate();
        w.show();
        auto* list = w.findChild<QTreeWidget*>("MapperListView");
        auto* edit = w.findChild<QPushButton*>("EditMapperButton");
        auto* del = w.findChild<QPushButton*>("DeleteMapperButton");
        auto* drop = w.findChild<QPushButton*>("DropMapperButton");
        QCOMPARE(list->topLevelItemCount(), 1);
        QVERIFY(!edit->isEnabled() && !del->isEnabled() && !drop->isEnabled());
        list->topLevelItem(0)->setSelected(true);
        QVERIFY(edit->isEnabled() && del->isEnabled() && drop->isEnabled());
        QVERIFY2(!w.findChild<QPushButton*>("EditProxyButton")->isEnabled(),
                 "other pages keep their state");
        list->clearSelection();
        QVERIFY(!edit->isEnabled() && !del->isEnabled() && !drop->isEnabled());
        QTest::mouseClick(del, Qt::LeftButton); // disabled: nothing happens
        QVERIFY(Messages.isEmpty());
    }

    void DeleteOfARunningServiceStopsItAndSavesTheFile() {
        TMainWindow w;
        Prepare(w);
        AddMapper(w, "Stay", 9);
        AddMapper(w, "Gone", 9);
        w.FormCreate();
        w.show();
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
        auto* list = w.findChild<QTreeWidget*>("MapperListView");
        Row(list, "Gone")->setSelected(true);
        QTest::mouseClick(w.findChild<QPushButton*>("DeleteMapperButton"), Qt::LeftButton);
        QVERIFY(Log(w).contains("[Gone] Stopped\n"));
        QVERIFY(Log(w).endsWith("Settings saved\n"));
        QCOMPARE(list->topLevelItemCount(), 1);
        QVERIFY(!Row(list, "Gone"));
        QCOMPARE(w.Core().FindMonitorRow("Gone"), -1);
        std::ifstream in((Dir + "/Kestrune.ini").toStdString(), std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), {});
        QVERIFY(file.find("[Stay]") != std::string::npos);
        QVERIFY(file.find("[Gone]") == std::string::npos);
    }

    void DropClosesLiveConnectionsAndKeepsListening() {
        const test::TFd target = test::Listener();
        TMainWindow w;
        Prepare(w);
        TPortMapper& mapper = AddMapper(w, "Relay", test::LocalPort(target.Get()));
        w.FormCreate();
        w.show();
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
        const uint16_t port = mapper.TCPPort();
        QVERIFY(port != 0);
        test::TFd clients[3];
        for (test::TFd& c : clients)
            QVERIFY((c = test::Connect(port)).Get() >= 0);
        QVERIFY(WaitFor([&] { return mapper.mOnline.load() == 3; }));
        Row(w.findChild<QTreeWidget*>("MapperListView"), "Relay")->setSelected(true);
        QTest::mouseClick(w.findChild<QPushButton*>("DropMapperButton"), Qt::LeftButton);
        QVERIFY(WaitFor([&] { return mapper.mDrop.load() == 3 && mapper.mOnline.load() == 0; }));
        char byte;
        for (const test::TFd& c : clients)
            QCOMPARE(recv(c.Get(), &byte, 1, 0), ssize_t(0)); // closed by the gateway
        const test::TFd again = test::Connect(port);
        QVERIFY2(again.Get() >= 0, "the mapper still listens after Drop");
        QVERIFY(WaitFor([&] { return mapper.mOnTotal.load() == 4; }));
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
    }

    void MonitorTableChangesOnlyWithItsPageInFront() {
        TMainWindow w;
        Prepare(w);
        TPortMapper& a = AddMapper(w, "A", 9);
        TPortMapper& b = AddMapper(w, "B", 9);
        w.FormCreate();
        w.show();
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
        a.mOnTotal = 2;
        b.mOnTotal = 5;
        a.mTrafTotal = 2048;
        auto* monitor = w.findChild<QTreeWidget*>("MonitorListView");
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        pages->setCurrentIndex(0);
        w.Core().MonitorTimerTimer();
        QCOMPARE(Row(monitor, "A")->text(2), QString("0"));
        pages->setCurrentIndex(3);
        w.Core().MonitorTimerTimer();
        QCOMPARE(Row(monitor, "A")->text(2), QString("2"));
        QCOMPARE(Row(monitor, "B")->text(2), QString("5"));
        QCOMPARE(Row(monitor, "Total")->text(2), QString("7"));
        QCOMPARE(Row(monitor, "Total")->text(5), QString("2 KB"));
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
        QCOMPARE(Row(monitor, "Total")->text(2), QString("0"));
        QCOMPARE(w.findChild<QLabel*>("StatusPanel0")->text(), QString("00:00:00"));
    }

    // Position, size, options, time format and page come from the file at
    // start and go back to it at exit, with the operator's changes.
    void WindowOptionsComeFromTheFileAndGoBackToIt() {
        const QString path = Dir + "/Kestrune.ini";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Kestrune]\r\nTop=120\r\nLeft=150\r\nWidth=600\r\nHeight=420\r\n"
                       "Time=hh:nn\r\nRun=0\r\nHide=0\r\nTray=0\r\nConfirm=0\r\n"
                       "Minimize=1\r\nPage=4\r\n");
        }
        TMainWindow w;
        Prepare(w);
        w.FormCreate();
        w.show();
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        QCOMPARE(pages->currentIndex(), 4);
        QCOMPARE(w.pos(), QPoint(150, 120));
        QCOMPARE(w.size(), QSize(600, 420));
        QVERIFY(w.windowState() & Qt::WindowMinimized);
        QVERIFY(w.findChild<QCheckBox*>("MinimizeCheckBox")->isChecked());
        QVERIFY(!w.findChild<QCheckBox*>("TrayCheckBox")->isChecked());
        QVERIFY(!w.findChild<QCheckBox*>("ConfirmCheckBox")->isChecked());
        QCOMPARE(w.findChild<QLineEdit*>("TimeLabeledEdit")->text(), QString("hh:nn"));

        w.setWindowState(Qt::WindowNoState);
        pages->setCurrentIndex(2);
        w.move(200, 90);
        w.resize(640, 450);
        QTest::mouseClick(w.findChild<QCheckBox*>("TrayCheckBox"), Qt::LeftButton);
        w.findChild<QLineEdit*>("TimeLabeledEdit")->setText("hh:nn:ss");
        QVERIFY(w.close());
        QVERIFY(Messages.isEmpty()); // "Confirm on exit" was off: no question

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        for (const char* line :
             {"Top=90\r\nLeft=200\r\nWidth=640\r\nHeight=450\r\n", "Time=hh:nn:ss\r\n",
              "Tray=1\r\n", "Confirm=0\r\n", "Minimize=1\r\n", "Page=2\r\n"})
            QVERIFY2(text.contains(line), line);
    }

    void TrayImageFollowsStartAndStop() {
        TMainWindow w;
        Prepare(w);
        AddMapper(w, "T", 9);
        w.FormCreate();
        w.show();
        QCOMPARE(w.TrayImageIndex(), 0);
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
        QCOMPARE(w.TrayImageIndex(), 1);
        QTest::mouseClick(w.findChild<QPushButton*>("StartButton"), Qt::LeftButton);
        QCOMPARE(w.TrayImageIndex(), 0);
    }
};

QTEST_MAIN(MainWindowServicesTest)
#include "MainWindowServicesTest.moc"
