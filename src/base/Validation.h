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

// ---- Conflict rules ---------------------------------------------------------

// A proxy server or port mapper as its list row shows it.
struct TServiceEntry {
    std::string mName;
    std::string mHost; // listen IP text
    std::string mPort; // listen port text
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
// A rule with the same four listen and remote values (addresses and ports
// compared as numbers), whatever its name, action or enabled state; no wild
// card applies.
const TAccessRule* FindDuplicateRule(std::span<const TAccessRule> list, std::string_view ownHost,
                                     std::string_view ownPort, std::string_view remHost,
                                     std::string_view remPort, std::size_t skip = NoRow);

// ---- Save sequences of the dialogs ------------------------------------------

// The texts of the proxy server dialog's controls when Save is pressed.
struct TProxyServerFields {
    std::string mName;
    std::string mHost;
    std::string mPort;
    std::string mUser;
    std::string mPass;
    int mVersion = 0; // item of VersionComboBox: 0 SOCKS5, 1 SOCKS4, 2 Both; -1 none
};

struct TPortMapperFields {
    std::string mName;
    std::string mOwnHost;
    std::string mOwnPort;
    std::string mMapHost;
    std::string mMapPort;
    int mProtocol = 0; // item of ProtocolComboBox: 0 TCP, 1 UDP, 2 Both; -1 none
};

struct TAccessRuleFields {
    std::string mName;
    std::string mOwnHost;
    std::string mOwnPort;
    std::string mRemHost;
    std::string mRemPort;
    int mAction = 0; // item of ActionComboBox: 0 Allow, 1 Deny; -1 none
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

// A missing key is an empty optional. `loaded` holds the entries of the
// sections read before this one; none is left out.
TLoadCheck CheckLoadedProxyServer(std::string_view name, std::optional<std::string_view> host,
                                  std::optional<std::string_view> port, const TEntryLists& loaded);
TLoadCheck CheckLoadedPortMapper(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> mapHost,
                                 std::optional<std::string_view> mapPort,
                                 const TEntryLists& loaded);
TLoadCheck CheckLoadedAccessRule(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> remHost,
                                 std::optional<std::string_view> remPort,
                                 std::optional<std::string_view> action, const TEntryLists& loaded);

} // namespace kestrune
