#include "ui/EntryDialog.h"

#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QWindow>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace kestrune {

namespace {

constexpr int EditHeight = 21;
constexpr int LabelHeight = 13;
// A label sits this far above the top of its field.
constexpr int LabelOffset = 16;
constexpr int UpDownWidth = 15;
constexpr int UpDownHeight = 19;

} // namespace

// ---- TUpDown ----------------------------------------------------------------

TUpDown::TUpDown(QWidget* parent, int min, int max, int increment)
    : QWidget(parent), mMin(min), mMax(max), mIncrement(increment), mPosition(min) {
    mUp = new QToolButton(this);
    mDown = new QToolButton(this);
    const int upHeight = (UpDownHeight + 1) / 2;
    for (QToolButton* button : {mUp, mDown}) {
        button->setArrowType(button == mUp ? Qt::UpArrow : Qt::DownArrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setIconSize(QSize(7, 4));
    }
    mUp->setGeometry(0, 0, UpDownWidth, upHeight);
    mDown->setGeometry(0, upHeight, UpDownWidth, UpDownHeight - upHeight);
    connect(mUp, &QToolButton::clicked, this, [this] { Step(1); });
    connect(mDown, &QToolButton::clicked, this, [this] { Step(-1); });
    setFocusPolicy(Qt::NoFocus);
}

int TUpDown::SetPosition(int value) {
    mPosition = std::clamp(value, mMin, mMax);
    return mPosition;
}

void TUpDown::Step(int direction) {
    const long long next = static_cast<long long>(mPosition) + direction * mIncrement;
    SetPosition(static_cast<int>(std::clamp<long long>(next, mMin, mMax)));
    emit Stepped(mPosition);
}

// ---- TEntryDialog -----------------------------------------------------------

TEntryDialog::TEntryDialog(TMainWindow& main, const QString& name, int height)
    : QWidget(nullptr), mMain(main), mEditor(main.Core(), main) {
    // No parent: a disabled parent would disable its child windows too, and
    // the main window is disabled exactly while a dialog is open.
    setObjectName(name);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFont(TMainWindow::WindowFont());
    setFixedSize(ClientWidth, height);
}

TEntryDialog::~TEntryDialog() = default;

QStringList TEntryDialog::HostAddresses() {
    QStringList out{"0.0.0.0", "127.0.0.1"};
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET ||
            (a->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr)
            out << QString::fromLatin1(text);
    }
    freeifaddrs(list);
    return out;
}

void TEntryDialog::ShowOver() {
    const QRect main = mMain.frameGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(main.center());
    move(frame.topLeft());
    mMain.setEnabled(false);
    show();
    // Keep the dialog above the main window without making it a child.
    if (QWindow* window = windowHandle(); window && mMain.windowHandle())
        window->setTransientParent(mMain.windowHandle());
    activateWindow();
}

void TEntryDialog::closeEvent(QCloseEvent* event) {
    mMain.setEnabled(true);
    QWidget::closeEvent(event);
}

QCheckBox* TEntryDialog::AddEnableCheckBox() {
    mEnableCheckBox = new QCheckBox("Enabled", this);
    mEnableCheckBox->setObjectName("EnableCheckBox");
    // 57 wide as designed, plus room for the indicator's wider spacing here.
    mEnableCheckBox->setGeometry(8, 8, 65, 17);
    return mEnableCheckBox;
}

QLineEdit* TEntryDialog::AddLabeledEdit(const QString& name, const QString& label, int left,
                                        int top, int width, int maxLength, const QString& hint) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setGeometry(left, top, width, EditHeight);
    edit->setMaxLength(maxLength);
    edit->setStatusTip(hint);
    auto* caption = new QLabel(label, this);
    caption->setObjectName(name + "Label");
    caption->setGeometry(left, top - LabelOffset, width, LabelHeight);
    caption->setBuddy(edit);
    caption->setStatusTip(hint);
    return edit;
}

QComboBox* TEntryDialog::AddComboBox(const QString& name, const QString& labelName,
                                     const QString& label, int left, int top, int width,
                                     const QStringList& fixedItems) {
    auto* combo = new QComboBox(this);
    combo->setObjectName(name);
    combo->setGeometry(left, top, width, EditHeight);
    if (fixedItems.isEmpty()) {
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        // What the operator types is what is stored: no completion behind
        // the cursor.
        combo->setCompleter(nullptr);
        combo->lineEdit()->setMaxLength(15);
    } else {
        combo->addItems(fixedItems);
    }
    auto* caption = new QLabel(label, this);
    caption->setObjectName(labelName);
    caption->setGeometry(left, top - LabelOffset, width, LabelHeight);
    caption->setBuddy(combo);
    return combo;
}

QLineEdit* TEntryDialog::AddPortEdit(const QString& name, const QString& label, int left, int top,
                                     int width, int fallback) {
    QLineEdit* edit = AddLabeledEdit(name, label, left, top, width, 5);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    connect(edit, &QLineEdit::textChanged, this, [edit, fallback](const QString& text) {
        const QString plain = QString::number(ReadPortText(text.toStdString(), fallback));
        if (plain != text)
            edit->setText(plain);
    });
    edit->setText(QString::number(fallback));
    return edit;
}

QLineEdit* TEntryDialog::AddSpinEdit(const QString& prefix, const QString& label, int left, int top,
                                     int width, int min, int max, int step, int fallback,
                                     const QString& hint) {
    QLineEdit* edit = AddLabeledEdit(prefix + "LabeledEdit", label, left, top, width, 4, hint);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    edit->setTextMargins(0, 0, UpDownWidth, 0);
    auto* upDown = new TUpDown(this, min, max, step);
    upDown->setObjectName(prefix + "UpDown");
    upDown->setStatusTip(hint);
    // Inside the right edge of the edit, as the main window's FixUpDown
    // places it.
    upDown->setGeometry(left + width - UpDownWidth - 1, top + 1, UpDownWidth, UpDownHeight);
    connect(edit, &QLineEdit::textChanged, this, [edit, upDown, fallback](const QString& text) {
        const int position = upDown->SetPosition(ReadPortText(text.toStdString(), fallback));
        const QString shown = QString::number(position);
        if (shown != text)
            edit->setText(shown);
    });
    connect(upDown, &TUpDown::Stepped, edit,
            [edit](int position) { edit->setText(QString::number(position)); });
    edit->setText(QString::number(fallback));
    return edit;
}

void TEntryDialog::AddButtons(int top) {
    mSaveButton = new QPushButton("Save", this);
    mSaveButton->setObjectName("SaveButton");
    mSaveButton->setGeometry(7, top, 78, 21);
    mCloseButton = new QPushButton("Close", this);
    mCloseButton->setObjectName("CloseButton");
    mCloseButton->setGeometry(92, top, 78, 21);
    // Neither is a default or a cancel button: Enter and Escape press nothing.
    for (QPushButton* button : {mSaveButton, mCloseButton}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    connect(mSaveButton, &QPushButton::clicked, this, [this] { SaveButtonClick(); });
    connect(mCloseButton, &QPushButton::clicked, this, [this] { close(); });
}

void TEntryDialog::PrepareHostCombo(QComboBox* combo) {
    combo->clear();
    combo->addItems(HostAddresses());
    SetHostText(combo, {});
}

void TEntryDialog::SetHostText(QComboBox* combo, const QString& text) {
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
}

std::string TEntryDialog::Text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

std::string TEntryDialog::Text(const QComboBox* combo) {
    return combo->currentText().toStdString();
}

TUpDown* TEntryDialog::UpDown(const QString& prefix) const {
    return findChild<TUpDown*>(prefix + "UpDown");
}

void TEntryDialog::SetServiceValues(const TServiceValues& values) {
    auto set = [this](const char* prefix, int value) {
        findChild<QLineEdit*>(QString(prefix) + "LabeledEdit")->setText(QString::number(value));
    };
    set("Queue", values.mQueue);
    set("Limit", values.mLimit);
    set("Buffer", values.mBuffer);
    set("Wait", values.mWait);
    mEnableCheckBox->setChecked(values.mEnable);
}

TServiceValues TEntryDialog::ServiceValues() const {
    TServiceValues values;
    values.mEnable = mEnableCheckBox->isChecked();
    // What the spinners hold, which their fields show.
    values.mQueue = UpDown("Queue")->Position();
    values.mLimit = UpDown("Limit")->Position();
    values.mBuffer = UpDown("Buffer")->Position();
    values.mWait = UpDown("Wait")->Position();
    return values;
}

bool TEntryDialog::Report(const TSaveCheck& check) {
    mNameLabeledEdit->setText(QString::fromStdString(check.mName));
    if (check.Passed())
        return true;
    ShowError(QString::fromStdString(check.mMessage));
    if (!check.mFocus.empty())
        if (auto* control = findChild<QWidget*>(QString::fromStdString(check.mFocus)))
            control->setFocus(Qt::OtherFocusReason);
    return false;
}

void TEntryDialog::ShowError(const QString& text) {
    if (mMain.MessageHook) {
        mMain.MessageHook(text, false);
        return;
    }
    QMessageBox box(QMessageBox::Critical, "Kestrune", text, QMessageBox::Ok, this);
    box.exec();
}

void TEntryDialog::Finish(const std::string& name) {
    emit Saved(QString::fromStdString(name));
    close();
}

} // namespace kestrune
