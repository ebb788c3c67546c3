// TProxyForm: the dialog that defines a new proxy server or changes an
// existing one. Its caption is the only record of the mode. Main thread only.
#pragma once

#include "ui/EntryDialog.h"

class QComboBox;
class QLineEdit;
class QToolButton;

namespace kestrune {

struct TProxyServerSettings;

class TProxyForm : public TEntryDialog {
    Q_OBJECT
public:
    static constexpr const char* NewCaption = "New proxy server";
    static constexpr const char* EditCaption = "Edit proxy server";

    explicit TProxyForm(TMainWindow& main);

    void PrepareHostList();
    // Fill every field for a new server, or from `server`, then show the
    // dialog over the main window, which it blocks.
    void OpenNew();
    void OpenEdit(const TProxyServerSettings& server);

protected:
    void SaveButtonClick() override;

private:
    QComboBox* mHostComboBox;
    QLineEdit* mPortLabeledEdit;
    QLineEdit* mUsernameLabeledEdit;
    QLineEdit* mPasswordLabeledEdit;
    QToolButton* mShowPasswordButton;
    QComboBox* mVersionComboBox;
    QCheckBox* mHTTPCheckBox;
    QCheckBox* mUDPCheckBox;
    QComboBox* mOutHostComboBox;
    TViaEdit* mViaLabeledEdit;
    // The caption of the selected row when the dialog was opened for editing
    // (the dialog blocks the main window, so the selection cannot change).
    std::string mEditing;
};

} // namespace kestrune
