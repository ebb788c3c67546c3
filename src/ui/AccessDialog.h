// TAccessForm: the dialog that writes a new access rule or changes the
// selected one. It touches no service: every evaluation reads the rules
// afresh. Its caption is the only record of the mode. Main thread only.
#pragma once

#include "base/AccessRule.h"
#include "ui/EntryDialog.h"

#include <cstddef>
#include <optional>

class QComboBox;
class QLineEdit;

namespace kestrune {

class TAccessForm : public TEntryDialog {
    Q_OBJECT
public:
    static constexpr const char* NewCaption = "New access restriction";
    static constexpr const char* EditCaption = "Edit access restriction";

    explicit TAccessForm(TMainWindow& main);

    void PrepareHostList();
    // The Via routes the targets of an Allow rule: it is enabled while the
    // rule names a target and allows.
    void TargetChange();
    // Fill every field for a new rule, or from `rule` in row `row`, then show
    // the dialog over the main window, which it blocks.
    void OpenNew();
    void OpenEdit(const TAccessRule& rule, std::size_t row);

protected:
    void SaveButtonClick() override;

private:
    QComboBox* mOwnHostComboBox;
    QLineEdit* mOwnPortLabeledEdit;
    QComboBox* mRemoteHostComboBox;
    QLineEdit* mRemotePortLabeledEdit;
    QComboBox* mActionComboBox;
    QComboBox* mToHostComboBox;
    QLineEdit* mToPortLabeledEdit;
    TViaEdit* mViaLabeledEdit;
    std::optional<std::size_t> mEditing;
};

} // namespace kestrune
