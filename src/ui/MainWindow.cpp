#include "ui/MainWindow.h"

#include "ui/AccessDialog.h"
#include "ui/MapperDialog.h"
#include "ui/ProxyDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDate>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusTipEvent>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>

static void InitResources() {
    Q_INIT_RESOURCE(kestrune);
}

namespace kestrune {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// The two tray images: a grey disc while stopped, a green one while running.
QIcon TrayImage(int index) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor fill = index == 1 ? QColor(0x2e, 0xa0, 0x43) : QColor(0x8a, 0x8f, 0x98);
    painter.setPen(QPen(fill.darker(160), 1));
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    painter.setPen(QPen(Qt::white, 2));
    painter.drawLine(QPointF(6, 4.5), QPointF(6, 11.5));
    painter.drawLine(QPointF(6, 8), QPointF(10.5, 4.5));
    painter.drawLine(QPointF(7, 8), QPointF(10.5, 11.5));
    return QIcon(pixmap);
}

QPushButton* MakeButton(QWidget* parent, const QString& name, const QString& caption,
                        const QString& hint, const QRect& geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setStatusTip(hint);
    button->setGeometry(geometry);
    return button;
}

QTreeWidget* MakeList(QWidget* parent, const QString& name, const QStringList& columns,
                      const QList<int>& widths, const QRect& geometry) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setGeometry(geometry);
    list->setColumnCount(static_cast<int>(columns.size()));
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setAllColumnsShowFocus(true);
    list->setStyleSheet("QTreeWidget::item { border-right: 1px solid #d8d8d8; "
                        "border-bottom: 1px solid #d8d8d8; }");
    QHeaderView* header = list->header();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Fixed);
    for (int i = 0; i < widths.size(); ++i)
        list->setColumnWidth(i, widths[i]);
    return list;
}

} // namespace

QFont TMainWindow::WindowFont() {
    // Tahoma 8 point is the designed face; Liberation Sans at 11 pixels has
    // nearly the same metrics, so the designed sizes hold.
    QFont font;
    font.setFamilies(
        {"Tahoma", "Liberation Sans", "Arimo", "DejaVu Sans Condensed", "DejaVu Sans"});
    font.setPixelSize(11);
    return font;
}

QString TMainWindow::Caption() {
    return "Kestrune - the Kestrune developers' gateway";
}

TMainWindow::TMainWindow() : mCore(std::make_unique<TMainForm>(*this)) {
    InitResources();
    setObjectName("MainForm");
    QApplication::setFont(WindowFont());
    setFont(WindowFont());
    setWindowTitle(Caption());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(ClientWidth, ClientHeight);

    // Work handed over by other threads runs from the event loop.
    mCore->MainQueue().SetWaker([this] {
        QMetaObject::invokeMethod(
            this, [this] { mCore->MainQueue().Drain(); }, Qt::QueuedConnection);
    });

    mPageControl = new QTabWidget(this);
    mPageControl->setObjectName("PageControl");
    mPageControl->setGeometry(8, 8, 667, 433);
    mPageControl->setUsesScrollButtons(false);
    mPageControl->setElideMode(Qt::ElideNone);
    BuildPages();
    connect(mPageControl, &QTabWidget::currentChanged, this, [this](int index) {
        mCore->SetActivePage(index);
        mCore->Options().Page = index;
    });

    mStartButton = new QPushButton("Start", this);
    mStartButton->setObjectName("StartButton");
    mStartButton->setGeometry(7, 447, 667, 23);
    connect(mStartButton, &QPushButton::clicked, this, [this] { mCore->StartButtonClick(); });

    auto* statusBar = new QWidget(this);
    statusBar->setObjectName("StatusBar");
    statusBar->setGeometry(0, ClientHeight - 19, ClientWidth, 19);
    const int widths[2] = {80, 200};
    int left = 0;
    for (int i = 0; i < 2; ++i) {
        auto* panel = new QLabel(statusBar);
        panel->setObjectName(QString("StatusPanel%1").arg(i));
        panel->setAlignment(Qt::AlignCenter);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setGeometry(left, 1, widths[i], 18);
        left += widths[i] + 2;
        mStatusPanels[i] = panel;
    }
    mStatusPanels[0]->setText("00:00:00");

    mMonitorTimer = new QTimer(this);
    mMonitorTimer->setObjectName("MonitorTimer");
    mMonitorTimer->setInterval(TMainForm::MonitorInterval);
    connect(mMonitorTimer, &QTimer::timeout, this, [this] { mCore->MonitorTimerTimer(); });

    mTrayIcon = new QSystemTrayIcon(TrayImage(0), this);
    mTrayIcon->setToolTip(Caption());
    connect(mTrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason) {
                show();
                setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
                raise();
                activateWindow();
            });

    // Hints of every window of the program go to status bar panel 1.
    qApp->installEventFilter(this);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    BuildDialogs();
}

TMainWindow::~TMainWindow() {
    qApp->removeEventFilter(this);
    mCore->MainQueue().SetWaker(nullptr);
}

void TMainWindow::BuildPages() {
    const QStringList captions{"Proxy server",    "Port mapper",      "Access restriction",
                               "Traffic monitor", "Settings manager", "About Kestrune"};
    QWidget* pages[6];
    for (int i = 0; i < 6; ++i) {
        pages[i] = new QWidget;
        mPageControl->addTab(pages[i], captions[i]);
    }
    BuildServicePage(
        pages[0], "Proxy", {"Name", "Listen IP", "Port", "Version", "Enabled"},
        {160, 160, 100, 100, 100}, {"New", "Edit", "Delete", "Drop"},
        {"New proxy server", "Edit proxy server", "Delete proxy server", "Drop all connections"},
        {7, 95, 183, 569});
    BuildServicePage(
        pages[1], "Mapper", {"Name", "Listen IP", "Port", "Protocol", "Enabled"},
        {160, 160, 100, 100, 100}, {"New", "Edit", "Delete", "Drop"},
        {"New port mapper", "Edit port mapper", "Delete port mapper", "Drop all connections"},
        {7, 95, 183, 569});
    BuildServicePage(
        pages[2], "Access", {"Name", "Listen IP", "Port", "Remote IP", "Port", "Action", "Enabled"},
        {120, 120, 70, 120, 70, 60, 60}, {"New", "Edit", "Delete", "Move up", "Move down"},
        {"New access restriction", "Edit access restriction", "Delete access restriction",
         "Move up rule", "Move down rule"},
        {7, 95, 183, 481, 569});
    BuildMonitorPage(pages[3]);
    BuildSettingsPage(pages[4]);
    BuildAboutPage(pages[5]);
}

void TMainWindow::BuildServicePage(QWidget* page, const QString& prefix, const QStringList& columns,
                                   const QList<int>& widths, const QStringList& buttons,
                                   const QStringList& hints, const QList<int>& lefts) {
    QTreeWidget* list = MakeList(page, prefix + "ListView", columns, widths, QRect(8, 8, 641, 358));
    list->headerItem()->setTextAlignment(static_cast<int>(columns.size()) - 1,
                                         Qt::AlignRight | Qt::AlignVCenter);
    static const QMap<QString, QString> Names{{"New", "New"},       {"Edit", "Edit"},
                                              {"Delete", "Delete"}, {"Drop", "Drop"},
                                              {"Move up", "Up"},    {"Move down", "Down"}};
    for (int i = 0; i < buttons.size(); ++i) {
        QPushButton* button = MakeButton(page, Names[buttons[i]] + prefix + "Button", buttons[i],
                                         hints[i], QRect(lefts[i], 376, 81, 21));
        button->setEnabled(i == 0);
    }
    (prefix == "Proxy"    ? mProxyListView
     : prefix == "Mapper" ? mMapperListView
                          : mAccessListView) = list;
    if (prefix == "Access")
        return;
    connect(list, &QTreeWidget::itemSelectionChanged, this,
            [this, prefix] { ServiceSelectionChanged(prefix); });
    const bool proxy = prefix == "Proxy";
    connect(page->findChild<QPushButton*>("Delete" + prefix + "Button"), &QPushButton::clicked,
            this, [this, proxy, list] {
                if (proxy)
                    mCore->DeleteProxyServer(SelectedCaption(list));
                else
                    mCore->DeletePortMapper(SelectedCaption(list));
            });
    connect(page->findChild<QPushButton*>("Drop" + prefix + "Button"), &QPushButton::clicked, this,
            [this, proxy, list] {
                if (proxy)
                    mCore->DropProxyServer(SelectedCaption(list));
                else
                    mCore->DropPortMapper(SelectedCaption(list));
            });
}

std::optional<std::string> TMainWindow::SelectedCaption(QTreeWidget* list) const {
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return selected.first()->text(0).toStdString();
}

void TMainWindow::ServiceSelectionChanged(const QString& prefix) {
    if (mCore->mStart)
        return;
    QTreeWidget* list = prefix == "Proxy" ? mProxyListView : mMapperListView;
    const bool any = !list->selectedItems().isEmpty();
    for (const char* command : {"Edit", "Delete", "Drop"})
        if (auto* button = findChild<QPushButton*>(command + prefix + "Button"))
            button->setEnabled(any);
}

void TMainWindow::ListsChanged() {
    auto fill = [](QTreeWidget* list, const std::vector<std::array<std::string, 7>>& rows,
                   int columns) {
        const QString selected =
            list->selectedItems().isEmpty() ? QString() : list->selectedItems().first()->text(0);
        const QSignalBlocker block(list);
        list->clear();
        for (const auto& row : rows) {
            QStringList texts;
            for (int c = 0; c < columns; ++c)
                texts << Q(row[static_cast<std::size_t>(c)]);
            auto* item = new QTreeWidgetItem(list, texts);
            item->setTextAlignment(columns - 1, Qt::AlignRight | Qt::AlignVCenter);
            if (!selected.isEmpty() && texts[0] == selected && list->selectedItems().isEmpty())
                item->setSelected(true);
        }
    };
    auto rowsOf = [](const std::vector<TListRow>& source) {
        std::vector<std::array<std::string, 7>> rows;
        for (const auto& r : source)
            rows.push_back({r.Columns[0], r.Columns[1], r.Columns[2], r.Columns[3], r.Columns[4]});
        return rows;
    };
    fill(mProxyListView, rowsOf(mCore->ProxyRows), 5);
    fill(mMapperListView, rowsOf(mCore->MapperRows), 5);
    std::vector<std::array<std::string, 7>> rules;
    const TAccessRules::TSnapshot snapshot = mCore->AccessRules.Snapshot();
    for (const TAccessRule& r : *snapshot)
        rules.push_back(
            {r.mName, r.mOwnHost, r.mOwnPort, r.mRemHost, r.mRemPort, r.mAction, r.mEnable});
    fill(mAccessListView, rules, 7);
    ServiceSelectionChanged("Proxy");
    ServiceSelectionChanged("Mapper");
    AccessSelectionChanged();
}

void TMainWindow::BuildMonitorPage(QWidget* page) {
    mMonitorListView =
        MakeList(page, "MonitorListView", {"Name", "Online", "Total", "Drops", "Traffic", "Total"},
                 {120, 100, 100, 100, 100, 100}, QRect(8, 8, 641, 252));
    mMonitorListView->setRootIsDecorated(false);
    mMonitorListView->setItemsExpandable(false);
    mMonitorListView->headerItem()->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
    mMonitorListView->headerItem()->setTextAlignment(5, Qt::AlignRight | Qt::AlignVCenter);

    mLogMemo = new QPlainTextEdit(page);
    mLogMemo->setObjectName("LogMemo");
    mLogMemo->setGeometry(8, 271, 641, 125);
    mLogMemo->setReadOnly(true);
    mLogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    mLogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLogMemo->setMaximumBlockCount(static_cast<int>(TEventLog::MaxLines));

    auto* clear = new QToolButton(page);
    clear->setObjectName("ClearButton");
    clear->setText("<");
    clear->setStatusTip("Clear log");
    clear->setGeometry(632, 379, 16, 16);
    clear->raise();
    connect(clear, &QToolButton::clicked, this, [this] { mCore->ClearButtonClick(); });
    MonitorChanged();
}

void TMainWindow::BuildSettingsPage(QWidget* page) {
    auto* options = new QGroupBox("Options", page);
    options->setObjectName("OptionsGroupBox");
    options->setGeometry(8, 8, 125, 105);
    struct Box {
        const char* name;
        const char* caption;
        int top;
        int width;
        QCheckBox** field;
    };
    const Box boxes[] = {
        {"RunCheckBox", "Run on start", 16, 81, &mRunCheckBox},
        {"HideCheckBox", "Hide on minimize", 32, 97, &mHideCheckBox},
        {"MinimizeCheckBox", "Minimize on start", 48, 97, &mMinimizeCheckBox},
        {"TrayCheckBox", "Show tray icon", 64, 89, &mTrayCheckBox},
        {"ConfirmCheckBox", "Confirm on exit", 80, 89, &mConfirmCheckBox},
    };
    for (const Box& box : boxes) {
        auto* check = new QCheckBox(box.caption, options);
        check->setObjectName(box.name);
        // A little wider than the text needs, so that no caption touches
        // the frame of its group in any font.
        check->setGeometry(8, box.top, box.width + 16, 17);
        *box.field = check;
        connect(check, &QCheckBox::toggled, this, [this] { ReadOptionsFromControls(); });
    }
    connect(mTrayCheckBox, &QCheckBox::clicked, this, [this] {
        if (!mCore->mStart)
            UpdateTrayVisibility();
    });

    auto* logging = new QGroupBox("Logging", page);
    logging->setObjectName("LoggingGroupBox");
    logging->setGeometry(8, 120, 125, 65);
    auto* label = new QLabel("Time format", logging);
    label->setGeometry(8, 16, 97, 13);
    mTimeLabeledEdit = new QLineEdit(logging);
    mTimeLabeledEdit->setObjectName("TimeLabeledEdit");
    mTimeLabeledEdit->setMaxLength(30);
    mTimeLabeledEdit->setGeometry(8, 32, 97, 21);
    label->setBuddy(mTimeLabeledEdit);
    connect(mTimeLabeledEdit, &QLineEdit::textChanged, this, [this] { ReadOptionsFromControls(); });
    ApplyOptionsToControls();
}

void TMainWindow::BuildAboutPage(QWidget* page) {
    auto* logo = new QLabel(page);
    logo->setObjectName("LogotypeImage");
    logo->setGeometry(8, 8, 128, 128);
    logo->setAlignment(Qt::AlignCenter);
    logo->setPixmap(QPixmap(":/kestrune/logo.png"));

    const int year = QDate::currentDate().year();
    struct Text {
        const char* name;
        QString text;
        int top;
    };
    const Text texts[] = {
        {"ApplicationLabel", QString("Kestrune ") + KestruneVersion, 8},
        {"CopyrightLabel", QString("Copyright (c) %1 the Kestrune developers").arg(year), 24},
        {"RightsLabel", "Free to use, study, change and share.", 40},
    };
    for (const Text& text : texts) {
        auto* label = new QLabel(text.text, page);
        label->setObjectName(text.name);
        label->move(144, text.top);
        label->adjustSize();
    }
    QPushButton* web =
        MakeButton(page, "WebsiteButton", "Web", "Visit website", QRect(7, 146, 130, 21));
    connect(web, &QPushButton::clicked, this, [] {
        QUrl url("https://kestrune.github.io/");
        url.setQuery("do=work&id=kestrune");
        QDesktopServices::openUrl(url);
    });
}

void TMainWindow::ApplyOptionsToControls() {
    const TOptions& o = mCore->Options();
    const QSignalBlocker b1(mRunCheckBox), b2(mHideCheckBox), b3(mMinimizeCheckBox),
        b4(mTrayCheckBox), b5(mConfirmCheckBox), b6(mTimeLabeledEdit);
    mRunCheckBox->setChecked(o.Run);
    mHideCheckBox->setChecked(o.Hide);
    mMinimizeCheckBox->setChecked(o.Minimize);
    mTrayCheckBox->setChecked(o.Tray);
    mConfirmCheckBox->setChecked(o.Confirm);
    mTimeLabeledEdit->setText(Q(o.Time));
}

void TMainWindow::ReadOptionsFromControls() {
    TOptions& o = mCore->Options();
    o.Run = mRunCheckBox->isChecked();
    o.Hide = mHideCheckBox->isChecked();
    o.Minimize = mMinimizeCheckBox->isChecked();
    o.Tray = mTrayCheckBox->isChecked();
    o.Confirm = mConfirmCheckBox->isChecked();
    o.Time = mTimeLabeledEdit->text().toStdString();
}

bool TMainWindow::SystemTrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TMainWindow::UpdateTrayVisibility() {
    const bool show = mTrayCheckBox->isChecked() && SystemTrayAvailable();
    mTrayIcon->setIcon(TrayImage(mTrayImage));
    mTrayIcon->setVisible(show);
}

bool TMainWindow::TrayVisible() const {
    return mTrayIcon->isVisible();
}

void TMainWindow::FormCreate() {
    mCore->FormCreate();
    ApplyOptionsToControls();
    const TOptions& o = mCore->Options();
    if (o.Page >= 0 && o.Page < mPageControl->count())
        mPageControl->setCurrentIndex(o.Page);
    mCore->SetActivePage(mPageControl->currentIndex());
    if (o.Placed)
        move(o.Left, o.Top);
    // A window hidden with no tray icon to click could not be brought back;
    // the option keeps its stored value.
    mHideCheckBox->setEnabled(SystemTrayAvailable());
    UpdateTrayVisibility();
    if (o.Minimize)
        setWindowState(windowState() | Qt::WindowMinimized);
}

void TMainWindow::CloseWithoutAsking() {
    mCore->CloseWithoutAsking();
    mClosing = true;
    close();
}

void TMainWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    mCore->Options().Top = y();
    mCore->Options().Left = x();
}

void TMainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    mCore->FormShow();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (!mClosing && !mCore->FormClose()) {
        event->ignore();
        return;
    }
    mClosing = true;
    mTrayIcon->hide();
    event->accept();
}

void TMainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        mCore->Options().Hide && mTrayIcon->isVisible()) {
        QTimer::singleShot(0, this, [this] { hide(); });
    }
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        mStatusPanels[1]->setText(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    if (event->type() == QEvent::ToolTip)
        return true; // hints are shown in the status bar only
    return QWidget::eventFilter(watched, event);
}

int TMainWindowMessage(TMainWindow* window, const QString& text, bool question) {
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Critical, "Kestrune", text,
                    question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, window);
    return box.exec();
}

void TMainWindow::ShowError(const std::string& text) {
    if (MessageHook)
        MessageHook(Q(text), false);
    else
        TMainWindowMessage(this, Q(text), false);
}

bool TMainWindow::AskYesNo(const std::string& text) {
    const int answer =
        MessageHook ? MessageHook(Q(text), true) : TMainWindowMessage(this, Q(text), true);
    return answer == QMessageBox::Yes;
}

void TMainWindow::SetStartCaption(const std::string& caption) {
    mStartButton->setText(Q(caption));
}

void TMainWindow::SetStatusText(int panel, const std::string& text) {
    if (panel >= 0 && panel < 2)
        mStatusPanels[panel]->setText(Q(text));
}

void TMainWindow::SetTrayImage(int index) {
    mTrayImage = index;
    mTrayIcon->setIcon(TrayImage(index));
}

void TMainWindow::SetMonitorTimer(bool enabled) {
    if (enabled)
        mMonitorTimer->start();
    else
        mMonitorTimer->stop();
}

void TMainWindow::LogAppended(const std::string& line) {
    mLogMemo->appendPlainText(Q(line));
    mLogMemo->verticalScrollBar()->setValue(mLogMemo->verticalScrollBar()->maximum());
    mLogMemo->horizontalScrollBar()->setValue(0);
}

void TMainWindow::LogCleared() {
    mLogMemo->clear();
}

void TMainWindow::MonitorChanged() {
    if (!mMonitorListView)
        return;
    mMonitorListView->setUpdatesEnabled(false);
    mMonitorListView->clear();
    const char* groups[] = {"Proxy server", "Port mapper", "Total"};
    for (int g = 0; g < 3; ++g) {
        auto* header = new QTreeWidgetItem(mMonitorListView, QStringList{groups[g]});
        header->setFlags(Qt::ItemIsEnabled);
        QFont bold = header->font(0);
        bold.setBold(true);
        header->setFont(0, bold);
        header->setFirstColumnSpanned(true);
        for (const TMonitorRow& row : mCore->MonitorRows()) {
            if (row.Group != g)
                continue;
            QStringList texts{Q(row.Caption)};
            for (const auto& column : row.Columns)
                texts << Q(column);
            auto* item = new QTreeWidgetItem(mMonitorListView, texts);
            item->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
            item->setTextAlignment(5, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
    mMonitorListView->setUpdatesEnabled(true);
}

// ---- The editing dialogs and the access page's commands ---------------------

namespace {

// Runs `action` on a double-click anywhere in a list, on a row or not.
class TDoubleClickFilter : public QObject {
public:
    TDoubleClickFilter(QObject* parent, std::function<void()> action)
        : QObject(parent), mAction(std::move(action)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::MouseButtonDblClick)
            return QObject::eventFilter(watched, event);
        mAction();
        return true;
    }

private:
    std::function<void()> mAction;
};

} // namespace

void TMainWindow::BuildDialogs() {
    mProxyForm = std::make_unique<TProxyForm>(*this);
    mMapperForm = std::make_unique<TMapperForm>(*this);
    mAccessForm = std::make_unique<TAccessForm>(*this);

    auto button = [this](const char* name) { return findChild<QPushButton*>(name); };
    connect(button("NewProxyButton"), &QPushButton::clicked, this,
            [this] { NewProxyButtonClick(); });
    connect(button("EditProxyButton"), &QPushButton::clicked, this,
            [this] { EditProxyButtonClick(); });
    connect(button("NewMapperButton"), &QPushButton::clicked, this,
            [this] { NewMapperButtonClick(); });
    connect(button("EditMapperButton"), &QPushButton::clicked, this,
            [this] { EditMapperButtonClick(); });
    connect(button("NewAccessButton"), &QPushButton::clicked, this,
            [this] { NewAccessButtonClick(); });
    connect(button("EditAccessButton"), &QPushButton::clicked, this,
            [this] { EditAccessButtonClick(); });
    connect(button("DeleteAccessButton"), &QPushButton::clicked, this,
            [this] { DeleteAccessButtonClick(); });
    connect(button("UpAccessButton"), &QPushButton::clicked, this,
            [this] { MoveAccessButtonClick(true); });
    connect(button("DownAccessButton"), &QPushButton::clicked, this,
            [this] { MoveAccessButtonClick(false); });
    connect(mAccessListView, &QTreeWidget::itemSelectionChanged, this,
            [this] { AccessSelectionChanged(); });

    // A double-click edits the selected row, or creates when none is.
    auto onDoubleClick = [this](QTreeWidget* list, std::function<void()> edit,
                                std::function<void()> create) {
        list->viewport()->installEventFilter(
            new TDoubleClickFilter(list, [this, list, edit, create] {
                if (list->selectedItems().isEmpty())
                    create();
                else
                    edit();
            }));
    };
    onDoubleClick(
        mProxyListView, [this] { EditProxyButtonClick(); }, [this] { NewProxyButtonClick(); });
    onDoubleClick(
        mMapperListView, [this] { EditMapperButtonClick(); }, [this] { NewMapperButtonClick(); });
    onDoubleClick(
        mAccessListView, [this] { EditAccessButtonClick(); }, [this] { NewAccessButtonClick(); });

    connect(mProxyForm.get(), &TEntryDialog::Saved, this,
            [this](const QString& name) { SelectRow(mProxyListView, name); });
    connect(mMapperForm.get(), &TEntryDialog::Saved, this,
            [this](const QString& name) { SelectRow(mMapperListView, name); });
    connect(mAccessForm.get(), &TEntryDialog::Saved, this,
            [this](const QString& name) { SelectRow(mAccessListView, name); });
}

void TMainWindow::NewProxyButtonClick() {
    mProxyForm->OpenNew();
}

void TMainWindow::EditProxyButtonClick() {
    const std::optional<std::string> selected = SelectedCaption(mProxyListView);
    if (!selected) {
        ShowError("No proxy server selected.");
        return;
    }
    const int index = mCore->GetProxyServer(*selected);
    if (index < 0) {
        ShowError("Proxy server not found.");
        return;
    }
    mProxyForm->OpenEdit(*mCore->ProxyServers[static_cast<std::size_t>(index)]);
}

void TMainWindow::NewMapperButtonClick() {
    mMapperForm->OpenNew();
}

void TMainWindow::EditMapperButtonClick() {
    const std::optional<std::string> selected = SelectedCaption(mMapperListView);
    if (!selected) {
        ShowError("No port mapper selected.");
        return;
    }
    const int index = mCore->GetPortMapper(*selected);
    if (index < 0) {
        ShowError("Port mapper not found.");
        return;
    }
    mMapperForm->OpenEdit(*mCore->PortMappers[static_cast<std::size_t>(index)]);
}

void TMainWindow::NewAccessButtonClick() {
    mAccessForm->OpenNew();
}

void TMainWindow::EditAccessButtonClick() {
    const std::optional<std::size_t> row = SelectedRow(mAccessListView);
    const TAccessRules::TSnapshot rules = mCore->AccessRules.Snapshot();
    if (!row || *row >= rules->size()) {
        ShowError("No access restriction selected.");
        return;
    }
    mAccessForm->OpenEdit((*rules)[*row], *row);
}

void TMainWindow::DeleteAccessButtonClick() {
    TEntryEditor(*mCore, *this).DeleteAccessRule(SelectedRow(mAccessListView));
}

void TMainWindow::MoveAccessButtonClick(bool up) {
    TEntryEditor editor(*mCore, *this);
    const std::optional<std::size_t> row = SelectedRow(mAccessListView);
    const std::optional<std::size_t> moved =
        up ? editor.MoveAccessRuleUp(row) : editor.MoveAccessRuleDown(row);
    if (moved)
        SelectRow(mAccessListView, static_cast<int>(*moved));
}

void TMainWindow::AccessSelectionChanged() {
    if (mCore->mStart)
        return;
    const std::optional<std::size_t> row = SelectedRow(mAccessListView);
    const auto count = static_cast<std::size_t>(mAccessListView->topLevelItemCount());
    findChild<QPushButton*>("EditAccessButton")->setEnabled(row.has_value());
    findChild<QPushButton*>("DeleteAccessButton")->setEnabled(row.has_value());
    findChild<QPushButton*>("UpAccessButton")->setEnabled(row && *row > 0);
    findChild<QPushButton*>("DownAccessButton")->setEnabled(row && *row + 1 < count);
}

std::optional<std::size_t> TMainWindow::SelectedRow(QTreeWidget* list) const {
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    const int index = list->indexOfTopLevelItem(selected.first());
    if (index < 0)
        return std::nullopt;
    return static_cast<std::size_t>(index);
}

void TMainWindow::SelectRow(QTreeWidget* list, int row) {
    if (QTreeWidgetItem* item = list->topLevelItem(row)) {
        list->clearSelection();
        list->setCurrentItem(item);
        item->setSelected(true);
    }
}

void TMainWindow::SelectRow(QTreeWidget* list, const QString& caption) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == caption) {
            SelectRow(list, i);
            return;
        }
}

} // namespace kestrune
