#include "ui/MainWindow.h"

#include "ui/AccessDialog.h"
#include "ui/MapperDialog.h"
#include "ui/ProxyDialog.h"

#include "ui/ListView.h"

#include "base/Upstream.h"
#include "base/Version.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDate>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusTipEvent>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabBar>
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

// A control's hint shows in the status bar while the mouse is over it, and
// as its tool-tip.
void SetHint(QWidget* widget, const QString& hint) {
    widget->setStatusTip(hint);
    widget->setToolTip(hint);
}

QPushButton* MakeButton(QWidget* parent, const QString& name, const QString& caption,
                        const QString& hint) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    SetHint(button, hint);
    return button;
}

// The captions of the buttons, each with its mnemonic.
QString Mnemonic(const QString& caption) {
    static const QMap<QString, QString> Mnemonics{
        {"New", "&New"},     {"Edit", "&Edit"},       {"Delete", "&Delete"},
        {"Drop", "D&rop"},   {"Move up", "Move &up"}, {"Move down", "Move do&wn"},
        {"Start", "&Start"}, {"Stop", "S&top"},       {"Web", "&Web"}};
    return Mnemonics.value(caption, caption);
}

} // namespace

QString TMainWindow::Caption() {
    return "Kestrune - the Kestrune developers' gateway";
}

QIcon TMainWindow::ProgramIcon() {
    InitResources();
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/kestrune/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}

void TMainWindow::ConfigureApplication() {
    // No display name: Qt would append it to every caption ("Kestrune -
    // ... — Kestrune"), and the captions already say what they must.
    QApplication::setApplicationName("Kestrune");
    QGuiApplication::setDesktopFileName("kestrune");
    QApplication::setWindowIcon(ProgramIcon());
}

TMainWindow::TMainWindow() : mCore(std::make_unique<TMainForm>(*this)) {
    InitResources();
    setObjectName("MainForm");
    setWindowTitle(Caption());
    // Dialogs and message boxes take the icon from here, their parent.
    setWindowIcon(ProgramIcon());

    // Work handed over by other threads runs from the event loop.
    mCore->MainQueue().SetWaker([this] {
        QMetaObject::invokeMethod(
            this, [this] { mCore->MainQueue().Drain(); }, Qt::QueuedConnection);
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* body = new QVBoxLayout;
    const int margin = style()->pixelMetric(QStyle::PM_LayoutLeftMargin) / 2 + 4;
    body->setContentsMargins(margin, margin, margin, margin);
    layout->addLayout(body, 1);

    mPageControl = new QTabWidget(this);
    mPageControl->setObjectName("PageControl");
    mPageControl->setUsesScrollButtons(true);
    mPageControl->setElideMode(Qt::ElideNone);
    body->addWidget(mPageControl, 1);
    BuildPages();
    connect(mPageControl, &QTabWidget::currentChanged, this, [this](int index) {
        mCore->SetActivePage(index);
        mCore->Options().Page = index;
    });

    mStartButton = new QPushButton(Mnemonic("Start"), this);
    mStartButton->setObjectName("StartButton");
    body->addWidget(mStartButton);
    connect(mStartButton, &QPushButton::clicked, this, [this] { mCore->StartButtonClick(); });

    auto* statusBar = new QWidget(this);
    statusBar->setObjectName("StatusBar");
    auto* panels = new QHBoxLayout(statusBar);
    panels->setContentsMargins(0, 1, 0, 0);
    panels->setSpacing(2);
    const int widths[2] = {80, 200};
    for (int i = 0; i < 2; ++i) {
        auto* panel = new QLabel(statusBar);
        panel->setObjectName(QString("StatusPanel%1").arg(i));
        panel->setAlignment(Qt::AlignCenter);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setMinimumWidth(widths[i]);
        mStatusPanels[i] = panel;
    }
    // The uptime panel keeps its size however large "00:00:00" is drawn;
    // the hint panel takes the rest of the bar, so that no hint is cut.
    mStatusPanels[0]->setMinimumWidth(
        std::max(widths[0], fontMetrics().horizontalAdvance("000:00:00") + 8));
    panels->addWidget(mStatusPanels[0]);
    panels->addWidget(mStatusPanels[1], 1);
    layout->addWidget(statusBar);
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

    // Hints of every window of the program reach its status line.
    qApp->installEventFilter(this);

    // Ctrl+Q closes the window as its close button does, question included.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    quit->setObjectName("QuitShortcut");
    connect(quit, &QShortcut::activated, this, [this] { close(); });

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        PlaceWindow(screen->availableGeometry());
    else
        resize(DefaultSize());

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
        {7, 95, 183, 569}, "No proxy servers. Press New to add one.");
    BuildServicePage(
        pages[1], "Mapper", {"Name", "Listen IP", "Port", "Protocol", "Enabled"},
        {160, 160, 100, 100, 100}, {"New", "Edit", "Delete", "Drop"},
        {"New port mapper", "Edit port mapper", "Delete port mapper", "Drop all connections"},
        {7, 95, 183, 569}, "No port mappers. Press New to add one.");
    BuildServicePage(pages[2], "Access",
                     {"Name", "Listen IP", "Port", "Remote IP", "Port", "Target IP", "Port", "Via",
                      "Action", "Enabled"},
                     {80, 75, 45, 75, 45, 100, 45, 95, 50, 55},
                     {"New", "Edit", "Delete", "Move up", "Move down"},
                     {"New access restriction", "Edit access restriction",
                      "Delete access restriction", "Move up rule", "Move down rule"},
                     {7, 95, 183, 481, 569}, "No access restrictions. Press New to add one.");
    BuildMonitorPage(pages[3]);
    BuildSettingsPage(pages[4]);
    BuildAboutPage(pages[5]);
}

void TMainWindow::BuildServicePage(QWidget* page, const QString& prefix, const QStringList& columns,
                                   const QList<int>& widths, const QStringList& buttons,
                                   const QStringList& hints, const QList<int>& lefts,
                                   const QString& emptyText) {
    auto* list = new TListView(page, prefix + "ListView", columns, widths, emptyText);
    list->headerItem()->setTextAlignment(static_cast<int>(columns.size()) - 1,
                                         Qt::AlignRight | Qt::AlignVCenter);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(list, 1);
    // The buttons keep the designed order and grouping: the commands on the
    // entry at the left, Drop and the moves at the right.
    auto* row = new QHBoxLayout;
    bool right = false;
    static const QMap<QString, QString> Names{{"New", "New"},       {"Edit", "Edit"},
                                              {"Delete", "Delete"}, {"Drop", "Drop"},
                                              {"Move up", "Up"},    {"Move down", "Down"}};
    for (int i = 0; i < buttons.size(); ++i) {
        if (!right && lefts[i] > 400) {
            row->addStretch(1);
            right = true;
        }
        QPushButton* button =
            MakeButton(page, Names[buttons[i]] + prefix + "Button", Mnemonic(buttons[i]), hints[i]);
        button->setMinimumWidth(81);
        button->setEnabled(i == 0);
        row->addWidget(button);
    }
    layout->addLayout(row);
    (prefix == "Proxy"    ? mProxyListView
     : prefix == "Mapper" ? mMapperListView
                          : mAccessListView) = list;
    if (prefix == "Access") {
        // Patterns and upstreams can be long: the other columns stay in view.
        list->LimitColumn(5, 110);
        list->LimitColumn(7, 100);
        return;
    }
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
    auto fill = [](QTreeWidget* list, const std::vector<std::vector<std::string>>& rows,
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
            if (auto* view = qobject_cast<TListView*>(list))
                for (int c = 0; c < columns; ++c)
                    if (view->Limited(c))
                        item->setToolTip(c, texts[c]);
            if (!selected.isEmpty() && texts[0] == selected && list->selectedItems().isEmpty())
                item->setSelected(true);
        }
        if (auto* view = qobject_cast<TListView*>(list))
            view->FitColumnsToTexts();
    };
    auto rowsOf = [](const std::vector<TListRow>& source) {
        std::vector<std::vector<std::string>> rows;
        for (const auto& r : source)
            rows.emplace_back(r.Columns.begin(), r.Columns.end());
        return rows;
    };
    fill(mProxyListView, rowsOf(mCore->ProxyRows), 5);
    fill(mMapperListView, rowsOf(mCore->MapperRows), 5);
    std::vector<std::vector<std::string>> rules;
    const TAccessRules::TSnapshot snapshot = mCore->AccessRules.Snapshot();
    // The password of a Via shows as dots, as in the password fields.
    const std::string dot =
        QString(QChar(style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter))).toStdString();
    for (const TAccessRule& r : *snapshot)
        rules.push_back({r.mName, r.mOwnHost, r.mOwnPort, r.mRemHost, r.mRemPort, r.mToHost,
                         r.mToPort, ViaWithPasswordDots(r.mVia, dot), r.mAction, r.mEnable});
    fill(mAccessListView, rules, 10);
    ServiceSelectionChanged("Proxy");
    ServiceSelectionChanged("Mapper");
    AccessSelectionChanged();
}

void TMainWindow::BuildMonitorPage(QWidget* page) {
    mMonitorListView = new TListView(page, "MonitorListView",
                                     {"Name", "Online", "Total", "Drops", "Traffic", "Total"},
                                     {120, 100, 100, 100, 100, 100});
    mMonitorListView->headerItem()->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
    mMonitorListView->headerItem()->setTextAlignment(5, Qt::AlignRight | Qt::AlignVCenter);

    mLogMemo = new QPlainTextEdit(page);
    mLogMemo->setObjectName("LogMemo");
    mLogMemo->setReadOnly(true);
    mLogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    mLogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLogMemo->setMaximumBlockCount(static_cast<int>(TEventLog::MaxLines));

    // The clear button sits in the corner between the log's scroll bars,
    // wherever the log's size puts that corner.
    auto* clear = new QToolButton(page);
    clear->setObjectName("ClearButton");
    clear->setText("<");
    SetHint(clear, "Clear log");
    mLogMemo->setCornerWidget(clear);
    connect(clear, &QToolButton::clicked, this, [this] { mCore->ClearButtonClick(); });

    // The designed proportions: the table about twice the log's height.
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(mMonitorListView, 2);
    layout->addWidget(mLogMemo, 1);
    MonitorChanged();
}

void TMainWindow::BuildSettingsPage(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    auto* options = new QGroupBox("Options", page);
    options->setObjectName("OptionsGroupBox");
    // Tight rows: the page must fit a small screen at twice the scale.
    auto* optionsLayout = new QVBoxLayout(options);
    optionsLayout->setSpacing(0);
    struct Box {
        const char* name;
        const char* caption;
        QCheckBox** field;
    };
    const Box boxes[] = {
        {"RunCheckBox", "Run on start", &mRunCheckBox},
        {"HideCheckBox", "Hide on minimize", &mHideCheckBox},
        {"MinimizeCheckBox", "Minimize on start", &mMinimizeCheckBox},
        {"TrayCheckBox", "Show tray icon", &mTrayCheckBox},
        {"ConfirmCheckBox", "Confirm on exit", &mConfirmCheckBox},
    };
    for (const Box& box : boxes) {
        auto* check = new QCheckBox(box.caption, options);
        check->setObjectName(box.name);
        optionsLayout->addWidget(check);
        *box.field = check;
        connect(check, &QCheckBox::toggled, this, [this] { ReadOptionsFromControls(); });
    }
    connect(mTrayCheckBox, &QCheckBox::clicked, this, [this] {
        if (!mCore->mStart)
            UpdateTrayVisibility();
    });

    auto* logging = new QGroupBox("Logging", page);
    logging->setObjectName("LoggingGroupBox");
    auto* loggingLayout = new QVBoxLayout(logging);
    loggingLayout->setSpacing(2);
    auto* label = new QLabel("Time format", logging);
    mTimeLabeledEdit = new QLineEdit(logging);
    mTimeLabeledEdit->setObjectName("TimeLabeledEdit");
    mTimeLabeledEdit->setMaxLength(30);
    mTimeLabeledEdit->setMinimumWidth(fontMetrics().horizontalAdvance("hh:nn:ss.zzz") +
                                      4 * fontMetrics().averageCharWidth());
    label->setBuddy(mTimeLabeledEdit);
    loggingLayout->addWidget(label);
    loggingLayout->addWidget(mTimeLabeledEdit);
    connect(mTimeLabeledEdit, &QLineEdit::textChanged, this, [this] { ReadOptionsFromControls(); });

    // Both groups as wide as the wider needs, at the top left of the page.
    for (QGroupBox* group : {options, logging}) {
        group->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        layout->addWidget(group, 0, Qt::AlignLeft);
    }
    const int width = std::max(options->sizeHint().width(), logging->sizeHint().width());
    options->setFixedWidth(width);
    logging->setFixedWidth(width);
    layout->addStretch(1);
    ApplyOptionsToControls();
}

void TMainWindow::BuildAboutPage(QWidget* page) {
    auto* layout = new QGridLayout(page);
    auto* logo = new QLabel(page);
    logo->setObjectName("LogotypeImage");
    logo->setFixedSize(128, 128);
    logo->setAlignment(Qt::AlignCenter);
    layout->addWidget(logo, 0, 0);
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
    auto* labels = new QVBoxLayout;
    for (const Text& text : texts) {
        auto* label = new QLabel(text.text, page);
        label->setObjectName(text.name);
        labels->addWidget(label);
    }
    labels->addStretch(1);
    layout->addLayout(labels, 0, 1);
    QPushButton* web = MakeButton(page, "WebsiteButton", Mnemonic("Web"), "Visit website");
    web->setFixedWidth(130);
    layout->addWidget(web, 1, 0);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(2, 1);
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
    // The screen that holds most of the stored place, else the primary one.
    const QRect wanted(QPoint(o.Left, o.Top), size());
    QScreen* target = QGuiApplication::primaryScreen();
    int most = 0;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect common = screen->availableGeometry().intersected(wanted);
        if (o.Placed && common.width() * common.height() > most) {
            most = common.width() * common.height();
            target = screen;
        }
    }
    if (target)
        PlaceWindow(target->availableGeometry());
    // A window hidden with no tray icon to click could not be brought back;
    // the option keeps its stored value.
    mHideCheckBox->setEnabled(SystemTrayAvailable());
    UpdateTrayVisibility();
    if (o.Minimize)
        setWindowState(windowState() | Qt::WindowMinimized);
}

QRect TMainWindow::FitFrame(QRect frame, const QRect& available) {
    frame.setSize(frame.size().boundedTo(available.size()));
    if (frame.right() > available.right())
        frame.moveRight(available.right());
    if (frame.bottom() > available.bottom())
        frame.moveBottom(available.bottom());
    if (frame.left() < available.left())
        frame.moveLeft(available.left());
    if (frame.top() < available.top())
        frame.moveTop(available.top());
    return frame;
}

QMargins TMainWindow::FrameMargins(const QWidget& window) {
    const QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    if (window.isVisible() && frame != client)
        return {client.left() - frame.left(), client.top() - frame.top(),
                frame.right() - client.right(), frame.bottom() - client.bottom()};
    // Not shown yet: the window manager has not said; a title bar as high as
    // two lines of text is a common size.
    const int title = std::max(window.style()->pixelMetric(QStyle::PM_TitleBarHeight),
                               2 * window.fontMetrics().height());
    return {0, title, 0, 0};
}

void TMainWindow::PlaceWindow(const QRect& available) {
    const TOptions& o = mCore->Options();
    const QSize client = o.Width > 0 && o.Height > 0 ? QSize(o.Width, o.Height) : DefaultSize();
    const QMargins margins = FrameMargins(*this);
    QRect frame(QPoint(o.Left, o.Top),
                client.grownBy(margins).expandedTo(minimumSize().grownBy(margins)));
    if (!o.Placed)
        frame.moveCenter(available.center());
    frame = FitFrame(frame, available);
    resize(frame.size().shrunkBy(margins));
    move(frame.topLeft());
}

QSize TMainWindow::DefaultSize() const {
    // The designed size, or more where the desktop's font needs it: every
    // page's tab in view and every control at its least size.
    const QMargins margins = layout()->itemAt(0)->layout()->contentsMargins();
    const int tabs = mPageControl->tabBar()->sizeHint().width() + margins.left() + margins.right() +
                     2 * fontMetrics().height();
    return QSize(ClientWidth, ClientHeight).expandedTo(minimumSizeHint()).expandedTo({tabs, 0});
}

bool TMainWindow::NormalState() const {
    return !(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
}

void TMainWindow::CloseWithoutAsking() {
    mCore->CloseWithoutAsking();
    mClosing = true;
    close();
}

void TMainWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (!NormalState())
        return;
    mCore->Options().Top = y();
    mCore->Options().Left = x();
}

void TMainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!NormalState())
        return;
    mCore->Options().Width = width();
    mCore->Options().Height = height();
}

void TMainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    mCore->FormShow();
    if (mShownOnce)
        return;
    mShownOnce = true;
    // Once the window manager has framed the window its real frame is
    // known; a frame larger than guessed must not push it off the screen.
    QTimer::singleShot(0, this, [this] {
        const QScreen* screen = this->screen();
        if (!screen || !NormalState())
            return;
        const QRect frame = frameGeometry();
        const QRect fitted = FitFrame(frame, screen->availableGeometry());
        if (fitted == frame)
            return;
        resize(size() - (frame.size() - fitted.size()));
        move(fitted.topLeft());
    });
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (!mClosing && !mCore->FormClose()) {
        event->ignore();
        return;
    }
    mClosing = true;
    mTrayIcon->hide();
    for (QDialog* dialog : findChildren<QDialog*>())
        dialog->hide();
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
        // The hint line of the window the control is in: a dialog's own
        // while it is open (the main window behind it is blocked), the
        // status bar for everything else.
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        const auto* widget = qobject_cast<QWidget*>(watched);
        if (auto* dialog = qobject_cast<TEntryDialog*>(widget ? widget->window() : nullptr))
            dialog->ShowHint(tip);
        else
            mStatusPanels[1]->setText(tip);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

namespace {

int Message(QWidget* parent, const QString& text, bool question) {
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Critical, "Kestrune", text,
                    question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, parent);
    return box.exec();
}

} // namespace

void TMainWindow::ShowError(const std::string& text) {
    // Above whatever the operator is looking at: the open dialog, else this
    // window; a child of it either way.
    QWidget* parent = QApplication::activeModalWidget();
    if (parent == nullptr || (parent != this && !isAncestorOf(parent)))
        parent = this;
    if (MessageHook)
        MessageHook(Q(text), false);
    else
        Message(parent, Q(text), false);
}

bool TMainWindow::AskYesNo(const std::string& text) {
    const int answer = MessageHook ? MessageHook(Q(text), true) : Message(this, Q(text), true);
    return answer == QMessageBox::Yes;
}

void TMainWindow::SetStartCaption(const std::string& caption) {
    mStartButton->setText(Mnemonic(Q(caption)));
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

    // Keys of the lists, for the operator who does not reach for the mouse.
    AddListKeys(
        mProxyListView, [this] { EditProxyButtonClick(); }, [this] { NewProxyButtonClick(); },
        [this] { mCore->DeleteProxyServer(SelectedCaption(mProxyListView)); });
    AddListKeys(
        mMapperListView, [this] { EditMapperButtonClick(); }, [this] { NewMapperButtonClick(); },
        [this] { mCore->DeletePortMapper(SelectedCaption(mMapperListView)); });
    AddListKeys(
        mAccessListView, [this] { EditAccessButtonClick(); }, [this] { NewAccessButtonClick(); },
        [this] { DeleteAccessButtonClick(); });

    connect(mProxyForm.get(), &TEntryDialog::Saved, this,
            [this](const QString& name) { SelectRow(mProxyListView, name); });
    connect(mMapperForm.get(), &TEntryDialog::Saved, this,
            [this](const QString& name) { SelectRow(mMapperListView, name); });
    connect(mAccessForm.get(), &TEntryDialog::Saved, this,
            [this](const QString& name) { SelectRow(mAccessListView, name); });
}

void TMainWindow::AddListKeys(QTreeWidget* list, std::function<void()> edit,
                              std::function<void()> create, std::function<void()> remove) {
    QWidget* page = list->parentWidget();
    auto key = [this](QWidget* owner, const QKeySequence& keys, Qt::ShortcutContext context,
                      const std::function<void()>& action) {
        auto* shortcut = new QShortcut(keys, owner);
        shortcut->setContext(context);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    // Enter does what a double-click does: edit the selected row, or make
    // a new entry when none is selected.
    auto open = [list, edit, create] {
        if (list->selectedItems().isEmpty())
            create();
        else
            edit();
    };
    key(list, QKeySequence(Qt::Key_Return), Qt::WidgetShortcut, open);
    key(list, QKeySequence(Qt::Key_Enter), Qt::WidgetShortcut, open);
    // A Delete key pressed by mistake must not lose an entry: it asks first.
    key(list, QKeySequence(Qt::Key_Delete), Qt::WidgetShortcut, [this, list, remove] {
        const std::optional<std::string> name = SelectedCaption(list);
        if (name && AskYesNo("Delete " + *name + "?"))
            remove();
    });
    // Wherever the focus is in the window, while the page is in front (a
    // hidden page's keys do not answer).
    key(page, QKeySequence(Qt::Key_Insert), Qt::WindowShortcut, create);
    key(page, QKeySequence(Qt::CTRL | Qt::Key_N), Qt::WindowShortcut, create);
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
