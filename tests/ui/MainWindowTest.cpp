#include "ui/MainWindow.h"
#include "ui/AccessDialog.h"
#include "ui/MapperDialog.h"
#include "ui/ProxyDialog.h"

#include "Render.h"
#include "TreeRow.h"
#include "base/Settings.h"
#include "base/Version.h"
#include "ui/ListView.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEnterEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <thread>

using namespace kestrune;

namespace {

// A window on a desktop that has a tray.
class TTrayWindow : public TMainWindow {
protected:
    bool SystemTrayAvailable() const override { return true; }
};

// Every control with a hint in AWindow (not in its dialogs), by object name.
QMap<QString, QString> Hints(QWidget* AWindow) {
    QMap<QString, QString> hints;
    for (QWidget* child : AWindow->findChildren<QWidget*>()) {
        if (child->window() == AWindow && !child->statusTip().isEmpty() &&
            !child->objectName().isEmpty())
            hints[child->objectName()] = child->statusTip();
    }
    return hints;
}

// WCAG contrast ratio of two colours: 1 (none) to 21 (black on white).
double Contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// A stopped proxy server with its list and monitor rows.
void AddProxy(TMainWindow& AWindow, const std::string& AName) {
    TProxyServerSettings p;
    p.mName = AName;
    p.mHost = "127.0.0.1";
    AWindow.Core().AddProxyServer(p, ProxyServerRow(p));
}

// Whether AWidget lies whole inside AWindow.
bool FitsBelow(QWidget* AWidget, QWidget* AWindow) {
    return AWindow->rect().contains(QRect(AWidget->mapTo(AWindow, QPoint(0, 0)), AWidget->size()));
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

    void initTestCase() { TMainWindow::ConfigureApplication(); }

    void WindowFrameAndCaptions() {
        const QFont desktopFont = QApplication::font();
        TMainWindow w;
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // The desktop's font, untouched, and a window that can be resized
        // from no smaller than its controls need to the designed size and up.
        QCOMPARE(QApplication::font(), desktopFont);
        QCOMPARE(w.font(), desktopFont);
        QVERIFY(w.width() >= 681 && w.height() >= 496);
        QVERIFY(w.minimumWidth() < w.width() && w.minimumHeight() < w.height());
        QVERIFY(w.maximumWidth() > w.width() && w.maximumHeight() > w.height());
        // The caption exactly, and no display name for Qt to append to it:
        // with one set, the display name would not follow the program name.
        QCOMPARE(w.windowTitle(), QString("Kestrune - the Kestrune developers' gateway"));
        QCoreApplication::setApplicationName("probe");
        QCOMPARE(QGuiApplication::applicationDisplayName(), QString("probe"));
        TMainWindow::ConfigureApplication();
        // The icon the desktop entry installs, for the window and the taskbar.
        QCOMPARE(w.windowIcon().availableSizes().size(), 6);
        QCOMPARE(QApplication::windowIcon().availableSizes(), w.windowIcon().availableSizes());
        QCOMPARE(w.ProxyForm().windowIcon().cacheKey(), w.windowIcon().cacheKey());
        QCOMPARE(w.windowIcon().pixmap(48).toImage(),
                 QIcon(":/kestrune/icons/48.png").pixmap(48).toImage());
        QCOMPARE(QGuiApplication::desktopFileName(), QString("kestrune"));
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        QVERIFY(pages);
        QStringList captions;
        for (int i = 0; i < pages->count(); ++i)
            captions << pages->tabText(i);
        QCOMPARE(captions, (QStringList{"Proxy server", "Port mapper", "Access restriction",
                                        "Traffic monitor", "Settings manager", "About Kestrune"}));
        // At the default size every page's tab is in view.
        QVERIFY2(pages->tabBar()->sizeHint().width() <= pages->tabBar()->width(),
                 qPrintable(QString("%1 %2 %3")
                                .arg(pages->tabBar()->sizeHint().width())
                                .arg(pages->tabBar()->width())
                                .arg(w.width())));
        auto* start = w.findChild<QPushButton*>("StartButton");
        QCOMPARE(start->text(), QString("&Start"));
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
        QCOMPARE(memo->cornerWidget(), clear);
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
        QCOMPARE(start->text(), QString("&Start"));
    }

    void RunOnStartShowsStopAndCountsUptime() {
        TMainWindow w;
        Hook(w);
        w.Core().Options().Run = true;
        w.FormCreate();
        w.show();
        auto* start = w.findChild<QPushButton*>("StartButton");
        QCOMPARE(start->text(), QString("S&top"));
        QVERIFY(Messages.isEmpty());
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(start->text(), QString("&Start"));
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

    // Every hint of every window, exactly as written, is its control's
    // tool-tip too, and reaches the hint line of the control's own window
    // while the mouse is over it: the status bar, or the open dialog's line
    // (the main window behind a dialog is blocked).
    void EveryHintShowsInItsWindowsHintLineAndAsToolTip() {
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
        const QString via =
            "socks5:// or http://[user:password@]host:port, socks4a://host:port, or empty";
        proxyHints["ViaLabeledEdit"] = via;
        QMap<QString, QString> mapperHints = spinnerHints;
        mapperHints["ViaLabeledEdit"] = via;
        QCOMPARE(fieldsOnly(&w.ProxyForm()), proxyHints);
        QCOMPARE(fieldsOnly(&w.MapperForm()), mapperHints);
        // The access dialog's fields of the first version carry none; those
        // of targets and upstreams say their forms.
        const QMap<QString, QString> accessHints{
            {"ToPortLabeledEdit",
             "Port, 0 for any; both target fields empty: a rule about clients"},
            {"ViaLabeledEdit",
             "socks5:// or http://[user:password@]host:port, socks4a://host:port, direct"}};
        QCOMPARE(fieldsOnly(&w.AccessForm()), accessHints);
        const QString outHost = "Address to connect from; same: the one the client came to; "
                                "empty: any";
        for (TEntryDialog* dialog : {static_cast<TEntryDialog*>(&w.ProxyForm()),
                                     static_cast<TEntryDialog*>(&w.MapperForm())})
            QCOMPARE(Hints(dialog).value("OutHostComboBox"), outHost);
        QCOMPARE(Hints(&w.ProxyForm()).value("HTTPCheckBox"),
                 QString("Serve HTTP proxy requests on this port too"));
        QCOMPARE(Hints(&w.AccessForm()).value("ToHostComboBox"),
                 QString("Address, or host name with * for any characters; empty: any"));

        auto* panel = w.findChild<QLabel*>("StatusPanel1");
        TEntryDialog* dialogs[] = {&w.ProxyForm(), &w.MapperForm(), &w.AccessForm()};
        for (QWidget* window :
             {static_cast<QWidget*>(&w), static_cast<QWidget*>(dialogs[0]),
              static_cast<QWidget*>(dialogs[1]), static_cast<QWidget*>(dialogs[2])}) {
            auto* dialog = qobject_cast<TEntryDialog*>(window);
            if (dialog)
                dialog->ShowOver();
            QLabel* line = dialog ? dialog->HintLabel() : panel;
            for (QWidget* child : window->findChildren<QWidget*>()) {
                if (child->window() != window)
                    continue;
                QVERIFY2(child->toolTip() == child->statusTip(), qPrintable(child->objectName()));
                if (child->statusTip().isEmpty())
                    continue;
                QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
                QCoreApplication::sendEvent(child, &enter);
                QCOMPARE(line->text(), child->statusTip());
                if (dialog)
                    QVERIFY2(panel->text().isEmpty(), "nothing in the blocked main window");
                QEvent leave(QEvent::Leave);
                QCoreApplication::sendEvent(child, &leave);
                QCOMPARE(line->text(), QString());
            }
            if (dialog)
                dialog->close();
        }
        // Tool-tips reach the screen (nothing swallows them), the tray
        // icon's included.
        auto* newButton = w.findChild<QPushButton*>("NewProxyButton");
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), newButton->mapToGlobal(QPoint(2, 2)));
        QCoreApplication::sendEvent(newButton, &help);
        QTRY_COMPARE(QToolTip::text(), QString("New proxy server"));
        QCOMPARE(w.findChild<QSystemTrayIcon*>()->toolTip(), w.windowTitle());
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

    // The selected row is drawn in the active highlight colours whatever
    // the window's state: with a dialog open over the main window (its
    // inactive colours are near-white here, as in the themes where the row
    // looked blank) and in a dark theme alike.
    void SelectedRowsStayReadableInLightAndDarkThemes() {
        const QPalette original = QApplication::palette();
        TMainWindow w;
        AddProxy(w, "Office");
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* list = w.findChild<QTreeWidget*>("ProxyListView");
        QTreeWidgetItem* row = Row(list, "Office");
        row->setSelected(true);

        QPalette light = original;
        light.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0xf4, 0xf4, 0xf4));
        light.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::white);
        QPalette dark = light;
        dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
        dark.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
        dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
        dark.setColor(QPalette::WindowText, QColor(0xe0, 0xe0, 0xe0));
        dark.setColor(QPalette::Highlight, QColor(0x3d, 0x6f, 0xb4));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        dark.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0x26, 0x26, 0x26));
        dark.setColor(QPalette::Inactive, QPalette::HighlightedText, QColor(0x30, 0x30, 0x30));
        for (const QPalette& theme : {light, dark}) {
            QApplication::setPalette(theme);
            QCoreApplication::processEvents(); // the palette reaches the widgets
            const QColor highlight = theme.color(QPalette::Active, QPalette::Highlight);
            const QColor text = theme.color(QPalette::Active, QPalette::HighlightedText);
            QVERIFY(Contrast(highlight, text) >= 3);
            for (bool dialogOpen : {false, true}) {
                if (dialogOpen)
                    w.ProxyForm().ShowOver();
                const QImage image = Render(list->viewport(), 1);
                const QRect rect = list->visualItemRect(row);
                QVERIFY2(
                    QColor(image.pixel(rect.left() + 150, rect.center().y())) == highlight,
                    qPrintable(
                        QString("%1 %2")
                            .arg(dialogOpen)
                            .arg(
                                QColor(image.pixel(rect.left() + 150, rect.center().y())).name())));
                int textPixels = 0;
                for (int x = rect.left(); x < rect.left() + 100; ++x)
                    for (int y = rect.top(); y < rect.bottom(); ++y)
                        textPixels += Contrast(QColor(image.pixel(x, y)), highlight) >= 3;
                QVERIFY2(textPixels > 10, dialogOpen ? "dialog open" : "window active");
                w.ProxyForm().close();
            }
        }
        QApplication::setPalette(original);
        QCoreApplication::processEvents();
    }

    // An empty list says what to do, in the placeholder's grey, until it
    // has a row.
    void EmptyListsSayWhatToDo() {
        TMainWindow w;
        QCOMPARE(w.findChild<TListView*>("ProxyListView")->EmptyText(),
                 QString("No proxy servers. Press New to add one."));
        QCOMPARE(w.findChild<TListView*>("MapperListView")->EmptyText(),
                 QString("No port mappers. Press New to add one."));
        QCOMPARE(w.findChild<TListView*>("AccessListView")->EmptyText(),
                 QString("No access restrictions. Press New to add one."));
        TListView with(nullptr, "With", {"Name"}, {160}, "No proxy servers.");
        TListView without(nullptr, "Without", {"Name"}, {160});
        for (TListView* list : {&with, &without})
            list->resize(300, 120);
        QVERIFY(Render(&with, 1) != Render(&without, 1));
        for (TListView* list : {&with, &without})
            new QTreeWidgetItem(list, QStringList{"Office"});
        QCOMPARE(Render(&with, 1), Render(&without, 1));
    }

    // A full IPv6 address fits its column; the designed width stays the least.
    void AddressColumnsFitAFullIPv6Address() {
        TMainWindow w;
        AddProxy(w, "Short");
        auto* list = w.findChild<TListView*>("ProxyListView");
        const int designed = list->columnWidth(1);
        TProxyServerSettings p;
        p.mName = "Six";
        p.mHost = "2001:db8:1234:5678:9abc:def0:1234:5678";
        w.Core().AddProxyServer(p, ProxyServerRow(p));
        QVERIFY(list->columnWidth(1) > designed);
        QVERIFY(list->columnWidth(1) >=
                list->fontMetrics().horizontalAdvance(QString::fromStdString(p.mHost)));
    }

    // A stored size and place larger than the screen, or off it, are pulled
    // inside; at 2x on a 1280 x 800 screen (640 x 400 for the program) the
    // window fits and every control of every page is whole and inside it.
    void WindowFitsTheScreenWithEveryControlReachable() {
        TMainWindow w;
        TOptions& o = w.Core().Options();
        w.FormCreate();
        o.Placed = true;
        o.Left = 5000;
        o.Top = -400;
        o.Width = 3000;
        o.Height = 2000;
        const QRect available = w.screen()->availableGeometry();
        w.PlaceWindow(available);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY2(available.contains(w.frameGeometry()),
                 qPrintable(QString("%1,%2 %3x%4")
                                .arg(w.frameGeometry().x())
                                .arg(w.frameGeometry().y())
                                .arg(w.frameGeometry().width())
                                .arg(w.frameGeometry().height())));

        const QRect small(0, 0, 640, 400);
        w.PlaceWindow(small);
        QVERIFY(small.contains(w.frameGeometry()));
        // Room for a title bar and a desktop's panel besides.
        QVERIFY2(w.minimumHeight() <= 400 - 4 * w.fontMetrics().height(),
                 qPrintable(QString::number(w.minimumHeight())));
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            QCoreApplication::processEvents();
            for (QWidget* child : pages->currentWidget()->findChildren<QWidget*>()) {
                if (!child->isVisibleTo(&w) || child->window() != &w ||
                    child->focusPolicy() == Qt::NoFocus)
                    continue;
                const QRect place(child->mapTo(&w, QPoint(0, 0)), child->size());
                QVERIFY2(w.rect().contains(place), qPrintable(child->objectName()));
                // The clear button is as small as the corner between the log's
                // scroll bars, as designed.
                if (child->objectName() == "ClearButton")
                    continue;
                QVERIFY2(child->width() >= child->minimumSizeHint().width() &&
                             child->height() >= child->minimumSizeHint().height(),
                         qPrintable(child->objectName()));
            }
        }
        QVERIFY(w.rect().contains(w.findChild<QPushButton*>("StartButton")->geometry()));
        QVERIFY(FitsBelow(w.findChild<QLabel*>("StatusPanel1"), &w));
    }

    // Enter edits the selected row (or makes a new entry), Delete asks
    // "Delete NAME?" first, Insert and Ctrl+N make a new entry, Ctrl+Q closes
    // as the close button does; in a dialog Escape closes. Every button has
    // a mnemonic of its own within its page.
    void KeysOfTheListsAndTheWindow() {
        TMainWindow w;
        Hook(w);
        AddProxy(w, "Office");
        w.FormCreate();
        w.show();
        auto* list = w.findChild<QTreeWidget*>("ProxyListView");
        TEntryDialog& dialog = w.ProxyForm();
        auto focusList = [&] {
            w.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&w));
            list->setFocus();
            QTRY_VERIFY(list->hasFocus());
        };
        auto opens = [&](Qt::Key key, Qt::KeyboardModifiers modifiers, const char* caption) {
            focusList();
            QTest::keyClick(list, key, modifiers);
            QVERIFY2(dialog.isVisible(), caption);
            QCOMPARE(dialog.windowTitle(), QString(caption));
            QVERIFY(dialog.focusWidget());
            QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape);
            QVERIFY(!dialog.isVisible());
        };
        opens(Qt::Key_Return, {}, "New proxy server"); // no row selected
        list->setCurrentItem(Row(list, "Office"));
        QVERIFY(Row(list, "Office")->isSelected());
        opens(Qt::Key_Return, {}, "Edit proxy server");
        opens(Qt::Key_Insert, {}, "New proxy server");
        opens(Qt::Key_N, Qt::ControlModifier, "New proxy server");

        focusList();
        Answer = QMessageBox::No;
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(Messages, QStringList{"Delete Office?"});
        QVERIFY(Row(list, "Office"));
        Answer = QMessageBox::Yes;
        QTest::keyClick(list, Qt::Key_Delete);
        QVERIFY(!Row(list, "Office"));
        QVERIFY(w.Core().ProxyServers.empty());

        // Mnemonics: one letter per button, none twice among the buttons one
        // can see at once (a page's and the Start button, a dialog's).
        auto letters = [](QWidget* scope, QWidget* window) {
            QStringList out;
            for (QPushButton* button : scope->findChildren<QPushButton*>()) {
                if (button->window() != window)
                    continue;
                const QString text = button->text();
                const auto at = text.indexOf('&');
                if (at < 0 || at + 1 >= text.size())
                    qFatal("%s has no mnemonic", qPrintable(button->objectName()));
                out << text.mid(at + 1, 1).toLower();
            }
            return out;
        };
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        for (int i = 0; i < pages->count(); ++i) {
            const QStringList page = letters(pages->widget(i), &w) << QString("s");
            QCOMPARE(QSet<QString>(page.begin(), page.end()).size(), page.size());
        }
        for (QWidget* form :
             {static_cast<QWidget*>(&w.ProxyForm()), static_cast<QWidget*>(&w.MapperForm()),
              static_cast<QWidget*>(&w.AccessForm())})
            QCOMPARE(letters(form, form), (QStringList{"s", "c"}));

        Messages.clear();
        Answer = QMessageBox::No;
        focusList();
        QTest::keyClick(list, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(Messages, QStringList{"Really exit?"});
        QVERIFY(w.isVisible());
        Answer = QMessageBox::Yes;
        QTest::keyClick(list, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!w.isVisible());
    }

    // Renders every page at 1x and 2x, and at 2x on a 1280 x 800 screen, to
    // PNG files so that a person can look at them.
    void RenderPages() {
        const QString dir = qEnvironmentVariable("KESTRUNE_RENDER_DIR");
        if (dir.isEmpty())
            QSKIP("KESTRUNE_RENDER_DIR not set");
        QDir().mkpath(dir);
        TMainWindow w;
        TProxyServerSettings p;
        p.mName = "Office gateway";
        p.mHost = "0.0.0.0";
        p.mPort = 1080;
        w.Core().AddProxyServer(p, ProxyServerRow(p));
        p.mName = "Lab";
        p.mHost = "127.0.0.1";
        p.mPort = 1081;
        p.mFour = true;
        w.Core().AddProxyServer(p, ProxyServerRow(p));
        w.FormCreate();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.Core().LogLine("[Office gateway] Started");
        w.Core().LogLine("[Office gateway] Connected: 127.0.0.1:50312");
        Row(w.findChild<QTreeWidget*>("ProxyListView"), "Lab")->setSelected(true);
        auto* pages = w.findChild<QTabWidget*>("PageControl");
        auto renderAll = [&](const QString& name, int scale) {
            for (int i = 0; i < pages->count(); ++i) {
                pages->setCurrentIndex(i);
                QCoreApplication::processEvents();
                const QString file = QString("%1/%2-page-%3.png").arg(dir, name).arg(i);
                QVERIFY(Render(&w, scale).save(file));
            }
        };
        renderAll("main-1x", 1);
        renderAll("main-2x", 2);
        w.PlaceWindow(QRect(0, 0, 640, 400));
        renderAll("main-2x-1280x800", 2);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
