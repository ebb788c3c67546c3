// TMapperForm: the dialog that defines a new port mapper or changes an
// existing one; the proxy server dialog's twin with a remote address and a
// protocol. Its caption is the only record of the mode. Main thread only.
#pragma once

#include "ui/EntryDialog.h"

class QComboBox;
class QLineEdit;

namespace kestrune {

struct TPortMapperSettings;

class TMapperForm : public TEntryDialog {
    Q_OBJECT
public:
    static constexpr const char* NewCaption = "New port mapper";
    static constexpr const char* EditCaption = "Edit port mapper";

    explicit TMapperForm(TMainWindow& main);

    void PrepareHostList();
    // UDP has no listen queue, connection limit or connect wait, and sends
    // no datagram through an upstream: their fields are disabled for it (and
    // keep their values).
    void ProtocolComboBoxChange();
    // Fill every field for a new mapper, or from `mapper`, then show the
    // dialog over the main window, which it blocks.
    void OpenNew();
    void OpenEdit(const TPortMapperSettings& mapper);

protected:
    void SaveButtonClick() override;

private:
    QComboBox* mOwnHostComboBox;
    QLineEdit* mOwnPortLabeledEdit;
    QComboBox* mMapHostComboBox;
    QLineEdit* mMapPortLabeledEdit;
    QComboBox* mProtocolComboBox;
    QCheckBox* mTwoWayCheckBox;
    QComboBox* mOutHostComboBox;
    TViaEdit* mViaLabeledEdit;
    std::string mEditing;
};

} // namespace kestrune
