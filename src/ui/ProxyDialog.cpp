#include "ui/ProxyDialog.h"

#include "base/ServiceSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

namespace kestrune {

TProxyForm::TProxyForm(TMainWindow& main) : TEntryDialog(main, "ProxyForm", 304) {
    setWindowTitle(NewCaption);
    AddEnableCheckBox();
    mNameLabeledEdit = AddLabeledEdit("NameLabeledEdit", "Name", 8, 48, 161, MaxNameLength);
    mHostComboBox = AddComboBox("HostComboBox", "HostLabel", "Listen IP", 8, 88, 113);
    mPortLabeledEdit = AddPortEdit("PortLabeledEdit", "Port", 128, 88, 41, 1080);
    mUsernameLabeledEdit = AddLabeledEdit("UsernameLabeledEdit", "Username", 8, 128, 81, 50,
                                          "Authorization username or empty for none");
    mPasswordLabeledEdit = AddLabeledEdit("PasswordLabeledEdit", "Password", 96, 128, 73, 50,
                                          "Authorization password or empty for none");
    AddSpinEdit("Queue", "Queue", 8, 168, 81, 1, 1000, 5, 15, "Listening queue limit");
    AddSpinEdit("Wait", "Wait", 96, 168, 73, 1, 3600, 5, 5, "Timeout time in seconds");
    AddSpinEdit("Buffer", "Buffer", 8, 208, 81, 4, 4096, 4, 64, "Buffer size in KB");
    AddSpinEdit("Limit", "Limit", 96, 208, 73, 0, 5000, 10, 0, "Maximum number of connections");
    mVersionComboBox = AddComboBox("VersionComboBox", "VersionLabel", "Version", 8, 248, 161,
                                   {"SOCKS5", "SOCKS4", "Both"});
    AddButtons(276);
}

void TProxyForm::PrepareHostList() {
    PrepareHostCombo(mHostComboBox);
}

void TProxyForm::OpenNew() {
    setWindowTitle(NewCaption);
    PrepareHostList();
    mEditing.clear();
    mNameLabeledEdit->clear();
    SetHostText(mHostComboBox, {});
    mPortLabeledEdit->setText("1080");
    mUsernameLabeledEdit->clear();
    mPasswordLabeledEdit->clear();
    SetServiceValues(TServiceValues{});
    mVersionComboBox->setCurrentIndex(0);
    ShowOver();
}

void TProxyForm::OpenEdit(const TProxyServerSettings& server) {
    setWindowTitle(EditCaption);
    PrepareHostList();
    mEditing = server.mName;
    mNameLabeledEdit->setText(QString::fromStdString(server.mName));
    SetHostText(mHostComboBox, QString::fromStdString(server.mHost));
    mPortLabeledEdit->setText(QString::number(server.mPort));
    mUsernameLabeledEdit->setText(QString::fromStdString(server.mUser));
    mPasswordLabeledEdit->setText(QString::fromStdString(server.mPass));
    SetServiceValues(server);
    mVersionComboBox->setCurrentIndex(server.mFive && server.mFour ? 2 : server.mFour ? 1 : 0);
    ShowOver();
}

void TProxyForm::SaveButtonClick() {
    TProxyServerInput input;
    input.Fields.mName = Text(mNameLabeledEdit);
    input.Fields.mHost = Text(mHostComboBox);
    input.Fields.mPort = Text(mPortLabeledEdit);
    input.Fields.mUser = Text(mUsernameLabeledEdit);
    input.Fields.mPass = Text(mPasswordLabeledEdit);
    input.Fields.mVersion = mVersionComboBox->currentIndex();
    static_cast<TServiceValues&>(input) = ServiceValues();
    const bool isNew = windowTitle() == NewCaption;
    const TSaveCheck check =
        mEditor.SaveProxyServer(input, isNew ? TEditMode::New : TEditMode::Edit,
                                isNew ? std::nullopt : std::optional<std::string>(mEditing));
    if (Report(check))
        Finish(check.mName);
}

} // namespace kestrune
