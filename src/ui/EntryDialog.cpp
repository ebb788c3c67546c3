#include "ui/EntryDialog.h"

#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "base/IpAddress.h"
#include "base/ServiceSettings.h"
#include "base/Text.h"
#include "base/Upstream.h"

namespace kestrune {

namespace {

// Room that an edit's frame and inner margins take beside its text.
int EditPadding(const QWidget* widget) {
    return 2 * widget->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) +
           widget->fontMetrics().averageCharWidth() * 2;
}

} // namespace

// ---- TUpDown ----------------------------------------------------------------

TUpDown::TUpDown(QWidget* parent, int min, int max, int increment)
    : QWidget(parent), mMin(min), mMax(max), mIncrement(increment), mPosition(min) {
    mUp = new QToolButton(this);
    mDown = new QToolButton(this);
    for (QToolButton* button : {mUp, mDown}) {
        button->setArrowType(button == mUp ? Qt::UpArrow : Qt::DownArrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setIconSize(QSize(7, 4));
    }
    connect(mUp, &QToolButton::clicked, this, [this] { Step(1); });
    connect(mDown, &QToolButton::clicked, this, [this] { Step(-1); });
    setFocusPolicy(Qt::NoFocus);
}

void TUpDown::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int upHeight = (height() + 1) / 2;
    mUp->setGeometry(0, 0, width(), upHeight);
    mDown->setGeometry(0, upHeight, width(), height() - upHeight);
}

int TUpDown::SetPosition(int value) {
    mPosition = std::clamp(value, mMin, mMax);
    return mPosition;
}

void TUpDown::Step(int direction) {
    emit Stepping();
    const long long next = static_cast<long long>(mPosition) + direction * mIncrement;
    SetPosition(static_cast<int>(std::clamp<long long>(next, mMin, mMax)));
    emit Stepped(mPosition);
}

// ---- TViaEdit ---------------------------------------------------------------

TViaEdit::TViaEdit(QWidget* parent) : QLineEdit(parent) {
    // Whatever sets the text (the operator, a fill) sets the Via; the masked
    // form that Refresh shows does not.
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!mRefreshing)
            mVia = text;
    });
}

std::string TViaEdit::Via() const {
    return std::string(TrimBlanks(mVia.toStdString()));
}

void TViaEdit::SetVia(const QString& text) {
    mVia = text;
    Refresh();
}

void TViaEdit::SetShown(bool shown) {
    mShown = shown;
    Refresh();
}

void TViaEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    Refresh();
}

void TViaEdit::Refresh() {
    const QString dot(
        QChar(style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, this)));
    const QString masked =
        QString::fromStdString(ViaWithPasswordDots(mVia.toStdString(), dot.toStdString()));
    const bool dots = !mShown && masked != mVia;
    mRefreshing = true;
    if (text() != (dots ? masked : mVia)) {
        setText(dots ? masked : mVia);
        // A long Via shows from its scheme on.
        if (!hasFocus())
            setCursorPosition(0);
    }
    mRefreshing = false;
    setReadOnly(dots);
}

// ---- TEntryDialog -----------------------------------------------------------

TEntryDialog::TEntryDialog(TMainWindow& main, const QString& name, const QString& newCaption,
                           const QString& editCaption)
    : QDialog(&main), mMain(main), mEditor(main.Core(), main), mCaptions{newCaption, editCaption} {
    // A child of the main window: the window manager keeps it above the
    // main window, and window modality blocks the main window while it is
    // open without stopping the main window's timers and queue.
    setObjectName(name);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(newCaption);

    auto* outer = new QVBoxLayout(this);
    mScroll = new QScrollArea(this);
    mScroll->setObjectName("FieldsScrollArea");
    mScroll->setFrameShape(QFrame::NoFrame);
    mScroll->setWidgetResizable(true);
    mScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mFields = new QWidget;
    mFields->setObjectName("Fields");
    mFieldsLayout = new QVBoxLayout(mFields);
    // Rows a little closer than the style's default, so that every field
    // of the longest dialog fits a 640 x 400 screen without scrolling.
    mFieldsLayout->setSpacing(4);
    mFieldsLayout->setContentsMargins(0, 0, 0, 0);
    mScroll->setWidget(mFields);
    outer->addWidget(mScroll, 1);
}

TEntryDialog::~TEntryDialog() = default;

QStringList TEntryDialog::HostAddresses() {
    // Every address of the machine, IPv4 first, each family after its
    // "any" and loopback addresses.
    QStringList v4{"0.0.0.0", "127.0.0.1"};
    QStringList v6{"::", "::1"};
    for (const TIpAddress& address : LocalAddresses()) {
        // A link-local address needs an interface to be bound, which the
        // field cannot name.
        if (address.IsLinkLocal())
            continue;
        const QString text = QString::fromStdString(address.Text());
        QStringList& family = address.Family() == TIpAddress::V4 ? v4 : v6;
        if (!family.contains(text))
            family << text;
    }
    return v4 + v6;
}

void TEntryDialog::FitInto(const QRect& available) {
    mFieldsLayout->activate();
    layout()->activate();
    // Wide enough for the longer caption in the title bar's bold face, with
    // room for the icon and the close button the window manager adds, and
    // for every hint on one line.
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics boldMetrics(bold);
    int width = layout()->minimumSize().width();
    for (const QString& caption : mCaptions)
        width =
            std::max(width, boldMetrics.horizontalAdvance(caption) + 6 * fontMetrics().height());
    const QMargins margins = layout()->contentsMargins();
    for (QWidget* child : findChildren<QWidget*>())
        if (!child->statusTip().isEmpty())
            width = std::max(width, fontMetrics().horizontalAdvance(child->statusTip()) +
                                        EditPadding(this) + margins.left() + margins.right());
    const int titleBar = TMainWindow::FrameMargins(*this).top();
    const int chrome = layout()->sizeHint().height() - mScroll->sizeHint().height();
    const int natural = chrome + mFields->sizeHint().height();
    const int height = std::min(natural, available.height() - titleBar);
    if (height < natural)
        width += mScroll->verticalScrollBar()->sizeHint().width();
    setFixedSize(std::min(width, available.width()), height);
}

void TEntryDialog::ShowOver() {
    const QScreen* screen = mMain.screen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    FitInto(available);
    QRect frame(QPoint(), size().grownBy(TMainWindow::FrameMargins(*this)));
    frame.moveCenter(mMain.frameGeometry().center());
    move(TMainWindow::FitFrame(frame, available).topLeft());
    ShowHint({});
    mScroll->verticalScrollBar()->setValue(0);
    show();
    raise();
    activateWindow();
    mNameLabeledEdit->setFocus(Qt::OtherFocusReason);
}

void TEntryDialog::ShowHint(const QString& text) {
    mHintLabel->setText(text);
}

void TEntryDialog::CommitFields() {
    for (const auto& commit : mCommits)
        commit();
}

QLabel* TEntryDialog::LabelFor(QWidget* control, const QString& name, const QString& text) {
    auto* caption = new QLabel(text, mFields);
    caption->setObjectName(name);
    caption->setBuddy(control);
    mLabels.emplace_back(control, caption);
    return caption;
}

void TEntryDialog::FitWidth(QWidget* control, const QString& sample, int extra) {
    control->setMinimumWidth(control->fontMetrics().horizontalAdvance(sample) +
                             EditPadding(control) + extra);
}

QCheckBox* TEntryDialog::AddEnableCheckBox() {
    mEnableCheckBox = new QCheckBox("Enabled", mFields);
    mEnableCheckBox->setObjectName("EnableCheckBox");
    mFieldsLayout->addWidget(mEnableCheckBox);
    return mEnableCheckBox;
}

QCheckBox* TEntryDialog::AddCheckBox(const QString& name, const QString& caption,
                                     const QString& hint) {
    QCheckBox* box = NewCheckBox(name, caption, hint);
    mFieldsLayout->addWidget(box);
    return box;
}

QCheckBox* TEntryDialog::NewCheckBox(const QString& name, const QString& caption,
                                     const QString& hint) {
    auto* box = new QCheckBox(caption, mFields);
    box->setObjectName(name);
    box->setStatusTip(hint);
    box->setToolTip(hint);
    return box;
}

QComboBox* TEntryDialog::NewOutHostComboBox() {
    QComboBox* combo = NewComboBox("OutHostComboBox", "OutHostLabel", "Outgoing IP");
    const QString hint = "Address to connect from; same: the one the client came to; empty: any";
    combo->setStatusTip(hint);
    combo->setToolTip(hint);
    return combo;
}

void TEntryDialog::PrepareOutHostCombo(QComboBox* combo) {
    PrepareHostCombo(combo);
    combo->insertItem(0, "same");
    SetHostText(combo, {});
}

TViaEdit* TEntryDialog::NewViaEdit(const QString& hint) {
    auto* edit = new TViaEdit(mFields);
    edit->setObjectName("ViaLabeledEdit");
    // The longest form: a scheme, a login of two 255-byte parts written
    // percent-encoded, a bracketed IPv6 address and a port.
    edit->setMaxLength(1600);
    QLabel* caption = LabelFor(edit, "ViaLabeledEditLabel", "Via");
    for (QWidget* widget : {static_cast<QWidget*>(edit), static_cast<QWidget*>(caption)}) {
        widget->setStatusTip(hint);
        widget->setToolTip(hint);
    }
    FitWidth(edit, "socks5://host:1080", 0);
    mShowViaButton = new QToolButton(mFields);
    mShowViaButton->setObjectName("ShowViaButton");
    mShowViaButton->setText("Sho&w");
    mShowViaButton->setCheckable(true);
    mShowViaButton->setFocusPolicy(Qt::StrongFocus);
    mShowViaButton->setStatusTip("Show the upstream proxy's password");
    mShowViaButton->setToolTip(mShowViaButton->statusTip());
    connect(mShowViaButton, &QToolButton::toggled, edit, &TViaEdit::SetShown);
    return edit;
}

QLineEdit* TEntryDialog::NewOptionalPortEdit(const QString& name, const QString& label,
                                             const QString& hint) {
    QLineEdit* edit = NewLabeledEdit(name, label, 5, hint);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    FitWidth(edit, "65535", 0);
    auto commit = [edit] {
        if (edit->text().isEmpty())
            return;
        const QString plain = QString::fromStdString(PlainPortText(edit->text().toStdString()));
        if (plain != edit->text())
            edit->setText(plain);
    };
    connect(edit, &QLineEdit::editingFinished, this, commit);
    mCommits.push_back(commit);
    return edit;
}

QWidget* TEntryDialog::Beside(std::initializer_list<QWidget*> controls) {
    auto* box = new QWidget(mFields);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* control : controls) {
        control->setParent(box);
        layout->addWidget(control);
    }
    return box;
}

QLineEdit* TEntryDialog::NewLabeledEdit(const QString& name, const QString& label, int maxLength,
                                        const QString& hint) {
    auto* edit = new QLineEdit(mFields);
    edit->setObjectName(name);
    edit->setMaxLength(maxLength);
    QLabel* caption = LabelFor(edit, name + "Label", label);
    for (QWidget* widget : {static_cast<QWidget*>(edit), static_cast<QWidget*>(caption)}) {
        widget->setStatusTip(hint);
        widget->setToolTip(hint);
    }
    return edit;
}

QComboBox* TEntryDialog::NewComboBox(const QString& name, const QString& labelName,
                                     const QString& label, const QStringList& fixedItems) {
    auto* combo = new QComboBox(mFields);
    combo->setObjectName(name);
    if (fixedItems.isEmpty()) {
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        // What the operator types is what is stored: no completion behind
        // the cursor.
        combo->setCompleter(nullptr);
        // The longest address text: an IPv6 address with an IPv4 tail.
        combo->lineEdit()->setMaxLength(45);
        FitWidth(combo, "255.255.255.255",
                 combo->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
    } else {
        combo->addItems(fixedItems);
    }
    LabelFor(combo, labelName, label);
    return combo;
}

QLineEdit* TEntryDialog::NewPortEdit(const QString& name, const QString& label, int fallback) {
    QLineEdit* edit = NewLabeledEdit(name, label, 5);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    FitWidth(edit, "65535", 0);
    // The field may be empty while the operator types; it is put right
    // when it loses the focus or Save is pressed, not at every keystroke
    // (which turned "8080" typed into an emptied field into "10808").
    auto commit = [edit, fallback] {
        const QString plain = QString::number(ReadPortText(edit->text().toStdString(), fallback));
        if (plain != edit->text())
            edit->setText(plain);
    };
    connect(edit, &QLineEdit::editingFinished, this, commit);
    mCommits.push_back(commit);
    edit->setText(QString::number(fallback));
    return edit;
}

QLineEdit* TEntryDialog::NewSpinEdit(const QString& prefix, const QString& label, int min, int max,
                                     int step, int fallback, const QString& hint) {
    QLineEdit* edit = NewLabeledEdit(prefix + "LabeledEdit", label, 4, hint);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    auto* upDown = new TUpDown(edit, min, max, step);
    upDown->setObjectName(prefix + "UpDown");
    upDown->setStatusTip(hint);
    upDown->setToolTip(hint);
    const int upDownWidth = std::max(15, fontMetrics().height());
    edit->setTextMargins(0, 0, upDownWidth, 0);
    FitWidth(edit, "5000", upDownWidth);
    // Inside the right edge of the edit, whatever size the layout gives it.
    class TFix : public QObject {
    public:
        TFix(QLineEdit* edit, TUpDown* upDown, int width)
            : QObject(edit), mEdit(edit), mUpDown(upDown), mWidth(width) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
                const int frame = mEdit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
                mUpDown->setGeometry(mEdit->width() - mWidth - frame, frame, mWidth,
                                     mEdit->height() - 2 * frame);
            }
            return false;
        }

    private:
        QLineEdit* mEdit;
        TUpDown* mUpDown;
        int mWidth;
    };
    edit->installEventFilter(new TFix(edit, upDown, upDownWidth));
    // While the operator types, a number moves the spinner and the text is
    // left alone; leaving the field (or Save, or an arrow) puts the held
    // position back into it.
    connect(edit, &QLineEdit::textChanged, this, [upDown](const QString& text) {
        if (!text.isEmpty())
            upDown->SetPosition(ReadPortText(text.toStdString(), upDown->Position()));
    });
    auto commit = [edit, upDown, fallback] {
        const int position =
            upDown->SetPosition(ReadPortText(edit->text().toStdString(), fallback));
        const QString shown = QString::number(position);
        if (shown != edit->text())
            edit->setText(shown);
    };
    connect(edit, &QLineEdit::editingFinished, this, commit);
    connect(upDown, &TUpDown::Stepping, this, commit);
    connect(upDown, &TUpDown::Stepped, edit,
            [edit](int position) { edit->setText(QString::number(position)); });
    mCommits.push_back(commit);
    edit->setText(QString::number(fallback));
    return edit;
}

void TEntryDialog::Row(std::initializer_list<TCell> cells) {
    auto* row = new QHBoxLayout;
    for (const TCell& cell : cells) {
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        for (const auto& [control, caption] : mLabels)
            if (control == cell.control)
                column->addWidget(caption);
        if (cell.beside) {
            auto* pair = new QHBoxLayout;
            pair->setSpacing(2);
            pair->addWidget(cell.control, 1);
            pair->addWidget(cell.beside);
            column->addLayout(pair);
        } else {
            column->addWidget(cell.control);
        }
        row->addLayout(column, cell.stretch);
    }
    mFieldsLayout->addLayout(row);
}

void TEntryDialog::AddServiceSpinners() {
    const auto spinner = [this](const char* AName, TValueRange ARange, int AStep, int AValue,
                                const char* AHint) {
        return NewSpinEdit(AName, AName, ARange.Min, ARange.Max, AStep, AValue, AHint);
    };
    // One row of four (the designed two rows of two): the room goes to the
    // outgoing address and the upstream proxy, and every field of the
    // longest dialog still fits a small screen.
    Row({{spinner("Queue", TServiceValues::QueueRange, 5, 15, "Listening queue limit"), 1},
         {spinner("Wait", TServiceValues::WaitRange, 5, 5, "Timeout time in seconds"), 1},
         {spinner("Buffer", TServiceValues::BufferRange, 4, 64, "Buffer size in KB"), 1},
         {spinner("Limit", TServiceValues::LimitRange, 10, 0, "Maximum number of connections"),
          1}});
}

void TEntryDialog::AddRouteFields(QComboBox*& outHost, TViaEdit*& via) {
    outHost = NewOutHostComboBox();
    via = NewViaEdit("socks5:// or http://[user:password@]host:port, socks4a://host:port, or "
                     "empty");
    Row({{outHost, 113}, {via, 154, mShowViaButton}});
}

void TEntryDialog::AddButtons() {
    mFieldsLayout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    mSaveButton = new QPushButton("&Save", this);
    mSaveButton->setObjectName("SaveButton");
    mCloseButton = new QPushButton("&Close", this);
    mCloseButton->setObjectName("CloseButton");
    buttons->addWidget(mSaveButton, 1);
    buttons->addWidget(mCloseButton, 1);
    // Enter presses Save from any field; Escape closes (QDialog's reject).
    mSaveButton->setDefault(true);
    mCloseButton->setAutoDefault(false);
    connect(mSaveButton, &QPushButton::clicked, this, [this] {
        CommitFields();
        SaveButtonClick();
    });
    connect(mCloseButton, &QPushButton::clicked, this, [this] { reject(); });
    static_cast<QVBoxLayout*>(layout())->addLayout(buttons);

    mHintLabel = new QLabel(this);
    mHintLabel->setObjectName("HintLabel");
    mHintLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    mHintLabel->setMinimumHeight(fontMetrics().height() + 4);
    static_cast<QVBoxLayout*>(layout())->addWidget(mHintLabel);
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
    CommitFields();
    mEnableCheckBox->setChecked(values.mEnable);
}

TServiceValues TEntryDialog::ServiceValues() const {
    TServiceValues values;
    values.mEnable = mEnableCheckBox->isChecked();
    // What the spinners hold, which their committed fields show.
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
        if (auto* control = findChild<QWidget*>(QString::fromStdString(check.mFocus))) {
            mScroll->ensureWidgetVisible(control);
            control->setFocus(Qt::OtherFocusReason);
        }
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
    accept();
}

} // namespace kestrune
