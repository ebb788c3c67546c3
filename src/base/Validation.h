// The checks an entry (proxy server, port mapper, access rule) passes before
// it is stored: the rules for single fields, the conflicts with the entries
// that already exist, the Save sequences of the three dialogs, and the checks
// the settings loader applies to each section it reads.
//
// Everything here is a pure function of its arguments, so the dialogs and the
// loader share one definition. MatchesIpPattern may be called from any
// thread; the rest runs on the main thread in practice but holds no state.
#pragma once

#include "base/AccessRule.h"
#include "base/IpAddress.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrune {

// ---- Field rules ------------------------------------------------------------

enum class TEntryKind { ProxyServer, PortMapper, AccessRule };

// The name field holds at most this many characters.
constexpr std::size_t MaxNameLength = 50;

// Removes leading and trailing blanks and control characters (code 32 and
// below).
std::string TrimName(std::string_view text);
// Cuts the text to MaxNameLength characters (UTF-8 code points), as the name
// field itself would; a multi-byte character is never split.
std::string LimitNameLength(std::string_view text);
// "Kestrune" for every kind; "Total" for proxy servers and port mappers.
// "Total" is compared exactly ("total" is another monitor caption). "Kestrune"
// ignores letter case, because the settings file would join a section named
// "kestrune" with its options section and lose the entry.
bool IsReservedName(TEntryKind kind, std::string_view name);

// Four groups of one to three ASCII digits separated by single dots, with
// nothing before or after. No range check: "999.1.1.1" passes.
bool MatchesIpPattern(std::string_view text);
// An address field's text: the IPv4 pattern above, or an IPv6 address as
// inet_pton reads it (no brackets, no zone index).
bool IsAddressText(std::string_view text);

// The text read as a decimal integer (an optional sign and digits, nothing
// else), or `invalid` when it is not one or does not fit in an int.
int ReadPortText(std::string_view text, int invalid);
// A listen port, or a port mapper's remote port: 1 to 65535; text that is not
// a number counts as 0.
bool IsValidPort(std::string_view text);
// The remote port of an access rule: 0 (any port) to 65535; text that is not
// a number counts as -1.
bool IsValidRulePort(std::string_view text);
// The plain decimal form of a port text ("080" gives "80"), which is the form
// evaluation and the conflict rules compare; unchanged when not a number.
std::string PlainPortText(std::string_view text);

// The outgoing address of a service: empty (the system chooses), "same"
// (any letter case; the address the client came in on) or an address text.
bool IsOutHostText(std::string_view text);
// A host-name pattern of a rule's target: letters, digits, '-', '.' and '*'
// for any run of characters, at most 253 of them. Digits and dots alone are
// an address (or a mistyped one), never a pattern.
bool IsHostNamePattern(std::string_view text);
// The target host of a rule: empty (any), an address text or a pattern.
bool IsTargetHostText(std::string_view text);
// The target port of a rule: empty or 0 (any) to 65535.
bool IsValidTargetPort(std::string_view text);
// An upstream proxy text that ParseVia reads.
bool IsViaText(std::string_view text);

// ---- Rule matching ----------------------------------------------------------

// Whether a rule's address text covers `address`: "0.0.0.0" every address of
// both families (rules written before IPv6 meant everyone by it), "::" every
// IPv6 address, any other address itself, compared as numbers with an
// IPv4-mapped address taken as the IPv4 one. A text that is no address
// covers nothing.
bool RuleAddressCovers(std::string_view rule, const TIpAddress& address);
// `name` against a host-name pattern, ASCII letter case aside. A final dot
// of either is ignored: "example.com." is the host "example.com".
bool MatchesHostNamePattern(std::string_view pattern, std::string_view name);
// Whether some name matches both patterns.
bool HostNamePatternsOverlap(std::string_view a, std::string_view b);

// ---- Conflict rules ---------------------------------------------------------

// A proxy server or port mapper as its list row shows it, with what the
// forwarding check follows.
struct TServiceEntry {
    std::string mName;
    std::string mHost;         // listen IP text
    std::string mPort;         // listen port text
    std::string mVia = {};     // upstream proxy text
    std::string mMapHost = {}; // a port mapper's remote address; empty for a proxy server
    std::string mMapPort = {};
};

// The entries that exist, each list in row order. The views must outlive
// the call they are passed to.
struct TEntryLists {
    std::span<const TServiceEntry> mProxyServers;
    std::span<const TServiceEntry> mPortMappers;
    std::span<const TAccessRule> mAccessRules;
};

// Passed as the row to leave out when none is.
constexpr std::size_t NoRow = SIZE_MAX;

// Entry names clash when they are equal apart from the case of the ASCII
// letters. The settings file tells sections apart by this same comparison,
// so no two stored entries can ever share a section.
bool SameName(std::string_view a, std::string_view b);
// Equal ports (as numbers where both texts are numbers, else as text), and
// listen IPs of one family that are equal as addresses or "any" on either
// side. The protocol of a port mapper plays no part.
bool ListenOverlaps(std::string_view hostA, std::string_view portA, std::string_view hostB,
                    std::string_view portB);

// A port mapper whose remote end is its own listening end: the same port,
// and the same address, or an address of this machine while it listens on
// "any" (or the remote is "any", which reaches the loopback). Every
// connection and datagram would come straight back to it.
bool ForwardsToItself(std::string_view ownHost, std::string_view ownPort, std::string_view mapHost,
                      std::string_view mapPort);

// The first entry of the list, from the top, that clashes; `skip` is the row
// of the entry being edited, if any. Null when there is none.
const TServiceEntry* FindNameClash(std::span<const TServiceEntry> list, std::string_view name,
                                   std::size_t skip = NoRow);
const TAccessRule* FindNameClash(std::span<const TAccessRule> list, std::string_view name,
                                 std::size_t skip = NoRow);
const TServiceEntry* FindListenOverlap(std::span<const TServiceEntry> list, std::string_view host,
                                       std::string_view port, std::size_t skip = NoRow);
// A rule with the same four listen and remote values and the same target
// (addresses and ports compared as numbers, patterns without regard to
// case, an empty target port as 0 once a target is named), whatever its
// name, action, Via or enabled state: the lower of two such rules could
// never decide. No wild card applies.
const TAccessRule* FindDuplicateRule(std::span<const TAccessRule> list, const TAccessRule& rule,
                                     std::size_t skip = NoRow);

// Forwarding loops. A Via leads to one of this gateway's own services when
// its host and port reach that service's listening address (as a port
// mapper's remote address reaches its own, above; the name "localhost" as
// the loopback). From a proxy server a request goes on through its own Via
// and through the Via of every Allow rule with a target that guards it and
// whose target may be the request's; from a port mapper to its remote
// address, through its Via. A chain ends at a direct connection or at an
// address that is not one of ours; a chain that comes back to a service it
// has passed, with at least one upstream on the way round, is a loop. (Port
// mappers that forward to each other with none are caught as they run, as
// they always were.) Enabled states play no part, and the clients the rules
// name are not looked at, so a loop is never missed for them.
//
// The proxy server or port mapper in row `index` of its list in `lists`:
bool ProxyServerForwardsToItself(const TEntryLists& lists, std::size_t index);
bool PortMapperForwardsToItself(const TEntryLists& lists, std::size_t index);
// The first proxy server guarded by `rule` (one of lists.mAccessRules) that
// the rule's Via leads back to; null when there is none.
const TServiceEntry* AccessRuleForwardsToItself(const TEntryLists& lists, const TAccessRule& rule);

// ---- Save sequences of the dialogs ------------------------------------------

// The texts of the proxy server dialog's controls when Save is pressed.
struct TProxyServerFields {
    std::string mName;
    std::string mHost;
    std::string mPort;
    std::string mUser;
    std::string mPass;
    int mVersion = 0; // item of VersionComboBox: 0 SOCKS5, 1 SOCKS4, 2 Both; -1 none
    std::string mOutHost = {};
    std::string mVia = {};
};

struct TPortMapperFields {
    std::string mName;
    std::string mOwnHost;
    std::string mOwnPort;
    std::string mMapHost;
    std::string mMapPort;
    int mProtocol = 0; // item of ProtocolComboBox: 0 TCP, 1 UDP, 2 Both; -1 none
    std::string mOutHost = {};
    std::string mVia = {};
};

struct TAccessRuleFields {
    std::string mName;
    std::string mOwnHost;
    std::string mOwnPort;
    std::string mRemHost;
    std::string mRemPort;
    int mAction = 0; // item of ActionComboBox: 0 Allow, 1 Deny; -1 none
    std::string mToHost = {};
    std::string mToPort = {};
    std::string mVia = {};
};

// The outcome of one Save: the first failed check, or none.
struct TSaveCheck {
    // The name as the name field must now show it (limited and trimmed),
    // written back whatever the verdict.
    std::string mName;
    // The message to show; empty when every check passed.
    std::string mMessage;
    // The control that gets the focus after the message; empty for none.
    std::string mFocus;

    bool Passed() const { return mMessage.empty(); }
};

// `editRow` is empty for a new entry; for an edit it is the row of the entry
// being edited in its own list (NoRow when no row is selected), which the
// conflict rules leave out. The service lists must be the configured
// services, so that an edit whose row holds none of them fails last with
// "Proxy server not found." or "Port mapper not found.".
TSaveCheck CheckProxyServerSave(const TProxyServerFields& fields, const TEntryLists& existing,
                                std::optional<std::size_t> editRow);
TSaveCheck CheckPortMapperSave(const TPortMapperFields& fields, const TEntryLists& existing,
                               std::optional<std::size_t> editRow);
TSaveCheck CheckAccessRuleSave(const TAccessRuleFields& fields, const TEntryLists& existing,
                               std::optional<std::size_t> editRow);

// ---- Checks of the settings loader ------------------------------------------

// The verdict on one section of the settings file.
struct TLoadCheck {
    bool mLoad = true;
    // When refused by a logged check: the whole line to log, the section name
    // included. Empty for a silent skip.
    std::string mLogLine;
};

// A missing key is an empty optional; of the keys that later versions
// added, a missing one is an empty text. `loaded` holds the entries of the
// sections read before this one; none is left out.
TLoadCheck CheckLoadedProxyServer(std::string_view name, std::optional<std::string_view> host,
                                  std::optional<std::string_view> port, const TEntryLists& loaded,
                                  std::string_view outHost = {}, std::string_view via = {});
TLoadCheck CheckLoadedPortMapper(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> mapHost,
                                 std::optional<std::string_view> mapPort, const TEntryLists& loaded,
                                 std::string_view outHost = {}, std::string_view via = {});
TLoadCheck CheckLoadedAccessRule(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> remHost,
                                 std::optional<std::string_view> remPort,
                                 std::optional<std::string_view> action, const TEntryLists& loaded,
                                 std::string_view toHost = {}, std::string_view toPort = {},
                                 std::string_view via = {});

} // namespace kestrune
