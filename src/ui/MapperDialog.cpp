#include "ui/MapperDialog.h"

#include "base/ServiceSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

namespace kestrune {

TMapperForm::TMapperForm(TMainWindow& main) : TEntryDialog(main, "MapperForm", 304) {
    setWindowTitle(NewCaption);
    AddEnableCheckBox();
    mNameLabeledEdit = AddLabeledEdit("NameLabeledEdit", "Name", 8, 48, 161, MaxNameLength);
    mOwnHostComboBox = AddComboBox("OwnHostComboBox", "OwnHostLabel", "Listen IP", 8, 88, 113);
    mOwnPortLabeledEdit = AddPortEdit("OwnPortLabeledEdit", "Port", 128, 88, 41, 9000);
    mMapHostComboBox = AddComboBox("MapHostComboBox", "MapHostLabel", "Remote IP", 8, 128, 113);
    mMapPortLabeledEdit = AddPortEdit("MapPortLabeledEdit", "Port", 128, 128, 41, 9001);
    AddSpinEdit("Queue", "Queue", 8, 168, 81, 1, 1000, 5, 15, "Listening queue limit");
    AddSpinEdit("Wait", "Wait", 96, 168, 73, 1, 3600, 5, 5, "Timeout time in seconds");
    AddSpinEdit("Buffer", "Buffer", 8, 208, 81, 4, 4096, 4, 64, "Buffer size in KB");
    AddSpinEdit("Limit", "Limit", 96, 208, 73, 0, 5000, 10, 0, "Maximum number of connections");
    mProtocolComboBox = AddComboBox("ProtocolComboBox", "ProtocolLabel", "Protocol", 8, 248, 161,
                                    {"TCP", "UDP", "Both"});
    connect(mProtocolComboBox, &QComboBox::currentIndexChanged, this,
            [this] { ProtocolComboBoxChange(); });
    AddButtons(276);
}

void TMapperForm::PrepareHostList() {
    PrepareHostCombo(mOwnHostComboBox);
    PrepareHostCombo(mMapHostComboBox);
}

void TMapperForm::ProtocolComboBoxChange() {
    const bool tcp = mProtocolComboBox->currentIndex() != 1;
    for (const char* prefix : {"Queue", "Limit", "Wait"}) {
        findChild<QLineEdit*>(QString(prefix) + "LabeledEdit")->setEnabled(tcp);
        UpDown(prefix)->setEnabled(tcp);
    }
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
    static_cast<TServiceValues&>(input) = ServiceValues();
    const bool isNew = windowTitle() == NewCaption;
    const TSaveCheck check =
        mEditor.SavePortMapper(input, isNew ? TEditMode::New : TEditMode::Edit,
                               isNew ? std::nullopt : std::optional<std::string>(mEditing));
    if (Report(check))
        Finish(check.mName);
}

} // namespace kestrune
