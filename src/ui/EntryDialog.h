// TEntryDialog: what the three editing dialogs share. A fixed-size dialog
// that belongs to the main window and blocks it while open (window-modal,
// shown without waiting, so the main window's timers and queue go on);
// labelled fields laid out as the designed layout orders them, sized by the
// desktop's font; numeric fields that the operator may empty while typing
// and that are put right when they lose the focus or Save is pressed; Enter
// for Save and Escape for Close; its own hint line; and the report of a
// failed Save. Main thread only.
#pragma once

#include "base/Validation.h"
#include "core/EntryEditor.h"

#include <QDialog>
#include <QLineEdit>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace kestrune {

class TMainWindow;

// An up-down control: two arrow buttons holding a position inside a range,
// moved by a fixed step. It sits inside the right edge of its edit.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    TUpDown(QWidget* parent, int min, int max, int increment);

    // Holds the value inside the range and returns what it holds.
    int SetPosition(int value);
    int Position() const { return mPosition; }
    int Min() const { return mMin; }
    int Max() const { return mMax; }

signals:
    // An arrow is about to move the position (the edit puts its text right
    // first), and an arrow moved it.
    void Stepping();
    void Stepped(int position);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Step(int direction);
    QToolButton* mUp;
    QToolButton* mDown;
    int mMin, mMax, mIncrement, mPosition;
};

// The field of an upstream proxy ("Via"). Its text is what the operator
// typed; a password in it shows as dots, as in a password field, unless
// "Show" is on or the operator is typing. While dots show, the field cannot
// be edited (the dots are not the text): Show makes it editable.
class TViaEdit : public QLineEdit {
public:
    explicit TViaEdit(QWidget* parent);

    std::string Via() const;
    void SetVia(const QString& text);
    void SetShown(bool shown);
    bool Shown() const { return mShown; }

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    // Shows the text, or its masked form, as the state asks.
    void Refresh();

    QString mVia;
    bool mShown = false;
    bool mRefreshing = false;
};

class TEntryDialog : public QDialog {
    Q_OBJECT
public:
    TEntryDialog(TMainWindow& main, const QString& name, const QString& newCaption,
                 const QString& editCaption);
    ~TEntryDialog() override;

    // "0.0.0.0", "127.0.0.1" and the host's other IPv4 addresses, then
    // "::", "::1" and its other IPv6 addresses (link-local ones left out),
    // each in the order the system lists them.
    static QStringList HostAddresses();

    // Sizes the dialog for the screen, centres it over the main window and
    // shows it window-modal without waiting for it.
    void ShowOver();
    // Fits the dialog into `available` (a screen's free area): the fields
    // scroll when the screen is too small for them; the buttons and the
    // hint line always show.
    void FitInto(const QRect& available);

    QPushButton* SaveButton() const { return mSaveButton; }
    QPushButton* CloseButton() const { return mCloseButton; }
    // The hint of the control under the mouse, while the dialog is open.
    void ShowHint(const QString& text);
    QLabel* HintLabel() const { return mHintLabel; }

    // Puts every numeric field right, as leaving it does.
    void CommitFields();

signals:
    // Save stored the entry under this name; the main window selects its row.
    void Saved(const QString& name);

protected:
    // The controls, created in tab order. Labels sit above their fields;
    // Row() lays out fields side by side, each as wide as `stretch` parts.
    QCheckBox* AddEnableCheckBox();
    // A check box on a line of its own below the rows so far.
    QCheckBox* AddCheckBox(const QString& name, const QString& caption, const QString& hint);
    // A check box for a row (beside another control).
    QCheckBox* NewCheckBox(const QString& name, const QString& caption, const QString& hint);
    // The "Outgoing IP" drop-down: "same" and the host list.
    QComboBox* NewOutHostComboBox();
    static void PrepareOutHostCombo(QComboBox* combo);
    // The "Via" field, with its "Show" button (ShowViaButton()).
    TViaEdit* NewViaEdit(const QString& hint);
    QToolButton* ShowViaButton() const { return mShowViaButton; }
    // A field for optional digits: empty stays empty, a number becomes plain
    // decimal once committed.
    QLineEdit* NewOptionalPortEdit(const QString& name, const QString& label, const QString& hint);
    // Several controls side by side in one cell of a row.
    QWidget* Beside(std::initializer_list<QWidget*> controls);
    QLineEdit* NewLabeledEdit(const QString& name, const QString& label, int maxLength,
                              const QString& hint = {});
    QComboBox* NewComboBox(const QString& name, const QString& labelName, const QString& label,
                           const QStringList& fixedItems = {});
    // A digits-only field that shows a plain decimal number once committed:
    // text that is not a number becomes `fallback`. No range: Save judges
    // the range.
    QLineEdit* NewPortEdit(const QString& name, const QString& label, int fallback);
    // A digits-only field with its up-down control `<prefix>UpDown`, which
    // keeps the number inside min..max.
    QLineEdit* NewSpinEdit(const QString& prefix, const QString& label, int min, int max, int step,
                           int fallback, const QString& hint);
    struct TCell {
        QWidget* control;
        int stretch;
        QWidget* beside = nullptr; // shown to the right of the control
    };
    void Row(std::initializer_list<TCell> cells);
    // The row of a service's spinners: Queue, Wait, Buffer and Limit.
    void AddServiceSpinners();
    // The row of a service's outgoing address and upstream proxy.
    void AddRouteFields(QComboBox*& outHost, TViaEdit*& via);
    void AddButtons();

    // Fills a host drop-down afresh: no item selected, `text` typed in.
    static void PrepareHostCombo(QComboBox* combo);
    static void SetHostText(QComboBox* combo, const QString& text);
    static std::string Text(const QLineEdit* edit);
    static std::string Text(const QComboBox* combo);
    TUpDown* UpDown(const QString& prefix) const;
    // The check box and the four spinners of a service dialog.
    void SetServiceValues(const TServiceValues& values);
    TServiceValues ServiceValues() const;

    // Writes the trimmed name back, and for a failure shows the message and
    // moves the focus to the control it names. True when the Save passed.
    bool Report(const TSaveCheck& check);
    void ShowError(const QString& text);
    // After a Save that passed: tells the main window, then closes.
    void Finish(const std::string& name);

    virtual void SaveButtonClick() = 0;

    TMainWindow& mMain;
    TEntryEditor mEditor;
    QCheckBox* mEnableCheckBox = nullptr;
    QLineEdit* mNameLabeledEdit = nullptr;

private:
    QLabel* LabelFor(QWidget* control, const QString& name, const QString& text);
    // A field's minimum width: `sample` in the dialog's font plus `extra`.
    void FitWidth(QWidget* control, const QString& sample, int extra);

    QWidget* mFields = nullptr; // the scrolled part: everything but the buttons
    QScrollArea* mScroll = nullptr;
    QVBoxLayout* mFieldsLayout = nullptr;
    QPushButton* mSaveButton = nullptr;
    QPushButton* mCloseButton = nullptr;
    QToolButton* mShowViaButton = nullptr;
    QLabel* mHintLabel = nullptr;
    QStringList mCaptions;
    std::vector<std::pair<QWidget*, QLabel*>> mLabels;
    std::vector<std::function<void()>> mCommits;
};

} // namespace kestrune
