#include "core/EntryEditor.h"

#include "base/IpAddress.h"
#include "base/Settings.h"
#include "base/Text.h"

#include <functional>
#include <memory>
#include <vector>

namespace kestrune {

namespace {

constexpr const char* NoRuleSelected = "No access restriction selected.";
constexpr const char* NoPlaceToMove = "No place to move access restriction.";

std::optional<std::size_t> RowOf(const std::vector<TListRow>& rows,
                                 const std::optional<std::string>& caption) {
    if (!caption)
        return std::nullopt;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].Caption() == *caption)
            return i;
    return std::nullopt;
}

TSaveCheck Refuse(TSaveCheck check, const char* message) {
    check.mMessage = message;
    check.mFocus.clear();
    return check;
}

// "same" in the form the run-time code compares, an address in its canonical
// form.
std::string OutHostSetting(const std::string& text) {
    return SameIgnoringCase(text, "same") ? "same" : CanonicalAddressText(text);
}

TProxyServerSettings ProxySettings(const TProxyServerInput& in, const std::string& name) {
    TProxyServerSettings s;
    s.mName = name;
    s.mHost = CanonicalAddressText(in.Fields.mHost);
    s.mPort = ReadPortText(in.Fields.mPort, 0);
    s.mUser = in.Fields.mUser;
    s.mPass = in.Fields.mPass;
    static_cast<TServiceValues&>(s) = in;
    s.mFive = in.Fields.mVersion == 0 || in.Fields.mVersion == 2;
    s.mFour = in.Fields.mVersion == 1 || in.Fields.mVersion == 2;
    s.mUDP = in.mUDP;
    s.mOutHost = OutHostSetting(in.Fields.mOutHost);
    s.mVia = in.Fields.mVia;
    s.mHTTP = in.mHTTP;
    return s;
}

TPortMapperSettings MapperSettings(const TPortMapperInput& in, const std::string& name) {
    TPortMapperSettings s;
    s.mName = name;
    s.mOwnHost = CanonicalAddressText(in.Fields.mOwnHost);
    s.mOwnPort = ReadPortText(in.Fields.mOwnPort, 0);
    s.mMapHost = CanonicalAddressText(in.Fields.mMapHost);
    s.mMapPort = ReadPortText(in.Fields.mMapPort, 0);
    static_cast<TServiceValues&>(s) = in;
    s.mTCP = in.Fields.mProtocol == 0 || in.Fields.mProtocol == 2;
    s.mUDP = in.Fields.mProtocol == 1 || in.Fields.mProtocol == 2;
    s.mTwoWay = in.mTwoWay;
    s.mOutHost = OutHostSetting(in.Fields.mOutHost);
    s.mVia = in.Fields.mVia;
    return s;
}

// What the proxy server and port mapper Saves share once their own fields
// have been turned into settings and a list row.
struct TServiceStore {
    TMainForm& Core;
    IMainView& View;
    std::function<void(const std::string&, const std::string&)> RenameMonitorRow;
};

template <typename TServiceType, typename TSettings, typename TAdd>
TSaveCheck StoreService(TServiceStore& store, TSaveCheck check, TEditMode mode,
                        std::optional<std::size_t> row, const TSettings& settings, TListRow listRow,
                        std::vector<std::unique_ptr<TServiceType>>& services,
                        std::vector<TListRow>& rows, int index, const char* notFound, TAdd add) {
    TMainForm& core = store.Core;
    if (mode == TEditMode::New) {
        TServiceType& service = add(settings, std::move(listRow));
        if (core.Running() && service.mEnable)
            service.Start();
        core.SaveSettings();
        return check;
    }
    // The row exists (the Save sequence said so); its service normally does
    // too, since both carry the same name at all times.
    if (!row || index < 0)
        return Refuse(check, notFound);
    TServiceType& service = *services[static_cast<std::size_t>(index)];
    const std::string oldName = service.mName;
    // A running service is stopped before its configuration changes under
    // it: its connection threads read those fields.
    if (core.Running() && service.mEnable)
        service.Stop();
    store.RenameMonitorRow(oldName, settings.mName);
    rows[*row] = std::move(listRow);
    static_cast<TSettings&>(service) = settings;
    if (core.Running() && service.mEnable)
        service.Start();
    store.View.ListsChanged();
    core.SaveSettings();
    return check;
}

} // namespace

TSaveCheck TEntryEditor::SaveProxyServer(const TProxyServerInput& input, TEditMode mode,
                                         const std::optional<std::string>& selected) {
    const std::optional<std::size_t> row = RowOf(mCore.ProxyRows, selected);
    std::optional<std::size_t> editRow;
    if (mode == TEditMode::Edit)
        editRow = row.value_or(NoRow);
    TSaveCheck check;
    {
        const TMainForm::TEntrySnapshot entries = mCore.Entries();
        check = CheckProxyServerSave(input.Fields, entries.View(), editRow);
    }
    if (!check.Passed())
        return check;
    const TProxyServerSettings settings = ProxySettings(input, check.mName);
    TListRow listRow = ProxyServerRow(settings);
    TServiceStore store{mCore, mView, [this](const std::string& from, const std::string& to) {
                            RenameAndZeroMonitorRow(from, to);
                        }};
    const int index = selected ? mCore.GetProxyServer(*selected) : -1;
    return StoreService(store, check, mode, row, settings, std::move(listRow), mCore.ProxyServers,
                        mCore.ProxyRows, index, "Proxy server not found.",
                        [this](const TProxyServerSettings& s, TListRow r) -> TProxyServer& {
                            return mCore.AddProxyServer(s, std::move(r));
                        });
}

TSaveCheck TEntryEditor::SavePortMapper(const TPortMapperInput& input, TEditMode mode,
                                        const std::optional<std::string>& selected) {
    const std::optional<std::size_t> row = RowOf(mCore.MapperRows, selected);
    std::optional<std::size_t> editRow;
    if (mode == TEditMode::Edit)
        editRow = row.value_or(NoRow);
    TSaveCheck check;
    {
        const TMainForm::TEntrySnapshot entries = mCore.Entries();
        check = CheckPortMapperSave(input.Fields, entries.View(), editRow);
    }
    if (!check.Passed())
        return check;
    const TPortMapperSettings settings = MapperSettings(input, check.mName);
    TListRow listRow = PortMapperRow(settings);
    TServiceStore store{mCore, mView, [this](const std::string& from, const std::string& to) {
                            RenameAndZeroMonitorRow(from, to);
                        }};
    const int index = selected ? mCore.GetPortMapper(*selected) : -1;
    return StoreService(store, check, mode, row, settings, std::move(listRow), mCore.PortMappers,
                        mCore.MapperRows, index, "Port mapper not found.",
                        [this](const TPortMapperSettings& s, TListRow r) -> TPortMapper& {
                            return mCore.AddPortMapper(s, std::move(r));
                        });
}

TSaveCheck TEntryEditor::SaveAccessRule(const TAccessRuleInput& input, TEditMode mode,
                                        std::optional<std::size_t> selected) {
    std::optional<std::size_t> editRow;
    if (mode == TEditMode::Edit)
        editRow = selected.value_or(NoRow);
    TSaveCheck check;
    {
        const TMainForm::TEntrySnapshot entries = mCore.Entries();
        check = CheckAccessRuleSave(input.Fields, entries.View(), editRow);
    }
    if (!check.Passed())
        return check;
    TAccessRule rule;
    rule.mName = check.mName;
    // Stored in the form evaluation and the file use, whatever was typed.
    rule.mOwnHost = CanonicalAddressText(input.Fields.mOwnHost);
    rule.mOwnPort = PlainPortText(input.Fields.mOwnPort);
    rule.mRemHost = CanonicalAddressText(input.Fields.mRemHost);
    rule.mRemPort = PlainPortText(input.Fields.mRemPort);
    rule.mAction = input.Fields.mAction == 0 ? TAccessRule::Allow : TAccessRule::Deny;
    rule.mEnable = input.mEnable ? TAccessRule::Yes : TAccessRule::No;
    rule.mToHost = CanonicalAddressText(input.Fields.mToHost);
    rule.mToPort = input.Fields.mToPort.empty() ? "" : PlainPortText(input.Fields.mToPort);
    rule.mVia = input.Fields.mVia;
    if (mode == TEditMode::New) {
        mCore.AccessRules.Add(std::move(rule));
    } else if (!selected || !mCore.AccessRules.Rewrite(*selected, std::move(rule))) {
        // Edit mode with no row to rewrite: nothing to change, and saying so
        // beats appending a rule the operator did not ask for.
        return Refuse(check, NoRuleSelected);
    }
    mView.ListsChanged();
    mCore.SaveSettings();
    return check;
}

void TEntryEditor::DeleteAccessRule(std::optional<std::size_t> selected) {
    if (!selected || !mCore.AccessRules.Delete(*selected)) {
        mView.ShowError(NoRuleSelected);
        return;
    }
    mView.ListsChanged();
    mCore.SaveSettings();
}

std::optional<std::size_t> TEntryEditor::MoveAccessRuleUp(std::optional<std::size_t> selected) {
    return MoveAccessRule(selected, true);
}

std::optional<std::size_t> TEntryEditor::MoveAccessRuleDown(std::optional<std::size_t> selected) {
    return MoveAccessRule(selected, false);
}

std::optional<std::size_t> TEntryEditor::MoveAccessRule(std::optional<std::size_t> selected,
                                                        bool up) {
    const std::size_t count = mCore.AccessRules.Count();
    if (!selected || *selected >= count) {
        mView.ShowError(NoRuleSelected);
        return std::nullopt;
    }
    if (up ? *selected == 0 : *selected + 1 == count) {
        mView.ShowError(NoPlaceToMove);
        return std::nullopt;
    }
    const std::size_t target = up ? *selected - 1 : *selected + 1;
    mCore.AccessRules.SwapRows(*selected, target);
    mView.ListsChanged();
    mCore.SaveSettings();
    return target;
}

void TEntryEditor::RenameAndZeroMonitorRow(const std::string& from, const std::string& to) {
    mCore.RenameAndZeroMonitorRow(from, to);
}

} // namespace kestrune
