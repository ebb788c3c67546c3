#include "base/Validation.h"

#include "base/IpAddress.h"
#include "base/Text.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace kestrune {

namespace {

// The address pattern, compiled once. A compiled pattern may be shared by
// any number of threads; only the match data is per call.
class TIpPattern {
public:
    TIpPattern() {
        int error = 0;
        PCRE2_SIZE offset = 0;
        // No UTF or UCP mode: \d is then exactly [0-9], so digits of other
        // scripts fail. DOLLAR_ENDONLY keeps "$" from accepting a trailing
        // newline, which would be text after the address.
        mCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Source), PCRE2_ZERO_TERMINATED,
                              PCRE2_DOLLAR_ENDONLY, &error, &offset, nullptr);
        if (mCode == nullptr)
            throw std::logic_error("the IP address pattern does not compile");
    }
    ~TIpPattern() { pcre2_code_free(mCode); }
    TIpPattern(const TIpPattern&) = delete;
    TIpPattern& operator=(const TIpPattern&) = delete;

    bool Matches(std::string_view text) const {
        std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
            pcre2_match_data_create_from_pattern(mCode, nullptr), &pcre2_match_data_free);
        if (!data)
            throw std::bad_alloc();
        const int rc = pcre2_match(mCode, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                                   0, data.get(), nullptr);
        return rc >= 0;
    }

private:
    static constexpr const char* Source = R"(^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$)";
    pcre2_code* mCode = nullptr;
};

const TIpPattern& IpPattern() {
    static const TIpPattern pattern;
    return pattern;
}

// The messages quote the clashing entry where the pattern says "%s".
std::string Format(std::string_view pattern, std::string_view name) {
    std::string text(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, name);
    return text;
}

constexpr std::string_view InvalidIp = "Invalid IP address specified.";
constexpr std::string_view InvalidPort = "Invalid port number specified.";
constexpr std::string_view NameVsProxy = "Specified name conflicts with existing proxy server: %s";
constexpr std::string_view NameVsMapper = "Specified name conflicts with existing port mapper: %s";
constexpr std::string_view NameVsAccess =
    "Specified name conflicts with existing access restriction: %s";
constexpr std::string_view PortVsProxy = "Specified port conflicts with existing proxy server: %s";
constexpr std::string_view PortVsMapper = "Specified port conflicts with existing port mapper: %s";
constexpr std::string_view PortVsAccess =
    "Specified port conflicts with existing access restriction: %s";

constexpr const char* NameEdit = "NameLabeledEdit";

TSaveCheck Fail(TSaveCheck check, std::string_view message, std::string_view focus) {
    check.mMessage = message;
    check.mFocus = focus;
    return check;
}

// Steps 1 and 2 of every Save: the name as the field must show it, and
// whether it may be used at all.
TSaveCheck CheckNameSteps(std::string_view field, TEntryKind kind) {
    TSaveCheck check;
    check.mName = TrimName(LimitNameLength(field));
    if (check.mName.empty())
        return Fail(check, "Name not specified.", NameEdit);
    if (IsReservedName(kind, check.mName))
        return Fail(check, "Name is reserved.", NameEdit);
    return check;
}

template <typename TEntry>
const TEntry* FirstNameClash(std::span<const TEntry> list, std::string_view name,
                             std::size_t skip) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != skip && SameName(list[i].mName, name))
            return &list[i];
    }
    return nullptr;
}

TLoadCheck Skip() {
    return {false, {}};
}
TLoadCheck Refuse(std::string_view line, std::string_view name) {
    return {false, std::string(line) + std::string(name)};
}

} // namespace

std::string TrimName(std::string_view text) {
    return std::string(TrimBlanks(text));
}

std::string LimitNameLength(std::string_view text) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Continuation bytes (10xxxxxx) belong to the character before them.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters == MaxNameLength)
            return std::string(text.substr(0, i));
        ++characters;
    }
    return std::string(text);
}

bool IsReservedName(TEntryKind kind, std::string_view name) {
    if (SameName(name, "Kestrune"))
        return true;
    return kind != TEntryKind::AccessRule && name == "Total";
}

bool MatchesIpPattern(std::string_view text) {
    return IpPattern().Matches(text);
}

bool IsAddressText(std::string_view text) {
    if (text.find(':') == std::string_view::npos)
        return MatchesIpPattern(text);
    const auto address = TIpAddress::Parse(text);
    return address && address->Family() == TIpAddress::V6;
}

int ReadPortText(std::string_view text, int invalid) {
    return ParseWholeNumber(text).value_or(invalid);
}

bool IsValidPort(std::string_view text) {
    const int port = ReadPortText(text, 0);
    return port >= 1 && port <= 65535;
}

bool IsValidRulePort(std::string_view text) {
    const int port = ReadPortText(text, -1);
    return port >= 0 && port <= 65535;
}

std::string PlainPortText(std::string_view text) {
    const auto value = ParseWholeNumber(text);
    return value ? std::to_string(*value) : std::string(text);
}

bool SameName(std::string_view a, std::string_view b) {
    return SameIgnoringCase(a, b);
}

bool ListenOverlaps(std::string_view hostA, std::string_view portA, std::string_view hostB,
                    std::string_view portB) {
    // By number where both are numbers: "080" and "80" are one port to the
    // system, and the file is written with "80", so a text comparison would
    // let both entries load now and drop one of them at the next start.
    const int a = ReadPortText(portA, -1);
    const int b = ReadPortText(portB, -2);
    if (portA != portB && a != b)
        return false;
    // As addresses: "010.0.0.1" is "10.0.0.1" to the system. Each family's
    // "any" covers only its own family, since an IPv6 listener serves IPv6
    // only.
    const auto x = TIpAddress::Parse(hostA);
    const auto y = TIpAddress::Parse(hostB);
    if (!x || !y)
        return hostA == hostB;
    return x->Family() == y->Family() && (x->IsAny() || y->IsAny() || *x == *y);
}

bool ForwardsToItself(std::string_view ownHost, std::string_view ownPort, std::string_view mapHost,
                      std::string_view mapPort) {
    if (ReadPortText(ownPort, -1) != ReadPortText(mapPort, -2))
        return false;
    const auto own = TIpAddress::Parse(ownHost);
    const auto map = TIpAddress::Parse(mapHost);
    if (!own || !map)
        return false;
    const TIpAddress target = map->Unmapped();
    if (target.Family() != own->Family())
        return false;
    if (target == *own || (target.IsAny() && (own->IsAny() || own->IsLoopback())))
        return true;
    if (!own->IsAny())
        return false;
    if (target.IsLoopback())
        return true;
    const auto local = LocalAddresses();
    return std::find(local.begin(), local.end(), target) != local.end();
}

const TServiceEntry* FindNameClash(std::span<const TServiceEntry> list, std::string_view name,
                                   std::size_t skip) {
    return FirstNameClash(list, name, skip);
}

const TAccessRule* FindNameClash(std::span<const TAccessRule> list, std::string_view name,
                                 std::size_t skip) {
    return FirstNameClash(list, name, skip);
}

const TServiceEntry* FindListenOverlap(std::span<const TServiceEntry> list, std::string_view host,
                                       std::string_view port, std::size_t skip) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != skip && ListenOverlaps(host, port, list[i].mHost, list[i].mPort))
            return &list[i];
    }
    return nullptr;
}

const TAccessRule* FindDuplicateRule(std::span<const TAccessRule> list, std::string_view ownHost,
                                     std::string_view ownPort, std::string_view remHost,
                                     std::string_view remPort, std::size_t skip) {
    // Numbers compare as numbers, so that "080" and "80" or "010.0.0.1" and
    // "10.0.0.1" are one rule, as evaluation sees them.
    auto samePort = [](std::string_view a, std::string_view b) {
        return a == b || PlainPortText(a) == PlainPortText(b);
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        const TAccessRule& rule = list[i];
        if (i != skip && SameAddress(rule.mOwnHost, ownHost) && samePort(rule.mOwnPort, ownPort) &&
            SameAddress(rule.mRemHost, remHost) && samePort(rule.mRemPort, remPort))
            return &rule;
    }
    return nullptr;
}

TSaveCheck CheckProxyServerSave(const TProxyServerFields& fields, const TEntryLists& existing,
                                std::optional<std::size_t> editRow) {
    TSaveCheck check = CheckNameSteps(fields.mName, TEntryKind::ProxyServer);
    if (!check.Passed())
        return check;
    const std::string& name = check.mName;
    if (!IsAddressText(fields.mHost))
        return Fail(check, InvalidIp, "HostComboBox");
    if (!IsValidPort(fields.mPort))
        return Fail(check, InvalidPort, "PortLabeledEdit");
    if (!fields.mUser.empty() && fields.mPass.empty())
        return Fail(check, "Password not specified.", "PasswordLabeledEdit");
    if (fields.mUser.empty() && !fields.mPass.empty())
        return Fail(check, "Username not specified.", "UsernameLabeledEdit");
    if (fields.mVersion < 0 || fields.mVersion > 2)
        return Fail(check, "None of versions selected.", "VersionComboBox");

    const std::size_t own = editRow.value_or(NoRow);
    if (const auto* e = FindNameClash(existing.mProxyServers, name, own))
        return Fail(check, Format(NameVsProxy, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mPortMappers, name))
        return Fail(check, Format(NameVsMapper, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mAccessRules, name))
        return Fail(check, Format(NameVsAccess, e->mName), NameEdit);
    if (const auto* e = FindListenOverlap(existing.mProxyServers, fields.mHost, fields.mPort, own))
        return Fail(check, Format(PortVsProxy, e->mName), "PortLabeledEdit");
    if (const auto* e = FindListenOverlap(existing.mPortMappers, fields.mHost, fields.mPort))
        return Fail(check, Format(PortVsMapper, e->mName), "PortLabeledEdit");
    if (editRow && *editRow >= existing.mProxyServers.size())
        return Fail(check, "Proxy server not found.", "");
    return check;
}

TSaveCheck CheckPortMapperSave(const TPortMapperFields& fields, const TEntryLists& existing,
                               std::optional<std::size_t> editRow) {
    TSaveCheck check = CheckNameSteps(fields.mName, TEntryKind::PortMapper);
    if (!check.Passed())
        return check;
    const std::string& name = check.mName;
    if (!IsAddressText(fields.mOwnHost))
        return Fail(check, InvalidIp, "OwnHostComboBox");
    if (!IsAddressText(fields.mMapHost))
        return Fail(check, InvalidIp, "MapHostComboBox");
    if (!IsValidPort(fields.mOwnPort))
        return Fail(check, InvalidPort, "OwnPortLabeledEdit");
    if (!IsValidPort(fields.mMapPort))
        return Fail(check, InvalidPort, "MapPortLabeledEdit");
    if (fields.mProtocol < 0 || fields.mProtocol > 2)
        return Fail(check, "None of protocols selected.", "ProtocolComboBox");
    if (ForwardsToItself(fields.mOwnHost, fields.mOwnPort, fields.mMapHost, fields.mMapPort))
        return Fail(check, "Specified remote address is the port mapper's own listening address.",
                    "MapHostComboBox");

    const std::size_t own = editRow.value_or(NoRow);
    if (const auto* e = FindNameClash(existing.mPortMappers, name, own))
        return Fail(check, Format(NameVsMapper, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mProxyServers, name))
        return Fail(check, Format(NameVsProxy, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mAccessRules, name))
        return Fail(check, Format(NameVsAccess, e->mName), NameEdit);
    if (const auto* e =
            FindListenOverlap(existing.mPortMappers, fields.mOwnHost, fields.mOwnPort, own))
        return Fail(check, Format(PortVsMapper, e->mName), "OwnPortLabeledEdit");
    if (const auto* e = FindListenOverlap(existing.mProxyServers, fields.mOwnHost, fields.mOwnPort))
        return Fail(check, Format(PortVsProxy, e->mName), "OwnPortLabeledEdit");
    if (editRow && *editRow >= existing.mPortMappers.size())
        return Fail(check, "Port mapper not found.", "");
    return check;
}

TSaveCheck CheckAccessRuleSave(const TAccessRuleFields& fields, const TEntryLists& existing,
                               std::optional<std::size_t> editRow) {
    TSaveCheck check = CheckNameSteps(fields.mName, TEntryKind::AccessRule);
    if (!check.Passed())
        return check;
    const std::string& name = check.mName;
    if (!IsAddressText(fields.mOwnHost))
        return Fail(check, InvalidIp, "OwnHostComboBox");
    if (!IsAddressText(fields.mRemHost))
        return Fail(check, InvalidIp, "RemoteHostComboBox");
    if (!IsValidPort(fields.mOwnPort))
        return Fail(check, InvalidPort, "OwnPortLabeledEdit");
    if (!IsValidRulePort(fields.mRemPort))
        return Fail(check, InvalidPort, "RemotePortLabeledEdit");
    if (fields.mAction < 0 || fields.mAction > 1)
        return Fail(check, "None of actions selected.", "ActionComboBox");

    const std::size_t own = editRow.value_or(NoRow);
    if (const auto* e = FindNameClash(existing.mAccessRules, name, own))
        return Fail(check, Format(NameVsAccess, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mProxyServers, name))
        return Fail(check, Format(NameVsProxy, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mPortMappers, name))
        return Fail(check, Format(NameVsMapper, e->mName), NameEdit);
    if (const auto* e = FindDuplicateRule(existing.mAccessRules, fields.mOwnHost, fields.mOwnPort,
                                          fields.mRemHost, fields.mRemPort, own))
        return Fail(check, Format(PortVsAccess, e->mName), "OwnPortLabeledEdit");
    return check;
}

TLoadCheck CheckLoadedProxyServer(std::string_view name, std::optional<std::string_view> host,
                                  std::optional<std::string_view> port, const TEntryLists& loaded) {
    if (name.empty() || !host || !port)
        return Skip();
    if (!IsAddressText(*host) || !IsValidPort(*port))
        return Skip();
    if (FindNameClash(loaded.mProxyServers, name))
        return Refuse("Duplicate proxy server name while loading proxy servers: ", name);
    if (FindNameClash(loaded.mPortMappers, name))
        return Refuse("Duplicate port mapper name while loading proxy servers: ", name);
    if (FindNameClash(loaded.mAccessRules, name))
        return Refuse("Duplicate access restriction name while loading proxy servers: ", name);
    if (FindListenOverlap(loaded.mProxyServers, *host, *port))
        return Refuse("Proxy server port conflict while loading proxy servers: ", name);
    if (FindListenOverlap(loaded.mPortMappers, *host, *port))
        return Refuse("Port mapper port conflict while loading proxy servers: ", name);
    return {};
}

TLoadCheck CheckLoadedPortMapper(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> mapHost,
                                 std::optional<std::string_view> mapPort,
                                 const TEntryLists& loaded) {
    if (name.empty() || !ownHost || !ownPort || !mapHost || !mapPort)
        return Skip();
    if (!IsAddressText(*ownHost) || !IsAddressText(*mapHost))
        return Skip();
    if (!IsValidPort(*ownPort) || !IsValidPort(*mapPort))
        return Skip();
    if (FindNameClash(loaded.mPortMappers, name))
        return Refuse("Duplicate port mapper name while loading port mappers: ", name);
    if (FindNameClash(loaded.mProxyServers, name))
        return Refuse("Duplicate proxy server name while loading port mappers: ", name);
    if (FindNameClash(loaded.mAccessRules, name))
        return Refuse("Duplicate access restriction name while loading port mappers: ", name);
    if (FindListenOverlap(loaded.mPortMappers, *ownHost, *ownPort))
        return Refuse("Port mapper port conflict while loading port mappers: ", name);
    if (FindListenOverlap(loaded.mProxyServers, *ownHost, *ownPort))
        return Refuse("Proxy server port conflict while loading port mappers: ", name);
    if (ForwardsToItself(*ownHost, *ownPort, *mapHost, *mapPort))
        return Refuse("Port mapper forwards to itself while loading port mappers: ", name);
    return {};
}

TLoadCheck CheckLoadedAccessRule(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> remHost,
                                 std::optional<std::string_view> remPort,
                                 std::optional<std::string_view> action,
                                 const TEntryLists& loaded) {
    if (name.empty() || !ownHost || !ownPort || !remHost || !remPort || !action)
        return Skip();
    if (!IsAddressText(*ownHost) || !IsAddressText(*remHost))
        return Skip();
    if (!IsValidPort(*ownPort) || !IsValidRulePort(*remPort))
        return Skip();
    if (FindNameClash(loaded.mAccessRules, name))
        return Refuse("Duplicate access restriction name while loading access restrictions: ",
                      name);
    if (FindNameClash(loaded.mProxyServers, name))
        return Refuse("Duplicate proxy server name while loading access restrictions: ", name);
    if (FindNameClash(loaded.mPortMappers, name))
        return Refuse("Duplicate port mapper name while loading access restrictions: ", name);
    if (FindDuplicateRule(loaded.mAccessRules, *ownHost, *ownPort, *remHost, *remPort))
        return Refuse("Access restriction port conflict while loading access restrictions: ", name);
    return {};
}

} // namespace kestrune
