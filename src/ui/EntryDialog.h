// TEntryDialog: what the three editing dialogs share. A fixed-size window
// with only a close icon, shown without blocking while the main window is
// disabled, re-enabling it however it closes; labelled fields placed as the
// designed layout gives them; numeric fields that rewrite themselves on every
// change; and the report of a failed Save. Main thread only.
#pragma once

#include "base/Validation.h"
#include "core/EntryEditor.h"

#include <QWidget>

#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace kestrune {

class TMainWindow;

// An up-down control: two arrow buttons holding a position inside a range,
// moved by a fixed step.
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
    // An arrow moved the position.
    void Stepped(int position);

private:
    void Step(int direction);
    QToolButton* mUp;
    QToolButton* mDown;
    int mMin, mMax, mIncrement, mPosition;
};

class TEntryDialog : public QWidget {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 177;

    // The client area is ClientWidth x height.
    TEntryDialog(TMainWindow& main, const QString& name, int height);
    ~TEntryDialog() override;

    // "0.0.0.0", "127.0.0.1", then the host's own IPv4 addresses, loopback
    // interfaces left out, in the order the system lists them.
    static QStringList HostAddresses();

    // Centres the dialog over the main window, disables the main window and
    // shows the dialog without waiting for it.
    void ShowOver();

    QPushButton* SaveButton() const { return mSaveButton; }
    QPushButton* CloseButton() const { return mCloseButton; }

signals:
    // Save stored the entry under this name; the main window selects its row.
    void Saved(const QString& name);

protected:
    void closeEvent(QCloseEvent* event) override;

    // The controls, created in tab order. Labels sit above their fields.
    QCheckBox* AddEnableCheckBox();
    QLineEdit* AddLabeledEdit(const QString& name, const QString& label, int left, int top,
                              int width, int maxLength, const QString& hint = {});
    QComboBox* AddComboBox(const QString& name, const QString& labelName, const QString& label,
                           int left, int top, int width, const QStringList& fixedItems = {});
    // A digits-only field that always shows a plain decimal number: text that
    // is not a number becomes `fallback`. No range: Save judges the range.
    QLineEdit* AddPortEdit(const QString& name, const QString& label, int left, int top, int width,
                           int fallback);
    // A digits-only field with its up-down control `<prefix>UpDown`, which
    // keeps the number inside min..max.
    QLineEdit* AddSpinEdit(const QString& prefix, const QString& label, int left, int top,
                           int width, int min, int max, int step, int fallback,
                           const QString& hint);
    void AddButtons(int top);

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
    QPushButton* mSaveButton = nullptr;
    QPushButton* mCloseButton = nullptr;
};

} // namespace kestrune
