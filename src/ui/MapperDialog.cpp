#include "ui/MapperDialog.h"

#include "base/ServiceSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

namespace kestrune {

TMapperForm::TMapperForm(TMainWindow& main)
    : TEntryDialog(main, "MapperForm", NewCaption, EditCaption) {
    AddEnableCheckBox();
    mNameLabeledEdit = NewLabeledEdit("NameLabeledEdit", "Name", MaxNameLength);
    Row({{mNameLabeledEdit, 1}});
    mOwnHostComboBox = NewComboBox("OwnHostComboBox", "OwnHostLabel", "Listen IP");
    mOwnPortLabeledEdit = NewPortEdit("OwnPortLabeledEdit", "Port", 9000);
    Row({{mOwnHostComboBox, 113}, {mOwnPortLabeledEdit, 41}});
    mMapHostComboBox = NewComboBox("MapHostComboBox", "MapHostLabel", "Remote IP");
    mMapPortLabeledEdit = NewPortEdit("MapPortLabeledEdit", "Port", 9001);
    Row({{mMapHostComboBox, 113}, {mMapPortLabeledEdit, 41}});
    AddServiceSpinners();
    AddRouteFields(mOutHostComboBox, mViaLabeledEdit);
    mProtocolComboBox =
        NewComboBox("ProtocolComboBox", "ProtocolLabel", "Protocol", {"TCP", "UDP", "Both"});
    mTwoWayCheckBox = NewCheckBox("TwoWayCheckBox", "&Return replies to the sender",
                                  "Route UDP answers back to each sender");
    Row({{mProtocolComboBox, 1, mTwoWayCheckBox}});
    connect(mProtocolComboBox, &QComboBox::currentIndexChanged, this,
            [this] { ProtocolComboBoxChange(); });
    AddButtons();
}

void TMapperForm::PrepareHostList() {
    PrepareHostCombo(mOwnHostComboBox);
    PrepareHostCombo(mMapHostComboBox);
    PrepareOutHostCombo(mOutHostComboBox);
}

void TMapperForm::ProtocolComboBoxChange() {
    const bool tcp = mProtocolComboBox->currentIndex() != 1;
    for (const char* prefix : {"Queue", "Limit", "Wait"}) {
        findChild<QLineEdit*>(QString(prefix) + "LabeledEdit")->setEnabled(tcp);
        UpDown(prefix)->setEnabled(tcp);
    }
    mTwoWayCheckBox->setEnabled(mProtocolComboBox->currentIndex() != 0);
    // Datagrams are never sent through an upstream.
    mViaLabeledEdit->setEnabled(tcp);
    ShowViaButton()->setEnabled(tcp);
}

void TMapperForm::OpenNew() {
    setWindowTitle(NewCaption);
    PrepareHostList();
    mEditing.clear();
    mNameLabeledEdit->clear();
    mOwnPortLabeledEdit->setText("9000");
    mMapPortLabeledEdit->setText("9001");
    SetServiceValues(TServiceValues{});
    mProtocolComboBox->setCurrentIndex(0);
    mTwoWayCheckBox->setChecked(false);
    ShowViaButton()->setChecked(false);
    mViaLabeledEdit->SetVia({});
    ProtocolComboBoxChange();
    ShowOver();
}

void TMapperForm::OpenEdit(const TPortMapperSettings& mapper) {
    setWindowTitle(EditCaption);
    PrepareHostList();
    mEditing = mapper.mName;
    mNameLabeledEdit->setText(QString::fromStdString(mapper.mName));
    SetHostText(mOwnHostComboBox, QString::fromStdString(mapper.mOwnHost));
    mOwnPortLabeledEdit->setText(QString::number(mapper.mOwnPort));
    SetHostText(mMapHostComboBox, QString::fromStdString(mapper.mMapHost));
    mMapPortLabeledEdit->setText(QString::number(mapper.mMapPort));
    SetServiceValues(mapper);
    mProtocolComboBox->setCurrentIndex(mapper.mTCP && mapper.mUDP ? 2 : mapper.mUDP ? 1 : 0);
    mTwoWayCheckBox->setChecked(mapper.mTwoWay);
    SetHostText(mOutHostComboBox, QString::fromStdString(mapper.mOutHost));
    ShowViaButton()->setChecked(false);
    mViaLabeledEdit->SetVia(QString::fromStdString(mapper.mVia));
    ProtocolComboBoxChange();
    ShowOver();
}

void TMapperForm::SaveButtonClick() {
    TPortMapperInput input;
    input.Fields.mName = Text(mNameLabeledEdit);
    input.Fields.mOwnHost = Text(mOwnHostComboBox);
    input.Fields.mOwnPort = Text(mOwnPortLabeledEdit);
    input.Fields.mMapHost = Text(mMapHostComboBox);
    input.Fields.mMapPort = Text(mMapPortLabeledEdit);
    input.Fields.mProtocol = mProtocolComboBox->currentIndex();
    input.Fields.mOutHost = Text(mOutHostComboBox);
    input.Fields.mVia = mViaLabeledEdit->Via();
    input.mTwoWay = mTwoWayCheckBox->isChecked();
    static_cast<TServiceValues&>(input) = ServiceValues();
    const bool isNew = windowTitle() == NewCaption;
    const TSaveCheck check =
        mEditor.SavePortMapper(input, isNew ? TEditMode::New : TEditMode::Edit,
                               isNew ? std::nullopt : std::optional<std::string>(mEditing));
    if (Report(check))
        Finish(check.mName);
}

} // namespace kestrune
