#include "ui/AccessDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

namespace kestrune {

TAccessForm::TAccessForm(TMainWindow& main)
    : TEntryDialog(main, "AccessForm", NewCaption, EditCaption) {
    AddEnableCheckBox();
    mNameLabeledEdit = NewLabeledEdit("NameLabeledEdit", "Name", MaxNameLength);
    Row({{mNameLabeledEdit, 1}});
    mOwnHostComboBox = NewComboBox("OwnHostComboBox", "OwnHostLabel", "Listen IP");
    mOwnPortLabeledEdit = NewPortEdit("OwnPortLabeledEdit", "Port", 1080);
    Row({{mOwnHostComboBox, 113}, {mOwnPortLabeledEdit, 41}});
    mRemoteHostComboBox = NewComboBox("RemoteHostComboBox", "RemoteHostLabel", "Remote IP");
    // An emptied remote port reads "0" once committed: any port.
    mRemotePortLabeledEdit = NewPortEdit("RemotePortLabeledEdit", "Port", 0);
    Row({{mRemoteHostComboBox, 113}, {mRemotePortLabeledEdit, 41}});
    mToHostComboBox = NewComboBox("ToHostComboBox", "ToHostLabel", "Target IP");
    // Room for a whole host name.
    mToHostComboBox->lineEdit()->setMaxLength(253);
    const QString toHostHint = "Address, or host name with * for any characters; empty: any";
    mToHostComboBox->setStatusTip(toHostHint);
    mToHostComboBox->setToolTip(toHostHint);
    mToPortLabeledEdit =
        NewOptionalPortEdit("ToPortLabeledEdit", "Target port",
                            "Port, 0 for any; both target fields empty: a rule about clients");
    Row({{mToHostComboBox, 113}, {mToPortLabeledEdit, 41}});
    mViaLabeledEdit =
        NewViaEdit("socks5:// or http://[user:password@]host:port, socks4a://host:port, direct");
    Row({{mViaLabeledEdit, 1, ShowViaButton()}});
    mActionComboBox = NewComboBox("ActionComboBox", "ActionLabel", "Action",
                                  {TAccessRule::Allow, TAccessRule::Deny});
    Row({{mActionComboBox, 1}});
    connect(mToHostComboBox, &QComboBox::editTextChanged, this, [this] { TargetChange(); });
    connect(mToPortLabeledEdit, &QLineEdit::textChanged, this, [this] { TargetChange(); });
    connect(mActionComboBox, &QComboBox::currentIndexChanged, this, [this] { TargetChange(); });
    AddButtons();
}

void TAccessForm::PrepareHostList() {
    PrepareHostCombo(mOwnHostComboBox);
    PrepareHostCombo(mRemoteHostComboBox);
    PrepareHostCombo(mToHostComboBox);
}

void TAccessForm::TargetChange() {
    const bool routes = mActionComboBox->currentIndex() == 0 &&
                        (!Text(mToHostComboBox).empty() || !Text(mToPortLabeledEdit).empty());
    mViaLabeledEdit->setEnabled(routes);
    ShowViaButton()->setEnabled(routes);
}

void TAccessForm::OpenNew() {
    setWindowTitle(NewCaption);
    PrepareHostList();
    mEditing.reset();
    mNameLabeledEdit->clear();
    mOwnPortLabeledEdit->setText("1080");
    mRemotePortLabeledEdit->setText("0");
    mEnableCheckBox->setChecked(true);
    mActionComboBox->setCurrentIndex(0);
    mToPortLabeledEdit->clear();
    ShowViaButton()->setChecked(false);
    mViaLabeledEdit->SetVia({});
    TargetChange();
    ShowOver();
}

void TAccessForm::OpenEdit(const TAccessRule& rule, std::size_t row) {
    setWindowTitle(EditCaption);
    PrepareHostList();
    mEditing = row;
    mNameLabeledEdit->setText(QString::fromStdString(rule.mName));
    SetHostText(mOwnHostComboBox, QString::fromStdString(rule.mOwnHost));
    mOwnPortLabeledEdit->setText(QString::fromStdString(rule.mOwnPort));
    SetHostText(mRemoteHostComboBox, QString::fromStdString(rule.mRemHost));
    mRemotePortLabeledEdit->setText(QString::fromStdString(rule.mRemPort));
    // Evaluation denies on any action but "Allow", so the dialog shows such
    // a rule as what it does.
    mActionComboBox->setCurrentIndex(rule.mAction == TAccessRule::Allow ? 0 : 1);
    mEnableCheckBox->setChecked(rule.mEnable == TAccessRule::Yes);
    SetHostText(mToHostComboBox, QString::fromStdString(rule.mToHost));
    mToPortLabeledEdit->setText(QString::fromStdString(rule.mToPort));
    ShowViaButton()->setChecked(false);
    mViaLabeledEdit->SetVia(QString::fromStdString(rule.mVia));
    TargetChange();
    ShowOver();
}

void TAccessForm::SaveButtonClick() {
    TAccessRuleInput input;
    input.Fields.mName = Text(mNameLabeledEdit);
    input.Fields.mOwnHost = Text(mOwnHostComboBox);
    input.Fields.mOwnPort = Text(mOwnPortLabeledEdit);
    input.Fields.mRemHost = Text(mRemoteHostComboBox);
    input.Fields.mRemPort = Text(mRemotePortLabeledEdit);
    input.Fields.mAction = mActionComboBox->currentIndex();
    input.Fields.mToHost = Text(mToHostComboBox);
    input.Fields.mToPort = Text(mToPortLabeledEdit);
    // A disabled Via belongs to no target: it is kept in the field, in case
    // the target comes back, but not stored.
    if (mViaLabeledEdit->isEnabled())
        input.Fields.mVia = mViaLabeledEdit->Via();
    input.mEnable = mEnableCheckBox->isChecked();
    const bool isNew = windowTitle() == NewCaption;
    const TSaveCheck check = mEditor.SaveAccessRule(input, isNew ? TEditMode::New : TEditMode::Edit,
                                                    isNew ? std::nullopt : mEditing);
    if (Report(check))
        Finish(check.mName);
}

} // namespace kestrune
