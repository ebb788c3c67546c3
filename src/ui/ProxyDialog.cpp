#include "ui/ProxyDialog.h"

#include "base/ServiceSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

namespace kestrune {

TProxyForm::TProxyForm(TMainWindow& main)
    : TEntryDialog(main, "ProxyForm", NewCaption, EditCaption) {
    AddEnableCheckBox();
    mNameLabeledEdit = NewLabeledEdit("NameLabeledEdit", "Name", MaxNameLength);
    Row({{mNameLabeledEdit, 1}});
    mHostComboBox = NewComboBox("HostComboBox", "HostLabel", "Listen IP");
    mPortLabeledEdit = NewPortEdit("PortLabeledEdit", "Port", 1080);
    Row({{mHostComboBox, 113}, {mPortLabeledEdit, 41}});
    mUsernameLabeledEdit = NewLabeledEdit("UsernameLabeledEdit", "Username", 50,
                                          "Authorization username or empty for none");
    mPasswordLabeledEdit = NewLabeledEdit("PasswordLabeledEdit", "Password", 50,
                                          "Authorization password or empty for none");
    // The password is a secret on screen: dots until the operator asks.
    mPasswordLabeledEdit->setEchoMode(QLineEdit::Password);
    mShowPasswordButton = new QToolButton(mPasswordLabeledEdit->parentWidget());
    mShowPasswordButton->setObjectName("ShowPasswordButton");
    mShowPasswordButton->setText("S&how");
    mShowPasswordButton->setCheckable(true);
    mShowPasswordButton->setFocusPolicy(Qt::StrongFocus);
    connect(mShowPasswordButton, &QToolButton::toggled, this, [this](bool shown) {
        mPasswordLabeledEdit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    });
    Row({{mUsernameLabeledEdit, 81}, {mPasswordLabeledEdit, 73, mShowPasswordButton}});
    AddServiceSpinners();
    AddRouteFields(mOutHostComboBox, mViaLabeledEdit);
    mVersionComboBox =
        NewComboBox("VersionComboBox", "VersionLabel", "Version", {"SOCKS5", "SOCKS4", "Both"});
    mHTTPCheckBox =
        NewCheckBox("HTTPCheckBox", "&HTTP", "Serve HTTP proxy requests on this port too");
    mUDPCheckBox =
        NewCheckBox("UDPCheckBox", "&UDP relay", "Allow SOCKS5 UDP ASSOCIATE (needs SOCKS5)");
    Row({{mVersionComboBox, 1, Beside({mHTTPCheckBox, mUDPCheckBox})}});
    AddButtons();
}

void TProxyForm::PrepareHostList() {
    PrepareHostCombo(mHostComboBox);
    PrepareOutHostCombo(mOutHostComboBox);
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
    mShowPasswordButton->setChecked(false);
    SetServiceValues(TServiceValues{});
    mVersionComboBox->setCurrentIndex(0);
    mHTTPCheckBox->setChecked(false);
    mUDPCheckBox->setChecked(false);
    ShowViaButton()->setChecked(false);
    mViaLabeledEdit->SetVia({});
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
    mShowPasswordButton->setChecked(false);
    SetServiceValues(server);
    mVersionComboBox->setCurrentIndex(server.mFive && server.mFour ? 2 : server.mFour ? 1 : 0);
    mHTTPCheckBox->setChecked(server.mHTTP);
    mUDPCheckBox->setChecked(server.mUDP);
    SetHostText(mOutHostComboBox, QString::fromStdString(server.mOutHost));
    ShowViaButton()->setChecked(false);
    mViaLabeledEdit->SetVia(QString::fromStdString(server.mVia));
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
    input.Fields.mOutHost = Text(mOutHostComboBox);
    input.Fields.mVia = mViaLabeledEdit->Via();
    input.mHTTP = mHTTPCheckBox->isChecked();
    input.mUDP = mUDPCheckBox->isChecked();
    static_cast<TServiceValues&>(input) = ServiceValues();
    const bool isNew = windowTitle() == NewCaption;
    const TSaveCheck check =
        mEditor.SaveProxyServer(input, isNew ? TEditMode::New : TEditMode::Edit,
                                isNew ? std::nullopt : std::optional<std::string>(mEditing));
    if (Report(check))
        Finish(check.mName);
}

} // namespace kestrune
