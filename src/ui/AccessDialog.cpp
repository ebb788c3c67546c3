#include "ui/AccessDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

namespace kestrune {

TAccessForm::TAccessForm(TMainWindow& main) : TEntryDialog(main, "AccessForm", 224) {
    setWindowTitle(NewCaption);
    AddEnableCheckBox();
    mNameLabeledEdit = AddLabeledEdit("NameLabeledEdit", "Name", 8, 48, 161, MaxNameLength);
    mOwnHostComboBox = AddComboBox("OwnHostComboBox", "OwnHostLabel", "Listen IP", 8, 88, 113);
    mOwnPortLabeledEdit = AddPortEdit("OwnPortLabeledEdit", "Port", 128, 88, 41, 1080);
    mRemoteHostComboBox =
        AddComboBox("RemoteHostComboBox", "RemoteHostLabel", "Remote IP", 8, 128, 113);
    // An emptied remote port reads "0" at once: any port.
    mRemotePortLabeledEdit = AddPortEdit("RemotePortLabeledEdit", "Port", 128, 128, 41, 0);
    mActionComboBox = AddComboBox("ActionComboBox", "ActionLabel", "Action", 8, 168, 161,
                                  {TAccessRule::Allow, TAccessRule::Deny});
    AddButtons(196);
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
