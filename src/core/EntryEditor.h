// TEntryEditor: what the three editing dialogs and the access page's list
// commands do to the application state once the operator's input is taken.
//
// A dialog collects its controls into an input struct and calls one Save; the
// editor runs the Save sequence of the validation rules, and only when every
// check passes does it change the service, its list row and its monitor row
// together, restart a running service as needed and save the settings file.
// Main thread only, like TMainForm itself.
#pragma once

#include "base/Validation.h"
#include "core/Main.h"
#include "core/MainView.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrune {

// New mode appends an entry; edit mode changes the entry whose list row is
// selected. Dialogs decide it from their caption.
enum class TEditMode { New, Edit };

// Everything a dialog holds when Save is pressed: the texts that the Save
// sequence checks, and the values that need no check (the spinners hold
// theirs inside their ranges, the check box is either state).
struct TProxyServerInput : TServiceValues {
    TProxyServerFields Fields;
    bool mUDP = false;  // "UDP relay"
    bool mHTTP = false; // "HTTP"
};

struct TPortMapperInput : TServiceValues {
    TPortMapperFields Fields;
    bool mTwoWay = false; // "Return replies to the sender"
};

struct TAccessRuleInput {
    TAccessRuleFields Fields;
    bool mEnable = true;
};

class TEntryEditor {
public:
    // `view` is the view that shows `core` (the one it was built with).
    TEntryEditor(TMainForm& core, IMainView& view) : mCore(core), mView(view) {}

    // `selected` is the caption of the selected row of the entry's list (the
    // entry's name before the edit); only edit mode uses it. The result is
    // the first failed check, which the dialog shows, or a pass after which
    // everything has been stored and saved. The trimmed name is in mName
    // either way.
    TSaveCheck SaveProxyServer(const TProxyServerInput& input, TEditMode mode,
                               const std::optional<std::string>& selected);
    TSaveCheck SavePortMapper(const TPortMapperInput& input, TEditMode mode,
                              const std::optional<std::string>& selected);
    // `selected` is the selected row of the access list, top row 0.
    TSaveCheck SaveAccessRule(const TAccessRuleInput& input, TEditMode mode,
                              std::optional<std::size_t> selected);

    // The access page's commands on the selected row. Each change is one
    // step of the rule store (a connection never sees half of it) and is
    // saved at once; a missing selection or a move past either end shows its
    // message and changes nothing. The moves return the row that now holds
    // the moved rule, which the view selects.
    void DeleteAccessRule(std::optional<std::size_t> selected);
    std::optional<std::size_t> MoveAccessRuleUp(std::optional<std::size_t> selected);
    std::optional<std::size_t> MoveAccessRuleDown(std::optional<std::size_t> selected);

private:
    // Carries a rule from `from` to its neighbour `to`, or says why not.
    std::optional<std::size_t> MoveAccessRule(std::optional<std::size_t> selected, bool up);
    // The monitor row of an edited service starts again from zero under its
    // new name.
    void RenameAndZeroMonitorRow(const std::string& from, const std::string& to);

    TMainForm& mCore;
    IMainView& mView;
};

} // namespace kestrune
