#include "ui/AccessDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

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
    mActionComboBox = NewComboBox("ActionComboBox", "ActionLabel", "Action",
                                  {TAccessRule::Allow, TAccessRule::Deny});
    Row({{mActionComboBox, 1}});
    AddButtons();
}

void TAccessForm::PrepareHostList() {
    PrepareHostCombo(mOwnHostComboBox);
    PrepareHostCombo(mRemoteHostComboBox);
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
    input.mEnable = mEnableCheckBox->isChecked();
    const bool isNew = windowTitle() == NewCaption;
    const TSaveCheck check = mEditor.SaveAccessRule(input, isNew ? TEditMode::New : TEditMode::Edit,
                                                    isNew ? std::nullopt : mEditing);
    if (Report(check))
        Finish(check.mName);
}

} // namespace kestrune
