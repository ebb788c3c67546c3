// The main window: a thin Qt view over TMainForm. It shows what the core
// holds and forwards the operator's actions to it. Main thread only.
#pragma once

#include "core/Main.h"

#include <QIcon>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QSystemTrayIcon;

namespace kestrune {

class TAccessForm;
class TMapperForm;
class TProxyForm;

class TMainWindow : public QWidget, public IMainView {
    Q_OBJECT
public:
    // The designed client area: the window's default size, unless the
    // desktop's font needs more or the screen has less.
    static constexpr int ClientWidth = 681;
    static constexpr int ClientHeight = 496;

    TMainWindow();
    ~TMainWindow() override;

    TMainForm& Core() { return *mCore; }

    // Runs the start-up sequence; call once before the window is shown.
    void FormCreate();
    // Closes the window without asking (a signal asked the program to end).
    void CloseWithoutAsking();

    // IMainView
    void ShowError(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void SetStartCaption(const std::string& caption) override;
    void SetStatusText(int panel, const std::string& text) override;
    void SetTrayImage(int index) override;
    void SetMonitorTimer(bool enabled) override;
    void LogAppended(const std::string& line) override;
    void LogCleared() override;
    void MonitorChanged() override;
    void ListsChanged() override;

    // Message boxes go through this hook when set, so tests can answer them.
    std::function<int(const QString& text, bool question)> MessageHook;

    // The tray image shown now: 0 stopped, 1 running.
    int TrayImageIndex() const { return mTrayImage; }
    bool TrayVisible() const;

    static QString Caption();
    // The program's icon (the one its desktop entry installs), in every size
    // it ships.
    static QIcon ProgramIcon();
    // Application-wide settings of the desktop program: its name (which the
    // window manager shows and no caption repeats), its desktop entry and
    // its icon. Call once, after the QApplication exists.
    static void ConfigureApplication();

    // Sizes and places the window from the stored options: the stored size
    // or the default one, the stored position or centred, and then pulled
    // inside `available` (a screen's free area) if it would stick out.
    void PlaceWindow(const QRect& available);
    // The part of `frame` that fits `available`: smaller if it is larger,
    // moved inside if it sticks out.
    static QRect FitFrame(QRect frame, const QRect& available);
    // The frame the window manager adds to `window`, or a guess before it
    // has said.
    static QMargins FrameMargins(const QWidget& window);

    // The three editing dialogs, created with the window and reused.
    TProxyForm& ProxyForm() { return *mProxyForm; }
    TMapperForm& MapperForm() { return *mMapperForm; }
    TAccessForm& AccessForm() { return *mAccessForm; }

protected:
    // Whether the desktop has a tray at all; without one the tray icon is
    // never shown and hiding on minimise is not offered.
    virtual bool SystemTrayAvailable() const;

    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildPages();
    void BuildServicePage(QWidget* page, const QString& prefix, const QStringList& columns,
                          const QList<int>& widths, const QStringList& buttons,
                          const QStringList& hints, const QList<int>& lefts,
                          const QString& emptyText);
    // The keys of a list and its page: Enter edits, Delete asks "Delete
    // NAME?" and then removes, Insert and Ctrl+N make a new entry while the
    // page is in front.
    void AddListKeys(QTreeWidget* list, std::function<void()> edit, std::function<void()> create,
                     std::function<void()> remove);
    QSize DefaultSize() const;
    // Whether the window has its normal size and place (not minimised,
    // maximised or full-screen), which the settings keep.
    bool NormalState() const;
    void BuildMonitorPage(QWidget* page);
    void BuildSettingsPage(QWidget* page);
    void BuildAboutPage(QWidget* page);
    void ApplyOptionsToControls();
    void ServiceSelectionChanged(const QString& prefix);
    std::optional<std::string> SelectedCaption(QTreeWidget* list) const;
    void ReadOptionsFromControls();
    void UpdateTrayVisibility();

    // The editing dialogs and the commands that open them; the access page.
    void BuildDialogs();
    void NewProxyButtonClick();
    void EditProxyButtonClick();
    void NewMapperButtonClick();
    void EditMapperButtonClick();
    void NewAccessButtonClick();
    void EditAccessButtonClick();
    void DeleteAccessButtonClick();
    void MoveAccessButtonClick(bool up);
    void AccessSelectionChanged();
    std::optional<std::size_t> SelectedRow(QTreeWidget* list) const;
    void SelectRow(QTreeWidget* list, int row);
    void SelectRow(QTreeWidget* list, const QString& caption);

    std::unique_ptr<TMainForm> mCore;
    QTabWidget* mPageControl = nullptr;
    QPushButton* mStartButton = nullptr;
    QLabel* mStatusPanels[2] = {nullptr, nullptr};
    QTimer* mMonitorTimer = nullptr;
    QPlainTextEdit* mLogMemo = nullptr;
    QTreeWidget* mMonitorListView = nullptr;
    QTreeWidget* mProxyListView = nullptr;
    QTreeWidget* mMapperListView = nullptr;
    QTreeWidget* mAccessListView = nullptr;
    QCheckBox* mRunCheckBox = nullptr;
    QCheckBox* mHideCheckBox = nullptr;
    QCheckBox* mMinimizeCheckBox = nullptr;
    QCheckBox* mTrayCheckBox = nullptr;
    QCheckBox* mConfirmCheckBox = nullptr;
    QLineEdit* mTimeLabeledEdit = nullptr;
    QSystemTrayIcon* mTrayIcon = nullptr;
    int mTrayImage = 0;
    bool mClosing = false;
    bool mShownOnce = false;
    // Declared after mCore, so destroyed before it: they hold references to it.
    std::unique_ptr<TProxyForm> mProxyForm;
    std::unique_ptr<TMapperForm> mMapperForm;
    std::unique_ptr<TAccessForm> mAccessForm;
};

} // namespace kestrune
